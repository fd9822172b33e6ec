// The virtual printer as a network printer on 127.0.0.1. It accepts one connection at a time
// (a second waits in the backlog) and can be switched, at any time, into the ways network
// printers misbehave: refusing connections, closing at once, staying silent, dropping the
// connection (now or in the middle of a job), or taking data slowly.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "prnsim/VirtualPrinter.h"

namespace prnsim {

struct TcpOptions {
    PrinterOptions printer;
    uint16_t port = 0;  // 0: a free port, see port()
};

enum class TcpMode {
    Normal,         // listen, accept, read and answer
    Refuse,         // not listening: connect gets ECONNREFUSED
    CloseOnAccept,  // accept and close at once
    Silent,         // accept and read, never answer
};

class TcpPrinter : public VirtualPrinter {
  public:
    explicit TcpPrinter(TcpOptions options = {});
    ~TcpPrinter() override;

    bool ok() const;  // false when the port could not be bound; error() says why
    std::string error() const;
    uint16_t port() const { return port_; }

    // Each returns once the printer has acted on it (e.g. the listener is closed).
    void setMode(TcpMode mode);
    TcpMode mode() const;
    void drop();                   // close the current connection now
    void reset();                  // reset it now (the printer restarts): the host's receive fails
    void dropAfter(size_t bytes);  // close it after this many more bytes have been received
    // Take data at this many bytes per second with a small receive buffer; 0 = full speed.
    void setSlow(unsigned bytesPerSecond);

    int connectionCount() const;  // connections accepted so far
    bool connected() const;       // a connection is open now
    bool waitForConnections(int count, std::chrono::milliseconds timeout) const;

  private:
    void ioLoop();
    void apply();         // on the I/O thread
    bool openListener();  // with controlMutex_ held
    void closeConnection();
    void request(const std::function<void()>& change);
    void writeToHost(const uint8_t* data, size_t size);

    uint16_t port_ = 0;
    int wakeFd_ = -1;

    mutable std::mutex controlMutex_;  // everything down to connMutex_
    mutable std::condition_variable controlChanged_;
    std::string error_;
    TcpMode mode_ = TcpMode::Normal;
    bool dropNow_ = false;
    bool resetNow_ = false;
    bool dropArmed_ = false;
    size_t dropRemaining_ = 0;
    unsigned slowRate_ = 0;
    uint64_t requested_ = 0;  // requests made
    uint64_t applied_ = 0;    // requests the I/O thread has acted on
    int connections_ = 0;

    std::mutex connMutex_;  // held to send on or close the connection
    int conn_ = -1;
    int listener_ = -1;  // I/O thread only (and construction)
    std::atomic<bool> connected_{false};
    std::atomic<bool> silent_{false};
    std::atomic<bool> stop_{false};
    std::thread io_;
};

}  // namespace prnsim

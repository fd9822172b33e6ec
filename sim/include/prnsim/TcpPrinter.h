// The virtual printer as a network printer on 127.0.0.1. It accepts one connection at a time
// (a second waits in the backlog) and can be switched, at any time, into the ways network
// printers misbehave: refusing connections, closing at once, staying silent, dropping or
// resetting the connection (now, in the middle of a job, or on every connection), taking data
// slowly, not taking any for a while (stalled), or holding back its ACKs.
//
// Drops and resets keep TCP's promise: what the printer's stack acknowledged was printed; what
// it did not acknowledge never arrived. A host may therefore send again exactly what was never
// acknowledged and lose nothing. Before it closes or resets a connection the printer
//  1. stops reading and waits until the connection's receive queue has not grown for 20 ms (at
//     most 500 ms), so that what is on its way in lands;
//  2. takes nothing more: from here on its stack drops every segment the host sends (a socket
//     filter), unacknowledged, as if the printer were already gone;
//  3. reads everything its stack has taken and records it as received on that connection and
//     puts it in the receive buffer, like any other data;
//  4. sends the ACK it still owes for it at once (TCP_QUICKACK), so the host learns that all of
//     it was taken (a reset's RST acknowledges nothing);
//  5. closes: a drop with a FIN (what the host sends after it is answered with a reset), a
//     reset with an RST (SO_LINGER 0).
// So a drop "after n bytes" starts after n bytes, and the record then holds n plus whatever the
// host had sent beyond them that the stack took in: a receive window's worth at most (on
// loopback some 125 KiB while the host keeps sending), nothing when the host sent just n.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "prnsim/VirtualPrinter.h"

namespace prnsim {

struct TcpOptions {
    PrinterOptions printer;
    uint16_t port = 0;  // 0: a free port, see port()
    // Hold back ACKs, as embedded TCP stacks do: see TcpPrinter::setDelayedAcks.
    bool delayedAcks = false;
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
    // Each drop and reset below takes in and records what the printer's stack had taken before
    // it closes (see the top of this file).
    void drop();   // close the current connection now
    void reset();  // reset it now (the printer restarts): the host's receive fails
    // Close the current connection after this many more bytes have been read (no connection:
    // the next one, counting from its accept; bytes left when the host closes carry over to the
    // next connection). The host sees end of stream; what it sends after that is answered with
    // a reset.
    void dropAfter(size_t bytes);
    // The same, resetting the connection (the printer restarts): the host's receive fails with
    // ECONNRESET.
    void resetAfter(size_t bytes);
    // Close each of the next `connections` connections once it has received `bytes` bytes: the
    // one open now, counting from this call, and those accepted after it, counting from their
    // accept (connections closed on accept are not counted). With 0 bytes a connection is
    // closed as soon as it is accepted, having taken only what the host sent before that (its
    // stack acknowledged it). Replaces a pending dropAfter or resetAfter; either, called later,
    // replaces the limit of the connection open then. 0 connections cancels the rule and the
    // limit it set, and leaves a dropAfter or resetAfter alone.
    void dropEachAfter(size_t bytes, int connections);
    // Take data at this many bytes per second with a small receive buffer; 0 = full speed.
    void setSlow(unsigned bytesPerSecond);
    // Take data at this many bytes per second with a receive buffer of normal size, as a
    // printer that prints at that pace does; 0 = full speed. (A small buffer on loopback gives
    // far less than the rate asked for.)
    void setPace(unsigned bytesPerSecond);
    // A printer that stops taking data (its buffer is full, its mechanism is stuck): it keeps
    // the connection, and accepts one if none is open, but reads nothing at all, so its receive
    // window fills and closes and the host's sends block. A connection accepted while stalled
    // has a small receive buffer from its handshake on, so its window closes after a few KiB;
    // a connection open when the stall begins keeps the window it has advertised (on loopback
    // some 64 KiB or more), which fills and closes the same way, later. Un-stalled, it reads
    // again (with a buffer of normal size) and everything the host sent arrives in order, at
    // once. Not reading, a stalled printer does not notice the host closing either.
    void setStalled(bool stalled);
    // Stall now and resume by itself once `duration` has passed (setStalled cancels that).
    void stallFor(std::chrono::milliseconds duration);
    bool stalled() const;
    // Hold back ACKs: the printer keeps its stack in delayed-ACK mode (TCP_QUICKACK off after
    // every read, and again within 5 ms whenever the kernel has left that mode, which it does
    // each time its delayed-ACK timer fires), so what it receives is acknowledged some 40 ms or
    // more later, or with the printer's next reply, or at once for a second segment in a row
    // (the kernel acknowledges every other one). A host that sends its next piece within those
    // 5 ms after an ACK may see it acknowledged at once. Off: the kernel's own choice, at once
    // on loopback.
    void setDelayedAcks(bool delayed);

    int connectionCount() const;  // connections accepted so far
    bool connected() const;       // a connection is open now
    bool waitForConnections(int count, std::chrono::milliseconds timeout) const;

  private:
    void ioLoop();
    void apply(int connection);  // on the I/O thread; connection: the index of conn_
    // Acts on the requests, with controlMutex_ held; says whether to close the connection, and
    // how.
    void applyLocked(bool* close, bool* reset);
    bool openListener();  // with controlMutex_ held
    void closeConnection();
    // Steps 1 to 5 of a drop or reset (see the top of this file), on the I/O thread without
    // controlMutex_ held.
    void drainAndClose(int connection, bool reset);
    // On the I/O thread: delayed-ACK mode for the connection (on), or once out of it (off).
    void holdAcks(bool delayed);
    void fitReceiveBuffers();  // on the I/O thread, with controlMutex_ held
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
    // The limit of the current connection (or of the next, while none is open).
    bool dropArmed_ = false;
    size_t dropRemaining_ = 0;
    bool limitResets_ = false;         // reset, not close, when it is reached
    bool limitPerConnection_ = false;  // set by dropEachAfter: it ends with its connection
    // dropEachAfter's limit for connections still to be accepted.
    size_t eachBytes_ = 0;
    int eachLeft_ = 0;
    bool eachChanged_ = false;  // set by dropEachAfter, acted on by apply()
    unsigned slowRate_ = 0;
    bool slowSmallBuffer_ = true;  // setSlow, not setPace
    bool stalled_ = false;
    std::optional<Clock::time_point> stallUntil_;
    bool delayedAcks_ = false;
    uint64_t requested_ = 0;  // requests made
    uint64_t applied_ = 0;    // requests the I/O thread has acted on
    int connections_ = 0;

    std::mutex connMutex_;  // held to send on or close the connection
    int conn_ = -1;
    int listener_ = -1;  // I/O thread only (and construction)
    // Receive buffers (I/O thread only, and construction): a new socket's, and whether the
    // listener's and the current connection's are made small now.
    int defaultReceiveBuffer_ = 0;
    bool smallListenerBuffer_ = false;
    bool smallReceiveBuffer_ = false;
    bool holdingAcks_ = false;  // I/O thread only: the connection is kept in delayed-ACK mode
    std::atomic<bool> connected_{false};
    std::atomic<bool> silent_{false};
    std::atomic<bool> stop_{false};
    std::thread io_;
};

}  // namespace prnsim

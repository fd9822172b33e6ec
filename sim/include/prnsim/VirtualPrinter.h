// The virtual ESC/POS receipt printer: printer state, the receive buffer and its print engine,
// and a record of everything the host sent. SerialPrinter (pty) and TcpPrinter (loopback socket)
// connect it to the code under test; both share this model.
//
// What it does with the bytes it receives:
//  - DLE EOT n (10 04 n) is answered on receipt, ahead of queued print data, also while offline
//    and also when the three bytes sit inside the data of a graphics command (a real printer
//    does the same).
//  - All bytes go into the receive buffer, which the print engine works through in order at the
//    print speed (bytes per second, 0 = at once). The engine stops while the printer is offline,
//    its cover is open, the paper has run out, an error is set or it waits for online recovery;
//    what it has not printed stays in the buffer and is printed once that ends.
//  - Commands executed in buffer order: GS a (automatic status back), GS ( H fn 48 (process ID
//    reply once everything before it has been printed), ESC p (drawer kick), GS r 1/2 (paper and
//    drawer sensor). Other commands are parsed by their length so the text view stays right.
//
// All public methods are thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "prnsim/Bytes.h"
#include "prnsim/CommandParser.h"

namespace prnsim {

using Clock = std::chrono::steady_clock;

enum class Paper { Ok, NearEnd, End };

// How the printer encodes its state in the offline bit (DLE EOT 1 bit 3, status block byte 1
// bit 3).
enum class StatusModel {
    // The reference ESC/POS printer: whatever stops printing makes it offline, so cover open,
    // paper end, errors and waiting for online recovery set the offline bit with their own:
    // cover open 3C 00 00 00 (38 with the drawer pin low), paper end 1C 00 0F 00.
    Reference,
    // The network printers' table: only the online switch sets the offline bit; cover open is
    // 34 00 00 00 (30), paper end 14 00 0F 00 (10), errors only their byte 2 bits.
    NetworkTable,
};

// The errors a printer reports (DLE EOT 3, status block byte 2); each stops printing.
enum class PrinterError {
    None,
    Recoverable,      // e.g. a paper jam the operator clears: DLE EOT 3 bit 2, byte 2 bit 2
    Autocutter,       // the cutter is stuck: DLE EOT 3 bit 3, byte 2 bit 3
    Unrecoverable,    // a mechanical or memory fault, needs a power cycle: bit 5, byte 2 bit 5
    AutoRecoverable,  // e.g. the head is too hot and cools down: bit 6, byte 2 bit 6
};

// What can stop a printer in the middle of a job (faultAfter).
enum class Fault {
    PaperEnd,   // the roll runs out: as setPaper(Paper::End)
    CoverOpen,  // the cover is opened: as setCoverOpen(true)
};

struct PrinterOptions {
    // Print speed of the engine in bytes per second; 0 prints at once.
    unsigned printSpeed = 0;
    // Byte 4 of the automatic status block: reserved bits, 0x00 or 0x0F depending on the model.
    uint8_t block4 = 0x00;
    StatusModel model = StatusModel::Reference;
    // An ESC p pulse opens the drawer (pin 3 goes low).
    bool pulseOpensDrawer = false;
};

// One read of the connection, as it arrived.
struct ReceivedChunk {
    Clock::time_point time;
    int connection;  // TCP: index of the accepted connection; serial: plug count (0 = first pty)
    Bytes bytes;
};

// An ESC p drawer-kick pulse.
struct DrawerPulse {
    Clock::time_point time;  // when the command was executed by the print engine
    int pin;                 // 2 or 5
    int onMs;
    int offMs;
};

class VirtualPrinter {
  public:
    explicit VirtualPrinter(PrinterOptions options = {});
    virtual ~VirtualPrinter();
    VirtualPrinter(const VirtualPrinter&) = delete;
    VirtualPrinter& operator=(const VirtualPrinter&) = delete;

    // --- printer state; applied at once, reported in a status block when GS a is enabled ---
    void setCoverOpen(bool open);
    void setPaper(Paper paper);
    void setOffline(bool offline);  // the online switch / feed button
    // Drawer open means the sensor, connector pin 3, is LOW.
    void setDrawerOpen(bool open);
    // An error (DLE EOT 2 bit 6 and its bit in DLE EOT 3 and status block byte 2); None clears
    // it. One error at a time: a new one replaces the last.
    void setError(PrinterError error);
    // The recoverable error (true), or none (false): clears any error.
    void setError(bool error);
    // Waiting for online recovery, after an error the printer can recover from (DLE EOT 1 bit 5,
    // status block byte 2 bit 0); printing stays stopped until it ends.
    void setWaitingForRecovery(bool waiting);
    // Makes the fault happen once the print engine has printed `bytes` more bytes from now (0:
    // now), exactly as setPaper(Paper::End) or setCoverOpen(true) then: a status block when
    // GS a is enabled, and the engine stops. What follows those bytes stays in the receive
    // buffer and is printed once the fault is cleared. Once; a later call replaces a pending one.
    void faultAfter(size_t bytes, Fault fault);
    // A silent printer answers nothing at all (DLE EOT, status blocks, process ID replies).
    void setSilent(bool silent);
    // Fixed replies to DLE EOT 2 / DLE EOT 4: nullopt answers from the state (the default), an
    // empty string answers nothing, anything else is sent as it is.
    void setReply2(std::optional<Bytes> reply);
    void setReply4(std::optional<Bytes> reply);
    void setPrintSpeed(unsigned bytesPerSecond);
    // The DSR (and CTS, CD) lines of a serial printer with modem emulation; false when this
    // printer has no modem lines to publish (TCP, or no PRNSIM_MODEM_FILE).
    virtual bool setDsr(bool on);

    bool coverOpen() const;
    Paper paper() const;
    bool offline() const;
    bool drawerOpen() const;
    PrinterError error() const;
    bool waitingForRecovery() const;
    bool autoStatusEnabled() const;

    // Sends bytes to the host as they are (not held back by silence), e.g. a status block.
    void sendToHost(const Bytes& bytes);

    // --- the record (since construction or the last clearRecord) ---
    Bytes received() const;
    std::vector<ReceivedChunk> chunks() const;
    std::vector<DrawerPulse> pulses() const;
    Bytes sent() const;  // everything sent to the host
    // Printable ASCII and line feeds as text, other commands by name, e.g. "[ESC @]Hello\n[GS V
    // cut]". Bytes still waiting in the receive buffer are not in it yet.
    std::string text() const;
    size_t countReceived(const Bytes& sequence) const;
    // What arrived on one connection (ReceivedChunk::connection), in order, and the occurrences
    // of a sequence in it (also across reads).
    Bytes receivedOn(int connection) const;
    size_t countReceivedOn(int connection, const Bytes& sequence) const;
    void clearRecord();

    // Waits with a deadline; true when the condition holds.
    bool waitForBytes(size_t count, std::chrono::milliseconds timeout) const;
    bool waitForSequence(const Bytes& sequence, size_t occurrences,
                         std::chrono::milliseconds timeout) const;
    // The receive buffer is empty: everything received so far has been printed. Bytes still on
    // their way through the pty or socket are not counted; wait for them first.
    bool waitUntilPrinted(std::chrono::milliseconds timeout) const;
    bool waitForSent(size_t count, std::chrono::milliseconds timeout) const;

    // Called with each new piece of the text view as the engine prints it (from the engine
    // thread, without locks held). Set it before data arrives; nullptr removes it.
    void setTextListener(std::function<void(std::string_view)> listener);

  protected:
    // The connection's reader hands over what it read.
    void receive(const uint8_t* data, size_t size, int connection);
    // Where replies go. The function writes to the host and may drop bytes it cannot deliver.
    // Derived classes detach it in their destructor before closing their descriptors.
    using Output = std::function<void(const uint8_t* data, size_t size)>;
    void attachOutput(Output output);
    void detachOutput();
    // Restarts the real-time DLE EOT scanner (a new connection starts a new byte stream).
    void resetRealtimeScanner();

  private:
    struct StatusBlock {
        uint8_t b[4];
        bool operator==(const StatusBlock&) const = default;
    };

    // All helpers below expect mutex_ held.
    bool printingStopped() const;
    bool offlineBit() const;
    bool pin3High() const { return !drawerOpen_; }
    StatusBlock statusBlock() const;
    void answerRealtime(uint8_t n);
    void queueReply(const uint8_t* data, size_t size);  // honours silence
    void queueRaw(const uint8_t* data, size_t size);
    template <class Change>
    void changeStateLocked(Change change);  // queues a status block if one is due
    template <class Change>
    void changeState(Change change);
    void raiseFault(Fault fault);
    void engineLoop();
    void execute(const Command& command, std::string& newText);

    void flushOutput();  // without mutex_ held

    PrinterOptions options_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;  // record, buffer or output changed
    std::condition_variable engineWake_;

    // state
    bool coverOpen_ = false;
    Paper paper_ = Paper::Ok;
    bool offline_ = false;
    bool drawerOpen_ = false;
    PrinterError error_ = PrinterError::None;
    bool waitingForRecovery_ = false;
    bool silent_ = false;
    std::optional<Bytes> reply2_;
    std::optional<Bytes> reply4_;
    uint8_t autoStatus_ = 0;  // GS a n

    // reception
    int realtimeState_ = 0;       // bytes of 10 04 seen so far
    std::deque<uint8_t> buffer_;  // the receive buffer, in front of the print engine

    // print engine
    CommandParser parser_;
    unsigned printSpeed_;
    bool running_ = false;        // printing a run of bytes at printSpeed_
    Clock::time_point runStart_;  // when that run began
    uint64_t runBytes_ = 0;       // bytes printed in it
    bool stopping_ = false;
    struct PendingFault {
        size_t bytesLeft;  // bytes still to print before it happens
        Fault fault;
    };
    std::optional<PendingFault> pendingFault_;

    // record
    Bytes received_;
    std::vector<ReceivedChunk> chunks_;
    std::vector<DrawerPulse> pulses_;
    Bytes sent_;
    std::string text_;

    // output
    Bytes outbox_;
    std::mutex outputMutex_;  // held while writing; orders concurrent flushes
    Output output_;           // guarded by outputMutex_
    std::mutex listenerMutex_;
    std::function<void(std::string_view)> listener_;

    std::thread engineThread_;  // last: started after everything above exists
};

}  // namespace prnsim

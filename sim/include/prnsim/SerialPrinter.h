// The virtual printer on a serial line, made of a pty. The printer holds the master; the code
// under test opens devicePath() (the slave, /dev/pts/N, or a symlink to it). With a raw master
// and a link it also stands in for a USB printer node (/dev/usb/lp0): no line discipline, and a
// node that vanishes when the printer is unplugged.
//
// The master is read promptly by a reader thread (a pty's tcdrain does not wait for the reader,
// so a slow reader fills the writer's queue), unless a read rate is set to make it slow on
// purpose, or it stops reading for a while (busy, or a line that stops taking data). The
// slave's termios belong to the code under test; the printer only makes them raw once, when it
// creates the pty (rawMaster).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "prnsim/VirtualPrinter.h"

namespace prnsim {

struct SerialOptions {
    PrinterOptions printer;
    // A symlink the printer creates, pointing at the slave; unplug removes it, replug re-points
    // it. Empty: none, devicePath() is the slave.
    std::string link;
    // cfmakeraw through the master when the pty is created, so bytes pass unchanged until the
    // code under test sets its own termios. Needed where the code under test does no termios
    // setup at all (a USB printer node has no line discipline).
    bool rawMaster = true;
    // Bytes per second the printer reads from the line; 0 reads as fast as data comes.
    unsigned readRate = 0;
    // Publish modem lines (DSR, CTS, CD) for the slave in the modem shim's state file.
    bool modem = false;
    // The state file; empty means $PRNSIM_MODEM_FILE.
    std::string modemFile;
    // A USB printer node by the kernel's usblp rules, which the modem shim applies to the slave
    // from the line the printer publishes in the state file: one open at a time (EBUSY), a read
    // that fails when the printer says so (failNextRead), and the device ID. Needs the state
    // file; no modem lines then.
    bool usblp = false;
    // The IEEE 1284 device ID the node gives (LPIOC_GET_DEVICE_ID); empty: none.
    std::string deviceId;
};

class SerialPrinter : public VirtualPrinter {
  public:
    explicit SerialPrinter(SerialOptions options = {});
    ~SerialPrinter() override;

    // False when the pty (or the link) could not be made; error() says why.
    bool ok() const;
    std::string error() const;

    // The path the code under test opens: the link if there is one, else the slave.
    std::string devicePath() const;
    std::string slavePath() const;  // "" while unplugged

    // Unplug closes the master: the slave reads 0 and writes EIO, /dev/pts/N vanishes, the link
    // and the modem line are removed. Replug makes a new pty and re-points the link.
    bool unplug();
    bool replug();
    bool plugged() const;

    void setReadRate(unsigned bytesPerSecond);

    // Modem lines in the shim's state file; false without modem emulation or modem file.
    bool setDsr(bool on) override;
    bool setCts(bool on);
    bool setCd(bool on);
    bool setModemBits(unsigned bits);  // TIOCM_* bits the printer drives
    unsigned modemBits() const;

    // A line that stops taking data (flow control held, a stuck UART): the printer reads nothing
    // more from the line, so the pty fills and the host's writes block, and the modem shim
    // reports this many bytes in the output queue (TIOCOUTQ) and holds tcdrain until it is
    // cleared. 0: the line flows again and everything the pty holds is read. Kept across unplug
    // and replug, like the modem bits. False, changing nothing, without modem emulation or modem
    // file; once it returns the printer has stopped (or resumed) reading.
    bool setOutputStuck(unsigned bytes);
    unsigned outputStuck() const;

    // A busy printer (it cuts, feeds, prints a logo): it reads nothing more from the line, so
    // the pty fills and the host's non-blocking writes fail with EAGAIN; status requests sent
    // meanwhile are not read either. When it ends, everything the pty holds is read in order.
    // Needs no modem emulation, and is kept across unplug and replug. Once a call returns the
    // printer has stopped (or resumed) reading.
    //  - setBusy: busy until setBusy(false), which also cancels a pending busyAfter.
    //  - busyFor: busy now, resumes by itself once `duration` has passed.
    //  - busyAfter: reads `bytes` more bytes (not one more), then is busy for `duration`; once.
    //  - stopAfter: reads `bytes` more bytes (not one more), then is busy until setBusy(false):
    //    a printer that stops taking data in the middle of a job for as long as a test wants.
    //    0 is setBusy(true). Replaces a pending busyAfter, as busyAfter replaces it.
    void setBusy(bool busy);
    void busyFor(std::chrono::milliseconds duration);
    void busyAfter(size_t bytes, std::chrono::milliseconds duration);
    virtual void stopAfter(size_t bytes);
    bool busy() const;
    // Ptys made so far: 1 after construction, one more on each replug.
    int ptyCount() const;

    // USB printer node rules (SerialOptions::usblp). Both return false, changing nothing,
    // without them or without the state file.
    //  - setDeviceId: the IEEE 1284 device ID the node gives from now on (empty: none); kept
    //    across unplug and replug, and changeable while unplugged, so that another printer can
    //    come back under the same path. False too for an ID that does not fit the file's line
    //    (ModemFile.h).
    //  - failNextRead: the host's next read of the node fails with EIO, once, as the driver
    //    reports a failed transfer on a printer still plugged in. False while unplugged; an
    //    unplug forgets one not yet served.
    bool setDeviceId(const std::string& id);
    std::string deviceId() const;
    bool failNextRead();

    // A line short of room: the host's writes may hand over `bytes` more bytes in all (a write
    // that would cross the limit takes what is left), and every write after that fails with
    // EAGAIN, as on a full queue, until setRoom(nullopt). The printer goes on reading what did
    // get through. Each call grants its bytes afresh. The modem shim serves it on the device's
    // line in the state file, so the printer needs one (modem emulation, the usblp rules, or a
    // parallel port), and only descriptors opened after the line was published are limited.
    // Applies to the pty plugged in now: an unplug ends it. False, changing nothing, without a
    // line or while unplugged.
    bool setRoom(std::optional<size_t> bytes);

  protected:
    // After unplug() or replug() changed the pty (slavePath() tells which), without locks held.
    virtual void plugChanged() {}
    // A derived printer publishes a line of its own in the state file for the slave (a parallel
    // port does). Called with the printer's locks held: it must take none.
    virtual bool publishesOwnLine() const { return false; }
    // Called on the reader thread, without locks held, once the bytes of a stopAfter have been
    // read and the printer has stopped reading. A derived class sets it in its constructor and
    // removes it (nullptr) first thing in its destructor, before the reader can see it gone.
    void setStopHook(std::function<void()> hook);

  private:
    bool openPty();   // with plugMutex_ held
    void closePty();  // with plugMutex_ held
    void keepWhatArrived();  // with plugMutex_ held, before closePty on an unplug
    void readerLoop(int master, int connection);
    // With readMutex_ held: ends a busy period that is over, sets readingStopped_, and returns
    // how long the reader may sleep before a busy period ends (-1: no limit).
    int updateReading();
    void wakeReader();
    void writeToHost(const uint8_t* data, size_t size);
    bool publishModem();  // with plugMutex_ held: the modem or the USB node line
    bool publishesLine() const;
    bool changeModemBit(unsigned bit, bool on);

    SerialOptions options_;
    std::string modemFile_;

    mutable std::mutex plugMutex_;  // everything down to masterMutex_
    std::string error_;
    std::string slave_;
    int plugCount_ = 0;
    unsigned modemBits_;
    unsigned outputStuck_ = 0;
    std::string deviceId_;
    uint64_t readErrorToken_ = 0;  // the read error armed last; 0: none

    std::mutex masterMutex_;  // held to write to or close the master
    int master_ = -1;
    int wakeFd_ = -1;  // eventfd that stops the reader
    std::atomic<bool> stopReader_{false};
    std::atomic<unsigned> readRate_{0};
    // Held by the reader from its look at readingStopped_ until what it read is recorded, so a
    // stop takes effect before setOutputStuck or a busy call returns; guards what follows it.
    mutable std::mutex readMutex_;
    std::atomic<bool> readingStopped_{false};  // lineStuck_ or busy_
    bool lineStuck_ = false;
    bool busy_ = false;
    std::optional<Clock::time_point> busyUntil_;
    std::optional<size_t> busyAfterBytes_;  // bytes still to read before busyAfter's period
    // How long that period is; nullopt (stopAfter): until setBusy(false).
    std::optional<std::chrono::milliseconds> busyAfterDuration_;
    std::mutex hookMutex_;  // held while the stop hook runs or changes
    std::function<void()> stopHook_;
    std::thread reader_;
};

}  // namespace prnsim

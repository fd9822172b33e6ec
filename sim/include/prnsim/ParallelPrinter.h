// The virtual printer on a parallel port: a pty with a raw master behind a link, that the modem
// shim serves as a ppdev port (PPCLAIM, PPNEGOT, PPRSTATUS, read and write by the kernel's
// rules) from the line the printer publishes in the shim's state file. What the host writes in
// compatibility mode reaches the printer through the pty, and the printer's answers (DLE EOT,
// status blocks, GS ( H) are what the host reads in nibble mode.
//
// The status lines (PPRSTATUS) are the printer's own: they do not follow the ESC/POS state
// (paper, cover, offline); set them with the calls below.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "prnsim/ModemFile.h"
#include "prnsim/SerialPrinter.h"

namespace prnsim {

struct ParallelOptions {
    PrinterOptions printer;
    // The symlink the host opens, e.g. <dir>/parport0. Empty: none, devicePath() is the slave.
    std::string link;
    // The shim's state file; empty means $PRNSIM_MODEM_FILE.
    std::string modemFile;
};

class ParallelPrinter : public SerialPrinter {
  public:
    explicit ParallelPrinter(ParallelOptions options = {});
    ~ParallelPrinter() override;

    // The port's line is in the state file (false without one, or while unplugged).
    bool published() const;

    // Busy (cutting, feeding): the status lines say busy (0x80 clear), so the host's
    // non-blocking writes fail with EAGAIN, and the printer reads nothing more from the port
    // (SerialPrinter::setBusy). Only this call and stopAfter move the busy line; busyFor and
    // busyAfter stop the reading alone. setBusy(false) also cancels a pending stopAfter.
    void setBusy(bool busy);
    // Reads `bytes` more bytes (not one more), then stops reading and sets the busy line, until
    // setBusy(false). What the host wrote before it saw the line move waits in the port, unread,
    // and is read first when the printer takes data again. 0 is setBusy(true).
    void stopAfter(size_t bytes) override;
    // A fault (0x08 clear): the host's writes fail with EAGAIN; the printer still reads.
    void setFault(bool fault);
    // Off: every status line low (0x00), no nibble mode, no answers (silent), nothing read.
    // On again: the lines as they were, and the printer answers again (ending any silence).
    void setPowered(bool powered);
    // Without a reverse channel the port refuses nibble mode: the host reads nothing.
    void setReverseChannel(bool reverse);
    // Someone else has the port claimed: the host's PPCLAIM fails with EBUSY.
    void setHeld(bool held);
    // The status byte of a powered printer (default 0xDF); busy and fault clear their bits of it.
    void setStatusLines(uint8_t lines);

    // What PPRSTATUS gives now, and the whole published line.
    uint8_t statusLines() const;
    ParportEntry portEntry() const;
    bool powered() const;

  protected:
    void plugChanged() override;
    bool publishesOwnLine() const override { return true; }

  private:
    void stoppedAfterBytes();          // the stop hook
    ParportEntry entryLocked() const;  // with mutex_ held
    bool publishLocked();              // with mutex_ held

    std::string modemFile_;
    mutable std::mutex mutex_;
    std::string published_;  // the slave the line is published for; "" while none
    uint8_t lines_ = kParportReadyStatus;
    bool busy_ = false;
    bool stopPending_ = false;  // a stopAfter has not reached its count yet
    bool fault_ = false;
    bool powered_ = true;
    bool reverse_ = true;
    bool held_ = false;
};

}  // namespace prnsim

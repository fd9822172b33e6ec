#include "prnsim/ParallelPrinter.h"

namespace prnsim {
namespace {

constexpr uint8_t kNotBusyLine = 0x80;  // PARPORT_STATUS_BUSY: set while the printer is not busy
constexpr uint8_t kNoFaultLine = 0x08;  // PARPORT_STATUS_ERROR: set while there is no fault

SerialOptions serialOptions(ParallelOptions& options) {
    SerialOptions serial;
    serial.printer = options.printer;
    serial.link = options.link;
    serial.rawMaster = true;  // a parallel port has no line discipline
    serial.modemFile = options.modemFile;
    return serial;
}

}  // namespace

ParallelPrinter::ParallelPrinter(ParallelOptions options)
    : SerialPrinter(serialOptions(options)),
      modemFile_(options.modemFile.empty() ? modemFileFromEnvironment() : options.modemFile) {
    setStopHook([this] { stoppedAfterBytes(); });
    std::lock_guard lock(mutex_);
    publishLocked();
}

ParallelPrinter::~ParallelPrinter() {
    setStopHook(nullptr);  // the reader outlives this part of the printer
    std::lock_guard lock(mutex_);
    if (!published_.empty()) removeModemLine(modemFile_, published_);
    published_.clear();
}

ParportEntry ParallelPrinter::entryLocked() const {
    ParportEntry entry;
    entry.status = 0;
    if (powered_) {
        entry.status = lines_;
        if (busy_) entry.status &= static_cast<uint8_t>(~kNotBusyLine);
        if (fault_) entry.status &= static_cast<uint8_t>(~kNoFaultLine);
    }
    entry.reverse = powered_ && reverse_;
    entry.held = held_;
    return entry;
}

bool ParallelPrinter::publishLocked() {
    const std::string slave = slavePath();
    if (!published_.empty() && published_ != slave) removeModemLine(modemFile_, published_);
    published_.clear();
    if (slave.empty() || modemFile_.empty()) return false;
    if (!publishParportEntry(modemFile_, slave, entryLocked())) return false;
    published_ = slave;
    return true;
}

void ParallelPrinter::plugChanged() {
    std::lock_guard lock(mutex_);
    publishLocked();
}

bool ParallelPrinter::published() const {
    std::lock_guard lock(mutex_);
    return !published_.empty();
}

void ParallelPrinter::setBusy(bool busy) {
    std::lock_guard lock(mutex_);
    busy_ = busy;
    stopPending_ = false;
    // The host sees the busy line only once the printer has stopped reading, and sees it clear
    // only once it reads again.
    if (busy) SerialPrinter::setBusy(true);
    publishLocked();
    if (!busy && powered_) SerialPrinter::setBusy(false);
}

void ParallelPrinter::stopAfter(size_t bytes) {
    if (bytes == 0) return setBusy(true);
    std::lock_guard lock(mutex_);
    stopPending_ = true;
    SerialPrinter::stopAfter(bytes);
}

void ParallelPrinter::stoppedAfterBytes() {
    // The printer has stopped reading; a setBusy since the stopAfter has the last word.
    std::lock_guard lock(mutex_);
    if (!stopPending_) return;
    stopPending_ = false;
    busy_ = true;
    publishLocked();
}

void ParallelPrinter::setFault(bool fault) {
    std::lock_guard lock(mutex_);
    fault_ = fault;
    publishLocked();
}

void ParallelPrinter::setPowered(bool powered) {
    std::lock_guard lock(mutex_);
    powered_ = powered;
    if (!powered) {
        SerialPrinter::setBusy(true);
        setSilent(true);
    }
    publishLocked();
    if (powered) {
        setSilent(false);
        if (!busy_) {
            stopPending_ = false;  // cancelled with the reading's own
            SerialPrinter::setBusy(false);
        }
    }
}

void ParallelPrinter::setReverseChannel(bool reverse) {
    std::lock_guard lock(mutex_);
    reverse_ = reverse;
    publishLocked();
}

void ParallelPrinter::setHeld(bool held) {
    std::lock_guard lock(mutex_);
    held_ = held;
    publishLocked();
}

void ParallelPrinter::setStatusLines(uint8_t lines) {
    std::lock_guard lock(mutex_);
    lines_ = lines;
    publishLocked();
}

uint8_t ParallelPrinter::statusLines() const {
    std::lock_guard lock(mutex_);
    return entryLocked().status;
}

ParportEntry ParallelPrinter::portEntry() const {
    std::lock_guard lock(mutex_);
    return entryLocked();
}

bool ParallelPrinter::powered() const {
    std::lock_guard lock(mutex_);
    return powered_;
}

}  // namespace prnsim

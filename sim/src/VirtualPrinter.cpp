#include "prnsim/VirtualPrinter.h"

#include <algorithm>

namespace prnsim {
namespace {

constexpr uint8_t kDle = 0x10;
constexpr uint8_t kEot = 0x04;

// DLE EOT replies have the shape 0xx1xx10: bits 1 and 4 always set.
constexpr uint8_t kRealtimeBase = 0x12;
// First byte of an automatic status block: 0xx1xx00.
constexpr uint8_t kBlockBase = 0x10;
constexpr uint8_t kProcessIdHeader[] = {0x37, 0x22};

// An error's bit in DLE EOT 3 and in byte 2 of the status block.
uint8_t errorBits(PrinterError error) {
    switch (error) {
        case PrinterError::Recoverable:
            return 0x04;
        case PrinterError::Autocutter:
            return 0x08;
        case PrinterError::Unrecoverable:
            return 0x20;
        case PrinterError::AutoRecoverable:
            return 0x40;
        case PrinterError::None:
            break;
    }
    return 0x00;
}

}  // namespace

VirtualPrinter::VirtualPrinter(PrinterOptions options)
    : options_(options), printSpeed_(options.printSpeed) {
    engineThread_ = std::thread([this] { engineLoop(); });
}

VirtualPrinter::~VirtualPrinter() {
    detachOutput();
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    engineWake_.notify_all();
    engineThread_.join();
}

// --- state ---

bool VirtualPrinter::printingStopped() const {
    return offline_ || coverOpen_ || paper_ == Paper::End || error_ != PrinterError::None ||
           waitingForRecovery_;
}

bool VirtualPrinter::offlineBit() const {
    if (offline_) return true;
    if (options_.model != StatusModel::Reference) return false;
    return coverOpen_ || paper_ == Paper::End || error_ != PrinterError::None ||
           waitingForRecovery_;
}

VirtualPrinter::StatusBlock VirtualPrinter::statusBlock() const {
    StatusBlock block{};
    block.b[0] = static_cast<uint8_t>(kBlockBase | (pin3High() ? 0x04 : 0) |
                                      (offlineBit() ? 0x08 : 0) | (coverOpen_ ? 0x20 : 0));
    // Byte 2 has the error bits where DLE EOT 3 has them, and waiting for recovery in bit 0.
    block.b[1] = static_cast<uint8_t>(errorBits(error_) | (waitingForRecovery_ ? 0x01 : 0));
    // Byte 3: near end 0x03, paper end 0x0C; a printer out of paper also reports near end.
    block.b[2] = paper_ == Paper::End ? 0x0F : paper_ == Paper::NearEnd ? 0x03 : 0x00;
    block.b[3] = options_.block4;
    return block;
}

template <class Change>
void VirtualPrinter::changeStateLocked(Change change) {
    const StatusBlock before = statusBlock();
    change();
    const StatusBlock after = statusBlock();
    if (autoStatus_ != 0 && after != before) queueReply(after.b, sizeof after.b);
    changed_.notify_all();
}

template <class Change>
void VirtualPrinter::changeState(Change change) {
    {
        std::lock_guard lock(mutex_);
        changeStateLocked(change);
    }
    engineWake_.notify_all();  // printing may resume
    flushOutput();
}

void VirtualPrinter::raiseFault(Fault fault) {
    changeStateLocked([&] {
        if (fault == Fault::PaperEnd)
            paper_ = Paper::End;
        else
            coverOpen_ = true;
    });
}

void VirtualPrinter::setCoverOpen(bool open) {
    changeState([&] { coverOpen_ = open; });
}
void VirtualPrinter::setPaper(Paper paper) {
    changeState([&] { paper_ = paper; });
}
void VirtualPrinter::setOffline(bool offline) {
    changeState([&] { offline_ = offline; });
}
void VirtualPrinter::setDrawerOpen(bool open) {
    changeState([&] { drawerOpen_ = open; });
}
void VirtualPrinter::setError(PrinterError error) {
    changeState([&] { error_ = error; });
}
void VirtualPrinter::setError(bool error) {
    setError(error ? PrinterError::Recoverable : PrinterError::None);
}
void VirtualPrinter::setWaitingForRecovery(bool waiting) {
    changeState([&] { waitingForRecovery_ = waiting; });
}

void VirtualPrinter::faultAfter(size_t bytes, Fault fault) {
    {
        std::lock_guard lock(mutex_);
        pendingFault_.reset();
        if (bytes > 0) {
            pendingFault_ = PendingFault{bytes, fault};
            return;
        }
        raiseFault(fault);
    }
    flushOutput();
}

void VirtualPrinter::setSilent(bool silent) {
    std::lock_guard lock(mutex_);
    silent_ = silent;
}

void VirtualPrinter::setReply2(std::optional<Bytes> reply) {
    std::lock_guard lock(mutex_);
    reply2_ = std::move(reply);
}

void VirtualPrinter::setReply4(std::optional<Bytes> reply) {
    std::lock_guard lock(mutex_);
    reply4_ = std::move(reply);
}

void VirtualPrinter::setPrintSpeed(unsigned bytesPerSecond) {
    {
        std::lock_guard lock(mutex_);
        printSpeed_ = bytesPerSecond;
        running_ = false;  // the next byte is timed from now
    }
    engineWake_.notify_all();
}

bool VirtualPrinter::setDsr(bool) {
    return false;
}

bool VirtualPrinter::coverOpen() const {
    std::lock_guard lock(mutex_);
    return coverOpen_;
}
Paper VirtualPrinter::paper() const {
    std::lock_guard lock(mutex_);
    return paper_;
}
bool VirtualPrinter::offline() const {
    std::lock_guard lock(mutex_);
    return offline_;
}
bool VirtualPrinter::drawerOpen() const {
    std::lock_guard lock(mutex_);
    return drawerOpen_;
}
PrinterError VirtualPrinter::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}
bool VirtualPrinter::waitingForRecovery() const {
    std::lock_guard lock(mutex_);
    return waitingForRecovery_;
}
bool VirtualPrinter::autoStatusEnabled() const {
    std::lock_guard lock(mutex_);
    return autoStatus_ != 0;
}

// --- output ---

void VirtualPrinter::queueReply(const uint8_t* data, size_t size) {
    if (!silent_) queueRaw(data, size);
}

void VirtualPrinter::queueRaw(const uint8_t* data, size_t size) {
    outbox_.insert(outbox_.end(), data, data + size);
}

void VirtualPrinter::sendToHost(const Bytes& bytes) {
    {
        std::lock_guard lock(mutex_);
        queueRaw(bytes.data(), bytes.size());
    }
    flushOutput();
}

void VirtualPrinter::flushOutput() {
    // outputMutex_ keeps replies in the order they were queued when several threads flush.
    std::lock_guard out(outputMutex_);
    Bytes pending;
    {
        std::lock_guard lock(mutex_);
        pending.swap(outbox_);
    }
    if (pending.empty()) return;
    if (output_) output_(pending.data(), pending.size());
    std::lock_guard lock(mutex_);
    sent_.insert(sent_.end(), pending.begin(), pending.end());
    changed_.notify_all();
}

void VirtualPrinter::attachOutput(Output output) {
    std::lock_guard out(outputMutex_);
    output_ = std::move(output);
}

void VirtualPrinter::detachOutput() {
    std::lock_guard out(outputMutex_);
    output_ = nullptr;
}

// --- reception ---

void VirtualPrinter::resetRealtimeScanner() {
    std::lock_guard lock(mutex_);
    realtimeState_ = 0;
}

void VirtualPrinter::receive(const uint8_t* data, size_t size, int connection) {
    if (size == 0) return;
    {
        std::lock_guard lock(mutex_);
        chunks_.push_back({Clock::now(), connection, Bytes(data, data + size)});
        received_.insert(received_.end(), data, data + size);
        for (size_t i = 0; i < size; ++i) {
            const uint8_t b = data[i];
            // The real-time scanner sees every byte on receipt, wherever it is in a command.
            if (realtimeState_ == 2) {
                answerRealtime(b);
                realtimeState_ = 0;
            } else if (realtimeState_ == 1 && b == kEot) {
                realtimeState_ = 2;
            } else {
                realtimeState_ = b == kDle ? 1 : 0;
            }
            buffer_.push_back(b);
        }
        changed_.notify_all();
    }
    engineWake_.notify_all();
    flushOutput();
}

void VirtualPrinter::answerRealtime(uint8_t n) {
    uint8_t reply = kRealtimeBase;
    switch (n) {
        case 1:  // printer status
            reply |= static_cast<uint8_t>((pin3High() ? 0x04 : 0) | (offlineBit() ? 0x08 : 0) |
                                          (waitingForRecovery_ ? 0x20 : 0));
            break;
        case 2:  // offline cause
            if (reply2_) {
                queueReply(reply2_->data(), reply2_->size());
                return;
            }
            reply |=
                static_cast<uint8_t>((coverOpen_ ? 0x04 : 0) | (paper_ == Paper::End ? 0x20 : 0) |
                                     (error_ != PrinterError::None ? 0x40 : 0));
            break;
        case 3:  // error cause
            reply |= errorBits(error_);
            break;
        case 4:  // roll paper sensor: near end 0x0C, paper end 0x60 (with near end)
            if (reply4_) {
                queueReply(reply4_->data(), reply4_->size());
                return;
            }
            reply |= static_cast<uint8_t>(paper_ == Paper::End       ? 0x6C
                                          : paper_ == Paper::NearEnd ? 0x0C
                                                                     : 0x00);
            break;
        default:
            return;  // not a status request this printer knows
    }
    queueReply(&reply, 1);
}

// --- print engine ---

void VirtualPrinter::engineLoop() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (buffer_.empty() || printingStopped()) {
            running_ = false;
            engineWake_.wait(lock);
            continue;
        }
        size_t allowed = buffer_.size();
        if (printSpeed_ > 0) {
            const Clock::time_point now = Clock::now();
            if (!running_) {
                running_ = true;
                runStart_ = now;
                runBytes_ = 0;
            }
            const double elapsed = std::chrono::duration<double>(now - runStart_).count();
            const auto due = static_cast<uint64_t>(elapsed * printSpeed_);
            if (due <= runBytes_) {
                const auto next =
                    runStart_ +
                    std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                        static_cast<double>(runBytes_ + 1) / printSpeed_));
                engineWake_.wait_until(lock, next);
                continue;
            }
            allowed = std::min<uint64_t>(allowed, due - runBytes_);
        }
        std::string newText;
        size_t printed = 0;
        while (printed < allowed && !buffer_.empty() && !printingStopped()) {
            const uint8_t b = buffer_.front();
            buffer_.pop_front();
            ++printed;
            if (std::optional<Command> command = parser_.feed(b)) execute(*command, newText);
            if (pendingFault_ && --pendingFault_->bytesLeft == 0) {
                const Fault fault = pendingFault_->fault;
                pendingFault_.reset();
                raiseFault(fault);  // stops this loop: printing has stopped
            }
        }
        runBytes_ += printed;
        if (buffer_.empty()) running_ = false;
        text_ += newText;
        changed_.notify_all();

        lock.unlock();
        flushOutput();
        if (!newText.empty()) {
            std::lock_guard listenerLock(listenerMutex_);
            if (listener_) listener_(newText);
        }
        lock.lock();
    }
}

void VirtualPrinter::execute(const Command& command, std::string& newText) {
    newText += command.label;
    switch (command.kind) {
        case Command::Kind::AutoStatus:
            autoStatus_ = static_cast<uint8_t>(command.arg);
            if (autoStatus_ != 0) {
                const StatusBlock block = statusBlock();
                queueReply(block.b, sizeof block.b);
            }
            break;
        case Command::Kind::ProcessId: {
            Bytes reply(std::begin(kProcessIdHeader), std::end(kProcessIdHeader));
            reply.insert(reply.end(), command.data.begin(), command.data.end());
            reply.push_back(0x00);
            queueReply(reply.data(), reply.size());
            break;
        }
        case Command::Kind::DrawerKick:
            pulses_.push_back({Clock::now(), command.pin, command.onMs, command.offMs});
            if (options_.pulseOpensDrawer && !drawerOpen_) {
                drawerOpen_ = true;
                if (autoStatus_ != 0) {
                    const StatusBlock block = statusBlock();
                    queueReply(block.b, sizeof block.b);
                }
            }
            break;
        case Command::Kind::PaperSensor: {
            const uint8_t reply = paper_ == Paper::End ? 0x0F : paper_ == Paper::NearEnd ? 0x03 : 0;
            queueReply(&reply, 1);
            break;
        }
        case Command::Kind::DrawerSensor: {
            const uint8_t reply = pin3High() ? 0x01 : 0x00;
            queueReply(&reply, 1);
            break;
        }
        case Command::Kind::Init:
        case Command::Kind::Text:
        case Command::Kind::Other:
            break;
    }
}

void VirtualPrinter::setTextListener(std::function<void(std::string_view)> listener) {
    std::lock_guard lock(listenerMutex_);
    listener_ = std::move(listener);
}

// --- record ---

Bytes VirtualPrinter::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}
std::vector<ReceivedChunk> VirtualPrinter::chunks() const {
    std::lock_guard lock(mutex_);
    return chunks_;
}
std::vector<DrawerPulse> VirtualPrinter::pulses() const {
    std::lock_guard lock(mutex_);
    return pulses_;
}
Bytes VirtualPrinter::sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
}
std::string VirtualPrinter::text() const {
    std::lock_guard lock(mutex_);
    return text_;
}
size_t VirtualPrinter::countReceived(const Bytes& sequence) const {
    std::lock_guard lock(mutex_);
    return countOccurrences(received_, sequence);
}

Bytes VirtualPrinter::receivedOn(int connection) const {
    std::lock_guard lock(mutex_);
    Bytes bytes;
    for (const ReceivedChunk& chunk : chunks_)
        if (chunk.connection == connection)
            bytes.insert(bytes.end(), chunk.bytes.begin(), chunk.bytes.end());
    return bytes;
}
size_t VirtualPrinter::countReceivedOn(int connection, const Bytes& sequence) const {
    return countOccurrences(receivedOn(connection), sequence);
}

void VirtualPrinter::clearRecord() {
    std::lock_guard lock(mutex_);
    received_.clear();
    chunks_.clear();
    pulses_.clear();
    sent_.clear();
    text_.clear();
}

bool VirtualPrinter::waitForBytes(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return received_.size() >= count; });
}

bool VirtualPrinter::waitForSequence(const Bytes& sequence, size_t occurrences,
                                     std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        return countOccurrences(received_, sequence) >= std::max<size_t>(occurrences, 1);
    });
}

bool VirtualPrinter::waitUntilPrinted(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return buffer_.empty(); });
}

bool VirtualPrinter::waitForSent(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return sent_.size() >= count; });
}

}  // namespace prnsim

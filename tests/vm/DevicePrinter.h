// The virtual printer on the far side of a real kernel driver: the gadget end of a USB printer
// (/dev/g_printer0) or of a USB serial line (/dev/ttyGS0). It reads the node the host's data
// arrives on and writes its replies to it. The node may vanish and come back (the gadget unbound
// and bound again): the reader opens it again as soon as it is there.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "prnsim/VirtualPrinter.h"

namespace prnvm {

class DevicePrinter : public prnsim::VirtualPrinter {
  public:
    // tty: the node is a tty (put in raw mode on every open).
    DevicePrinter(std::string path, bool tty);
    ~DevicePrinter() override;

    // Closed, the node stays closed until opened again: on the gadget end of a serial line this
    // drops the host's DSR.
    void setOpen(bool open);
    // The node is open now.
    bool isOpen() const;

  private:
    void readerLoop();
    void writeToHost(const uint8_t* data, size_t size);
    bool openNode();   // with fdMutex_ held
    void closeNode();  // with fdMutex_ held

    const std::string path_;
    const bool tty_;
    mutable std::mutex fdMutex_;
    int fd_ = -1;
    std::atomic<bool> wanted_{true};
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

}  // namespace prnvm

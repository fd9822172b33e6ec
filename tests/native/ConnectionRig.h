// The four connections of the native tests and benchmarks that run one behaviour on each: the
// libraries (this build's, or another build's named by PRN_SERIAL_LIB, PRN_NET_LIB, PRN_USB_LIB
// and PRN_PARALLEL_LIB) and a virtual printer on each connection: the serial line (a pty with
// modem lines), the USB printer node (a pty by the usblp rules), the parallel port (a pty served
// as ppdev) and the network printer (a loopback socket). The executable links the modem shim, and
// defines PRN_BUILT_SERIAL_LIB, PRN_BUILT_NET_LIB, PRN_BUILT_USB_LIB and PRN_BUILT_PARALLEL_LIB.
//
// Jobs are numbered lines, so a byte sent twice or a gap shows wherever it lands.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <string>

#include "LineTestSupport.h"
#include "prnsim/ParallelPrinter.h"
#include "prnsim/SerialPrinter.h"
#include "prnsim/TcpPrinter.h"

namespace prntest {

// ---- The libraries ----

struct Deliverable {
    const char* connection;
    const char* javaClass;
    const char* variable;  // names another build's library
    const char* built;
    long passMs;     // the monitor's idle interval
    long releaseMs;  // how long a claimed port's close gives its monitor to see the stop
};

inline const Deliverable kDeliverables[] = {
    {"serial", "JNativeCommonPort4LinuxSerial", "PRN_SERIAL_LIB", PRN_BUILT_SERIAL_LIB, 500, 1000},
    {"usb", "JNativeCommonPort4LinuxUSB", "PRN_USB_LIB", PRN_BUILT_USB_LIB, 500, 1000},
    {"parallel", "JNativeCommonPort4LinuxParallel", "PRN_PARALLEL_LIB", PRN_BUILT_PARALLEL_LIB, 300,
     1000},
    {"net", "JNativeCommonPort4LinuxEthernet", "PRN_NET_LIB", PRN_BUILT_NET_LIB, 500, 300},
};

inline const Deliverable& DeliverableOf(const std::string& connection) {
    for (const Deliverable& d : kDeliverables)
        if (connection == d.connection) return d;
    ADD_FAILURE() << "no connection " << connection;
    return kDeliverables[0];
}

// The file of the connection's library: this build's, or the one its variable names.
inline std::string LibraryPathOf(const Deliverable& d) {
    const char* other = std::getenv(d.variable);
    return other != nullptr && *other != '\0' ? other : d.built;
}

// The connection's library, loaded once per process and never unloaded (as in a JVM).
inline NativeLibrary& LibraryOf(const Deliverable& d) {
    static NativeLibrary* libraries[std::size(kDeliverables)] = {};
    NativeLibrary*& lib = libraries[&d - kDeliverables];
    if (lib == nullptr) {
        lib = new NativeLibrary;
        lib->load(LibraryPathOf(d), d.javaClass);
    }
    return *lib;
}

// ---- Jobs ----

// Lines "000123 the quick brown fox jumps over the lazy dog\n" numbered from `first`, `bytes`
// long (the last line cut short).
inline prnsim::Bytes Lines(size_t bytes, int first) {
    prnsim::Bytes job;
    for (int line = first; job.size() < bytes; ++line) {
        char text[64];
        const int n = std::snprintf(text, sizeof text,
                                    "%06d the quick brown fox jumps over the lazy dog\n", line);
        job.insert(job.end(), text, text + n);
    }
    job.resize(bytes);
    return job;
}

inline prnsim::Bytes Prefix(const prnsim::Bytes& job, int count) {
    return prnsim::Bytes(job.begin(), job.begin() + std::clamp(count, 0, Size(job)));
}

// A job's last 60 bytes, as the printer's text view shows them once printed.
inline std::string Tail(const prnsim::Bytes& job) {
    return std::string(job.end() - std::min<long>(60, Size(job)), job.end());
}

// ---- One printer per connection ----

// A virtual printer on the connection, and the open of a library on it.

class Rig {
  public:
    explicit Rig(const std::string& connection) : connection_(connection) {
        static int made = 0;
        const std::string link =
            "/tmp/prn-rig-" + std::to_string(getpid()) + "-" + std::to_string(made++);
        if (connection == "serial") {
            prnsim::SerialOptions options;
            options.modem = true;  // DSR through the shim
            device_ = std::make_unique<prnsim::SerialPrinter>(options);
        } else if (connection == "usb") {
            prnsim::SerialOptions options;
            options.link = link;
            options.usblp = true;
            options.deviceId = "MFG:Virtual;MDL:Receipt80;CMD:ESCPOS;";
            device_ = std::make_unique<prnsim::SerialPrinter>(options);
        } else if (connection == "parallel") {
            prnsim::ParallelOptions options;
            options.link = link;
            device_ = std::make_unique<prnsim::ParallelPrinter>(options);
        } else {
            network_ = std::make_unique<prnsim::TcpPrinter>();
        }
    }

    const std::string& connection() const { return connection_; }
    bool ok() const { return device_ ? device_->ok() : network_->ok(); }
    std::string error() const { return device_ ? device_->error() : network_->error(); }
    prnsim::VirtualPrinter& printer() {
        return device_ ? static_cast<prnsim::VirtualPrinter&>(*device_) : *network_;
    }
    prnsim::SerialPrinter& device() { return *device_; }  // serial, usb, parallel
    prnsim::TcpPrinter& network() { return *network_; }   // net

    // An open of lib (the shared port or an instance of its own) on this printer.
    long open(NativeCalls& lib) {
        if (network_) return lib.openPort("SOCKET:127.0.0.1", std::to_string(network_->port()));
        return lib.openPort(device_->devicePath(),
                            connection_ == "serial" ? "9600,none,8,1,none" : "");
    }
    // The printer takes data at this pace (0: as fast as it comes).
    void setPace(unsigned bytesPerSecond) {
        if (network_) {
            network_->setPace(bytesPerSecond);
        } else {
            device_->setReadRate(bytesPerSecond);
        }
    }

  private:
    std::string connection_;
    std::unique_ptr<prnsim::SerialPrinter> device_;
    std::unique_ptr<prnsim::TcpPrinter> network_;
};

// The print data a printer has received over all its connections, once the record has held at
// least `count` bytes of it and stopped growing for 300 ms (each at most 10 s).
inline prnsim::Bytes PrintDataOnceSettled(prnsim::VirtualPrinter& printer, size_t count) {
    WaitFor([&] { return PrintData(printer.received()).size() >= count; },
            std::chrono::seconds(10));
    size_t last = printer.received().size();
    auto since = Clock::now();
    WaitFor(
        [&] {
            const size_t now = printer.received().size();
            if (now != last) last = now, since = Clock::now();
            return Clock::now() - since >= milliseconds(300);
        },
        std::chrono::seconds(10));
    return PrintData(printer.received());
}

}  // namespace prntest

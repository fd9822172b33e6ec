// Figures of the USB library through its exported natives, on the printer-node stand-in (a raw
// pty that the virtual printer reads as fast as data comes):
//  - the print-data rate of _writeData against its ceiling, 1024 bytes per 10 ms pause
//    (102.4 KB/s);
//  - how long a silent printer's open takes, and a claimed printer's unplug and replug take to
//    show in the status;
//  - the CPU a claimed, quiet printer costs the process (the monitor's passes), in ms of CPU per
//    second, and the same with nothing claimed.
//
//   usb_bench [--rounds N] [--idle-seconds S] [--lib PATH]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "NativeLibrary.h"
#include "prnsim/SerialPrinter.h"

namespace {

using prnbench::Clock;
using prnbench::CpuSeconds;
using prnbench::Figures;
using prntest::NativeLibrary;
using Bytes = std::vector<uint8_t>;

constexpr char kClass[] = "JNativeCommonPort4LinuxUSB";
constexpr double kCeilingBytesPerSecond = 1024.0 / 0.010;

double SecondsSince(Clock::time_point start) {
    return prnbench::MillisSince(start) / 1000;
}

// Bytes per second of one job through _writeData, until the printer has it all.
double WriteRate(NativeLibrary& lib, prnsim::SerialPrinter& printer, size_t size) {
    if (lib.openPort(printer.devicePath(), "") != 0) return -1;
    const Bytes job(size, 'x');
    printer.clearRecord();
    const auto start = Clock::now();
    const int written = lib.writeData(job, static_cast<int>(job.size()), 0);
    printer.waitForBytes(job.size(), std::chrono::seconds(60));
    const double took = SecondsSince(start);
    lib.closePort();
    return written == static_cast<int>(job.size()) ? static_cast<double>(size) / took : -1;
}

// ms of the process's CPU per second of wall time over `seconds`, the printer claimed or not.
double IdleCpu(NativeLibrary& lib, prnsim::SerialPrinter& printer, bool claimed, int seconds) {
    if (lib.openPort(printer.devicePath(), "") != 0) return -1;
    if (claimed && lib.claim(0, true) != 0) {
        lib.closePort();
        return -1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));  // past the claim's fast passes
    const double cpuBefore = CpuSeconds();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu = CpuSeconds() - cpuBefore;
    const double wall = SecondsSince(start);
    const int status = lib.getPrinterStatus(0);
    lib.closePort();
    if (status != 0) std::fprintf(stderr, "status %d while idle\n", status);
    return cpu * 1000.0 / wall;
}

// Milliseconds until the status reads `status`, sampled every 5 ms; -1 after 10 s.
double MillisUntilStatus(NativeLibrary& lib, int status) {
    const auto start = Clock::now();
    while (lib.getPrinterStatus(0) != status) {
        if (SecondsSince(start) > 10) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return SecondsSince(start) * 1000;
}

// The waits a service sees: a silent printer's open, and a claimed printer's unplug and replug.
void Waits(NativeLibrary& lib, prnsim::SerialPrinter& printer, int rounds) {
    Figures silent;
    Figures offline;
    Figures ready;
    for (int r = 0; r < rounds; ++r) {
        printer.setSilent(true);
        const auto start = Clock::now();
        const long opened = lib.openPort(printer.devicePath(), "");
        silent.values.push_back(opened == -1 ? SecondsSince(start) * 1000 : -1);
        lib.closePort();
        printer.setSilent(false);
        if (lib.openPort(printer.devicePath(), "") != 0 || lib.claim(0, true) != 0) return;
        MillisUntilStatus(lib, 0);
        // At a different point of the monitor's 500 ms interval each round (past the claim's
        // fast passes).
        std::this_thread::sleep_for(std::chrono::milliseconds(600 + 500 * r / rounds));
        printer.unplug();
        offline.values.push_back(MillisUntilStatus(lib, 8));
        printer.replug();
        ready.values.push_back(MillisUntilStatus(lib, 0));
        lib.closePort();
    }
    std::printf("  silent printer, _openPort gives -1 after %.0f ms (%.0f .. %.0f; 1200 nominal)\n",
                silent.at(0.5), silent.at(0), silent.at(1));
    std::printf("  claimed, unplug to status 8: %.0f ms (%.0f .. %.0f; a pass is 500 ms)\n",
                offline.at(0.5), offline.at(0), offline.at(1));
    std::printf("  claimed, replug to status 0: %.0f ms (%.0f .. %.0f; a reopen a second)\n",
                ready.at(0.5), ready.at(0), ready.at(1));
}

}  // namespace

int main(int argc, char** argv) {
    std::string path = PRN_BENCH_USB;
    int rounds = 5;
    int idleSeconds = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
        if (option == "--idle-seconds") idleSeconds = std::max(1, std::atoi(argv[i + 1]));
        if (option == "--lib") path = argv[i + 1];
    }
    NativeLibrary lib;
    if (!lib.load(path, kClass)) {
        std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), lib.error().c_str());
        return 2;
    }
    prnsim::SerialOptions options;
    options.link = "/tmp/prn-usb-bench-" + std::to_string(getpid());
    options.rawMaster = true;
    prnsim::SerialPrinter printer(options);
    if (!printer.ok()) {
        std::fprintf(stderr, "no printer: %s\n", printer.error().c_str());
        return 2;
    }

    std::printf("usb, %d rounds: median (low .. high)\n", rounds);
    for (const size_t size : {size_t{12} * 1024, size_t{256} * 1024}) {
        Figures rate;
        for (int r = 0; r < rounds; ++r) rate.values.push_back(WriteRate(lib, printer, size));
        std::printf("  _writeData %4zu KiB: %7.1f KB/s (%.1f .. %.1f), %.3f of the ceiling\n",
                    size / 1024, rate.at(0.5) / 1000, rate.at(0) / 1000, rate.at(1) / 1000,
                    rate.at(0.5) / kCeilingBytesPerSecond);
    }
    Waits(lib, printer, rounds);
    const double open = IdleCpu(lib, printer, false, idleSeconds);
    const double claimed = IdleCpu(lib, printer, true, idleSeconds);
    std::printf("  idle CPU over %d s, ms per s: open %.3f, claimed quiet printer %.3f\n",
                idleSeconds, open, claimed);
    lib.unload();
    return 0;
}

// The two waits a till judges the libraries by, per deliverable, on the virtual printers:
//  - completion: _WaitForCompletePrinting's return after a printer that answers at once (the
//    wait's own 100 ms settle included), started at a different phase of the monitor's idle
//    interval each round;
//  - status: from the cover opening (and closing) to _getPrinterStatus showing it, against the
//    deliverable's idle interval;
// the waits the Java side relies on (a silent printer's open, a claim, a close after a claim, a
// drawer kick) measured against their nominal length; and the CPU a claimed, quiet printer
// costs. With --baseline DIR, the same for another build's libraries (DIR is its build folder)
// in the same run, and the ratio.
//
//   wait_bench [--rounds N] [--idle-seconds S] [--baseline BUILD] [serial|net|usb|parallel...]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "NativeLibrary.h"
#include "prnsim/ParallelPrinter.h"
#include "prnsim/SerialPrinter.h"
#include "prnsim/TcpPrinter.h"

namespace {

using prnbench::Clock;
using prnbench::CpuSeconds;
using prnbench::Figures;
using prnbench::MillisSince;
using prntest::NativeLibrary;
using std::chrono::milliseconds;

// A deliverable and the printer it is measured on.
struct Subject {
    std::string name;
    std::string javaClass;
    std::string library;  // the file name under the build folder
    unsigned idleMs;
    unsigned silentOpenMs;  // how long a silent printer's open is meant to take
    unsigned closeMs;       // a close after a claim: the release wait
    std::function<std::unique_ptr<prnsim::VirtualPrinter>()> printer;
    std::function<long(NativeLibrary&, prnsim::VirtualPrinter&)> open;
};

std::string Unique(const char* what) {
    static int made = 0;
    return "/tmp/prn-wait-bench-" + std::to_string(getpid()) + "-" + what + std::to_string(made++);
}

std::vector<Subject> Subjects() {
    auto serialOpen = [](NativeLibrary& lib, prnsim::VirtualPrinter& p) {
        return lib.openPort(static_cast<prnsim::SerialPrinter&>(p).devicePath(), "9600");
    };
    auto nodeOpen = [](NativeLibrary& lib, prnsim::VirtualPrinter& p) {
        return lib.openPort(static_cast<prnsim::SerialPrinter&>(p).devicePath(), "");
    };
    return {
        {"serial", "JNativeCommonPort4LinuxSerial", "jni/serial/libprnserial.so", 500, 1720, 1000,
         [] {
             prnsim::SerialOptions options;
             options.modem = true;
             auto printer = std::make_unique<prnsim::SerialPrinter>(options);
             printer->setDsr(true);
             return std::unique_ptr<prnsim::VirtualPrinter>(std::move(printer));
         },
         serialOpen},
        {"net", "JNativeCommonPort4LinuxEthernet", "jni/ethernet/libprnnet.so", 500, 1200, 300,
         [] {
             // The network printer model: cover open as 30/34, paper end as 10/14.
             prnsim::TcpOptions options;
             options.printer.model = prnsim::StatusModel::NetworkTable;
             return std::unique_ptr<prnsim::VirtualPrinter>(new prnsim::TcpPrinter(options));
         },
         [](NativeLibrary& lib, prnsim::VirtualPrinter& p) {
             return lib.openPort("SOCKET:127.0.0.1",
                                 std::to_string(static_cast<prnsim::TcpPrinter&>(p).port()));
         }},
        {"usb", "JNativeCommonPort4LinuxUSB", "jni/usb/libprnusb.so", 500, 1200, 1000,
         [] {
             prnsim::SerialOptions options;
             options.link = Unique("usb");
             options.rawMaster = true;
             return std::unique_ptr<prnsim::VirtualPrinter>(new prnsim::SerialPrinter(options));
         },
         nodeOpen},
        {"parallel", "JNativeCommonPort4LinuxParallel", "jni/parallel/libprnparallel.so", 300, 410,
         1000,
         [] {
             prnsim::ParallelOptions options;
             options.link = Unique("parport");
             return std::unique_ptr<prnsim::VirtualPrinter>(new prnsim::ParallelPrinter(options));
         },
         nodeOpen},
    };
}

bool StatusBecomes(NativeLibrary& lib, int status, double* millis, Clock::time_point start) {
    while (lib.getPrinterStatus(0) != status) {
        if (MillisSince(start) > 5000) return false;
        std::this_thread::sleep_for(milliseconds(1));
    }
    *millis = MillisSince(start);
    return true;
}

// ms of the process's CPU per second of wall time over `seconds`.
double CpuPerSecond(int seconds) {
    const double cpuBefore = CpuSeconds();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    return (CpuSeconds() - cpuBefore) * 1000.0 / (MillisSince(start) / 1000.0);
}

struct Result {
    bool ok = false;
    Figures completion;
    Figures status;
    double idleCpu = 0;           // ms of the process's CPU per s, claimed and quiet
    double idleCpuUnclaimed = 0;  // the same, released (the printer's own threads alone)
    Figures silentOpen, claim, close, drawer;  // measured over nominal
};

// The waits the Java side relies on, each as measured over its nominal length.
void Fidelity(const Subject& subject, NativeLibrary& lib, prnsim::VirtualPrinter& printer,
              int rounds, Result& result) {
    for (int r = 0; r < rounds; ++r) {
        printer.setSilent(true);
        auto start = Clock::now();
        const long silent = subject.open(lib, printer);
        result.silentOpen.values.push_back(silent == -1 ? MillisSince(start) / subject.silentOpenMs
                                                        : -1);
        lib.closePort();
        printer.setSilent(false);
        if (subject.open(lib, printer) != 0) return;
        start = Clock::now();
        lib.claim(1000, true);
        result.claim.values.push_back(MillisSince(start) / 500);
        start = Clock::now();
        lib.openDrawer(2, 100, 100);
        result.drawer.values.push_back(MillisSince(start) / 2000);
        start = Clock::now();
        lib.closePort();
        result.close.values.push_back(MillisSince(start) / subject.closeMs);
    }
}

Result Measure(const Subject& subject, const std::string& path, int rounds, int idleSeconds) {
    Result result;
    NativeLibrary lib;
    if (!lib.load(path, subject.javaClass)) {
        std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), lib.error().c_str());
        return result;
    }
    const auto printer = subject.printer();
    if (subject.open(lib, *printer) != 0 || lib.claim(1000, true) != 0) {
        std::fprintf(stderr, "%s: the printer did not open and claim\n", subject.name.c_str());
        lib.closePort();
        return result;
    }
    double ignored = 0;
    StatusBecomes(lib, 0, &ignored, Clock::now());
    for (int r = 0; r < rounds; ++r) {
        // A different phase of the idle interval each round.
        std::this_thread::sleep_for(milliseconds(subject.idleMs + subject.idleMs * r / rounds));
        const auto start = Clock::now();
        const bool answered = lib.waitForCompletePrinting(0);
        result.completion.values.push_back(answered ? MillisSince(start) : -1);
    }
    for (int r = 0; r < rounds; ++r) {
        std::this_thread::sleep_for(milliseconds(subject.idleMs * r / rounds + 37));
        const bool open = r % 2 == 0;
        printer->setCoverOpen(open);
        double millis = -1;
        StatusBecomes(lib, open ? 1 : 0, &millis, Clock::now());
        result.status.values.push_back(millis);
    }
    printer->setCoverOpen(false);
    StatusBecomes(lib, 0, &ignored, Clock::now());
    result.idleCpu = CpuPerSecond(idleSeconds);
    lib.release();
    result.idleCpuUnclaimed = CpuPerSecond(idleSeconds);
    lib.closePort();
    Fidelity(subject, lib, *printer, std::max(3, rounds / 4), result);
    lib.unload();
    result.ok = true;
    return result;
}

void Row(const char* what, const Figures& now, const Figures* before, const char* against) {
    std::printf("  %-22s median %6.1f ms, p95 %6.1f (%.1f .. %.1f)", what, now.at(0.5),
                now.at(0.95), now.at(0), now.at(1));
    if (before != nullptr) {
        std::printf("; baseline %6.1f / %6.1f, ratio %.2f", before->at(0.5), before->at(0.95),
                    before->at(0.5) > 0 ? now.at(0.5) / before->at(0.5) : 0.0);
    }
    std::printf("%s%s\n", *against ? "; " : "", against);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string modemFile = "/tmp/prnmodem-wait-bench-" + std::to_string(getpid());
    setenv("PRNSIM_MODEM_FILE", modemFile.c_str(), 1);
    int rounds = 20;
    int idleSeconds = 5;
    std::string baseline;
    std::vector<std::string> wanted;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--rounds" && i + 1 < argc) {
            rounds = std::max(2, std::atoi(argv[++i]));
        } else if (option == "--idle-seconds" && i + 1 < argc) {
            idleSeconds = std::max(1, std::atoi(argv[++i]));
        } else if (option == "--baseline" && i + 1 < argc) {
            baseline = argv[++i];
        } else {
            wanted.push_back(option);
        }
    }
    std::printf("waits, %d rounds each: median, p95 (low .. high)\n", rounds);
    for (const Subject& subject : Subjects()) {
        if (!wanted.empty() &&
            std::find(wanted.begin(), wanted.end(), subject.name) == wanted.end())
            continue;
        const Result now = Measure(subject, std::string(PRN_BENCH_BUILD) + "/" + subject.library,
                                   rounds, idleSeconds);
        if (!now.ok) continue;
        Result before;
        if (!baseline.empty())
            before = Measure(subject, baseline + "/" + subject.library, rounds, 1);
        std::printf("%s (idle interval %u ms)\n", subject.name.c_str(), subject.idleMs);
        Row("completion", now.completion, before.ok ? &before.completion : nullptr,
            "goal: median < 170, p95 < 250");
        const std::string interval = "a pass is " + std::to_string(subject.idleMs) + " ms";
        Row("status change", now.status, before.ok ? &before.status : nullptr, interval.c_str());
        std::printf(
            "  %-22s %.3f ms of CPU per s: claimed %.3f, released %.3f (the printer's"
            " threads and the fake port's work included; goal < 0.5)\n",
            "idle CPU of a claim", now.idleCpu - now.idleCpuUnclaimed, now.idleCpu,
            now.idleCpuUnclaimed);
        const struct {
            const char* what;
            const Figures& ratio;
            unsigned nominal;
        } waits[] = {{"silent printer's open", now.silentOpen, subject.silentOpenMs},
                     {"claim", now.claim, 500},
                     {"drawer kick", now.drawer, 2000},
                     {"close after a claim", now.close, subject.closeMs}};
        for (const auto& wait : waits) {
            std::printf("  %-22s measured / nominal %.3f (%.3f .. %.3f) of %u ms; goal <= %.3f\n",
                        wait.what, wait.ratio.at(0.5), wait.ratio.at(0), wait.ratio.at(1),
                        wait.nominal, 1.03 + 5.0 / wait.nominal);
        }
    }
    std::remove(modemFile.c_str());
    std::remove((modemFile + ".lock").c_str());
    return 0;
}

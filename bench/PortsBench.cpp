// Ports of their own (the port classes' newPort()) through the exported natives, many at once:
//  - what each claimed port on a quiet printer costs the process: threads added, resident memory
//    added (KiB, from /proc/self/statm before the opens and once all are claimed) and idle CPU
//    (ms of CPU per second of wall time over the idle period), each divided by the number of
//    ports; the printers run in a child process, so the figures are the library's alone. On the
//    network printers, and on serial lines (ptys) with --serial.
//  - isolation: on one printer, a 12 KB job (the time _writeData takes, and until the printer
//    has it all) and _getPrinterStatus (p95 of single calls), alone, then the same while 31
//    other ports of the library print continuously (each printer taking 20 KB/s), while one
//    other port's printer stalls (takes nothing) under a job, while one other's printer drops
//    each connection after 2 KB under continuous jobs (the library reconnecting), and, on USB,
//    while one other's printer is unplugged under a job. Each against "alone" of the same run.
//
//   ports_bench [--ports N] [--idle-seconds S] [--rounds N] [--serial] [--only cost|isolation]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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
#include "../tests/transport/TransportTestSupport.h"
#include "prnsim/SerialPrinter.h"
#include "prnsim/TcpPrinter.h"

namespace {

using prnbench::Clock;
using prnbench::CpuSeconds;
using prnbench::Figures;
using prnbench::MillisSince;
using prntest::NativeLibrary;
using prntest::PortInstance;
using prntest::ResidentKiB;
using prntest::ThreadCount;
using prntest::WaitFor;
using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr char kNetClass[] = "JNativeCommonPort4LinuxEthernet";
constexpr char kSerialClass[] = "JNativeCommonPort4LinuxSerial";
constexpr char kUsbClass[] = "JNativeCommonPort4LinuxUSB";
constexpr char kSerialSettings[] = "9600,none,8,1,none";

// `work(i)` for i in [0, count), on `threads` threads at once; joined before it returns.
void InParallel(int count, int threads, const std::function<void(int)>& work) {
    std::atomic<int> next{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&] {
            for (int i = next++; i < count; i = next++) work(i);
        });
    }
    for (std::thread& t : pool) t.join();
}

// ---- quiet printers in a child process ----

// `count` quiet virtual printers in a child process, made before this process has a thread:
// the port of each network printer, or the device of each serial line. The child ends when this
// object goes.
class PrinterHost {
  public:
    PrinterHost(bool network, int count) {
        int up[2];
        int down[2];
        if (pipe(up) != 0 || pipe(down) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(up[0]);
            close(down[1]);
            Serve(network, count, up[1], down[0]);
        }
        close(up[1]);
        close(down[0]);
        toChild_ = down[1];
        if (pid_ < 0) return;
        FILE* in = fdopen(up[0], "r");
        char line[512];
        while (static_cast<int>(addresses.size()) < count && std::fgets(line, sizeof line, in)) {
            std::string address(line);
            if (!address.empty() && address.back() == '\n') address.pop_back();
            addresses.push_back(address);
        }
        std::fclose(in);
    }
    ~PrinterHost() {
        if (toChild_ >= 0) close(toChild_);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }
    PrinterHost(const PrinterHost&) = delete;
    PrinterHost& operator=(const PrinterHost&) = delete;

    std::vector<std::string> addresses;

  private:
    [[noreturn]] static void Serve(bool network, int count, int up, int down) {
        std::vector<std::unique_ptr<prnsim::VirtualPrinter>> printers;
        std::string out;
        for (int i = 0; i < count; ++i) {
            if (network) {
                auto printer = std::make_unique<prnsim::TcpPrinter>();
                out += std::to_string(printer->port()) + "\n";
                printers.push_back(std::move(printer));
            } else {
                auto printer = std::make_unique<prnsim::SerialPrinter>();
                out += printer->devicePath() + "\n";
                printers.push_back(std::move(printer));
            }
        }
        if (write(up, out.data(), out.size()) < 0) _exit(1);
        char c;
        while (read(down, &c, 1) > 0) {
        }
        _exit(0);  // the printers go with the process
    }

    pid_t pid_ = -1;
    int toChild_ = -1;
};

// Threads, resident memory and idle CPU per claimed port on the host's quiet printers.
void CostRows(const char* name, const std::string& path, const char* javaClass,
              const PrinterHost& host, int idleSeconds) {
    NativeLibrary lib;
    if (!lib.load(path, javaClass)) {
        std::printf("  %-7s cannot load %s: %s\n", name, path.c_str(), lib.error().c_str());
        return;
    }
    const bool network = javaClass == std::string(kNetClass);
    const auto open = [&](PortInstance& port, const std::string& address) {
        return network ? port.openPort("SOCKET:127.0.0.1", address)
                       : port.openPort(address, kSerialSettings);
    };
    const int ports = static_cast<int>(host.addresses.size());
    // One port opened, claimed and closed first: what the library sets up once is there at the
    // baseline.
    {
        PortInstance warm(lib);
        if (open(warm, host.addresses[0]) != 0 || warm.claim(1000, true) != 0) {
            std::printf("  %-7s the first open or claim failed\n", name);
            return;
        }
        warm.closePort();
    }
    // The helper threads of the opens and closes below, once: their stacks are kept for the
    // next ones, and are no port's.
    InParallel(16, 16, [](int) {});
    const int threadsBefore = ThreadCount();
    const long residentBefore = ResidentKiB();

    std::vector<std::unique_ptr<PortInstance>> claimed;
    for (int i = 0; i < ports; ++i) claimed.push_back(std::make_unique<PortInstance>(lib));
    std::atomic<int> failed{0};
    const auto opening = Clock::now();
    InParallel(ports, 16, [&](int i) {
        if (open(*claimed[i], host.addresses[i]) != 0 || claimed[i]->claim(1000, true) != 0) {
            ++failed;
        }
    });
    const double openMs = MillisSince(opening);
    const bool ready = WaitFor(
        [&] {
            return std::all_of(claimed.begin(), claimed.end(),
                               [](const auto& p) { return p->getPrinterStatus(0) == 0; });
        },
        seconds(10));
    std::this_thread::sleep_for(seconds(1));  // past the claims' fast passes
    const int threadsAfter = ThreadCount();
    const long residentAfter = ResidentKiB();
    const double cpuBefore = CpuSeconds();
    const auto idle = Clock::now();
    std::this_thread::sleep_for(seconds(idleSeconds));
    const double cpuMsPerSecond = (CpuSeconds() - cpuBefore) * 1000.0 / (MillisSince(idle) / 1000);

    const auto closing = Clock::now();
    InParallel(ports, 16, [&](int i) { claimed[i]->closePort(); });
    const double closeMs = MillisSince(closing);
    WaitFor([&] { return ThreadCount() == threadsBefore; }, seconds(3));

    std::printf("  %-7s %d ports opened and claimed in %.0f ms (16 at a time)%s%s\n", name, ports,
                openMs, failed ? ", some failed" : "", ready ? "" : ", not all ready");
    std::printf(
        "  %-7s per port: threads +%.2f, resident +%.1f KiB (goal < 256), idle CPU %.4f ms/s"
        " (goal < 0.3; %.3f ms/s for all, over %d s)\n",
        "", static_cast<double>(threadsAfter - threadsBefore) / ports,
        static_cast<double>(residentAfter - residentBefore) / ports, cpuMsPerSecond / ports,
        cpuMsPerSecond, idleSeconds);
    std::printf(
        "  %-7s all closed in %.0f ms (16 at a time); threads then %+d, resident %+ld KiB"
        " against before the opens\n",
        "", closeMs, ThreadCount() - threadsBefore, ResidentKiB() - residentBefore);
    lib.unload();
}

// ---- isolation ----

// A printer of the connection, in this process, and what can go wrong with it.
class Printer {
  public:
    explicit Printer(bool network) {
        if (network) {
            tcp_ = std::make_unique<prnsim::TcpPrinter>();
        } else {
            prnsim::SerialOptions options;
            options.rawMaster = true;
            line_ = std::make_unique<prnsim::SerialPrinter>(options);
        }
    }
    prnsim::VirtualPrinter& printer() {
        return tcp_ ? static_cast<prnsim::VirtualPrinter&>(*tcp_) : *line_;
    }
    long open(PortInstance& port) {
        return tcp_ ? port.openPort("SOCKET:127.0.0.1", std::to_string(tcp_->port()))
                    : port.openPort(line_->devicePath(), "");
    }
    void setPace(unsigned bytesPerSecond) {
        if (tcp_) {
            tcp_->setPace(bytesPerSecond);
        } else {
            line_->setReadRate(bytesPerSecond);
        }
    }
    void stall(bool on) {
        if (tcp_) {
            tcp_->setStalled(on);
        } else {
            line_->setBusy(on);
        }
    }
    prnsim::TcpPrinter& tcp() { return *tcp_; }
    prnsim::SerialPrinter& line() { return *line_; }

  private:
    std::unique_ptr<prnsim::TcpPrinter> tcp_;
    std::unique_ptr<prnsim::SerialPrinter> line_;
};

// A port of its own, open and claimed on a printer of its own, with a writer thread that may
// print continuously on it.
struct Other {
    explicit Other(NativeLibrary& lib, bool network) : printer(network), port(lib) {}
    ~Other() { stop(); }

    bool open() { return printer.open(port) == 0 && port.claim(1000, true) == 0; }
    void print(size_t jobSize) {
        writer = std::thread([this, jobSize] {
            const Bytes job(jobSize, 'o');
            while (!stopping) {
                const int result = port.writeData(job, static_cast<int>(job.size()), 0);
                if (result > 0) sent += result;
                if (result != static_cast<int>(job.size())) ++failures;
                if (result < 0 && !stopping) std::this_thread::sleep_for(milliseconds(20));
            }
        });
    }
    // The close ends a write in progress (one to a stalled printer too).
    void stop() {
        stopping = true;
        port.closePort();
        if (writer.joinable()) writer.join();
    }

    Printer printer;
    PortInstance port;
    std::thread writer;
    std::atomic<bool> stopping{false};
    std::atomic<long> sent{0};      // what its writes reported
    std::atomic<long> failures{0};  // its writes that did not report the whole job
};

struct Isolation {
    Figures writeMs;    // _writeData of the job
    Figures arrivedMs;  // until the printer has all of it
    Figures statusUs;   // single _getPrinterStatus calls
    bool ok = true;
};

Isolation Measure(PortInstance& port, prnsim::VirtualPrinter& printer, int rounds) {
    Isolation f;
    const Bytes job(12 * 1024, 'm');
    for (int r = 0; r < rounds && f.ok; ++r) {
        printer.clearRecord();
        const auto start = Clock::now();
        f.ok = port.writeData(job, static_cast<int>(job.size()), 0) == static_cast<int>(job.size());
        f.writeMs.values.push_back(MillisSince(start));
        f.ok = f.ok && printer.waitForBytes(job.size(), seconds(10));
        f.arrivedMs.values.push_back(MillisSince(start));
        for (int i = 0; i < 50; ++i) {
            const auto asked = Clock::now();
            if (port.getPrinterStatus(0) != 0) f.ok = false;
            f.statusUs.values.push_back(MillisSince(asked) * 1000);
            std::this_thread::sleep_for(milliseconds(1));
        }
        // Rounds spread over a few seconds: past a reconnection or two of a dropping printer.
        std::this_thread::sleep_for(milliseconds(100));
    }
    return f;
}

void IsolationRow(const char* what, const Isolation& f, const Isolation& alone,
                  const std::string& meanwhile = "") {
    if (!f.ok) {
        std::printf("  %-34s the job or the status failed\n", what);
        return;
    }
    const auto ratio = [](double a, double b) { return b > 0 ? a / b : 0; };
    std::printf(
        "  %-34s job %7.2f ms (p95 %7.2f), at the printer %7.2f ms (p95 %7.2f);"
        " status p95 %6.1f us",
        what, f.writeMs.at(0.5), f.writeMs.at(0.95), f.arrivedMs.at(0.5), f.arrivedMs.at(0.95),
        f.statusUs.at(0.95));
    if (&f != &alone) {
        std::printf("; to alone: job %.2f, at the printer %.2f, status p95 %.2f",
                    ratio(f.writeMs.at(0.5), alone.writeMs.at(0.5)),
                    ratio(f.arrivedMs.at(0.5), alone.arrivedMs.at(0.5)),
                    ratio(f.statusUs.at(0.95), alone.statusUs.at(0.95)));
    }
    std::printf("%s\n", meanwhile.c_str());
}

void IsolationRows(const char* name, const std::string& path, const char* javaClass, int rounds) {
    NativeLibrary lib;
    if (!lib.load(path, javaClass)) {
        std::printf("  %s: cannot load %s: %s\n", name, path.c_str(), lib.error().c_str());
        return;
    }
    const bool network = javaClass == std::string(kNetClass);
    std::printf(
        "  %s, %d rounds of a 12 KB job and 50 status calls; median (p95); goal: within"
        " 1.1x of alone\n",
        name, rounds);
    Printer measured(network);
    PortInstance port(lib);
    if (measured.open(port) != 0 || port.claim(1000, true) != 0 ||
        !WaitFor([&] { return port.getPrinterStatus(0) == 0; }, seconds(5))) {
        std::printf("  the measured port did not open\n");
        return;
    }
    const Isolation alone = Measure(port, measured.printer(), rounds);
    IsolationRow("alone", alone, alone);

    {
        std::vector<std::unique_ptr<Other>> others;
        for (int i = 0; i < 31; ++i) others.push_back(std::make_unique<Other>(lib, network));
        std::atomic<int> failed{0};
        InParallel(31, 8, [&](int i) {
            others[i]->printer.setPace(20000);
            if (!others[i]->open()) ++failed;
        });
        for (auto& other : others) other->print(4096);
        std::this_thread::sleep_for(milliseconds(500));
        const auto received = [&] {
            size_t bytes = 0;
            for (auto& other : others) bytes += other->printer.printer().received().size();
            return bytes;
        };
        const size_t before = received();
        const auto start = Clock::now();
        const Isolation busy = Measure(port, measured.printer(), rounds);
        const double took = MillisSince(start);
        const std::string meanwhile =
            "; the others took " +
            std::to_string(static_cast<long>(static_cast<double>(received() - before) / took)) +
            " KB/s in all";
        IsolationRow(failed ? "31 printing (some failed to open)" : "31 others printing", busy,
                     alone, meanwhile);
        InParallel(31, 16, [&](int i) { others[i]->stop(); });
    }
    {
        Other stalled(lib, network);
        if (stalled.open()) {
            stalled.printer.stall(true);
            stalled.print(network ? 1 << 20 : 64 * 1024);
            std::this_thread::sleep_for(milliseconds(500));
            IsolationRow("one other stalled under a job", Measure(port, measured.printer(), rounds),
                         alone);
            stalled.stop();
            stalled.printer.stall(false);
        }
    }
    if (network) {
        Other dropping(lib, network);
        if (dropping.open()) {
            dropping.printer.tcp().dropEachAfter(2048, 1 << 20);
            dropping.print(4096);
            std::this_thread::sleep_for(milliseconds(500));
            const int before = dropping.printer.tcp().connectionCount();
            const long failuresBefore = dropping.failures;
            const Isolation dropped = Measure(port, measured.printer(), rounds);
            IsolationRow("one other dropping each connection", dropped, alone,
                         "; it connected " +
                             std::to_string(dropping.printer.tcp().connectionCount() - before) +
                             " times meanwhile, " +
                             std::to_string(dropping.failures - failuresBefore) +
                             " of its jobs cut short");
            dropping.stop();
        }
    } else {
        Other unplugged(lib, network);
        if (unplugged.open()) {
            unplugged.printer.setPace(20000);
            unplugged.print(64 * 1024);
            std::this_thread::sleep_for(milliseconds(300));
            unplugged.printer.line().unplug();
            std::this_thread::sleep_for(milliseconds(200));
            IsolationRow("one other unplugged under a job",
                         Measure(port, measured.printer(), rounds), alone);
            unplugged.stop();
        }
    }
    port.closePort();
    lib.unload();
}

}  // namespace

int main(int argc, char** argv) {
    int ports = 64;
    int idleSeconds = 5;
    int rounds = 20;
    bool serial = false;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (option == "--serial") serial = true;
        if (option == "--ports") ports = std::clamp(std::atoi(value), 1, 255);
        if (option == "--idle-seconds") idleSeconds = std::max(1, std::atoi(value));
        if (option == "--rounds") rounds = std::max(1, std::atoi(value));
        if (option == "--only") only = value;
    }
    const std::string build = PRN_BENCH_BUILD;
    const std::string net = build + "/jni/ethernet/libprnnet.so";
    if (only != "isolation") {
        // Before this process has a thread of its own: the children are forked.
        PrinterHost networkPrinters(true, ports);
        std::unique_ptr<PrinterHost> lines;
        if (serial) lines = std::make_unique<PrinterHost>(false, ports);
        std::printf("ports of their own, %d claimed on quiet printers (in another process)\n",
                    ports);
        if (static_cast<int>(networkPrinters.addresses.size()) == ports) {
            CostRows("net", net, kNetClass, networkPrinters, idleSeconds);
        }
        if (lines && static_cast<int>(lines->addresses.size()) == ports) {
            CostRows("serial", build + "/jni/serial/libprnserial.so", kSerialClass, *lines,
                     idleSeconds);
        }
    }
    if (only != "cost") {
        std::printf("isolation: one port's job and status, alone and beside other ports\n");
        IsolationRows("net", net, kNetClass, rounds);
        IsolationRows("usb", build + "/jni/usb/libprnusb.so", kUsbClass, std::max(1, rounds / 2));
    }
    return 0;
}

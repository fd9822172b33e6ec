// Figures of the line's ownership, through the exported natives as the JVM calls them:
//  - what one writer at a time costs a 1 MiB job (serial over a pty, TCP to a loopback sink),
//    and what the acknowledgement wait costs small TCP writes, against another build's library
//    loaded into the same process (--baseline-serial, --baseline-net), rounds alternating;
//  - a receipt written in 120-byte lines and a job in 4 KiB writes over TCP, and a receipt
//    printed by open, write and close without a claim, on both lines;
//  - how long _closePort takes in the cases that make it wait;
//  - what a small serial write costs, in time and in the caller's CPU: against
//    bench/libprnserial_untraced.so, the same library with the byte trace compiled out, this
//    is what the trace costs when it is off (PRN_TRACE unset) or on (PRN_TRACE=FILE).
//
//   line_bench [--rounds N] [--baseline-serial LIB] [--baseline-net LIB] [--only serial]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "NativeLibrary.h"
#include "prnsim/SerialPrinter.h"
#include "prnsim/TcpPrinter.h"

namespace {

using Clock = std::chrono::steady_clock;
using prntest::NativeLibrary;
using Bytes = std::vector<uint8_t>;

constexpr char kSerialClass[] = "JNativeCommonPort4LinuxSerial";
constexpr char kNetClass[] = "JNativeCommonPort4LinuxEthernet";

double MillisSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Figures {
    std::vector<double> values;
    double median() const {
        std::vector<double> v = values;
        std::sort(v.begin(), v.end());
        return v.empty() ? 0 : v[v.size() / 2];
    }
    double low() const {
        return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
    }
    double high() const {
        return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
    }
};

// A network printer that reads as fast as it can and answers only DLE EOT (with "ready"): the
// virtual printer parses every byte it gets and would be the slowest part of the figure.
class RawSink {
  public:
    RawSink() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener_, 4) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            std::fprintf(stderr, "sink: cannot listen\n");
            std::exit(2);
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~RawSink() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }
    int port() const { return port_; }
    void clearRecord() { received_ = 0; }
    bool waitForBytes(size_t count, std::chrono::seconds timeout) const {
        const auto until = Clock::now() + timeout;
        while (received_ < count) {
            if (Clock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return true;
    }

  private:
    void Run() {
        std::vector<uint8_t> buffer(1 << 16);
        while (!stop_) {
            pollfd wait{listener_, POLLIN, 0};
            if (poll(&wait, 1, 50) <= 0) continue;
            const int conn = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (conn < 0) continue;
            int realtime = 0;  // bytes of 10 04 seen
            while (!stop_) {
                pollfd readable{conn, POLLIN, 0};
                if (poll(&readable, 1, 50) <= 0) continue;
                const ssize_t n = recv(conn, buffer.data(), buffer.size(), 0);
                if (n <= 0) break;
                for (ssize_t i = 0; i < n; ++i) {
                    const uint8_t b = buffer[static_cast<size_t>(i)];
                    if (realtime == 2) {
                        const uint8_t ready = 0x12;
                        send(conn, &ready, 1, MSG_NOSIGNAL);
                        realtime = 0;
                    } else {
                        realtime =
                            b == (realtime == 0 ? 0x10 : 0x04) ? realtime + 1 : (b == 0x10 ? 1 : 0);
                    }
                }
                received_ += static_cast<size_t>(n);
            }
            close(conn);
        }
    }
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> received_{0};
    std::thread thread_;
};

std::unique_ptr<NativeLibrary> Load(const std::string& path, const char* javaClass) {
    auto lib = std::make_unique<NativeLibrary>();
    if (!lib->load(path, javaClass)) {
        std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), lib->error().c_str());
        std::exit(2);
    }
    return lib;
}

// Milliseconds for one 1 MiB job through _writeData until the printer has it all.
double SerialJob(NativeLibrary& lib, prnsim::SerialPrinter& printer, const char* settings) {
    if (lib.openPort(printer.devicePath(), settings) != 0) return -1;
    const Bytes job(1 << 20, 'x');
    printer.clearRecord();
    const auto start = Clock::now();
    const int written = lib.writeData(job, static_cast<int>(job.size()), 0);
    printer.waitForBytes(job.size(), std::chrono::seconds(60));
    const double took = MillisSince(start);
    lib.closePort();
    return written == static_cast<int>(job.size()) ? took : -1;
}

double ThreadCpuMicros() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// Microseconds per write of `size` bytes to an open serial port, `writes` of them: the time
// each takes (cpu false) or the calling thread's CPU in it (cpu true).
double SerialWrites(NativeLibrary& lib, prnsim::SerialPrinter& printer, size_t size, int writes,
                    bool cpu) {
    if (lib.openPort(printer.devicePath(), "115200,none,8,1,none") != 0) return -1;
    const Bytes job(size, 'x');
    printer.clearRecord();
    const auto start = Clock::now();
    const double cpuStart = ThreadCpuMicros();
    for (int i = 0; i < writes; ++i) {
        if (lib.writeData(job, static_cast<int>(job.size()), 0) != static_cast<int>(job.size())) {
            lib.closePort();
            return -1;
        }
    }
    const double took = cpu ? ThreadCpuMicros() - cpuStart : MillisSince(start) * 1000;
    printer.waitForBytes(size * static_cast<size_t>(writes), std::chrono::seconds(60));
    lib.closePort();
    return took / writes;
}

template <class Printer>
double NetJob(NativeLibrary& lib, Printer& printer, size_t size, int jobs) {
    if (lib.openPort("SOCKET:127.0.0.1", std::to_string(printer.port())) != 0) return -1;
    const Bytes job(size, 'x');
    printer.clearRecord();
    const auto start = Clock::now();
    for (int i = 0; i < jobs; ++i) {
        if (lib.writeData(job, static_cast<int>(job.size()), 0) != static_cast<int>(job.size())) {
            lib.closePort();
            return -1;
        }
    }
    printer.waitForBytes(size * static_cast<size_t>(jobs), std::chrono::seconds(60));
    const double took = MillisSince(start) / jobs;
    lib.closePort();
    return took;
}

// Milliseconds for `lines` writes of `size` bytes each to a claimed virtual printer, which
// answers with status blocks (so its side of the connection is an interactive one) and prints
// at its own pace; until it has them all.
double ClaimedLines(NativeLibrary& lib, prnsim::TcpPrinter& printer, size_t size, int lines) {
    if (lib.openPort("SOCKET:127.0.0.1", std::to_string(printer.port())) != 0) return -1;
    if (lib.claim(0, true) != 0) {
        lib.closePort();
        return -1;
    }
    const Bytes line(size, 'x');
    printer.clearRecord();
    const auto start = Clock::now();
    for (int i = 0; i < lines; ++i) {
        if (lib.writeData(line, static_cast<int>(line.size()), 0) !=
            static_cast<int>(line.size())) {
            lib.closePort();
            return -1;
        }
    }
    printer.waitForBytes(size * static_cast<size_t>(lines), std::chrono::seconds(60));
    const double took = MillisSince(start);
    lib.closePort();
    return took;
}

// Milliseconds for a service's receipt as it prints one without a claim: open, one write of
// `size` bytes, close (which returns once the printer may have it all).
double SerialReceipt(NativeLibrary& lib, prnsim::SerialPrinter& printer, size_t size) {
    const auto start = Clock::now();
    if (lib.openPort(printer.devicePath(), "115200,none,8,1,none") != 0) return -1;
    const Bytes job(size, 'x');
    const int written = lib.writeData(job, static_cast<int>(job.size()), 0);
    lib.closePort();
    return written == static_cast<int>(job.size()) ? MillisSince(start) : -1;
}

template <class Printer>
double NetReceipt(NativeLibrary& lib, Printer& printer, size_t size) {
    const auto start = Clock::now();
    if (lib.openPort("SOCKET:127.0.0.1", std::to_string(printer.port())) != 0) return -1;
    const Bytes job(size, 'x');
    const int written = lib.writeData(job, static_cast<int>(job.size()), 0);
    lib.closePort();
    return written == static_cast<int>(job.size()) ? MillisSince(start) : -1;
}

void Compare(const char* what, const char* unit, const std::function<double(NativeLibrary&)>& run,
             NativeLibrary& current, NativeLibrary* baseline, int rounds,
             const std::function<double(double)>& show) {
    Figures now;
    Figures before;
    for (int r = 0; r < rounds; ++r) {
        now.values.push_back(run(current));
        if (baseline) before.values.push_back(run(*baseline));
    }
    std::printf("%-38s %9.2f %s (%.2f .. %.2f)", what, show(now.median()), unit, show(now.low()),
                show(now.high()));
    if (baseline) {
        std::printf("   baseline %9.2f (%.2f .. %.2f)   ratio %.3f", show(before.median()),
                    show(before.low()), show(before.high()), now.median() / before.median());
    }
    std::printf("\n");
}

// _closePort in the cases that make it wait; the longest is the figure that matters.
void CloseTimes(const std::string& serialPath, const std::string& netPath) {
    std::printf("\n_closePort, ms (the release wait is 1000 ms serial, 300 ms network):\n");
    double worst = 0;
    auto report = [&](const char* what, double ms) {
        std::printf("  %-58s %7.0f\n", what, ms);
        worst = std::max(worst, ms);
    };
    auto timeClose = [](NativeLibrary& lib) {
        const auto start = Clock::now();
        lib.closePort();
        return MillisSince(start);
    };
    {
        auto lib = Load(serialPath, kSerialClass);
        prnsim::SerialOptions options;
        options.modem = true;
        prnsim::SerialPrinter printer(options);
        printer.setDsr(true);
        lib->openPort(printer.devicePath(), "9600");
        report("serial, open", timeClose(*lib));
        lib->openPort(printer.devicePath(), "9600");
        lib->claim(0, true);
        report("serial, claimed", timeClose(*lib));
        lib->openPort(printer.devicePath(), "9600");
        lib->claim(0, true);
        printer.setDsr(false);
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        report("serial, claimed, DSR down (monitor in its offline wait)", timeClose(*lib));
        printer.setDsr(true);
        lib->openPort(printer.devicePath(), "9600,none,8,1,none");
        printer.setReadRate(1);
        std::thread writer([&] {
            const Bytes job(1 << 20, 'x');
            lib->writeData(job, static_cast<int>(job.size()), 0);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        report("serial, a 1 MiB write blocked on a printer not reading", timeClose(*lib));
        writer.join();
        printer.setReadRate(0);
        lib->unload();
    }
    {
        auto lib = Load(netPath, kNetClass);
        prnsim::TcpOptions options;
        options.printer.model = prnsim::StatusModel::NetworkTable;
        prnsim::TcpPrinter printer(options);
        const std::string port = std::to_string(printer.port());
        lib->openPort("SOCKET:127.0.0.1", port);
        lib->claim(0, true);
        report("network, claimed", timeClose(*lib));
        lib->openPort("SOCKET:127.0.0.1", port);
        lib->claim(0, true);
        printer.setMode(prnsim::TcpMode::Silent);
        report("network, claimed, silent printer", timeClose(*lib));
        printer.setMode(prnsim::TcpMode::Normal);
        lib->openPort("SOCKET:127.0.0.1", port);
        lib->claim(0, true);
        printer.reset();
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        std::thread writer([&] {
            const Bytes job(300, 'x');
            lib->writeData(job, static_cast<int>(job.size()), 0);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        report("network, during a writer's reconnection", timeClose(*lib));
        writer.join();
        lib->openPort("SOCKET:127.0.0.1", port);
        printer.setStalled(true);
        std::thread stalled([&] {
            const Bytes job(4 << 20, 'x');
            lib->writeData(job, static_cast<int>(job.size()), 0);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        report("network, a 4 MiB write into a stalled printer", timeClose(*lib));
        stalled.join();
        printer.setStalled(false);
        lib->unload();
    }
    std::printf("  %-58s %7.0f\n", "worst", worst);
}

}  // namespace

int main(int argc, char** argv) {
    std::string serialPath = PRN_BENCH_SERIAL;
    std::string netPath = PRN_BENCH_NET;
    std::string baselineSerial;
    std::string baselineNet;
    int rounds = 7;
    bool serialOnly = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
        if (option == "--baseline-serial") baselineSerial = argv[i + 1];
        if (option == "--baseline-net") baselineNet = argv[i + 1];
        if (option == "--only") serialOnly = std::string(argv[i + 1]) == "serial";
    }
    const std::string modemFile = "/tmp/prnmodem-bench-" + std::to_string(getpid());
    setenv("PRNSIM_MODEM_FILE", modemFile.c_str(), 1);

    auto serial = Load(serialPath, kSerialClass);
    auto serialBefore = baselineSerial.empty() ? nullptr : Load(baselineSerial, kSerialClass);
    auto net = Load(netPath, kNetClass);
    auto netBefore = baselineNet.empty() ? nullptr : Load(baselineNet, kNetClass);

    std::printf("median of %d rounds (low .. high)%s\n", rounds,
                serialBefore || netBefore ? ", baseline library in the same process" : "");
    prnsim::SerialOptions serialOptions;
    serialOptions.modem = true;
    prnsim::SerialPrinter pty(serialOptions);
    pty.setDsr(true);
    auto mibPerSecond = [](double ms) { return ms > 0 ? 1000.0 / ms : 0; };
    Compare(
        "serial 1 MiB, none", "MiB/s",
        [&](NativeLibrary& lib) { return SerialJob(lib, pty, "115200,none,8,1,none"); }, *serial,
        serialBefore.get(), rounds, mibPerSecond);
    Compare(
        "serial 1 MiB, hdwr", "MiB/s",
        [&](NativeLibrary& lib) { return SerialJob(lib, pty, "115200,none,8,1,hdwr"); }, *serial,
        serialBefore.get(), rounds, mibPerSecond);
    auto same = [](double ms) { return ms; };
    Compare(
        "serial 100 B write (x200), per write", "us",
        [&](NativeLibrary& lib) { return SerialWrites(lib, pty, 100, 200, false); }, *serial,
        serialBefore.get(), rounds, same);
    Compare(
        "serial 100 B write (x200), caller CPU", "us",
        [&](NativeLibrary& lib) { return SerialWrites(lib, pty, 100, 200, true); }, *serial,
        serialBefore.get(), rounds, same);
    if (serialOnly) {
        Compare(
            "serial open, 12 KB, close", "ms",
            [&](NativeLibrary& lib) { return SerialReceipt(lib, pty, 12 * 1024); }, *serial,
            serialBefore.get(), rounds, same);
        serial->unload();
        net->unload();
        std::remove(modemFile.c_str());
        return 0;
    }
    RawSink sink;
    Compare(
        "network 1 MiB", "MiB/s", [&](NativeLibrary& lib) { return NetJob(lib, sink, 1 << 20, 1); },
        *net, netBefore.get(), rounds, mibPerSecond);
    Compare(
        "network 4 KiB write (x20), per write", "ms",
        [&](NativeLibrary& lib) { return NetJob(lib, sink, 4096, 20); }, *net, netBefore.get(),
        rounds, same);
    Compare(
        "network 100 B write (x20), per write", "ms",
        [&](NativeLibrary& lib) { return NetJob(lib, sink, 100, 20); }, *net, netBefore.get(),
        rounds, same);
    auto whole = [](double ms) { return ms; };
    Compare(
        "network 100 x 120 B writes (goal 1150)", "ms",
        [&](NativeLibrary& lib) { return NetJob(lib, sink, 120, 100) * 100; }, *net,
        netBefore.get(), rounds, whole);
    Compare(
        "network 1 MiB in 4 KiB writes", "ms",
        [&](NativeLibrary& lib) { return NetJob(lib, sink, 4096, 256) * 256; }, *net,
        netBefore.get(), rounds, whole);
    {
        prnsim::TcpOptions options;
        options.printer.model = prnsim::StatusModel::NetworkTable;
        prnsim::TcpPrinter printer(options);
        Compare(
            "network claimed, 100 x 120 B writes", "ms",
            [&](NativeLibrary& lib) { return ClaimedLines(lib, printer, 120, 100); }, *net,
            netBefore.get(), rounds, whole);
    }
    Compare(
        "network open, 12 KB, close", "ms",
        [&](NativeLibrary& lib) { return NetReceipt(lib, sink, 12 * 1024); }, *net, netBefore.get(),
        rounds, whole);
    Compare(
        "serial open, 12 KB, close", "ms",
        [&](NativeLibrary& lib) { return SerialReceipt(lib, pty, 12 * 1024); }, *serial,
        serialBefore.get(), rounds, whole);
    serial->unload();
    net->unload();
    CloseTimes(serialPath, netPath);
    std::remove(modemFile.c_str());
    return 0;
}

// Figures of the serial deliverable on the virtual printer over a pty: write throughput with
// and without the DTR/DSR handshake, and the CPU an idle claimed printer costs.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "Claim.h"
#include "DeviceState.h"
#include "LinuxSerial.h"
#include "prnsim/SerialPrinter.h"
#include "../tests/transport/SharedPort.h"

inline SerPort& serPort = SerialRecord(SharedPort());

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void WriteThroughput(prnsim::SerialPrinter& printer, const char* settings) {
    if (OpenPort(printer.devicePath().c_str(), settings) != 0) {
        std::printf("open with %s failed\n", settings);
        return;
    }
    const std::vector<uint8_t> job(1 << 20, 'x');
    printer.clearRecord();
    const auto start = Clock::now();
    const long written = WritePort(job.data(), static_cast<long>(job.size()));
    printer.waitForBytes(job.size(), std::chrono::seconds(60));
    const double took = Seconds(start);
    std::printf("write 1 MiB, %-20s %ld bytes in %.3f s = %.1f MiB/s\n", settings, written, took,
                static_cast<double>(written) / took / (1 << 20));
    ClosePort();
}

}  // namespace

int main() {
    const std::string modemFile = "/tmp/prnmodem-bench-" + std::to_string(getpid());
    setenv("PRNSIM_MODEM_FILE", modemFile.c_str(), 1);
    prnsim::SerialOptions options;
    options.modem = true;
    prnsim::SerialPrinter printer(options);
    if (!printer.ok()) return 1;

    WriteThroughput(printer, "115200,none,8,1,none");
    WriteThroughput(printer, "115200,none,8,1,hdwr");

    // An idle thermal claim: the monitor wakes every 500 ms for a line check and a read.
    if (OpenPort(printer.devicePath().c_str(), "9600,none,8,1,none") == 0) {
        m_bOpen = 1;
        Claim(0, true);
        const double cpu = CpuSeconds();
        const auto start = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(10));
        const double wall = Seconds(start);
        std::printf("idle claim: %.2f ms CPU per second (monitor and virtual printer together)\n",
                    (CpuSeconds() - cpu) * 1000.0 / wall);
        const auto release = Clock::now();
        ReleaseDevice();
        std::printf("release with join: %.0f ms\n", Seconds(release) * 1000.0);
        ClosePort();
    }
    std::remove(modemFile.c_str());
    return 0;
}

// Print data through the libraries against the plainest writers on the same line, measured in
// the same run, from the first byte sent until the printer has the last one:
//  - TCP: a receipt (12 KB) and a job (1 MiB) through libprnnet's _writeData, a plain socket
//    writer (connect, send, close), and CUPS's socket backend when it is installed, into the
//    virtual network printer reading as fast as it can and at 200 KB/s, like a printer;
//  - pty: libprnserial's _writeData against `cat FILE > /dev/pts/N`.
//
//   print_bench [--rounds N] [--cups BACKEND]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "NativeLibrary.h"
#include "prnsim/SerialPrinter.h"
#include "prnsim/TcpPrinter.h"

namespace {

using prnbench::Clock;
using prnbench::Figures;
using prnbench::MillisSince;
using prntest::NativeLibrary;
using Bytes = std::vector<uint8_t>;

Bytes Job(size_t size) {
    Bytes job(size);
    for (size_t i = 0; i < size; ++i) job[i] = static_cast<uint8_t>(0x20 + i % 0x5F);
    return job;
}

// Milliseconds from the start of send() until the printer holds `size` bytes more than before;
// -1 when they did not all arrive.
double Timed(prnsim::VirtualPrinter& printer, size_t size, const std::function<bool()>& send) {
    const size_t before = printer.received().size();
    const auto start = Clock::now();
    if (!send()) return -1;
    if (!printer.waitForBytes(before + size, std::chrono::seconds(120))) return -1;
    return MillisSince(start);
}

bool PlainSocket(uint16_t port, const Bytes& job) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    for (size_t done = 0; ok && done < job.size();) {
        const ssize_t n = send(fd, job.data() + done, job.size() - done, MSG_NOSIGNAL);
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    close(fd);
    return ok;
}

// Runs `argv` with `environment` added and waits for it; true when it exited with 0.
bool Run(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
    const pid_t child = fork();
    if (child == 0) {
        // The backend reports its progress on stderr, for a print server's log.
        const int quiet = open("/dev/null", O_WRONLY);
        if (quiet >= 0) dup2(quiet, STDERR_FILENO);
        for (const std::string& pair : environment) putenv(const_cast<char*>(pair.c_str()));
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void Row(const char* what, const Figures& ours, const Figures& theirs, const char* against) {
    std::printf("  %-34s %8.1f ms (%.1f .. %.1f)  %-6s %8.1f ms  ratio %.3f\n", what, ours.at(0.5),
                ours.at(0), ours.at(1), against, theirs.at(0.5),
                theirs.at(0.5) > 0 ? ours.at(0.5) / theirs.at(0.5) : 0.0);
}

void Tcp(int rounds, const std::string& cups) {
    NativeLibrary lib;
    const std::string path = std::string(PRN_BENCH_BUILD) + "/jni/ethernet/libprnnet.so";
    if (!lib.load(path, "JNativeCommonPort4LinuxEthernet")) {
        std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), lib.error().c_str());
        return;
    }
    const std::string file = "/tmp/prn-print-bench-" + std::to_string(getpid());
    for (const unsigned rate : {0u, 200000u}) {
        for (const size_t size : {size_t{12000}, size_t{1} << 20}) {
            prnsim::TcpPrinter printer;
            printer.setPace(rate);
            const Bytes job = Job(size);
            std::ofstream(file, std::ios::binary)
                .write(reinterpret_cast<const char*>(job.data()), static_cast<long>(job.size()));
            Figures ours;
            Figures plain;
            Figures backend;
            for (int r = 0; r < rounds; ++r) {
                if (lib.openPort("SOCKET:127.0.0.1", std::to_string(printer.port())) != 0) break;
                ours.values.push_back(Timed(printer, size, [&] {
                    return lib.writeData(job, static_cast<int>(size), 0) == static_cast<int>(size);
                }));
                lib.closePort();
                plain.values.push_back(
                    Timed(printer, size, [&] { return PlainSocket(printer.port(), job); }));
                if (!cups.empty()) {
                    const std::string uri =
                        "DEVICE_URI=socket://127.0.0.1:" + std::to_string(printer.port());
                    backend.values.push_back(Timed(printer, size, [&] {
                        return Run({cups, "1", "bench", "bench", "1", "", file}, {uri});
                    }));
                }
            }
            char what[64];
            std::snprintf(what, sizeof what, "tcp %s, %s sink", size < 100000 ? "12 KB" : "1 MiB",
                          rate ? "200 KB/s" : "full-speed");
            Row(what, ours, plain, "plain");
            if (!cups.empty()) Row("", ours, backend, "cups");
        }
    }
    std::remove(file.c_str());
    lib.unload();
}

void Pty(int rounds) {
    NativeLibrary lib;
    const std::string path = std::string(PRN_BENCH_BUILD) + "/jni/serial/libprnserial.so";
    if (!lib.load(path, "JNativeCommonPort4LinuxSerial")) {
        std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), lib.error().c_str());
        return;
    }
    const std::string file = "/tmp/prn-print-bench-pty-" + std::to_string(getpid());
    prnsim::SerialPrinter printer;
    for (const size_t size : {size_t{12000}, size_t{1} << 20}) {
        const Bytes job = Job(size);
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(job.data()), static_cast<long>(job.size()));
        Figures ours;
        Figures cat;
        for (int r = 0; r < rounds; ++r) {
            if (lib.openPort(printer.devicePath(), "115200,none,8,1,none") != 0) break;
            ours.values.push_back(Timed(printer, size, [&] {
                return lib.writeData(job, static_cast<int>(size), 0) == static_cast<int>(size);
            }));
            lib.closePort();
            cat.values.push_back(Timed(printer, size, [&] {
                return Run({"/bin/sh", "-c", "cat \"$0\" > \"$1\"", file, printer.devicePath()},
                           {});
            }));
        }
        Row(size < 100000 ? "pty 12 KB" : "pty 1 MiB", ours, cat, "cat");
    }
    std::remove(file.c_str());
    lib.unload();
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 7;
    std::string cups = "/usr/lib/cups/backend/socket";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
        if (option == "--cups") cups = argv[i + 1];
    }
    if (access(cups.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "no CUPS socket backend at %s: its rows are left out\n", cups.c_str());
        cups.clear();
    }
    std::printf("print data, %d rounds: median (low .. high), the other writer, ours / theirs\n",
                rounds);
    Tcp(rounds, cups);
    Pty(rounds);
    return 0;
}

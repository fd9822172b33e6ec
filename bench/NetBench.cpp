// The network writer against printers that are slow to acknowledge or stop taking data, through
// libprnnet's exported natives, on the virtual network printer, opened and claimed as a thermal
// receipt printer:
//  - a receipt written line by line: 100 _writeData calls of 120 bytes each to a printer that
//    holds back its ACKs (TcpPrinter::setDelayedAcks), as embedded TCP stacks do, and the same
//    to one that acknowledges at once; the time each write takes (median, p95) and the ratio;
//  - a 100 KiB job through a 7 s stall (TcpPrinter::stallFor) that begins once the printer, with
//    a printer's small receive buffer (NarrowWindow), has read about 30 KiB: the time
//    _writeData takes, the count it reports, and what the printer holds once the stall is over
//    (the job's bytes, how many of them arrived twice, and whether it holds exactly the job's
//    first `reported` bytes, in order).
// With --baseline DIR the same for another build's libprnnet.so (DIR is its build folder) in
// the same run, rounds alternating.
//
//   net_bench [--rounds N] [--stall-rounds N] [--baseline BUILD]
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "NativeLibrary.h"
#include "prnsim/TcpPrinter.h"

namespace {

using prnbench::Clock;
using prnbench::Figures;
using prnbench::MillisSince;
using prntest::NativeLibrary;
using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

constexpr char kNetClass[] = "JNativeCommonPort4LinuxEthernet";
constexpr char kLibrary[] = "jni/ethernet/libprnnet.so";

constexpr int kLines = 100;
constexpr size_t kLineSize = 120;

// The stalled job: records of 7 decimal digits and a line feed, each its own index, so that
// the printer's record shows which of the job's bytes arrived, and which twice. None of its
// bytes is part of a command the libraries send themselves (DLE EOT, GS a).
constexpr size_t kRecord = 8;
constexpr size_t kJobSize = 100 * 1024;
constexpr size_t kStallAfter = 30 * 1024;
constexpr auto kStall = std::chrono::seconds(7);
// The printer reads at this pace, so that the stall can begin near kStallAfter.
constexpr unsigned kPace = 100 * 1000;
constexpr int kReceiveBuffer = 16 * 1024;

std::unique_ptr<NativeLibrary> Load(const std::string& path) {
    auto lib = std::make_unique<NativeLibrary>();
    if (!lib->load(path, kNetClass)) {
        std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), lib->error().c_str());
        return nullptr;
    }
    return lib;
}

std::unique_ptr<prnsim::TcpPrinter> NetworkPrinter(bool delayedAcks) {
    prnsim::TcpOptions options;
    options.printer.model = prnsim::StatusModel::NetworkTable;
    options.delayedAcks = delayedAcks;
    return std::make_unique<prnsim::TcpPrinter>(options);
}

// Opened and claimed as a thermal receipt printer, as a service prints. (Unclaimed, a job that
// gives up is tried once more with its rest, as for an impact printer.)
bool OpenAndClaim(NativeLibrary& lib, const prnsim::TcpPrinter& printer) {
    if (lib.openPort("SOCKET:127.0.0.1", std::to_string(printer.port())) != 0) return false;
    if (lib.claim(1000, true) == 0) return true;
    lib.closePort();
    return false;
}

// ---- line by line ----

// One receipt of kLines writes of kLineSize bytes on a fresh open: each write's milliseconds
// added to `perWrite`. False when the open or a write failed.
bool Lines(NativeLibrary& lib, prnsim::TcpPrinter& printer, Figures& perWrite) {
    if (!OpenAndClaim(lib, printer)) return false;
    const Bytes line(kLineSize, 'x');
    printer.clearRecord();
    bool ok = true;
    for (int i = 0; i < kLines && ok; ++i) {
        const auto start = Clock::now();
        ok = lib.writeData(line, static_cast<int>(line.size()), 0) == static_cast<int>(line.size());
        perWrite.values.push_back(MillisSince(start));
    }
    ok = ok && printer.waitForBytes(kLineSize * kLines, std::chrono::seconds(10));
    lib.closePort();
    return ok;
}

struct LineFigures {
    Figures quick;
    Figures delayed;
    bool ok = true;
};

void LineRows(const char* who, const LineFigures& f) {
    if (!f.ok) {
        std::printf("  %-9s a write failed or did not arrive\n", who);
        return;
    }
    std::printf("  %-9s quick ACKs     median %6.2f ms, p95 %6.2f (%.2f .. %.2f)\n", who,
                f.quick.at(0.5), f.quick.at(0.95), f.quick.at(0), f.quick.at(1));
    const double ratio = f.quick.at(0.5) > 0 ? f.delayed.at(0.5) / f.quick.at(0.5) : 0;
    const double ratio95 = f.quick.at(0.95) > 0 ? f.delayed.at(0.95) / f.quick.at(0.95) : 0;
    std::printf(
        "  %-9s delayed ACKs   median %6.2f ms, p95 %6.2f (%.2f .. %.2f); delayed / quick:"
        " median %.2f, p95 %.2f; goal <= 1.15\n",
        "", f.delayed.at(0.5), f.delayed.at(0.95), f.delayed.at(0), f.delayed.at(1), ratio,
        ratio95);
}

// ---- a job through a stall ----

struct StallResult {
    const char* failed = nullptr;  // why there are no figures
    size_t stalledAfter = 0;       // what the printer had read when the stall began
    double writeMs = 0;
    long reported = 0;
    size_t onPrinter = 0;  // the job's bytes the printer holds
    size_t twice = 0;      // of the job's bytes, those it holds more than once
    bool prefix = false;   // it holds exactly the job's first `reported` bytes, in order
    int connections = 0;   // the connections the job came over
};

// An embedded printer's stack has a small receive buffer; the virtual printer's is the kernel's,
// whose window on loopback grows past 100 KiB, a whole job's worth, which no stall would ever
// hold up. This gives the printer's sockets on its port (its listener, whose buffer a new
// connection's handshake advertises, and the connection open now) a buffer of `bytes`: called
// before the open, and again after it, since the printer sizes a connection's buffer when it
// accepts it. Returns how many sockets it changed.
int NarrowWindow(const prnsim::TcpPrinter& printer, int bytes) {
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) return 0;
    int changed = 0;
    while (const dirent* entry = readdir(fds)) {
        const int fd = std::atoi(entry->d_name);
        struct stat status {};
        sockaddr_in address{};
        socklen_t length = sizeof address;
        if (fd == dirfd(fds) || fstat(fd, &status) != 0 || !S_ISSOCK(status.st_mode) ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
            address.sin_family != AF_INET || ntohs(address.sin_port) != printer.port())
            continue;
        const int half = bytes / 2;  // the kernel doubles what it is given
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &half, sizeof half) == 0) ++changed;
    }
    closedir(fds);
    return changed;
}

Bytes StallJob() {
    Bytes job(kJobSize);
    char record[kRecord + 1];
    for (size_t i = 0; i < kJobSize / kRecord; ++i) {
        std::snprintf(record, sizeof record, "%07zu\n", i);
        std::copy(record, record + kRecord, job.begin() + static_cast<long>(i * kRecord));
    }
    return job;
}

bool JobByte(uint8_t b) {
    return (b >= '0' && b <= '9') || b == '\n';
}

// What the printer holds of the job, one connection's stream after another: each stream
// without the libraries' own commands is a run of records, perhaps cut at both ends (a
// connection that ends, or one that starts with what the last one left unacknowledged).
void Account(const std::vector<prnsim::ReceivedChunk>& chunks, const Bytes& job,
             StallResult& result) {
    std::map<int, Bytes> streams;
    for (const prnsim::ReceivedChunk& chunk : chunks) {
        Bytes& stream = streams[chunk.connection];
        for (const uint8_t b : chunk.bytes)
            if (JobByte(b)) stream.push_back(b);
    }
    std::vector<uint8_t> times(job.size(), 0);
    Bytes all;
    for (const auto& [connection, stream] : streams) {
        all.insert(all.end(), stream.begin(), stream.end());
        // Each piece ends at a line feed or at the stream's end; its record is the number it
        // holds when it is whole, and is known from its neighbours when it is cut.
        std::vector<std::pair<size_t, size_t>> pieces;  // [begin, end) in the stream
        for (size_t begin = 0; begin < stream.size();) {
            size_t end = begin;
            while (end < stream.size() && stream[end] != '\n') ++end;
            if (end < stream.size()) ++end;
            pieces.emplace_back(begin, end);
            begin = end;
        }
        long last = -1;  // the record of the last whole piece
        for (size_t p = 0; p < pieces.size(); ++p) {
            const auto [begin, end] = pieces[p];
            const size_t length = end - begin;
            long record = -1;
            size_t offset = 0;  // where in its record the piece begins
            if (length == kRecord && stream[end - 1] == '\n') {
                record = std::strtol(reinterpret_cast<const char*>(&stream[begin]), nullptr, 10);
            } else if (p == 0 && stream[end - 1] == '\n' && p + 1 < pieces.size() &&
                       pieces[1].second - pieces[1].first == kRecord &&
                       stream[pieces[1].second - 1] == '\n') {
                // The tail of a record: the one before the next whole one.
                record = std::strtol(reinterpret_cast<const char*>(&stream[end]), nullptr, 10) - 1;
                offset = kRecord - length;
            } else if (p + 1 == pieces.size() && last >= 0) {
                record = last + 1;  // the head of the record after the last whole one
            }
            if (record < 0 || static_cast<size_t>(record) >= job.size() / kRecord) continue;
            if (length == kRecord) last = record;
            const size_t at = static_cast<size_t>(record) * kRecord + offset;
            for (size_t i = 0; i < length && at + i < job.size(); ++i) ++times[at + i];
        }
    }
    result.onPrinter = all.size();
    result.twice = 0;
    for (const uint8_t t : times)
        if (t > 1) result.twice += t - 1;
    result.prefix = result.reported >= 0 && all.size() == static_cast<size_t>(result.reported) &&
                    std::equal(all.begin(), all.end(), job.begin());
    result.connections = static_cast<int>(streams.size());
}

// One job into a printer that stalls kStall once it has read kStallAfter of it; the figures
// once the stall is over and the printer has taken all it is going to get.
StallResult Stall(NativeLibrary& lib) {
    StallResult result;
    const auto printer = NetworkPrinter(false);
    printer->setPace(kPace);
    result.failed = "the printer's receive buffer could not be narrowed";
    if (NarrowWindow(*printer, kReceiveBuffer) != 1) return result;
    result.failed = "the printer did not open and claim";
    if (!OpenAndClaim(lib, *printer)) return result;
    result.failed = "the printer's receive buffer could not be narrowed";
    if (NarrowWindow(*printer, kReceiveBuffer) != 2) {
        lib.closePort();
        return result;
    }
    result.failed = nullptr;
    printer->clearRecord();
    const Bytes job = StallJob();
    std::atomic<bool> stop{false};
    Clock::time_point stalledAt{};
    std::thread trigger([&] {
        size_t read = 0;
        while (!stop && (read = printer->received().size()) < kStallAfter)
            std::this_thread::sleep_for(milliseconds(1));
        if (stop) return;
        printer->stallFor(std::chrono::duration_cast<milliseconds>(kStall));
        stalledAt = Clock::now();
        result.stalledAfter = read;
    });
    const auto start = Clock::now();
    result.reported = lib.writeData(job, static_cast<int>(job.size()), 0);
    result.writeMs = MillisSince(start);
    stop = true;
    trigger.join();
    // The stall is over, and the printer took all it is going to get: nothing new for 1.5 s.
    if (stalledAt != Clock::time_point{}) std::this_thread::sleep_until(stalledAt + kStall);
    for (size_t before = SIZE_MAX; printer->received().size() != before;) {
        before = printer->received().size();
        std::this_thread::sleep_for(milliseconds(1500));
    }
    Account(printer->chunks(), job, result);
    lib.closePort();
    return result;
}

void StallRow(const char* who, const StallResult& r) {
    if (r.failed != nullptr) {
        std::printf("  %-9s %s\n", who, r.failed);
        return;
    }
    if (r.stalledAfter == 0) std::printf("  %-9s the job ended before the stall began\n", who);
    std::printf("  %-9s _writeData %5.0f ms, reported %6ld (the stall began at %zu B)\n", who,
                r.writeMs, r.reported, r.stalledAfter);
    std::printf(
        "  %-9s on the printer %6zu (twice %zu, over %d connection%s); reported == on the"
        " printer: %s; the job's first bytes, in order: %s\n",
        "", r.onPrinter, r.twice, r.connections, r.connections == 1 ? "" : "s",
        r.reported >= 0 && static_cast<size_t>(r.reported) == r.onPrinter ? "yes" : "NO",
        r.prefix ? "yes" : "no");
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 5;
    int stallRounds = 1;
    std::string baseline;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
        if (option == "--stall-rounds") stallRounds = std::max(0, std::atoi(argv[i + 1]));
        if (option == "--baseline") baseline = argv[i + 1];
    }
    auto now = Load(std::string(PRN_BENCH_BUILD) + "/" + kLibrary);
    if (!now) return 2;
    std::unique_ptr<NativeLibrary> before;
    if (!baseline.empty() && !(before = Load(baseline + "/" + kLibrary))) return 2;

    std::printf("line by line: %d writes of %zu B, %d rounds, time per write (low .. high)\n",
                kLines, kLineSize, rounds);
    {
        const auto quick = NetworkPrinter(false);
        const auto delayed = NetworkPrinter(true);
        LineFigures fNow;
        LineFigures fBefore;
        for (int r = 0; r < rounds; ++r) {
            fNow.ok = Lines(*now, *quick, fNow.quick) && fNow.ok;
            fNow.ok = Lines(*now, *delayed, fNow.delayed) && fNow.ok;
            if (!before) continue;
            fBefore.ok = Lines(*before, *quick, fBefore.quick) && fBefore.ok;
            fBefore.ok = Lines(*before, *delayed, fBefore.delayed) && fBefore.ok;
        }
        LineRows("this", fNow);
        if (before) LineRows("baseline", fBefore);
    }

    if (stallRounds > 0) {
        std::printf(
            "a %zu KiB job through a %lld s stall: the printer (a %d KiB receive buffer, reading"
            " %u KB/s) stalls once it has read about %zu KiB; the job's bytes it holds once the"
            " stall is over\n",
            kJobSize / 1024, static_cast<long long>(kStall.count()), kReceiveBuffer / 1024,
            kPace / 1000, kStallAfter / 1024);
    }
    for (int r = 0; r < stallRounds; ++r) {
        StallRow("this", Stall(*now));
        if (before) StallRow("baseline", Stall(*before));
    }
    now->unload();
    if (before) before->unload();
    return 0;
}

// The byte trace (PRN_TRACE) of the serial and network libraries, through their natives: what a
// short session leaves in the file and that the natives answer as they do untraced, the file
// kept to two of at most 16 MiB, also with two libraries writing it, a trace that cannot be
// written switching itself off without the caller noticing, and the file's own rules: created
// for the process's user alone, never written through a link, a FIFO or another user's file,
// and rotated in the directory it was found in.
//
// Each test loads its own copy of a library after setting PRN_TRACE, as a JVM started with it
// would, and unloads it before the next: the library reads the variable when it is loaded.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "NativeTestSupport.h"
#include "TraceSupport.h"
#include "prnsim/SerialPrinter.h"
#include "prnsim/TcpPrinter.h"

#ifndef PRN_TRACE_NET_LIB
#error "PRN_TRACE_NET_LIB must name the network library"
#endif

namespace {

using namespace prntest;
using prnsim::Bytes;
using std::chrono::seconds;
namespace fs = std::filesystem;

constexpr char kSerialClass[] = "JNativeCommonPort4LinuxSerial";
constexpr char kNetClass[] = "JNativeCommonPort4LinuxEthernet";
constexpr long kFileLimit = 16L << 20;
const Bytes kDleEot2{0x10, 0x04, 0x02};
const Bytes kDleEot4{0x10, 0x04, 0x04};
const Bytes kEnable{0x1D, 0x61, 0xFF};
// GS ( H fn 48 and its reply, up to the identifier each wait gives its request.
const Bytes kCompletionRequest{0x1D, 0x28, 0x48, 0x06, 0x00, 0x30, 0x30};
const Bytes kCompletionReply{0x37, 0x22};

std::string NetLibraryPath() {
    const char* path = std::getenv("PRN_NATIVE_NET_LIB");
    return path ? path : PRN_TRACE_NET_LIB;
}

uint64_t MonotonicMicros() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

// A printable job of `size` bytes, different at every position of its start.
Bytes Job(size_t size) {
    Bytes job(size);
    for (size_t i = 0; i < size; ++i) job[i] = static_cast<uint8_t>(0x21 + (i * 7) % 90);
    return job;
}

long FileSize(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : -1;
}

// The permission bits of path itself (a link's own), or -1.
int Mode(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void Write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// The process's umask, as a service might have it, for a scope.
class Umask {
  public:
    explicit Umask(mode_t mask) : saved_(umask(mask)) {}
    ~Umask() { umask(saved_); }
    Umask(const Umask&) = delete;
    Umask& operator=(const Umask&) = delete;

  private:
    mode_t saved_;
};

// Descriptors of this process open on path.
int DescriptorsOn(const std::string& path) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (fs::read_symlink(entry.path(), error) == path) ++count;
    }
    return count;
}

// What the natives answered in a session: the same with the trace on as without it.
struct Results {
    long open = 99;
    long claim = 99;
    int statusAfterClaim = 99;
    int written = -99;
    bool completed = false;
    int statusAtEnd = 99;
    bool operator==(const Results&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Results& r) {
    return out << "open " << r.open << ", claim " << r.claim << ", status " << r.statusAfterClaim
               << ", written " << r.written << ", completed " << r.completed << ", status "
               << r.statusAtEnd;
}

// Open, thermal claim, one job, the completion wait, close.
template <class Open>
Results Session(NativeLibrary& lib, const Bytes& job, Open open) {
    Results r;
    r.open = open(lib);
    r.claim = lib.claim(1000, true);
    WaitFor([&] { return lib.getPrinterStatus(0) == 0; }, seconds(3));
    r.statusAfterClaim = lib.getPrinterStatus(0);
    r.written = lib.writeData(job, static_cast<int>(job.size()), 0);
    r.completed = lib.waitForCompletePrinting(5000);
    r.statusAtEnd = lib.getPrinterStatus(0);
    lib.closePort();
    return r;
}

class ByteTrace : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/prn-trace-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        file = dir_ + "/trace";
    }
    void TearDown() override {
        for (auto& lib : libs_) lib->unload();
        unsetenv("PRN_TRACE");
        std::error_code error;
        fs::remove_all(dir_, error);
    }

    // The library loaded as by a JVM started with PRN_TRACE=trace (without it: nullopt). The
    // copy loaded before must be gone, or it would be this one, with its old setting.
    NativeLibrary& Load(const std::string& path, const char* javaClass,
                        const std::optional<std::string>& trace) {
        EXPECT_FALSE(NativeLibrary::Mapped(path)) << path << " is still loaded";
        if (trace) {
            setenv("PRN_TRACE", trace->c_str(), 1);
        } else {
            unsetenv("PRN_TRACE");
        }
        libs_.push_back(std::make_unique<NativeLibrary>());
        NativeLibrary& lib = *libs_.back();
        EXPECT_TRUE(lib.load(path, javaClass)) << lib.error();
        unsetenv("PRN_TRACE");
        return lib;
    }
    // Unloads the library (and closes its trace file).
    void Unload(NativeLibrary& lib) { EXPECT_TRUE(lib.unload()); }

    // A session untraced, then the same session traced into file: the natives answer the same,
    // and the trace shows every transfer of it, with the open's line as openLine says.
    void ExpectTracedLikeUntraced(const std::string& path, const char* javaClass,
                                  const std::string& library, const Bytes& job,
                                  const std::function<long(NativeLibrary&)>& open,
                                  const std::string& openLine);

    // A serial open, one job and a close, traced into trace: the natives answer as untraced,
    // and meanwhile the library opens no descriptor on kept, which the trace must leave alone.
    void ExpectLeftAlone(const std::string& trace, const std::string& kept);

    static std::string SerialPath() { return NativeLibraryPath(); }
    std::string dir() const { return dir_; }

    std::string file;

  private:
    std::string dir_;
    std::vector<std::unique_ptr<NativeLibrary>> libs_;
};

prnsim::SerialOptions WithModem() {
    prnsim::SerialOptions options;
    options.modem = true;
    return options;
}

// What every session leaves in the trace, whichever the line: the library's lines in the order
// of their stamps, within the session; the probe's requests and their replies, the claim and
// the close from the calling thread; the monitor's enable, its status blocks and the completion
// reply from one other thread; the job as one print line of its first 64 bytes.
void ExpectSessionTraced(const std::vector<TraceLine>& lines, const std::string& library,
                         const Bytes& job, uint64_t began, uint64_t ended) {
    ASSERT_FALSE(lines.empty());
    std::string whole;
    for (const TraceLine& l : lines) whole += l.text + "\n";
    SCOPED_TRACE("the trace:\n" + whole);
    const long caller = static_cast<long>(gettid());
    auto find = [&](auto matches, size_t from = 0) {
        for (size_t i = from; i < lines.size(); ++i) {
            if (matches(lines[i])) return i;
        }
        return lines.size();
    };
    auto callerOut = [&](const Bytes& bytes) {
        return [&, bytes](const TraceLine& l) {
            return l.role == "caller" && l.what == "out" && l.bytes == bytes;
        };
    };
    auto callerOutStarting = [&](const Bytes& head) {
        return [&, head](const TraceLine& l) {
            return l.role == "caller" && l.what == "out" && l.bytes.size() >= head.size() &&
                   std::equal(head.begin(), head.end(), l.bytes.begin());
        };
    };
    auto callerIn = [](const TraceLine& l) { return l.role == "caller" && l.what == "in"; };

    long monitor = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        const TraceLine& l = lines[i];
        SCOPED_TRACE(l.text);
        EXPECT_EQ(l.library, library);
        EXPECT_GE(l.micros, began);
        EXPECT_LE(l.micros, ended);
        if (i > 0) {
            EXPECT_GE(l.micros, lines[i - 1].micros) << "out of order";
        }
        if (l.role == "caller") {
            EXPECT_EQ(l.tid, caller);
        }
        if (l.role == "monitor") {
            EXPECT_NE(l.tid, caller);
            if (monitor == 0) monitor = l.tid;
            EXPECT_EQ(l.tid, monitor) << "one monitor thread in the session";
        }
        if (!l.transfer() || l.print) continue;
        // Status traffic is shown whole.
        EXPECT_FALSE(l.cut);
        EXPECT_EQ(static_cast<long>(l.bytes.size()), l.count);
    }

    // The probe: each request, then the printer's reply to it, before the open's own line.
    const size_t ask2 = find(callerOut(kDleEot2));
    const size_t reply2 = find(callerIn, ask2);
    const size_t ask4 = find(callerOut(kDleEot4), reply2);
    const size_t reply4 = find(callerIn, ask4);
    const size_t opened =
        find([](const TraceLine& l) { return l.what == "open" && l.role == "caller"; });
    EXPECT_LT(reply2, ask4) << "no reply to DLE EOT 2 before DLE EOT 4";
    EXPECT_LT(reply4, opened) << "no reply to DLE EOT 4 before the open's line";
    ASSERT_LT(opened, lines.size());
    EXPECT_NE(lines[opened].text.find(" -> 0"), std::string::npos) << lines[opened].text;

    const size_t claimed = find([](const TraceLine& l) { return l.what == "claim"; });
    ASSERT_LT(claimed, lines.size());
    EXPECT_NE(
        lines[claimed].text.find("caller " + std::to_string(caller) + " claim 1000 thermal -> 0"),
        std::string::npos)
        << lines[claimed].text;

    // The monitor's enable (sent while the claim waits out its first pass) and what the
    // printer answers it with.
    const size_t enabled = find(
        [](const TraceLine& l) {
            return l.role == "monitor" && l.what == "out" && l.bytes == kEnable;
        },
        opened);
    EXPECT_LT(enabled, lines.size()) << "no enable from the monitor after the open";
    EXPECT_LT(find(
                  [](const TraceLine& l) {
                      return l.role == "monitor" && l.what == "in" && l.count >= 4;
                  },
                  enabled),
              lines.size())
        << "no status block read by the monitor";

    // The job: one line, its full count, its first 64 bytes, cut.
    std::vector<const TraceLine*> printed;
    for (const TraceLine& l : lines) {
        if (l.print) printed.push_back(&l);
    }
    ASSERT_EQ(printed.size(), 1u);
    const TraceLine& job64 = *printed[0];
    EXPECT_EQ(job64.role, "caller");
    EXPECT_EQ(job64.what, "out");
    EXPECT_EQ(job64.count, static_cast<long>(job.size()));
    EXPECT_EQ(job64.bytes, Bytes(job.begin(), job.begin() + 64));
    EXPECT_TRUE(job64.cut);

    // The completion request is no print data; the reply comes to the monitor. A line is
    // stamped when it is written, after its transfer: the monitor may write the reply's line
    // before the caller writes the request's, but not before the job's, which the caller wrote
    // before it sent the request.
    const size_t request = find(callerOutStarting(kCompletionRequest));
    EXPECT_LT(request, lines.size()) << "no completion request";
    const auto jobLine = static_cast<size_t>(&job64 - lines.data());
    EXPECT_LT(
        find([](const TraceLine& l) { return l.role == "monitor" && l.shows(kCompletionReply); },
             jobLine),
        lines.size())
        << "no completion reply after the job";
    EXPECT_LT(find([](const TraceLine& l) { return l.what == "close"; }, request), lines.size())
        << "no close after the completion request";
}

void ByteTrace::ExpectTracedLikeUntraced(const std::string& path, const char* javaClass,
                                         const std::string& library, const Bytes& job,
                                         const std::function<long(NativeLibrary&)>& open,
                                         const std::string& openLine) {
    NativeLibrary& plain = Load(path, javaClass, std::nullopt);
    ASSERT_TRUE(plain.ok());
    const Results untraced = Session(plain, job, open);
    Unload(plain);
    EXPECT_FALSE(fs::exists(file));

    // A umask that lets everybody read what is created: the trace is for the user alone.
    const uint64_t began = MonotonicMicros();
    Results withTrace;
    {
        const Umask readable(0);
        NativeLibrary& traced = Load(path, javaClass, file);
        ASSERT_TRUE(traced.ok());
        withTrace = Session(traced, job, open);
        Unload(traced);
    }
    const uint64_t ended = MonotonicMicros();
    EXPECT_EQ(Mode(file), 0600);

    EXPECT_EQ(untraced, (Results{0, 0, 0, static_cast<int>(job.size()), true, 0}));
    EXPECT_EQ(withTrace, untraced);
    const auto lines = ReadTrace(file);
    ExpectSessionTraced(lines, library, job, began, ended);
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const TraceLine& l) {
        return l.text.find(openLine) != std::string::npos;
    })) << openLine;
}

void ByteTrace::ExpectLeftAlone(const std::string& trace, const std::string& kept) {
    SCOPED_TRACE("PRN_TRACE=" + trace);
    prnsim::SerialPrinter printer(WithModem());
    ASSERT_TRUE(printer.ok() && printer.setDsr(true));
    const int before = DescriptorsOn(kept);  // the test's own
    NativeLibrary& lib = Load(SerialPath(), kSerialClass, trace);
    ASSERT_TRUE(lib.ok());
    EXPECT_EQ(lib.openPort(printer.devicePath(), "9600"), 0);
    const Bytes job = Job(100);
    EXPECT_EQ(lib.writeData(job, 100, 0), 100);
    EXPECT_EQ(DescriptorsOn(kept), before) << kept << " is open";
    lib.closePort();
    Unload(lib);
}

TEST_F(ByteTrace, SerialSessionShowsEveryTransferAndAnswersTheSame) {
    prnsim::SerialPrinter printer(WithModem());
    ASSERT_TRUE(printer.ok() && printer.setDsr(true));
    ExpectTracedLikeUntraced(
        SerialPath(), kSerialClass, "serial", Job(200),
        [&](NativeLibrary& lib) { return lib.openPort(printer.devicePath(), "9600"); },
        "open \"" + printer.devicePath() + "\" \"9600\" -> 0");
    EXPECT_EQ(FileSize(file + ".1"), -1);
}

TEST_F(ByteTrace, NetworkSessionShowsEveryTransferAndAnswersTheSame) {
    prnsim::TcpPrinter printer;
    ASSERT_TRUE(printer.ok()) << printer.error();
    const std::string port = std::to_string(printer.port());
    ExpectTracedLikeUntraced(
        NetLibraryPath(), kNetClass, "ethernet", Job(200),
        [&](NativeLibrary& lib) { return lib.openPort("SOCKET:127.0.0.1", port); },
        "open \"SOCKET:127.0.0.1\" \"" + port + "\" -> 0");
}

// Fills path with `size` bytes of "#" lines, which no trace line looks like.
void Fill(const std::string& path, long size, char mark = '#') {
    std::ofstream out(path, std::ios::binary);
    std::string line(99, mark);
    line += '\n';
    for (long left = size; left > 0; left -= static_cast<long>(line.size())) {
        out.write(line.data(), std::min<long>(left, static_cast<long>(line.size())));
    }
}

char FirstByte(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char c = 0;
    in.get(c);
    return c;
}

std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// A file that the next lines would take past 16 MiB becomes FILE.1 (an older FILE.1 goes),
// once, and the lines go to a new FILE.
TEST_F(ByteTrace, AFullFileIsRenamedOnceAndANewOneStarted) {
    prnsim::SerialPrinter printer(WithModem());
    ASSERT_TRUE(printer.ok() && printer.setDsr(true));
    const long full = kFileLimit - 20;  // no line is this short
    Fill(file, full);
    Fill(file + ".1", 1000, '=');

    const Umask readable(0);
    NativeLibrary& lib = Load(SerialPath(), kSerialClass, file);
    ASSERT_TRUE(lib.ok());
    ASSERT_EQ(lib.openPort(printer.devicePath(), "9600"), 0);
    const Bytes job = Job(100);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(lib.writeData(job, 100, 0), 100);
    lib.closePort();
    Unload(lib);

    EXPECT_EQ(Mode(file), 0600) << "the new file";
    EXPECT_EQ(FileSize(file + ".1"), full);
    EXPECT_EQ(FirstByte(file + ".1"), '#');
    const auto lines = ReadTrace(file);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const TraceLine& l) { return l.print; }),
              5);
    EXPECT_LT(FileSize(file), 4096);
    const std::string dir = fs::path(file).parent_path();
    EXPECT_EQ(FilesIn(dir), (std::vector<std::string>{"trace", "trace.1"}));
}

// Two libraries of one process on one file: each counts from the size it found plus its own
// lines, so the first to find the file full renames it; the other, finding the path names a new
// file by then, only opens that one. The full file (now FILE.1) is never renamed a second time.
TEST_F(ByteTrace, TwoLibrariesOnOneFileRenameItOnce) {
    prnsim::SerialPrinter serialPrinter(WithModem());
    ASSERT_TRUE(serialPrinter.ok() && serialPrinter.setDsr(true));
    prnsim::TcpPrinter netPrinter;
    ASSERT_TRUE(netPrinter.ok()) << netPrinter.error();
    const long start = kFileLimit - 6000;
    Fill(file, start);

    NativeLibrary& serial = Load(SerialPath(), kSerialClass, file);
    NativeLibrary& net = Load(NetLibraryPath(), kNetClass, file);
    ASSERT_TRUE(serial.ok() && net.ok());
    // Both open the file, with room left.
    ASSERT_EQ(serial.openPort(serialPrinter.devicePath(), "9600"), 0);
    ASSERT_EQ(net.openPort("SOCKET:127.0.0.1", std::to_string(netPrinter.port())), 0);
    ASSERT_LT(FileSize(file), kFileLimit);
    // The serial library's lines fill it: it renames it.
    const Bytes job = Job(100);
    for (int i = 0; i < 60 && FileSize(file + ".1") < 0; ++i) {
        ASSERT_EQ(serial.writeData(job, 100, 0), 100);
    }
    ASSERT_GT(FileSize(file + ".1"), 0) << "the serial library's lines did not fill the file";
    EXPECT_EQ(FirstByte(file + ".1"), '#');
    // The network library still writes the full file until its own count says it is full.
    for (int i = 0; i < 80; ++i) ASSERT_EQ(net.writeData(job, 100, 0), 100);
    serial.closePort();
    net.closePort();
    Unload(serial);
    Unload(net);

    EXPECT_EQ(FirstByte(file + ".1"), '#') << "the full file was renamed twice";
    EXPECT_GE(FileSize(file + ".1"), start);
    const auto lines = ReadTrace(file);
    auto count = [&](const char* library) {
        return std::count_if(lines.begin(), lines.end(),
                             [&](const TraceLine& l) { return l.library == library && l.print; });
    };
    EXPECT_GT(count("serial"), 0);
    EXPECT_GT(count("ethernet"), 0) << "the network library never moved to the new file";
    EXPECT_LT(FileSize(file), 64 * 1024);
    const std::string dir = fs::path(file).parent_path();
    EXPECT_EQ(FilesIn(dir), (std::vector<std::string>{"trace", "trace.1"}));
}

// A trace that cannot be written (a full disk; a directory that is not there) goes off at its
// first line: the natives answer as without it, in about the same time, and no descriptor of
// it stays open.
TEST_F(ByteTrace, ATraceThatCannotBeWrittenSwitchesItselfOff) {
    prnsim::SerialPrinter printer(WithModem());
    ASSERT_TRUE(printer.ok() && printer.setDsr(true));
    const Bytes job = Job(200);
    auto run = [&](const std::optional<std::string>& trace, long& tookMs) {
        NativeLibrary& lib = Load(SerialPath(), kSerialClass, trace);
        const auto start = Clock::now();
        const Results results = Session(lib, job, [&](NativeLibrary& port) {
            return port.openPort(printer.devicePath(), "9600");
        });
        tookMs = MillisSince(start);
        if (trace) {
            EXPECT_EQ(DescriptorsOn(*trace), 0) << *trace << " is still open";
        }
        Unload(lib);
        return results;
    };
    long untracedMs = 0;
    const Results untraced = run(std::nullopt, untracedMs);
    EXPECT_EQ(untraced, (Results{0, 0, 0, 200, true, 0}));
    for (const std::string trace : {"/dev/full", "/nonexistent-dir/x"}) {
        SCOPED_TRACE(trace);
        long tookMs = 0;
        EXPECT_EQ(run(trace, tookMs), untraced);
        EXPECT_LE(tookMs, untracedMs * 3 / 2 + 300) << "untraced: " << untracedMs << " ms";
    }
    EXPECT_FALSE(fs::exists("/nonexistent-dir"));
}

// A link at the name is never followed, whether it leads to a file (which would be appended to)
// or to nothing (which would be created): the trace goes off, the natives answer as untraced.
TEST_F(ByteTrace, ALinkAtTheNameIsNeverFollowed) {
    const std::string target = dir() + "/target";
    Write(target, "kept\n");
    ASSERT_EQ(symlink(target.c_str(), file.c_str()), 0);
    ExpectLeftAlone(file, target);
    EXPECT_EQ(Contents(target), "kept\n");

    const std::string missing = dir() + "/missing";
    const std::string dangling = dir() + "/dangling";
    ASSERT_EQ(symlink(missing.c_str(), dangling.c_str()), 0);
    ExpectLeftAlone(dangling, missing);
    EXPECT_FALSE(fs::exists(missing));
}

// An existing file is written only when it is a regular file of the process's user with no
// other name: not a FIFO, even one somebody reads; not a file that also has another name,
// which the trace would write behind that name's back; not another user's file.
TEST_F(ByteTrace, OnlyARegularFileOfTheProcesssUserIsWritten) {
    const std::string fifo = dir() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ExpectLeftAlone(fifo, fifo);
    char byte = 0;
    EXPECT_LE(read(reader, &byte, 1), 0) << "the trace wrote into the FIFO";
    close(reader);

    const std::string other = dir() + "/other-name";
    Write(other, "kept\n");
    ASSERT_EQ(link(other.c_str(), file.c_str()), 0);
    ExpectLeftAlone(file, file);
    EXPECT_EQ(Contents(other), "kept\n");
    ASSERT_EQ(unlink(file.c_str()), 0);

    if (geteuid() != 0) GTEST_SKIP() << "another user's file needs root to make";
    Write(file, "kept\n");
    ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
    ExpectLeftAlone(file, file);
    EXPECT_EQ(Contents(file), "kept\n");
}

// The file found full is renamed in the directory it was found in, and only when that
// directory still holds it under its name. The name replaced by a link since: no rename, and
// nothing written where the link leads. The directory replaced by a link to another: the
// rotation happens in the first, and the other's file of that name is left alone.
TEST_F(ByteTrace, ARotationNeverGoesThroughALink) {
    prnsim::SerialPrinter printer(WithModem());
    ASSERT_TRUE(printer.ok() && printer.setDsr(true));
    const Bytes job = Job(100);
    // The trace opens the file at the open's first line; the links are put in place after that,
    // and the jobs then fill what is left of the file.
    auto traceInto = [&](const std::string& trace, const std::function<void()>& relink) {
        Fill(trace, kFileLimit - 6000);
        NativeLibrary& lib = Load(SerialPath(), kSerialClass, trace);
        ASSERT_TRUE(lib.ok());
        ASSERT_EQ(lib.openPort(printer.devicePath(), "9600"), 0);
        relink();
        for (int i = 0; i < 60; ++i) ASSERT_EQ(lib.writeData(job, 100, 0), 100);
        lib.closePort();
        Unload(lib);
    };
    {
        SCOPED_TRACE("the name replaced by a link");
        const std::string target = dir() + "/target";
        Write(target, "kept\n");
        traceInto(file, [&] {
            ASSERT_EQ(rename(file.c_str(), (dir() + "/moved").c_str()), 0);
            ASSERT_EQ(symlink(target.c_str(), file.c_str()), 0);
        });
        EXPECT_EQ(Contents(target), "kept\n");
        EXPECT_TRUE(fs::is_symlink(file));
        EXPECT_EQ(FilesIn(dir()), (std::vector<std::string>{"moved", "target", "trace"}));
        fs::remove(dir() + "/moved");
    }
    {
        SCOPED_TRACE("the directory replaced by a link");
        const std::string first = dir() + "/first";
        const std::string other = dir() + "/other";
        const std::string named = dir() + "/named";
        ASSERT_TRUE(fs::create_directory(named) && fs::create_directory(other));
        Write(other + "/trace", "kept\n");
        traceInto(named + "/trace", [&] {
            ASSERT_EQ(rename(named.c_str(), first.c_str()), 0);
            ASSERT_EQ(symlink(other.c_str(), named.c_str()), 0);
        });
        EXPECT_EQ(Contents(other + "/trace"), "kept\n");
        EXPECT_EQ(FilesIn(other), (std::vector<std::string>{"trace"}));
        EXPECT_EQ(FilesIn(first), (std::vector<std::string>{"trace", "trace.1"}));
        EXPECT_EQ(FirstByte(first + "/trace.1"), '#');
        const auto lines = ReadTrace(first + "/trace");
        EXPECT_GT(
            std::count_if(lines.begin(), lines.end(), [](const TraceLine& l) { return l.print; }),
            0)
            << "no job traced after the rotation";
    }
}

}  // namespace

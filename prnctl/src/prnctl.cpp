// prnctl: the port libraries without a JVM, for the person at the till. It loads the library of
// the connection named on the command line and calls the same natives the Java service calls,
// so what it shows is what the service gets.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "Diagnosis.h"
#include "PortLibrary.h"

#ifndef PRN_VERSION
#define PRN_VERSION "unknown"
#endif

namespace prnctl {
namespace {

using Clock = std::chrono::steady_clock;

// The exit codes, as documented in the help text.
enum Exit : int {
    kDone = 0,
    kNotReady = 1,       // cover open, paper end, offline, or a refused claim
    kCannotOpen = 2,     // no device, no permission, connection refused, no answer
    kBadArguments = 3,
    kTransferFailed = 4,  // a write refused or cut short
    kNoCompletion = 5,    // no completion reply within the wait
    kNoLibrary = 6,       // the port library is missing or cannot be loaded
    kInterrupted = 130,   // Ctrl-C during a job
};

constexpr const char* kExitCodes = R"(exit codes:
  0  done (status: ready or paper near end)
  1  printer not ready: cover open, paper end, offline, or the claim was refused
  2  cannot open: no such device, permission denied, connection refused, no answer
  3  bad arguments
  4  print data refused or not all sent
  5  no completion reply within the wait (print --complete)
  6  the port library is missing or cannot be loaded
  130  interrupted by Ctrl-C while sending or waiting
)";

constexpr const char* kUsage = R"(usage: prnctl [--lib FILE] [--trace FILE] CONNECTION PORT [SETTINGS] VERB [ARGS]
       prnctl --version | --help | VERB --help

CONNECTION and PORT:
  serial DEVICE [SETTINGS]   e.g. serial /dev/ttyUSB0 9600,none,8,1,none
                             (SPEED[,PARITY,DATA,STOP,FLOW]; a bare speed means SPEED,none,8,1,hdwr;
                             9600 when left out)
  net ADDRESS[:TCPPORT]      e.g. net 192.168.1.50 or net 192.168.1.50:9100 (TCP port 9100
                             when left out; it may also be given as SETTINGS)
  usb DEVICE                 e.g. usb /dev/usb/lp0
  parallel DEVICE            e.g. parallel /dev/parport0

verbs:
  probe                      open the port and ask whether the printer is ready
  status [--watch]           claim the printer and show cover, paper, near end, offline, drawer
  print FILE|- [--complete]  send the bytes of FILE (or stdin) unchanged
  drawer [2|5]               pulse the cash drawer on connector pin 2 (default) or 5
  read [--time MS]           show what the printer sends, as hex

options:
  --lib FILE     the port library to use (default: PREFIX/lib/prnjpos/, or $PRN_LIB_DIR)
  --trace FILE   append every transfer to FILE (the same as PRN_TRACE=FILE); a new FILE is
                 made 0600, an existing one must be a regular file of yours and not a link
  --impact       claim as an impact (dot) printer instead of a thermal one
)";

struct VerbHelp {
    const char* verb;
    const char* text;
};

constexpr VerbHelp kVerbHelp[] = {
    {"probe", R"(usage: prnctl CONNECTION PORT [SETTINGS] probe
Opens the port as the service does (_openPort), says what the printer answered and closes it.
It prints the result in words and as the number the Java side gets: 0 ready, 1 cover open,
2 paper end, -1 not open or no answer, -3 settings not accepted. When the port cannot be opened
it says why (no such device, permission, refused connection, a silent printer) and what to do.
)"},
    {"status", R"(usage: prnctl CONNECTION PORT [SETTINGS] status [--watch] [--impact]
Opens the port, claims the printer (thermal unless --impact) and shows its status as the service
sees it: cover, paper (ok, near end, end), online or offline, and the cash drawer.
  --watch    keep showing it: one line on every change (redrawn in place on a terminal) until
             Ctrl-C, then release and close. A printer that is not ready when the port is opened
             (cover open, paper end, no answer) is asked again every second.
  --impact   an impact claim (watches the status of a dot printer)
)"},
    {"print", R"(usage: prnctl CONNECTION PORT [SETTINGS] print FILE|- [--complete [--wait S]] [--impact]
Opens the port, claims the printer and sends the bytes of FILE (- for stdin) unchanged, in
pieces of 4 KiB. On a terminal a progress bar shows bytes, rate and the time left; otherwise a
line every second and one at the end.
  --complete   then wait for the printer to report that everything sent has been printed, and say
               how long that took
  --wait S     give up the completion wait after S seconds (default 30)
  --impact     an impact claim (an impact claim has no completion reply)
)"},
    {"drawer", R"(usage: prnctl CONNECTION PORT [SETTINGS] drawer [2|5] [--on MS] [--off MS]
Opens the port, claims the printer and pulses the cash drawer on connector pin 2 (default) or 5,
--on MS (default 100) on and --off MS (default 200) off, then shows the drawer's state.
)"},
    {"read", R"(usage: prnctl CONNECTION PORT [SETTINGS] read [--time MS] [--send HEX]
Opens the port (without a claim) and shows the bytes the printer sends, as hex, for MS
milliseconds (default 2000) or until Ctrl-C.
  --send HEX   first send these bytes, e.g. --send 100402 asks for DLE EOT 2
)"},
};

std::atomic<bool> g_stop{false};

extern "C" void OnSignal(int) { g_stop = true; }

void CatchSignals() {
    struct sigaction action{};
    action.sa_handler = &OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// Sleeps ms, less after Ctrl-C. False once Ctrl-C came.
bool Nap(long ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (!g_stop && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return !g_stop;
}

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Options {
    std::string lib;
    std::string trace;
    bool help = false;
    bool version = false;
    bool watch = false;
    bool impact = false;
    bool complete = false;
    long waitSeconds = 30;
    long timeMs = 2000;
    long onMs = 100;
    long offMs = 200;
    std::string send;
    std::vector<std::string> words;  // everything that is not an option, in order
};

bool IsVerb(const std::string& word) {
    for (const VerbHelp& v : kVerbHelp) {
        if (word == v.verb) return true;
    }
    return false;
}

bool ParseNumber(const std::string& text, long low, long high, long& out) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    out = std::atol(text.c_str());
    return out >= low && out <= high;
}

int BadArguments(const std::string& why) {
    std::fprintf(stderr, "prnctl: %s (prnctl --help)\n", why.c_str());
    return kBadArguments;
}

// Options anywhere on the line, "--name value" or "--name=value". 0, or an exit code.
int ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0 || arg == "--") {
            if (arg != "--") o.words.push_back(arg);
            continue;
        }
        std::string value;
        bool hasValue = false;
        if (const size_t eq = arg.find('='); eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasValue = true;
        }
        auto take = [&](std::string& into) {
            if (!hasValue) {
                if (i + 1 >= argc) return false;
                value = argv[++i];
            }
            into = value;
            return true;
        };
        auto takeNumber = [&](long low, long high, long& into) {
            std::string text;
            return take(text) && ParseNumber(text, low, high, into);
        };
        bool ok = true;
        if (arg == "--help") {
            o.help = true;
        } else if (arg == "--version") {
            o.version = true;
        } else if (arg == "--watch") {
            o.watch = true;
        } else if (arg == "--impact") {
            o.impact = true;
        } else if (arg == "--complete") {
            o.complete = true;
        } else if (arg == "--lib") {
            ok = take(o.lib);
        } else if (arg == "--trace") {
            ok = take(o.trace);
        } else if (arg == "--send") {
            ok = take(o.send);
        } else if (arg == "--wait") {
            ok = takeNumber(1, 86400, o.waitSeconds);
        } else if (arg == "--time") {
            ok = takeNumber(1, 86400000, o.timeMs);
        } else if (arg == "--on") {
            ok = takeNumber(2, 510, o.onMs);
        } else if (arg == "--off") {
            ok = takeNumber(2, 510, o.offMs);
        } else {
            return BadArguments("unknown option " + arg);
        }
        if (!ok) return BadArguments("option " + arg + " needs a value in range");
    }
    return 0;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>& out) {
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == ',' || c == ':') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        digits += c;
    }
    if (digits.empty() || digits.size() % 2 != 0) return false;
    for (size_t i = 0; i < digits.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return true;
}

std::string Hex(const uint8_t* bytes, size_t n) {
    std::string text;
    char pair[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(pair, sizeof pair, i == 0 ? "%02x" : " %02x", bytes[i]);
        text += pair;
    }
    return text;
}

std::string WallClock() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min,
                  local.tm_sec, now.tv_nsec / 1000000);
    return text;
}

std::string DescribeStatus(int status, int drawer) {
    const char* cover = status == 1 ? "cover open" : "cover closed";
    const char* paper = status == 2 ? "paper end" : status == 16 ? "paper near end" : "paper ok";
    const char* line = status == 8 ? "offline" : "online";
    const char* box = drawer == 1 ? "drawer open" : "drawer closed";
    return std::string(cover) + ", " + paper + ", " + line + ", " + box + " (status " +
           std::to_string(status) + ")";
}

bool Ready(int status) { return status == 0 || status == 16; }

// Everything one verb needs: the library, the port and what is open.
class Session {
  public:
    Session(PortLibrary& library, const Transport& transport, std::string port,
            std::string settings)
        : library_(library), transport_(transport), port_(std::move(port)),
          settings_(std::move(settings)) {}
    ~Session() { end(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    PortLibrary& library() { return library_; }

    // The open probe; the library's result.
    long open() {
        const long result = library_.openPort(port_, settings_);
        open_ = result == 0;
        return result;
    }

    // Says what a result other than 0 means; the exit code for it.
    int explainOpen(long result, bool quietAdvice = false) {
        if (result == 1 || result == 2) {
            std::printf("%s (_openPort %ld)\n", result == 1 ? "cover open" : "paper end", result);
            return kNotReady;
        }
        const Diagnosis d = DiagnoseOpen(transport_, port_, settings_, result);
        std::printf("cannot open (_openPort %ld): %s\n", result, d.what.c_str());
        if (!quietAdvice) std::fprintf(stderr, "prnctl: %s\n", d.todo.c_str());
        return result == -3 ? kBadArguments : kCannotOpen;
    }

    // Open and claim; 0, or the exit code after saying why not.
    int openAndClaim(bool thermal) {
        const long opened = open();
        if (opened != 0) return explainOpen(opened);
        return claim(thermal);
    }

    int claim(bool thermal) {
        const long claimed = library_.claim(1000, thermal);
        if (claimed != 0) {
            std::printf("claim refused (_claim %ld): %s\n", claimed,
                        DescribeStatus(library_.printerStatus(), library_.drawerStatus()).c_str());
            return kNotReady;
        }
        claimed_ = true;
        return kDone;
    }

    // Release and close, once (the close waits for a monitor that ran, about a second).
    void end() {
        if (claimed_) library_.release();
        if (open_) library_.closePort();
        claimed_ = open_ = false;
    }

  private:
    PortLibrary& library_;
    const Transport& transport_;
    std::string port_;
    std::string settings_;
    bool open_ = false;
    bool claimed_ = false;
};

int Probe(Session& session) {
    const long result = session.open();
    if (result == 0) {
        std::printf("ready (_openPort 0)\n");
        return kDone;
    }
    return session.explainOpen(result);
}

int Status(Session& session, const Options& o) {
    const bool terminal = isatty(STDOUT_FILENO) == 1;
    if (!o.watch) {
        if (const int code = session.openAndClaim(!o.impact); code != kDone) return code;
        const int status = session.library().printerStatus();
        std::printf("%s\n", DescribeStatus(status, session.library().drawerStatus()).c_str());
        return Ready(status) ? kDone : kNotReady;
    }
    // Until the port opens: the probe's answer, once per change, asked again every second.
    long last = 0x7fffffff;
    for (;;) {
        const long opened = session.open();
        if (opened == 0) break;
        if (opened != last) {
            std::printf("%s ", WallClock().c_str());
            session.explainOpen(opened, opened == 1 || opened == 2);
            std::fflush(stdout);
            last = opened;
        }
        if (opened == -3) return kBadArguments;
        if (!Nap(1000)) return kDone;
    }
    if (const int code = session.claim(!o.impact); code != kDone) return code;
    std::string shown;
    while (!g_stop) {
        const std::string now = DescribeStatus(session.library().printerStatus(),
                                               session.library().drawerStatus());
        if (now != shown) {
            shown = now;
            if (terminal) {
                std::printf("\r\033[K%s %s", WallClock().c_str(), now.c_str());
            } else {
                std::printf("%s %s\n", WallClock().c_str(), now.c_str());
            }
            std::fflush(stdout);
        }
        Nap(50);
    }
    if (terminal) std::printf("\n");
    session.end();
    std::printf("released and closed\n");
    return kDone;
}

bool ReadInput(const std::string& name, std::vector<uint8_t>& data) {
    const int fd = name == "-" ? STDIN_FILENO : open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    uint8_t buffer[65536];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR && !g_stop) continue;
        if (got < 0) {
            if (fd != STDIN_FILENO) close(fd);
            return false;
        }
        if (got == 0) break;
        data.insert(data.end(), buffer, buffer + got);
    }
    if (fd != STDIN_FILENO) close(fd);
    return true;
}

void ShowProgress(bool terminal, size_t sent, size_t total, double ms, bool last) {
    const double rate = ms > 0 ? static_cast<double>(sent) / ms : 0;  // bytes per ms = KB/s
    if (terminal) {
        constexpr int kWidth = 30;
        const int filled = total == 0 ? kWidth : static_cast<int>(kWidth * sent / total);
        const double left = rate > 0 ? static_cast<double>(total - sent) / rate / 1000.0 : 0;
        std::fprintf(stderr, "\r\033[K[%s%s] %zu/%zu B  %.1f KB/s  %.1f s left",
                     std::string(static_cast<size_t>(filled), '#').c_str(),
                     std::string(static_cast<size_t>(kWidth - filled), '.').c_str(), sent, total,
                     rate, left);
        if (last) std::fprintf(stderr, "\n");
        return;
    }
    std::printf("sent %zu of %zu bytes in %.0f ms (%.1f KB/s)\n", sent, total, ms, rate);
    std::fflush(stdout);
}

int Print(Session& session, const Options& o, const std::vector<std::string>& args) {
    if (args.size() != 1) return BadArguments("print needs one FILE, or - for stdin");
    std::vector<uint8_t> data;
    if (!ReadInput(args[0], data)) {
        std::fprintf(stderr, "prnctl: cannot read %s: %s\n", args[0].c_str(), std::strerror(errno));
        return kBadArguments;
    }
    if (const int code = session.openAndClaim(!o.impact); code != kDone) return code;
    PortLibrary& library = session.library();
    const bool terminal = isatty(STDERR_FILENO) == 1;
    constexpr size_t kPiece = 4096;
    const auto start = Clock::now();
    auto shownAt = start;
    size_t sent = 0;
    while (sent < data.size()) {
        if (g_stop) {
            std::printf("interrupted after %zu of %zu bytes\n", sent, data.size());
            return kInterrupted;
        }
        const size_t piece = std::min(kPiece, data.size() - sent);
        const int took = library.writeData(data.data() + sent, static_cast<int>(piece));
        if (took != static_cast<int>(piece)) {
            if (terminal) std::fprintf(stderr, "\n");
            std::printf("write failed (_writeData %d) after %zu of %zu bytes: %s\n", took, sent,
                        data.size(),
                        DescribeStatus(library.printerStatus(), library.drawerStatus()).c_str());
            return kTransferFailed;
        }
        sent += piece;
        // The last figure is shown once, below.
        if (sent < data.size() && (terminal || Clock::now() - shownAt >= std::chrono::seconds(1))) {
            ShowProgress(terminal, sent, data.size(), MsSince(start), false);
            shownAt = Clock::now();
        }
    }
    ShowProgress(terminal, sent, data.size(), MsSince(start), true);
    if (terminal) std::printf("sent %zu bytes in %.0f ms\n", sent, MsSince(start));
    if (!o.complete) return kDone;

    // The wait has no limit of its own: a close ends it.
    std::atomic<bool> done{false};
    bool printed = false;
    const auto asked = Clock::now();
    std::thread waiter([&] {
        printed = library.waitForCompletePrinting();
        done = true;
    });
    const auto limit = asked + std::chrono::seconds(o.waitSeconds);
    while (!done && !g_stop && Clock::now() < limit) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const bool answered = done.load();
    const double waited = MsSince(asked);
    if (!answered) session.end();
    waiter.join();
    if (answered && printed) {
        std::printf("printed: the printer reported completion %.0f ms after the last byte\n", waited);
        return kDone;
    }
    if (g_stop) {
        std::printf("interrupted while waiting for the completion reply\n");
        return kInterrupted;
    }
    if (answered) {
        std::printf("no completion reply: the wait ended after %.0f ms without one (an impact "
                    "claim, or the line is gone): %s\n",
                    waited, DescribeStatus(library.printerStatus(), library.drawerStatus()).c_str());
    } else {
        std::printf("no completion reply within %ld s\n", o.waitSeconds);
    }
    return kNoCompletion;
}

int Drawer(Session& session, const Options& o, const std::vector<std::string>& args) {
    long pin = 2;
    if (args.size() > 1 || (args.size() == 1 && args[0] != "2" && args[0] != "5")) {
        return BadArguments("drawer takes pin 2 or 5");
    }
    if (args.size() == 1) pin = std::atol(args[0].c_str());
    if (const int code = session.openAndClaim(!o.impact); code != kDone) return code;
    PortLibrary& library = session.library();
    const auto start = Clock::now();
    const int result = library.openDrawer(pin, o.onMs, o.offMs);
    if (result != 0) {
        // Nothing was pulsed: the printer refused the kick (its cover open, paper out, offline)
        // or it did not go out whole.
        std::printf("drawer kick on pin %ld not sent (_OpenDrawer %d, %.0f ms): the printer cannot "
                    "take it now (cover open, paper out or offline)\n",
                    pin, result, MsSince(start));
        return kTransferFailed;
    }
    std::printf("drawer pulse on pin %ld, %ld ms on, %ld ms off (_OpenDrawer %d, %.0f ms): %s\n",
                pin, o.onMs, o.offMs, result, MsSince(start),
                library.drawerStatus() == 1 ? "drawer open" : "drawer closed");
    return kDone;
}

int Read(Session& session, const Options& o, const std::vector<std::string>& args) {
    if (!args.empty()) return BadArguments("read takes no arguments");
    std::vector<uint8_t> request;
    if (!o.send.empty() && !ParseHex(o.send, request)) {
        return BadArguments("--send needs hex bytes, e.g. 100402");
    }
    const long opened = session.open();
    if (opened != 0) return session.explainOpen(opened);
    PortLibrary& library = session.library();
    const auto start = Clock::now();
    if (!request.empty()) {
        const int took = library.writeData(request.data(), static_cast<int>(request.size()));
        std::printf("+%.0f ms sent %zu bytes: %s (_writeData %d)\n", MsSince(start),
                    request.size(), Hex(request.data(), request.size()).c_str(), took);
    }
    size_t total = 0;
    std::vector<uint8_t> chunk;
    while (!g_stop && MsSince(start) < static_cast<double>(o.timeMs)) {
        const int got = library.readData(chunk, 256);
        if (got > 0) {
            total += static_cast<size_t>(got);
            std::printf("+%.0f ms %d %s: %s\n", MsSince(start), got, got == 1 ? "byte" : "bytes",
                        Hex(chunk.data(), chunk.size()).c_str());
            std::fflush(stdout);
        }
    }
    std::printf("%zu bytes in %.0f ms\n", total, MsSince(start));
    return kDone;
}

int Run(int argc, char** argv) {
    Options o;
    if (const int code = ParseOptions(argc, argv, o); code != 0) return code;
    if (o.version) {
        std::printf("prnctl %s\n", PRN_VERSION);
        return kDone;
    }
    // The verb is the first word that names one (after CONNECTION and PORT when they are there).
    size_t verbAt = o.words.size();
    for (size_t i = 0; i < o.words.size(); ++i) {
        if (IsVerb(o.words[i]) && (i == 0 || i >= 2)) {
            verbAt = i;
            break;
        }
    }
    if (o.help) {
        if (verbAt < o.words.size()) {
            for (const VerbHelp& v : kVerbHelp) {
                if (o.words[verbAt] == v.verb) std::printf("%s\n%s", v.text, kExitCodes);
            }
        } else {
            std::printf("%s\n%s", kUsage, kExitCodes);
        }
        return kDone;
    }
    if (o.words.empty()) {
        std::fprintf(stderr, "%s", kUsage);
        return kBadArguments;
    }
    const Transport* transport = FindTransport(o.words[0]);
    if (transport == nullptr) {
        return BadArguments("unknown connection \"" + o.words[0] + "\": serial, net, usb or parallel");
    }
    if (verbAt == o.words.size()) return BadArguments("no verb: probe, status, print, drawer or read");
    if (verbAt < 2) return BadArguments("no PORT before the verb");
    if (verbAt > 3) return BadArguments("too many words before the verb");
    const std::string verb = o.words[verbAt];
    std::string port = o.words[1];
    std::string settings = verbAt == 3 ? o.words[2] : "";
    const std::vector<std::string> args(o.words.begin() + static_cast<long>(verbAt) + 1, o.words.end());
    if (std::string(transport->name) == "net") {
        std::string portText;
        std::string tcpPort;
        if (!NetworkPort(port, settings, portText, tcpPort)) {
            return BadArguments("\"" + port + (settings.empty() ? "" : " " + settings) +
                                "\" is no IPv4 address with a TCP port from 1 to 65535");
        }
        port = portText;
        settings = tcpPort;
    } else if (std::string(transport->name) == "serial" && settings.empty()) {
        settings = "9600";
    }
    if (verb == "probe" && !args.empty()) return BadArguments("probe takes no arguments");
    if (verb == "status" && !args.empty()) return BadArguments("status takes no arguments");

    if (!o.trace.empty()) setenv("PRN_TRACE", o.trace.c_str(), 1);
    const std::string path = LocateLibrary(*transport, o.lib);
    PortLibrary library;
    if (!library.load(path, *transport)) {
        std::fprintf(stderr, "prnctl: cannot load the %s library: %s\n", transport->name,
                     library.error().c_str());
        std::fprintf(stderr, "prnctl: install the package, or name the library with --lib FILE\n");
        return kNoLibrary;
    }
    CatchSignals();
    Session session(library, *transport, port, settings);
    if (verb == "probe") return Probe(session);
    if (verb == "status") return Status(session, o);
    if (verb == "print") return Print(session, o, args);
    if (verb == "drawer") return Drawer(session, o, args);
    return Read(session, o, args);
}

}  // namespace
}  // namespace prnctl

int main(int argc, char** argv) {
    const int code = prnctl::Run(argc, argv);
    std::fflush(nullptr);
    return code;
}

// prnsim: the virtual ESC/POS printer as a command, for people (the demo) and for programs
// (the JVM tests drive it through its stdin and stdout, one line at a time).
//
// Four printers: "serial" (a pty), "usb" (a pty with a raw master behind a symlink the printer
// re-points, standing in for a USB printer node such as /dev/usb/lp0; without --link the link
// is lp0 in a fresh folder under $TMPDIR or /tmp, removed at exit), "parallel" (the same, as
// parport0, served as a ppdev port by the modem shim from the line the printer publishes in
// its state file) and "tcp" (a loopback port).
//
// On start it prints one line, "device <path>" (serial, usb, parallel) or "port <n>" (tcp), or
// "error <why>" and exits with status 2. Then it reads one command per line from stdin and
// answers each with exactly one line that begins with "ok" or "error". The text view ("text")
// is answered as "ok <base64>": standard base64 with padding (java.util.Base64.getDecoder()) of
// the UTF-8 (in practice ASCII) text, empty text giving a bare "ok". End of stdin, or "quit",
// closes the pty or socket and exits with status 0; SIGINT, SIGTERM and SIGHUP remove the link
// and the folder made for it before the printer ends.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "prnsim/ModemFile.h"
#include "prnsim/ParallelPrinter.h"
#include "prnsim/SerialPrinter.h"
#include "prnsim/TcpPrinter.h"

namespace {

using namespace prnsim;

constexpr const char* kUsage = R"(usage:
  prnsim serial [--link PATH] [--speed BPS] [--read-rate BPS] [--modem] [--modem-file PATH]
                [--no-raw-master] [common options]
  prnsim usb [--link PATH] [--read-rate BPS] [--usblp [--device-id TEXT] [--modem-file PATH]]
             [common options]
  prnsim parallel [--link PATH] [--modem-file PATH] [common options]
  prnsim tcp [--port N] [--delayed-acks] [common options]
common options:
  --speed BPS           print speed in bytes per second (0: at once, the default)
  --block4 HEX          byte 4 of the automatic status block (0x00 or 0x0F)
  --model reference|network-table
                        how the offline bit is set: reference (the default), by whatever stops
                        printing; network-table, by the online switch alone (cover open
                        30/34, paper end 10/14)
  --net-model           the same as --model network-table
  --pulse-opens-drawer  an ESC p pulse opens the drawer
  --show                show the print data as text on stderr as it is printed
serial and usb options:
  --link PATH           a symlink to the pty slave, removed on unplug, re-pointed on replug
                        (usb without it: prnsim-usb-XXXXXX/lp0 under $TMPDIR or /tmp)
  --read-rate BPS       read the line at this rate (slow printer); 0 reads at once
usb options (the rules need the modem shim: LD_PRELOAD=libprnmodem.so, or linked in):
  --usblp               the node by the kernel's usblp rules: one open at a time (EBUSY), a
                        read error on demand, the device ID (LPIOC_GET_DEVICE_ID); published in
                        the shim's state file ($PRNSIM_MODEM_FILE or --modem-file)
  --device-id TEXT      the IEEE 1284 device ID it gives, e.g. "MFG:Acme;MDL:TM1;CMD:ESCPOS;"
  --modem-file PATH     the shim's state file, instead of $PRNSIM_MODEM_FILE
parallel options (the port needs the modem shim: LD_PRELOAD=libprnmodem.so, or linked in):
  --link PATH           the port the host opens (without it: prnsim-parallel-XXXXXX/parport0
                        under $TMPDIR or /tmp)
  --modem-file PATH     the shim's state file, instead of $PRNSIM_MODEM_FILE
serial options (a usb printer is a serial one with a raw master and a link, no modem lines):
  --modem               publish DSR/CTS/CD in the modem shim's file ($PRNSIM_MODEM_FILE)
  --modem-file PATH     that file, instead of $PRNSIM_MODEM_FILE
  --no-raw-master       leave the new pty's termios as the kernel makes them
Prints "device <path>" or "port <n>", then answers each stdin line with one "ok ..." or
"error ..." line. Commands:
  cover open|close     paper ok|near|end     offline on|off     drawer open|close
  error recoverable|autocutter|unrecoverable|auto-recoverable|off   (on: recoverable)
  recovery on|off      waiting for online recovery
  paper-end-after <n>  cover-open-after <n>
                       the paper runs out (the cover opens) once n more bytes are printed;
                       the rest waits in the buffer until "paper ok" ("cover close")
  silent on|off        dsr|cts|cd on|off     speed <bps>
  reply2 <hex>|none|auto    reply4 <hex>|none|auto   (none: no answer, auto: from the state)
  send <hex>           inject bytes to the host as they are
  hex                  ok <all received bytes as hex>       sent: ok <bytes sent, as hex>
  count <hex>          ok <occurrences in the received bytes>
  hex-on <c>           ok <bytes received on connection c, as hex> (tcp: accepted connections
                       from 0; serial, usb: ptys from 0, a replug starts the next)
  count-on <c> <hex>   ok <occurrences in what connection c received>
  pulses               ok <pin:onMs:offMs,...>
  text                 ok <text view, base64>
  clear                forget the record
  wait-bytes <n> <ms>  wait-seq <hex> <count> <ms>  wait-printed <ms>  (ok, or error timeout)
  serial, usb, parallel: read-rate <bps>  unplug  replug (ok <device>)
                       connections (ok <ptys made>)
  serial, usb: busy on|off   the printer is busy (cutting, feeding): it reads nothing more,
                       so the pty fills and non-blocking writes fail with EAGAIN; off, it reads
                       what the pty holds, in order (and a pending busy-after is cancelled)
  serial, usb, parallel: busy-for <ms>   busy now, resumes by itself after ms
  serial, usb, parallel: busy-after <bytes> <ms>
                       reads that many more bytes, then is busy for ms; once (on a parallel
                       printer both stop the reading only, not the busy line)
  serial, usb, parallel: busy-after <bytes>
                       reads that many more bytes, then is busy until "busy off" (a parallel
                       printer sets its busy line then: writes fail with EAGAIN)
  parallel: busy on|off   busy line set (writes fail with EAGAIN) and nothing more is read
  parallel: fault on|off  fault line set (writes fail with EAGAIN)
  parallel: power on|off  off: every status line low, no nibble mode, no answers
  parallel: reverse on|off  off: no reverse channel, nibble mode refused (reads fail with EIO)
  parallel: held on|off   someone else has the port claimed (PPCLAIM fails with EBUSY)
  parallel: status-lines <hex>  the status byte of the powered printer (default df)
  usb (--usblp): device-id <text>|none   the device ID from now on (none: no ID); kept across
                       unplug and replug, so another printer can come back under the same path
  usb (--usblp): read-error   the host's next read of the node fails with EIO, once
  serial: outq <n>     the line stops taking data: nothing more is read, and through the modem
                       shim (--modem) TIOCOUTQ reports n and tcdrain waits; 0: it flows again
  tcp refuse|accept|close-on-accept|silent|drop|reset|drop-after <n>|slow <bps>|normal
  tcp reset-after <n>  reset the connection after n more bytes (drop-after closes it)
  tcp drop-each-after <n> <connections>
                       close each of the next connections (the open one first) after n bytes;
                       n 0: at accept, before reading; connections 0: cancel
  tcp stall on|off     keep the connection but read nothing (the host's sends block)
  tcp stall-for <ms>   stall now, resume by itself after ms
  tcp delayed-acks on|off
                       hold back ACKs (delayed-ACK mode, 40 ms and more), as embedded stacks do
  A drop or reset first reads what the printer's stack has taken (and acknowledged) and sends
  the ACK it owes for it; what the stack did not take is neither acknowledged nor recorded.
  tcp normal           accept, full speed, not stalled, no drop-each-after
  tcp: connections (ok <n>)  wait-connections <n> <ms>
  quit
Hex is "1b40", "1b 40" or "0x1b 0x40".
)";

bool parseUnsigned(const std::string& text, unsigned long* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    *value = std::strtoul(text.c_str(), &end, 0);
    return *end == '\0';
}

struct Session {
    std::unique_ptr<VirtualPrinter> printer;
    SerialPrinter* serial = nullptr;  // also set for a parallel and a usb printer
    bool usb = false;
    ParallelPrinter* parallel = nullptr;
    TcpPrinter* tcp = nullptr;
    bool quit = false;

    std::string run(const std::string& line);
};

std::string onOff(const std::string& word, bool* value) {
    if (word == "on" || word == "open")
        *value = true;
    else if (word == "off" || word == "close" || word == "closed")
        *value = false;
    else
        return "error expected on/off or open/close";
    return "";
}

std::string Session::run(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string word; in >> word;) w.push_back(word);
    if (w.empty()) return "error empty command";
    const std::string& cmd = w[0];
    const auto arg = [&](size_t i) { return i < w.size() ? w[i] : std::string(); };
    const auto rest = [&](size_t from) {
        std::string joined;
        for (size_t i = from; i < w.size(); ++i) joined += w[i] + " ";
        return joined;
    };
    const auto millis = [&](size_t i, std::chrono::milliseconds* ms) {
        unsigned long v;
        if (!parseUnsigned(arg(i), &v)) return false;
        *ms = std::chrono::milliseconds(v);
        return true;
    };
    VirtualPrinter& p = *printer;
    bool flag = false;

    if (parallel &&
        (cmd == "busy" || cmd == "fault" || cmd == "power" || cmd == "reverse" || cmd == "held")) {
        if (std::string e = onOff(arg(1), &flag); !e.empty()) return e;
        if (cmd == "busy") parallel->setBusy(flag);
        if (cmd == "fault") parallel->setFault(flag);
        if (cmd == "power") parallel->setPowered(flag);
        if (cmd == "reverse") parallel->setReverseChannel(flag);
        if (cmd == "held") parallel->setHeld(flag);
        return parallel->published() ? "ok" : "error the port's line is not published";
    }
    if (cmd == "status-lines") {
        if (!parallel) return "error not a parallel printer";
        std::optional<Bytes> bytes = parseHex(arg(1));
        if (!bytes || bytes->size() != 1) return "error expected one hex byte";
        parallel->setStatusLines((*bytes)[0]);
        return parallel->published() ? "ok" : "error the port's line is not published";
    }

    if (cmd == "error") {
        const std::string& kind = arg(1);
        if (kind == "on" || kind == "recoverable")
            p.setError(PrinterError::Recoverable);
        else if (kind == "autocutter")
            p.setError(PrinterError::Autocutter);
        else if (kind == "unrecoverable")
            p.setError(PrinterError::Unrecoverable);
        else if (kind == "auto-recoverable")
            p.setError(PrinterError::AutoRecoverable);
        else if (kind == "off")
            p.setError(PrinterError::None);
        else
            return "error expected recoverable, autocutter, unrecoverable, auto-recoverable, on "
                   "or off";
        return "ok";
    }
    if (cmd == "paper-end-after" || cmd == "cover-open-after") {
        unsigned long bytes;
        if (!parseUnsigned(arg(1), &bytes)) return "error usage: " + cmd + " <bytes>";
        p.faultAfter(bytes, cmd == "paper-end-after" ? Fault::PaperEnd : Fault::CoverOpen);
        return "ok";
    }
    if (cmd == "cover" || cmd == "offline" || cmd == "drawer" || cmd == "recovery" ||
        cmd == "silent" || cmd == "dsr" || cmd == "cts" || cmd == "cd") {
        if (std::string e = onOff(arg(1), &flag); !e.empty()) return e;
        if (cmd == "cover") p.setCoverOpen(flag);
        if (cmd == "offline") p.setOffline(flag);
        if (cmd == "drawer") p.setDrawerOpen(flag);
        if (cmd == "recovery") p.setWaitingForRecovery(flag);
        if (cmd == "silent") p.setSilent(flag);
        if (cmd == "dsr" && !p.setDsr(flag))
            return "error no modem lines (--modem, PRNSIM_MODEM_FILE)";
        if (cmd == "cts" && !(serial && serial->setCts(flag))) return "error no modem lines";
        if (cmd == "cd" && !(serial && serial->setCd(flag))) return "error no modem lines";
        return "ok";
    }
    if (cmd == "paper") {
        if (arg(1) == "ok")
            p.setPaper(Paper::Ok);
        else if (arg(1) == "near")
            p.setPaper(Paper::NearEnd);
        else if (arg(1) == "end")
            p.setPaper(Paper::End);
        else
            return "error expected ok, near or end";
        return "ok";
    }
    if (cmd == "reply2" || cmd == "reply4") {
        std::optional<Bytes> reply;
        if (arg(1) == "none") {
            reply = Bytes{};
        } else if (arg(1) != "auto") {
            reply = parseHex(rest(1));
            if (!reply || reply->empty()) return "error expected hex bytes, none or auto";
        }
        if (cmd == "reply2")
            p.setReply2(reply);
        else
            p.setReply4(reply);
        return "ok";
    }
    if (cmd == "speed" || cmd == "read-rate") {
        unsigned long v;
        if (!parseUnsigned(arg(1), &v)) return "error expected bytes per second";
        if (cmd == "speed") {
            p.setPrintSpeed(static_cast<unsigned>(v));
        } else {
            if (!serial) return "error not a serial printer";
            serial->setReadRate(static_cast<unsigned>(v));
        }
        return "ok";
    }
    if (cmd == "send") {
        std::optional<Bytes> bytes = parseHex(rest(1));
        if (!bytes || bytes->empty()) return "error expected hex bytes";
        p.sendToHost(*bytes);
        return "ok";
    }
    if (cmd == "hex") return "ok " + toHex(p.received());
    if (cmd == "sent") return "ok " + toHex(p.sent());
    if (cmd == "count") {
        std::optional<Bytes> bytes = parseHex(rest(1));
        if (!bytes || bytes->empty()) return "error expected hex bytes";
        return "ok " + std::to_string(p.countReceived(*bytes));
    }
    if (cmd == "hex-on" || cmd == "count-on") {
        unsigned long connection;
        if (!parseUnsigned(arg(1), &connection)) return "error usage: " + cmd + " <connection>";
        const int c = static_cast<int>(connection);
        if (cmd == "hex-on") return "ok " + toHex(p.receivedOn(c));
        std::optional<Bytes> bytes = parseHex(rest(2));
        if (!bytes || bytes->empty()) return "error usage: count-on <connection> <hex>";
        return "ok " + std::to_string(p.countReceivedOn(c, *bytes));
    }
    if (cmd == "pulses") {
        std::string out = "ok";
        const char* sep = " ";
        for (const DrawerPulse& pulse : p.pulses()) {
            out += sep + std::to_string(pulse.pin) + ":" + std::to_string(pulse.onMs) + ":" +
                   std::to_string(pulse.offMs);
            sep = ",";
        }
        return out;
    }
    if (cmd == "text") {
        const std::string encoded = toBase64(p.text());
        return encoded.empty() ? "ok" : "ok " + encoded;
    }
    if (cmd == "clear") {
        p.clearRecord();
        return "ok";
    }
    if (cmd == "wait-bytes") {
        unsigned long n;
        std::chrono::milliseconds ms;
        if (!parseUnsigned(arg(1), &n) || !millis(2, &ms))
            return "error usage: wait-bytes <n> <ms>";
        return p.waitForBytes(n, ms) ? "ok" : "error timeout";
    }
    if (cmd == "wait-seq") {
        // wait-seq <hex...> <count> <ms>: the last two words are numbers
        if (w.size() < 4) return "error usage: wait-seq <hex> <count> <ms>";
        std::string hex;
        for (size_t i = 1; i + 2 < w.size(); ++i) hex += w[i] + " ";
        std::optional<Bytes> bytes = parseHex(hex);
        unsigned long count;
        std::chrono::milliseconds ms;
        if (!bytes || bytes->empty() || !parseUnsigned(arg(w.size() - 2), &count) ||
            !millis(w.size() - 1, &ms))
            return "error usage: wait-seq <hex> <count> <ms>";
        return p.waitForSequence(*bytes, count, ms) ? "ok" : "error timeout";
    }
    if (cmd == "wait-printed") {
        std::chrono::milliseconds ms;
        if (!millis(1, &ms)) return "error usage: wait-printed <ms>";
        return p.waitUntilPrinted(ms) ? "ok" : "error timeout";
    }
    if (cmd == "outq") {
        unsigned long v;
        if (!parseUnsigned(arg(1), &v)) return "error expected a byte count";
        if (!serial) return "error not a serial printer";
        if (!serial->setOutputStuck(static_cast<unsigned>(v)))
            return "error no modem lines (--modem, PRNSIM_MODEM_FILE)";
        return "ok";
    }
    if (cmd == "busy" || cmd == "busy-for" || cmd == "busy-after") {
        if (!serial) return "error not a serial or usb printer";
        std::chrono::milliseconds ms;
        unsigned long bytes;
        if (cmd == "busy") {
            if (std::string e = onOff(arg(1), &flag); !e.empty()) return e;
            serial->setBusy(flag);
        } else if (cmd == "busy-for") {
            if (!millis(1, &ms)) return "error usage: busy-for <ms>";
            serial->busyFor(ms);
        } else if (w.size() == 2 && parseUnsigned(arg(1), &bytes)) {
            serial->stopAfter(bytes);  // a parallel printer's moves its busy line too
        } else {
            if (!parseUnsigned(arg(1), &bytes) || !millis(2, &ms))
                return "error usage: busy-after <bytes> [<ms>]";
            serial->busyAfter(bytes, ms);
        }
        return "ok";
    }
    if (cmd == "device-id" || cmd == "read-error") {
        if (!usb) return "error not a usb printer";
        if (cmd == "read-error")
            return serial->failNextRead()
                       ? "ok"
                       : "error no usblp rules (--usblp, PRNSIM_MODEM_FILE), or unplugged";
        // The ID as written after the command, spaces and all.
        const size_t at = line.find_first_not_of(" \t", line.find(cmd) + cmd.size());
        std::string id = at == std::string::npos ? "" : line.substr(at);
        while (!id.empty() && (id.back() == ' ' || id.back() == '\t' || id.back() == '\r'))
            id.pop_back();
        if (id.empty()) return "error usage: device-id <text>|none";
        if (id == "none") id.clear();
        return serial->setDeviceId(id)
                   ? "ok"
                   : "error no usblp rules (--usblp, PRNSIM_MODEM_FILE), or an ID too long";
    }
    if (cmd == "connections" && serial) return "ok " + std::to_string(serial->ptyCount());
    if (cmd == "unplug" || cmd == "replug") {
        if (!serial) return "error not a serial printer";
        if (cmd == "unplug") return serial->unplug() ? "ok" : "error not plugged";
        return serial->replug() ? "ok " + serial->devicePath() : "error " + serial->error();
    }
    if (cmd == "tcp" || cmd == "connections" || cmd == "wait-connections") {
        if (!tcp) return "error not a tcp printer";
        if (cmd == "connections") return "ok " + std::to_string(tcp->connectionCount());
        if (cmd == "wait-connections") {
            unsigned long n;
            std::chrono::milliseconds ms;
            if (!parseUnsigned(arg(1), &n) || !millis(2, &ms))
                return "error usage: wait-connections <n> <ms>";
            return tcp->waitForConnections(static_cast<int>(n), ms) ? "ok" : "error timeout";
        }
        const std::string& what = arg(1);
        unsigned long v = 0;
        unsigned long count = 0;
        std::chrono::milliseconds ms;
        if (what == "refuse")
            tcp->setMode(TcpMode::Refuse);
        else if (what == "accept")
            tcp->setMode(TcpMode::Normal);
        else if (what == "close-on-accept")
            tcp->setMode(TcpMode::CloseOnAccept);
        else if (what == "silent")
            tcp->setMode(TcpMode::Silent);
        else if (what == "drop")
            tcp->drop();
        else if (what == "reset")
            tcp->reset();
        else if (what == "drop-after" && parseUnsigned(arg(2), &v))
            tcp->dropAfter(v);
        else if (what == "reset-after" && parseUnsigned(arg(2), &v))
            tcp->resetAfter(v);
        else if (what == "drop-each-after" && parseUnsigned(arg(2), &v) &&
                 parseUnsigned(arg(3), &count) && count <= 1000000)
            tcp->dropEachAfter(v, static_cast<int>(count));
        else if (what == "slow" && parseUnsigned(arg(2), &v))
            tcp->setSlow(static_cast<unsigned>(v));
        else if (what == "stall" && onOff(arg(2), &flag).empty())
            tcp->setStalled(flag);
        else if (what == "stall-for" && millis(2, &ms))
            tcp->stallFor(ms);
        else if (what == "delayed-acks" && onOff(arg(2), &flag).empty())
            tcp->setDelayedAcks(flag);
        else if (what == "normal") {
            tcp->setMode(TcpMode::Normal);
            tcp->setSlow(0);
            tcp->setStalled(false);
            tcp->dropEachAfter(0, 0);
        } else {
            return "error expected refuse|accept|close-on-accept|silent|drop|reset|drop-after <n>|"
                   "reset-after <n>|drop-each-after <n> <connections>|slow <bps>|stall on|off|"
                   "stall-for <ms>|delayed-acks on|off|normal";
        }
        if (!tcp->error().empty()) return "error " + tcp->error();
        return "ok";
    }
    if (cmd == "quit") {
        quit = true;
        return "ok";
    }
    return "error unknown command " + cmd;
}

int fail(const std::string& why) {
    std::cout << "error " << why << std::endl;
    std::cerr << kUsage;
    return 2;
}

// What a signal must not leave behind: the link and the folder made for it (empty: none).
char gLinkToRemove[4096];
char gFolderToRemove[4096];

void removeLinkAndFolder(int signal) {
    if (gLinkToRemove[0] != '\0') ::unlink(gLinkToRemove);
    if (gFolderToRemove[0] != '\0') ::rmdir(gFolderToRemove);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

bool copyPath(const std::string& path, char (&to)[4096]) {
    if (path.size() >= sizeof to) return false;
    std::memcpy(to, path.c_str(), path.size() + 1);
    return true;
}

// A fresh folder for a usb or parallel printer's link: $TMPDIR (or /tmp)/prnsim-<kind>-XXXXXX;
// "" on failure.
std::string makeLinkFolder(const std::string& kind) {
    const char* base = std::getenv("TMPDIR");
    std::string folder = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                         "/prnsim-" + kind + "-XXXXXX";
    if (::mkdtemp(folder.data()) == nullptr) return "";
    return folder;
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);  // a reader that went away shows up as a failed write
    if (argc < 2) return fail("expected serial, usb, parallel or tcp");
    const std::string kind = argv[1];
    if (kind == "--help" || kind == "-h") {
        std::cout << kUsage;
        return 0;
    }
    if (kind != "serial" && kind != "usb" && kind != "parallel" && kind != "tcp") {
        return fail("expected serial, usb, parallel or tcp");
    }
    const bool pty = kind != "tcp";

    SerialOptions serialOptions;
    TcpOptions tcpOptions;
    PrinterOptions printerOptions;
    bool show = false;
    for (int i = 2; i < argc; ++i) {
        const std::string option = argv[i];
        const auto value = [&](unsigned long* v) {
            return i + 1 < argc && parseUnsigned(argv[++i], v);
        };
        unsigned long v = 0;
        if (option == "--speed" && value(&v))
            printerOptions.printSpeed = static_cast<unsigned>(v);
        else if (option == "--block4" && value(&v))
            printerOptions.block4 = static_cast<uint8_t>(v);
        else if (option == "--net-model")
            printerOptions.model = StatusModel::NetworkTable;
        else if (option == "--model" && i + 1 < argc &&
                 (std::strcmp(argv[i + 1], "reference") == 0 ||
                  std::strcmp(argv[i + 1], "network-table") == 0))
            printerOptions.model = std::strcmp(argv[++i], "reference") == 0
                                       ? StatusModel::Reference
                                       : StatusModel::NetworkTable;
        else if (option == "--pulse-opens-drawer")
            printerOptions.pulseOpensDrawer = true;
        else if (option == "--show")
            show = true;
        else if (pty && option == "--link" && i + 1 < argc)
            serialOptions.link = argv[++i];
        else if ((kind == "serial" || kind == "usb") && option == "--read-rate" && value(&v))
            serialOptions.readRate = static_cast<unsigned>(v);
        else if (kind == "serial" && option == "--modem")
            serialOptions.modem = true;
        else if (option == "--modem-file" && kind != "tcp" && i + 1 < argc)
            serialOptions.modemFile = argv[++i];
        else if (kind == "usb" && option == "--usblp")
            serialOptions.usblp = true;
        else if (kind == "usb" && option == "--device-id" && i + 1 < argc)
            serialOptions.deviceId = argv[++i];
        else if (kind == "serial" && option == "--no-raw-master")
            serialOptions.rawMaster = false;
        else if (kind == "tcp" && option == "--port" && value(&v) && v <= 65535)
            tcpOptions.port = static_cast<uint16_t>(v);
        else if (kind == "tcp" && option == "--delayed-acks")
            tcpOptions.delayedAcks = true;
        else
            return fail("bad option " + option);
    }

    if (serialOptions.usblp) {
        if (serialOptions.modemFile.empty() && modemFileFromEnvironment().empty())
            return fail("--usblp needs the shim's state file (--modem-file, PRNSIM_MODEM_FILE)");
        if (!deviceIdFits(serialOptions.deviceId)) return fail("--device-id: too long");
    }
    if (!serialOptions.deviceId.empty() && !serialOptions.usblp)
        return fail("--device-id needs --usblp");

    // A usb printer's node has no line discipline: the master is raw, and there is always a
    // link, which is what the code under test opens.
    // So has a parallel port.
    std::string folder;
    if (kind == "usb" || kind == "parallel") {
        serialOptions.rawMaster = true;
        if (serialOptions.link.empty()) {
            folder = makeLinkFolder(kind);
            if (folder.empty()) return fail(std::string("link folder: ") + std::strerror(errno));
            serialOptions.link = folder + (kind == "usb" ? "/lp0" : "/parport0");
        }
    }
    if (!copyPath(serialOptions.link, gLinkToRemove) || !copyPath(folder, gFolderToRemove)) {
        if (!folder.empty()) ::rmdir(folder.c_str());
        return fail("link path too long");
    }
    struct sigaction cleanup {};
    cleanup.sa_handler = removeLinkAndFolder;
    ::sigemptyset(&cleanup.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &cleanup, nullptr);

    Session session;
    if (kind == "parallel") {
        ParallelOptions parallelOptions;
        parallelOptions.printer = printerOptions;
        parallelOptions.link = serialOptions.link;
        parallelOptions.modemFile = serialOptions.modemFile;
        auto parallel = std::make_unique<ParallelPrinter>(parallelOptions);
        if (!parallel->ok() || !parallel->published()) {
            const std::string why =
                parallel->ok() ? "cannot publish the port (--modem-file, PRNSIM_MODEM_FILE)"
                               : parallel->error();
            parallel.reset();
            if (!folder.empty()) ::rmdir(folder.c_str());
            return fail(why);
        }
        session.parallel = parallel.get();
        session.serial = parallel.get();
        session.printer = std::move(parallel);
    } else if (pty) {
        serialOptions.printer = printerOptions;
        auto serial = std::make_unique<SerialPrinter>(serialOptions);
        if (!serial->ok()) {
            const std::string why = serial->error();
            serial.reset();
            if (!folder.empty()) ::rmdir(folder.c_str());
            return fail(why);
        }
        session.serial = serial.get();
        session.usb = kind == "usb";
        session.printer = std::move(serial);
    } else {
        tcpOptions.printer = printerOptions;
        auto tcp = std::make_unique<TcpPrinter>(tcpOptions);
        if (!tcp->ok()) return fail(tcp->error());
        session.tcp = tcp.get();
        session.printer = std::move(tcp);
    }
    if (show) {
        session.printer->setTextListener([](std::string_view text) {
            std::fwrite(text.data(), 1, text.size(), stderr);
            std::fflush(stderr);
        });
    }
    if (session.serial)
        std::cout << "device " << session.serial->devicePath() << std::endl;
    else
        std::cout << "port " << session.tcp->port() << std::endl;

    std::string line;
    while (!session.quit && std::getline(std::cin, line)) {
        std::cout << session.run(line) << std::endl;
        if (!std::cout) break;  // nobody reads our answers any more
    }
    session.printer->setTextListener(nullptr);
    session.printer.reset();  // removes the link
    if (!folder.empty()) ::rmdir(folder.c_str());
    return 0;
}

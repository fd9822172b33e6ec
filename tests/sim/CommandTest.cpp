// The prnsim command driven the way a JVM test drives it: one line in, one line out.
#include <gtest/gtest.h>
#include <linux/ppdev.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <filesystem>

#include "SimTestSupport.h"
#include "prnsim/ModemFile.h"
#include "prnsim/Usblp.h"

extern char** environ;

namespace prnsim::test {
namespace {

class Command {
  public:
    explicit Command(std::vector<std::string> args) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        args.insert(args.begin(), PRNSIM_COMMAND);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, PRNSIM_COMMAND, &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        toChild_ = Fd(in[1]);
        fromChild_ = Fd(out[0]);
    }
    ~Command() {
        toChild_.reset();
        if (pid_ > 0 && !exited(5s)) {
            ::kill(pid_, SIGKILL);
            exited(5s);
        }
    }
    std::string line(std::chrono::milliseconds timeout = 5s) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            const size_t end = buffered_.find('\n');
            if (end != std::string::npos) {
                std::string out = buffered_.substr(0, end);
                buffered_.erase(0, end + 1);
                return out;
            }
            const Bytes got = readBytes(
                fromChild_.get(), 1,
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
            if (got.empty()) return "<no answer>";
            buffered_ += static_cast<char>(got[0]);
        }
    }
    std::string ask(const std::string& command) {
        const std::string text = command + "\n";
        if (!writeAll(toChild_.get(), Bytes(text.begin(), text.end()))) return "<not sent>";
        return line();
    }
    void closeInput() { toChild_.reset(); }
    void signal(int number) { ::kill(pid_, number); }
    // Waits for the child to end; true with its status in status().
    bool exited(std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            if (::waitpid(pid_, &status_, WNOHANG) == pid_) {
                pid_ = -1;
                return true;
            }
            readBytes(fromChild_.get(), 1, 20ms);  // a bounded pause that also drains output
        }
        return false;
    }
    int status() const { return status_; }

  private:
    pid_t pid_ = -1;
    int status_ = -1;
    Fd toChild_, fromChild_;
    std::string buffered_;
};

TEST(PrnsimCommand, SerialSession) {
    Command sim({"serial"});
    const std::string first = sim.line();
    ASSERT_EQ(first.rfind("device /dev/pts/", 0), 0u) << first;
    Fd host = openRawSlave(first.substr(7));
    ASSERT_GE(host.get(), 0);

    ASSERT_TRUE(writeAll(host.get(), {0x1B, 0x40, 'O', 'K', 0x0A, 0x10, 0x04, 0x01}));
    EXPECT_EQ(readBytes(host.get(), 1, 2s), Bytes{0x16});
    EXPECT_EQ(sim.ask("wait-seq 10 04 01 1 2000"), "ok");
    EXPECT_EQ(sim.ask("wait-printed 2000"), "ok");
    EXPECT_EQ(sim.ask("hex"), "ok 1b404f4b0a100401");
    EXPECT_EQ(sim.ask("count 0x10 0x04"), "ok 1");
    EXPECT_EQ(sim.ask("text"), "ok " + toBase64("[ESC @]OK\n[DLE EOT 1]"));

    EXPECT_EQ(sim.ask("cover open"), "ok");
    EXPECT_EQ(sim.ask("reply4 none"), "ok");
    ASSERT_TRUE(writeAll(host.get(), {0x10, 0x04, 0x01, 0x10, 0x04, 0x04}));
    EXPECT_EQ(readBytes(host.get(), 2, 300ms), Bytes{0x1E});
    EXPECT_EQ(sim.ask("send 14 00 00 0f"), "ok");
    EXPECT_EQ(readBytes(host.get(), 4, 2s), (Bytes{0x14, 0x00, 0x00, 0x0F}));

    EXPECT_EQ(sim.ask("paper sideways"), "error expected ok, near or end");
    EXPECT_EQ(sim.ask("wait-bytes 1000 50"), "error timeout");
    EXPECT_EQ(sim.ask("dsr on").rfind("error", 0), 0u);  // no modem lines asked for
    EXPECT_EQ(sim.ask("outq 5").rfind("error no modem lines", 0), 0u);
    EXPECT_EQ(sim.ask("clear"), "ok");
    EXPECT_EQ(sim.ask("text"), "ok");
    EXPECT_EQ(sim.ask("pulses"), "ok");

    sim.closeInput();  // end of input: a clean exit that hangs up the line
    ASSERT_TRUE(sim.exited(5s));
    EXPECT_TRUE(WIFEXITED(sim.status()) && WEXITSTATUS(sim.status()) == 0);
    uint8_t b;
    EXPECT_EQ(::read(host.get(), &b, 1), 0);
}

// Errors and a fault in the middle of a job by command, on a printer of the network table (its
// errors leave the offline bit alone; the reference model is the default, see SerialSession).
TEST(PrnsimCommand, PrinterErrorsAndAFaultInTheMiddleOfAJob) {
    Command sim({"serial", "--model", "network-table"});
    const std::string first = sim.line();
    ASSERT_EQ(first.rfind("device ", 0), 0u) << first;
    Fd host = openRawSlave(first.substr(7));
    const auto block = [&] { return readBytes(host.get(), 4, 2s); };
    ASSERT_TRUE(writeAll(host.get(), {0x1D, 0x61, 0xFF}));
    EXPECT_EQ(block(), (Bytes{0x14, 0x00, 0x00, 0x00}));
    for (const auto& [command, bit] : {std::pair{"error autocutter", 0x08},
                                       {"error unrecoverable", 0x20},
                                       {"error auto-recoverable", 0x40},
                                       {"error recoverable", 0x04},
                                       {"error on", 0x04},
                                       {"recovery on", 0x01}}) {
        SCOPED_TRACE(command);
        EXPECT_EQ(sim.ask(command), "ok");
        EXPECT_EQ(block(), (Bytes{0x14, static_cast<uint8_t>(bit), 0x00, 0x00}));
        EXPECT_EQ(sim.ask(bit == 0x01 ? "recovery off" : "error off"), "ok");
        EXPECT_EQ(block(), (Bytes{0x14, 0x00, 0x00, 0x00}));
    }
    EXPECT_EQ(sim.ask("error sideways").rfind("error expected", 0), 0u);

    EXPECT_EQ(sim.ask("paper-end-after 3"), "ok");
    ASSERT_TRUE(writeAll(host.get(), {'a', 'b', 'c', 'd', 'e', 'f'}));
    EXPECT_EQ(block(), (Bytes{0x14, 0x00, 0x0F, 0x00}));
    EXPECT_EQ(sim.ask("wait-bytes 9 2000"), "ok");
    EXPECT_EQ(sim.ask("text"), "ok " + toBase64("[GS a 255]abc"));
    EXPECT_EQ(sim.ask("paper ok"), "ok");
    EXPECT_EQ(sim.ask("wait-printed 2000"), "ok");
    EXPECT_EQ(sim.ask("text"), "ok " + toBase64("[GS a 255]abcdef"));
    EXPECT_EQ(sim.ask("cover-open-after 0"), "ok");
    EXPECT_EQ(block(), (Bytes{0x14, 0x00, 0x00, 0x00}));  // after paper ok
    EXPECT_EQ(block(), (Bytes{0x34, 0x00, 0x00, 0x00}));
    EXPECT_EQ(sim.ask("cover-open-after"), "error usage: cover-open-after <bytes>");
}

TEST(PrnsimCommand, TcpSession) {
    Command sim({"tcp", "--net-model"});
    const std::string first = sim.line();
    ASSERT_EQ(first.rfind("port ", 0), 0u) << first;
    const auto port = static_cast<uint16_t>(std::stoi(first.substr(5)));
    {
        Fd client = connectTcp(port);
        ASSERT_GE(client.get(), 0);
        ASSERT_TRUE(writeAll(client.get(), {0x1B, 0x70, 0x00, 0x19, 0x32}));
        EXPECT_EQ(sim.ask("wait-bytes 5 2000"), "ok");
        EXPECT_EQ(sim.ask("wait-printed 2000"), "ok");
        EXPECT_EQ(sim.ask("pulses"), "ok 2:50:100");
        EXPECT_EQ(sim.ask("tcp drop"), "ok");
        EXPECT_TRUE(readBytes(client.get(), 1, 2s).empty());
    }
    EXPECT_EQ(sim.ask("tcp refuse"), "ok");
    EXPECT_LT(connectTcp(port).get(), 0);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_EQ(sim.ask("tcp accept"), "ok");
    Fd client = connectTcp(port);
    EXPECT_GE(client.get(), 0);
    EXPECT_EQ(sim.ask("wait-connections 2 2000"), "ok");
    EXPECT_EQ(sim.ask("connections"), "ok 2");
    EXPECT_EQ(sim.ask("unplug"), "error not a serial printer");
    EXPECT_EQ(sim.ask("quit"), "ok");
    ASSERT_TRUE(sim.exited(5s));
    EXPECT_TRUE(WIFEXITED(sim.status()) && WEXITSTATUS(sim.status()) == 0);
}

TEST(PrnsimCommand, TcpFaultsAndTheRecordOfEachConnection) {
    Command sim({"tcp", "--delayed-acks"});
    const std::string first = sim.line();
    ASSERT_EQ(first.rfind("port ", 0), 0u) << first;
    EXPECT_EQ(sim.ask("tcp stall on"), "ok");
    EXPECT_EQ(sim.ask("tcp drop-each-after 3 1"), "ok");
    Fd client = connectTcp(static_cast<uint16_t>(std::stoi(first.substr(5))));
    ASSERT_TRUE(writeAll(client.get(), {'a', 'b', 'c', 'd'}));
    EXPECT_EQ(sim.ask("wait-connections 1 2000"), "ok");
    EXPECT_EQ(sim.ask("hex-on 0"), "ok ");  // stalled
    EXPECT_EQ(sim.ask("tcp stall-for 20"), "ok");
    EXPECT_TRUE(readBytes(client.get(), 1, 2s).empty());  // resumed, then dropped after 3
    EXPECT_EQ(sim.ask("hex-on 0"), "ok 61626364");        // with the byte its stack had taken
    EXPECT_EQ(sim.ask("count-on 0 62 63"), "ok 1");
    EXPECT_EQ(sim.ask("tcp reset-after 1"), "ok");
    EXPECT_EQ(sim.ask("tcp delayed-acks on"), "ok");
    EXPECT_EQ(sim.ask("tcp delayed-acks off"), "ok");
    EXPECT_EQ(sim.ask("tcp delayed-acks maybe").rfind("error expected", 0), 0u);
    EXPECT_EQ(sim.ask("tcp normal"), "ok");
    EXPECT_EQ(sim.ask("tcp stall maybe").rfind("error expected", 0), 0u);
    EXPECT_EQ(sim.ask("tcp drop-each-after 3").rfind("error expected", 0), 0u);
    EXPECT_EQ(sim.ask("outq 5"), "error not a serial printer");
}

TEST(PrnsimCommand, SerialLineThatStopsTakingData) {
    const std::string file = (std::filesystem::temp_directory_path() /
                              ("prnsim-cmd-modem-" + std::to_string(::getpid())))
                                 .string();
    Command sim({"serial", "--modem", "--modem-file", file});
    const std::string first = sim.line();
    ASSERT_EQ(first.rfind("device ", 0), 0u) << first;
    EXPECT_EQ(sim.ask("outq 300"), "ok");
    EXPECT_EQ(readModemEntry(file, first.substr(7)), (ModemEntry{kPrinterReadyModemBits, 300}));
    EXPECT_EQ(sim.ask("quit"), "ok");
    ASSERT_TRUE(sim.exited(5s));
    std::filesystem::remove(file);
    std::filesystem::remove(file + ".lock");
}

TEST(PrnsimCommand, BadStartIsOneErrorLine) {
    Command sim({"serial", "--frobnicate"});
    EXPECT_EQ(sim.line().rfind("error ", 0), 0u);
    ASSERT_TRUE(sim.exited(5s));
    EXPECT_EQ(WEXITSTATUS(sim.status()), 2);
}

// The stand-in for a USB printer node: a link in a folder of its own, a pty without line
// discipline (opened as a printer node is, without termios setup), busy periods, and a replug
// behind the same link.
TEST(PrnsimCommand, UsbSession) {
    Command sim({"usb"});
    const std::string first = sim.line();
    ASSERT_EQ(first.rfind("device ", 0), 0u) << first;
    const std::filesystem::path link = first.substr(7);
    EXPECT_EQ(link.filename(), "lp0");
    EXPECT_EQ(link.parent_path().filename().string().rfind("prnsim-usb-", 0), 0u) << link;
    EXPECT_EQ(std::filesystem::read_symlink(link).string().rfind("/dev/pts/", 0), 0u);
    Fd host(::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    ASSERT_GE(host.get(), 0);

    ASSERT_TRUE(writeAll(host.get(), {0x0D, 0x0A, 0x11, 0x13, 0x00, 0xFF, 0x7F, 0x10, 0x04, 0x01}));
    EXPECT_EQ(readBytes(host.get(), 1, 2s), Bytes{0x16});
    EXPECT_EQ(sim.ask("wait-bytes 10 2000"), "ok");
    EXPECT_EQ(sim.ask("hex"), "ok 0d0a111300ff7f100401");
    EXPECT_EQ(sim.ask("send 0d 0a 11 13 00"), "ok");
    EXPECT_EQ(readBytes(host.get(), 5, 2s), (Bytes{0x0D, 0x0A, 0x11, 0x13, 0x00}));

    EXPECT_EQ(sim.ask("busy on"), "ok");
    ASSERT_TRUE(writeAll(host.get(), {0x10, 0x04, 0x01}));
    EXPECT_TRUE(quietFor(host.get(), 200ms));
    EXPECT_EQ(sim.ask("busy off"), "ok");
    EXPECT_EQ(readBytes(host.get(), 1, 2s), Bytes{0x16});
    EXPECT_EQ(sim.ask("busy-for 300"), "ok");
    ASSERT_TRUE(writeAll(host.get(), {0x10, 0x04, 0x01}));
    EXPECT_TRUE(quietFor(host.get(), 150ms));
    EXPECT_EQ(readBytes(host.get(), 1, 2s), Bytes{0x16});
    EXPECT_EQ(sim.ask("clear"), "ok");
    EXPECT_EQ(sim.ask("busy-after 3 400"), "ok");
    ASSERT_TRUE(writeAll(host.get(), {'a', 'b', 'c', 'd', 'e', 'f'}));
    EXPECT_EQ(sim.ask("wait-bytes 3 2000"), "ok");
    EXPECT_EQ(sim.ask("wait-bytes 4 150"), "error timeout");
    EXPECT_EQ(sim.ask("wait-bytes 6 2000"), "ok");
    EXPECT_EQ(sim.ask("busy-after 2"), "ok");  // then busy until told
    ASSERT_TRUE(writeAll(host.get(), {'g', 'h', 'i'}));
    EXPECT_EQ(sim.ask("wait-bytes 8 2000"), "ok");
    EXPECT_EQ(sim.ask("wait-bytes 9 300"), "error timeout");
    EXPECT_EQ(sim.ask("busy off"), "ok");
    EXPECT_EQ(sim.ask("wait-bytes 9 2000"), "ok");

    // Busy is the printer's, not the pty's: it stays across a replug.
    EXPECT_EQ(sim.ask("busy on"), "ok");
    EXPECT_EQ(sim.ask("unplug"), "ok");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
    uint8_t b;
    EXPECT_EQ(::read(host.get(), &b, 1), 0);
    EXPECT_EQ(sim.ask("replug"), "ok " + link.string());
    host = Fd(::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    ASSERT_GE(host.get(), 0);
    ASSERT_TRUE(writeAll(host.get(), {0x10, 0x04, 0x01}));
    EXPECT_TRUE(quietFor(host.get(), 200ms));
    EXPECT_EQ(sim.ask("busy off"), "ok");
    EXPECT_EQ(readBytes(host.get(), 1, 2s), Bytes{0x16});
    EXPECT_EQ(sim.ask("connections"), "ok 2");
    EXPECT_EQ(sim.ask("hex-on 1"), "ok 100401");
    EXPECT_EQ(sim.ask("count-on 0 10 04 01"), "ok 0");  // cleared before the replug

    EXPECT_EQ(sim.ask("busy maybe").rfind("error expected", 0), 0u);
    EXPECT_EQ(sim.ask("busy-after"), "error usage: busy-after <bytes> [<ms>]");
    EXPECT_EQ(sim.ask("dsr on").rfind("error", 0), 0u);  // a printer node has no modem lines
    EXPECT_EQ(sim.ask("quit"), "ok");
    ASSERT_TRUE(sim.exited(5s));
    EXPECT_TRUE(WIFEXITED(sim.status()) && WEXITSTATUS(sim.status()) == 0);
    EXPECT_FALSE(std::filesystem::exists(link.parent_path())) << "the link's folder is left";
}

TEST(PrnsimCommand, UsbLinkGoesWithTheCommand) {
    const std::filesystem::path given =
        std::filesystem::temp_directory_path() / ("prnsim-cmd-lp-" + std::to_string(::getpid()));
    {
        Command sim({"usb", "--link", given.string()});
        EXPECT_EQ(sim.line(), "device " + given.string());
        EXPECT_TRUE(std::filesystem::is_symlink(given));
        sim.signal(SIGTERM);
        ASSERT_TRUE(sim.exited(5s));
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(given)));
    }
    Command sim({"usb"});
    const std::string first = sim.line();
    ASSERT_EQ(first.rfind("device ", 0), 0u) << first;
    const std::filesystem::path folder = std::filesystem::path(first.substr(7)).parent_path();
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    sim.signal(SIGINT);
    ASSERT_TRUE(sim.exited(5s));
    EXPECT_TRUE(WIFSIGNALED(sim.status()) && WTERMSIG(sim.status()) == SIGINT);
    EXPECT_FALSE(std::filesystem::exists(folder)) << "left behind: " << folder;
}

// The usblp rules: this process (the shim is linked in) opens the node once, gets the device ID
// the command sets, and one failed read per "read-error".
TEST(PrnsimCommand, UsblpSession) {
    const std::string file = (std::filesystem::temp_directory_path() /
                              ("prnsim-cmd-usblp-" + std::to_string(::getpid())))
                                 .string();
    ::setenv("PRNSIM_MODEM_FILE", file.c_str(), 1);
    Command sim({"usb", "--usblp", "--device-id", "MFG:Acme;MDL:TM1;"});
    const std::string first = sim.line();
    ASSERT_EQ(first.rfind("device ", 0), 0u) << first;
    const std::string link = first.substr(7);
    const std::string slave = std::filesystem::read_symlink(link).string();
    EXPECT_EQ(readUsblpEntry(file, slave), (UsblpEntry{"MFG:Acme;MDL:TM1;", 0}));
    Fd node(::open(link.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    ASSERT_GE(node.get(), 0);
    EXPECT_LT(::open(link.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC), 0);
    EXPECT_EQ(errno, EBUSY);

    EXPECT_EQ(sim.ask("device-id  MFG:Other; MDL:T 2; "), "ok");
    uint8_t reply[64] = {};
    ASSERT_EQ(::ioctl(node.get(), usblpDeviceIdRequest(sizeof reply), reply), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply) + 2), "MFG:Other; MDL:T 2;");
    EXPECT_EQ(sim.ask("read-error"), "ok");
    uint8_t byte;
    EXPECT_EQ(::read(node.get(), &byte, 1), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(sim.ask("device-id none"), "ok");
    EXPECT_EQ(readUsblpEntry(file, slave)->deviceId, "");
    EXPECT_EQ(sim.ask("device-id"), "error usage: device-id <text>|none");
    EXPECT_EQ(sim.ask("unplug"), "ok");
    EXPECT_EQ(sim.ask("read-error").rfind("error", 0), 0u);
    EXPECT_EQ(sim.ask("quit"), "ok");
    ASSERT_TRUE(sim.exited(5s));

    // Without the rules there is nothing to set; without a state file they cannot be had.
    Command plain({"usb"});
    ASSERT_EQ(plain.line().rfind("device ", 0), 0u);
    EXPECT_EQ(plain.ask("read-error").rfind("error no usblp rules", 0), 0u);
    ::unsetenv("PRNSIM_MODEM_FILE");
    Command noFile({"usb", "--usblp"});
    EXPECT_EQ(noFile.line().rfind("error --usblp needs", 0), 0u);
    std::filesystem::remove(file);
    std::filesystem::remove(file + ".lock");
}

// The parallel port: its line in the state file follows the commands, and this process (the
// shim is linked in) claims the port and talks to the printer through it.
TEST(PrnsimCommand, ParallelSession) {
    const std::string file = (std::filesystem::temp_directory_path() /
                              ("prnsim-cmd-parport-" + std::to_string(::getpid())))
                                 .string();
    ::setenv("PRNSIM_MODEM_FILE", file.c_str(), 1);
    Command sim({"parallel", "--modem-file", file});
    const std::string first = sim.line();
    ASSERT_EQ(first.rfind("device ", 0), 0u) << first;
    const std::filesystem::path link = first.substr(7);
    EXPECT_EQ(link.filename(), "parport0");
    const std::string slave = std::filesystem::read_symlink(link).string();
    EXPECT_EQ(readParportEntry(file, slave), (ParportEntry{0xDF, true, false}));
    EXPECT_EQ(sim.ask("held on"), "ok");
    Fd port(::open(link.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    ASSERT_GE(port.get(), 0);
    EXPECT_NE(::ioctl(port.get(), PPCLAIM), 0);
    EXPECT_EQ(sim.ask("held off"), "ok");
    ASSERT_EQ(::ioctl(port.get(), PPCLAIM), 0);
    ASSERT_TRUE(writeAll(port.get(), {0x10, 0x04, 0x01}));
    EXPECT_EQ(readBytes(port.get(), 1, 2s), Bytes{0x16});

    // Busy after two bytes: the busy line moves once they are read, until "busy off".
    EXPECT_EQ(sim.ask("busy-after 2"), "ok");
    EXPECT_EQ(::write(port.get(), "abc", 3), 3);
    EXPECT_EQ(sim.ask("wait-bytes 5 2000"), "ok");
    const auto busyDeadline = Clock::now() + 2s;
    while (readParportEntry(file, slave).value_or(ParportEntry{}).status != 0x5F &&
           Clock::now() < busyDeadline)
        quietFor(port.get(), 5ms);
    EXPECT_EQ(readParportEntry(file, slave), (ParportEntry{0x5F, true, false}));
    EXPECT_EQ(::write(port.get(), "d", 1), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(sim.ask("wait-bytes 6 200"), "error timeout");
    EXPECT_EQ(sim.ask("busy off"), "ok");
    EXPECT_EQ(sim.ask("wait-bytes 6 2000"), "ok");

    EXPECT_EQ(sim.ask("busy on"), "ok");
    EXPECT_EQ(sim.ask("fault on"), "ok");
    EXPECT_EQ(sim.ask("reverse off"), "ok");
    EXPECT_EQ(readParportEntry(file, slave), (ParportEntry{0x57, false, false}));
    EXPECT_EQ(sim.ask("status-lines 88"), "ok");
    EXPECT_EQ(sim.ask("busy off"), "ok");
    EXPECT_EQ(sim.ask("fault off"), "ok");
    EXPECT_EQ(sim.ask("power off"), "ok");
    EXPECT_EQ(readParportEntry(file, slave), (ParportEntry{0x00, false, false}));
    EXPECT_EQ(sim.ask("power on"), "ok");
    EXPECT_EQ(sim.ask("reverse on"), "ok");
    EXPECT_EQ(readParportEntry(file, slave), (ParportEntry{0x88, true, false}));
    EXPECT_EQ(sim.ask("status-lines 1ff").rfind("error", 0), 0u);
    EXPECT_EQ(sim.ask("count 10 04 01"), "ok 1");
    EXPECT_EQ(sim.ask("hex"), "ok 100401616263");

    EXPECT_EQ(sim.ask("quit"), "ok");
    ASSERT_TRUE(sim.exited(5s));
    EXPECT_FALSE(readParportEntry(file, slave).has_value());
    EXPECT_FALSE(std::filesystem::exists(link.parent_path())) << "the link's folder is left";
    ::unsetenv("PRNSIM_MODEM_FILE");
    std::filesystem::remove(file);
    std::filesystem::remove(file + ".lock");
}

}  // namespace
}  // namespace prnsim::test

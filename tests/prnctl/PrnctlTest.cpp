// prnctl as a support engineer runs it, against the virtual printer on every connection: what it
// says, what it sends and the codes it exits with.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "prnsim/ParallelPrinter.h"
#include "prnsim/SerialPrinter.h"
#include "prnsim/TcpPrinter.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uid_t kNobody = 65534;

// One run of prnctl: stdout and stderr together, collected as they come.
class Command {
  public:
    Command(const std::vector<std::string>& args, const std::vector<std::string>& env,
        bool asNobody = false) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        std::vector<std::string> words{PRN_PRNCTL};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        std::vector<std::string> environment = env;
        for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
        std::vector<char*> envp;
        for (std::string& e : environment) envp.push_back(e.data());
        envp.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            dup2(out[1], 2);
            const int none = open("/dev/null", O_RDONLY);
            dup2(none, 0);
            if (asNobody && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
                _exit(120);
            }
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        close(out[1]);
        reader_ = std::thread([this, fd = out[0]] {
            char buffer[4096];
            for (;;) {
                const ssize_t n = read(fd, buffer, sizeof buffer);
                if (n <= 0) break;
                const std::lock_guard lock(mutex_);
                output_.append(buffer, static_cast<size_t>(n));
            }
            close(fd);
        });
    }
    ~Command() {
        if (pid_ > 0 && code_ == kRunning) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (reader_.joinable()) reader_.join();
    }

    std::string output() const {
        const std::lock_guard lock(mutex_);
        return output_;
    }
    // The output holds text at least `times` times.
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout, size_t times = 1) {
        const auto until = Clock::now() + timeout;
        while (Clock::now() < until) {
            if (Count(output(), text) >= times) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
    void interrupt() { kill(pid_, SIGINT); }
    // The exit code; -1 when it did not end in time (then it is killed).
    int wait(std::chrono::milliseconds timeout = 30s) {
        const auto until = Clock::now() + timeout;
        while (code_ == kRunning) {
            int status = 0;
            const pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (Clock::now() >= until) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                code_ = -1;
                break;
            }
            std::this_thread::sleep_for(5ms);
        }
        if (reader_.joinable()) reader_.join();
        return code_;
    }

    static size_t Count(const std::string& haystack, const std::string& needle) {
        size_t n = 0;
        for (size_t at = haystack.find(needle); at != std::string::npos;
             at = haystack.find(needle, at + needle.size())) {
            ++n;
        }
        return n;
    }

  private:
    static constexpr int kRunning = -2;
    pid_t pid_ = -1;
    int code_ = kRunning;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::string output_;
};

std::string TempDir() {
    char name[] = "/tmp/prnctl-test-XXXXXX";
    if (mkdtemp(name) == nullptr) return "/tmp";
    chmod(name, 0755);  // a run as nobody must reach the port inside
    return name;
}

// A virtual printer on one connection, and how prnctl names it.
struct Rig {
    std::string connection;
    std::string dir = TempDir();
    std::unique_ptr<prnsim::SerialPrinter> device;  // serial, usb, parallel
    std::unique_ptr<prnsim::TcpPrinter> network;
    std::vector<std::string> env;

    explicit Rig(const std::string& which) : connection(which) {
        if (which == "serial") {
            device = std::make_unique<prnsim::SerialPrinter>();
        } else if (which == "usb") {
            prnsim::SerialOptions options;
            options.link = dir + "/lp0";
            options.rawMaster = true;
            device = std::make_unique<prnsim::SerialPrinter>(options);
        } else if (which == "parallel") {
            prnsim::ParallelOptions options;
            options.link = dir + "/parport0";
            options.modemFile = dir + "/lines";
            device = std::make_unique<prnsim::ParallelPrinter>(options);
            chmod(options.modemFile.c_str(), 0644);
            // The shim in prnctl's process serves the port from the printer's state file.
            // Under AddressSanitizer the shim comes before its runtime, which is then told not to
            // mind.
            env = {std::string("LD_PRELOAD=") + PRN_MODEM_SHIM, "PRNSIM_MODEM_FILE=" + options.modemFile,
                   "ASAN_OPTIONS=verify_asan_link_order=0"};
        } else {
            prnsim::TcpOptions options;
            options.printer.model = prnsim::StatusModel::NetworkTable;
            network = std::make_unique<prnsim::TcpPrinter>(options);
        }
    }
    ~Rig() {
        device.reset();
        network.reset();
        std::string command = "rm -rf " + dir;
        if (dir != "/tmp" && std::system(command.c_str()) != 0) {
        }
    }

    prnsim::VirtualPrinter& printer() {
        return device ? static_cast<prnsim::VirtualPrinter&>(*device) : *network;
    }
    bool ok() const { return device ? device->ok() : network != nullptr; }
    std::string port() const {
        return device ? device->devicePath() : "127.0.0.1:" + std::to_string(network->port());
    }
    // The words before the verb.
    std::vector<std::string> target() const {
        if (connection == "serial") return {connection, port(), "9600,none,8,1,none"};
        return {connection, port()};
    }
    std::vector<std::string> with(std::vector<std::string> verb) const {
        std::vector<std::string> args = target();
        args.insert(args.end(), verb.begin(), verb.end());
        return args;
    }
};

class Prnctl : public testing::TestWithParam<std::string> {};

TEST_P(Prnctl, ProbeSaysWhatThePrinterAnswered) {
    Rig rig(GetParam());
    ASSERT_TRUE(rig.ok());
    {
        Command run(rig.with({"probe"}), rig.env);
        EXPECT_EQ(run.wait(), 0) << run.output();
        EXPECT_NE(run.output().find("ready (_openPort 0)"), std::string::npos) << run.output();
    }
    rig.printer().setCoverOpen(true);
    {
        Command run(rig.with({"probe"}), rig.env);
        EXPECT_EQ(run.wait(), 1) << run.output();
        EXPECT_NE(run.output().find("cover open (_openPort 1)"), std::string::npos) << run.output();
    }
    rig.printer().setCoverOpen(false);
    rig.printer().setPaper(prnsim::Paper::End);
    {
        Command run(rig.with({"probe"}), rig.env);
        EXPECT_EQ(run.wait(), 1) << run.output();
        EXPECT_NE(run.output().find("paper end (_openPort 2)"), std::string::npos) << run.output();
    }
}

TEST_P(Prnctl, StatusWatchShowsTheCoverOpenAndClose) {
    Rig rig(GetParam());
    ASSERT_TRUE(rig.ok());
    Command run(rig.with({"status", "--watch"}), rig.env);
    ASSERT_TRUE(run.waitFor("cover closed, paper ok, online, drawer closed (status 0)", 10s))
        << run.output();
    rig.printer().setCoverOpen(true);
    EXPECT_TRUE(run.waitFor("cover open, paper ok", 5s)) << run.output();
    rig.printer().setCoverOpen(false);
    EXPECT_TRUE(run.waitFor("cover closed, paper ok, online, drawer closed (status 0)", 5s, 2))
        << run.output();
    run.interrupt();
    EXPECT_EQ(run.wait(10s), 0) << run.output();
    EXPECT_NE(run.output().find("released and closed"), std::string::npos) << run.output();
}

TEST_P(Prnctl, PrintSendsA64KiBFileUnchanged) {
    Rig rig(GetParam());
    ASSERT_TRUE(rig.ok());
    std::string job = "\x1b@";
    for (int line = 0; job.size() < 65536; ++line) {
        char text[64];
        std::snprintf(text, sizeof text, "%06d the quick brown fox jumps over the lazy dog\n", line);
        job += text;
    }
    job.resize(65536);
    const std::string file = rig.dir + "/job.bin";
    std::ofstream(file, std::ios::binary) << job;
    const std::string trace = rig.dir + "/trace";
    Command run(rig.with({"print", file, "--complete", "--trace", trace}), rig.env);
    EXPECT_EQ(run.wait(60s), 0) << run.output();
    // The library's own trace: the first piece of print data, as prnctl hands it over.
    std::ifstream traced(trace);
    const std::string lines((std::istreambuf_iterator<char>(traced)), std::istreambuf_iterator<char>());
    EXPECT_NE(lines.find(" print 1b 40 30 30 30 30 30 30 20 74 68 65"), std::string::npos) << lines.substr(0, 2000);
    EXPECT_NE(run.output().find("sent 65536 of 65536 bytes"), std::string::npos) << run.output();
    EXPECT_NE(run.output().find("printed: the printer reported completion"), std::string::npos)
        << run.output();
    const prnsim::Bytes received = rig.printer().received();
    const std::string arrived(received.begin(), received.end());
    EXPECT_NE(arrived.find(job), std::string::npos) << "the job did not arrive whole and in order";
    EXPECT_EQ(Command::Count(arrived, "the lazy dog"), Command::Count(job, "the lazy dog"));
}

// The connections with a device node.
class PrnctlNode : public Prnctl {};

TEST_P(PrnctlNode, PermissionDeniedNamesTheGroup) {
    Rig rig(GetParam());
    ASSERT_TRUE(rig.ok());
    // The node itself (a link's target) loses every permission; root would not notice, so the
    // command then runs as nobody.
    const std::string node = rig.device->slavePath();
    ASSERT_EQ(chmod(node.c_str(), 0), 0);
    Command run(rig.with({"probe"}), rig.env, getuid() == 0);
    EXPECT_EQ(run.wait(), 2) << run.output();
    const std::string group = GetParam() == "serial" ? "'dialout' group" : "'lp' group";
    EXPECT_NE(run.output().find("permission denied on " + rig.port()), std::string::npos)
        << run.output();
    EXPECT_NE(run.output().find("add the user to the " + group), std::string::npos) << run.output();
}

INSTANTIATE_TEST_SUITE_P(EveryConnection, Prnctl, testing::Values("serial", "net", "usb", "parallel"),
                         [](const auto& param) { return param.param; });
INSTANTIATE_TEST_SUITE_P(EveryNode, PrnctlNode, testing::Values("serial", "usb", "parallel"),
                         [](const auto& param) { return param.param; });

TEST(PrnctlCommand, BadArgumentsExitWithThree) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"serial"}, {"serial", "/dev/null"}, {"scsi", "x", "probe"},
          {"serial", "/dev/ttyS0", "probe", "--frobnicate"}, {"net", "300.1.1.1", "probe"},
          {"net", "127.0.0.1:70000", "probe"}, {"usb", "/dev/usb/lp0", "drawer", "3"},
          {"serial", "/dev/ttyS0", "read", "--send", "xyz"}}) {
        Command run(args, {});
        EXPECT_EQ(run.wait(), 3) << testing::PrintToString(args) << "\n" << run.output();
    }
}

TEST(PrnctlCommand, EveryVerbHasHelpAndTheExitCodes) {
    for (const char* verb : {"probe", "status", "print", "drawer", "read"}) {
        Command run({verb, "--help"}, {});
        EXPECT_EQ(run.wait(), 0) << verb;
        EXPECT_NE(run.output().find(std::string("usage: prnctl CONNECTION PORT [SETTINGS] ") + verb),
                  std::string::npos)
            << run.output();
        EXPECT_NE(run.output().find("2  cannot open"), std::string::npos) << run.output();
    }
    Command version({"--version"}, {});
    EXPECT_EQ(version.wait(), 0);
    EXPECT_EQ(version.output().rfind("prnctl ", 0), 0u) << version.output();
}

TEST(PrnctlCommand, CannotOpenSaysWhy) {
    {
        Command run({"serial", "/dev/ttyPRN-none", "probe"}, {});
        EXPECT_EQ(run.wait(), 2);
        EXPECT_NE(run.output().find("/dev/ttyPRN-none does not exist"), std::string::npos) << run.output();
    }
    {
        // A port nobody listens on: the connection is refused, and the message names both.
        const int sock = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(getsockname(sock, reinterpret_cast<sockaddr*>(&address), &size), 0);
        const std::string where = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
        close(sock);
        Command run({"net", where, "probe"}, {});
        EXPECT_EQ(run.wait(), 2);
        EXPECT_NE(run.output().find("connection refused by " + where), std::string::npos) << run.output();
    }
    {
        prnsim::SerialPrinter silent;
        silent.setSilent(true);
        Command run({"serial", silent.devicePath(), "19200", "probe"}, {});
        EXPECT_EQ(run.wait(), 2);
        EXPECT_NE(run.output().find("the printer did not answer on " + silent.devicePath()),
                  std::string::npos)
            << run.output();
        EXPECT_NE(run.output().find("check the settings text"), std::string::npos) << run.output();
    }
    {
        Command run({"--lib", "/nonexistent/libprnserial.so", "serial", "/dev/ttyS0", "probe"}, {});
        EXPECT_EQ(run.wait(), 6) << run.output();
    }
}

TEST(PrnctlCommand, ACompletionWaitWithoutAReplyEndsAtItsLimit) {
    // A slow printer: the reply to the completion request comes once 20 s of printing are done.
    prnsim::SerialOptions options;
    options.printer.printSpeed = 1000;
    prnsim::SerialPrinter printer(options);
    ASSERT_TRUE(printer.ok());
    char name[] = "/tmp/prnctl-job-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    const std::string job(20000, 'x');
    ASSERT_EQ(write(fd, job.data(), job.size()), static_cast<ssize_t>(job.size()));
    close(fd);
    const auto start = Clock::now();
    Command run({"serial", printer.devicePath(), "9600,none,8,1,none", "print", name, "--complete",
                 "--wait", "1"},
                {});
    EXPECT_EQ(run.wait(), 5) << run.output();
    EXPECT_NE(run.output().find("no completion reply within 1 s"), std::string::npos) << run.output();
    // Open, claim, the wait and the close, far from the 20 s the reply would take.
    EXPECT_LT(Clock::now() - start, 10s);
    unlink(name);
}

TEST(PrnctlCommand, ReadShowsTheReplyAsHex) {
    prnsim::SerialPrinter printer;
    ASSERT_TRUE(printer.ok());
    printer.setPaper(prnsim::Paper::NearEnd);
    Command run({"serial", printer.devicePath(), "9600,none,8,1,none", "read", "--send", "10 04 04",
                 "--time", "600"},
                {});
    EXPECT_EQ(run.wait(), 0) << run.output();
    // DLE EOT 4 with the roll nearly used up: bits 2 and 3, with the fixed bits 1 and 4.
    EXPECT_NE(run.output().find("sent 3 bytes: 10 04 04"), std::string::npos) << run.output();
    EXPECT_NE(run.output().find("1 byte: 1e"), std::string::npos) << run.output();
}

}  // namespace

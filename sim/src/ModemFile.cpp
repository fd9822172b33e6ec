#include "prnsim/ModemFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

namespace prnsim {
namespace {

// Serialises writers of this process; the lock file serialises processes.
std::mutex gFileMutex;

struct Entry {
    std::string device;
    unsigned bits;
};

std::vector<Entry> readEntries(const std::string& file) {
    std::vector<Entry> entries;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string device, bits;
        if (!(fields >> device >> bits)) continue;
        char* end = nullptr;
        const unsigned long value = std::strtoul(bits.c_str(), &end, 16);
        if (end == bits.c_str()) continue;
        entries.push_back({device, static_cast<unsigned>(value)});
    }
    return entries;
}

std::string errnoText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// Rewrites the file with one device's line changed (bits) or removed (nullopt).
bool rewrite(const std::string& file, const std::string& device, std::optional<unsigned> bits,
             std::string* error) {
    static std::atomic<unsigned> counter{0};
    std::lock_guard guard(gFileMutex);
    const std::string lockPath = file + ".lock";
    const int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd < 0) {
        if (error) *error = errnoText("open " + lockPath);
        return false;
    }
    while (::flock(lockFd, LOCK_EX) != 0 && errno == EINTR) {
    }

    std::vector<Entry> entries = readEntries(file);
    std::string content;
    bool found = false;
    for (Entry& e : entries) {
        if (e.device == device) {
            if (!bits || found) continue;
            e.bits = *bits;
            found = true;
        }
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%x", e.bits);
        content += e.device + " " + hex + "\n";
    }
    if (bits && !found) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%x", *bits);
        content += device + " " + hex + "\n";
    }

    const std::string temp =
        file + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
    bool ok = false;
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (error) *error = errnoText("open " + temp);
    } else {
        size_t done = 0;
        while (done < content.size()) {
            const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        ::close(fd);
        if (done != content.size()) {
            if (error) *error = errnoText("write " + temp);
        } else if (::rename(temp.c_str(), file.c_str()) != 0) {
            if (error) *error = errnoText("rename " + temp);
        } else {
            ok = true;
        }
        if (!ok) ::unlink(temp.c_str());
    }
    ::flock(lockFd, LOCK_UN);
    ::close(lockFd);
    return ok;
}

}  // namespace

std::string modemFileFromEnvironment() {
    const char* file = std::getenv("PRNSIM_MODEM_FILE");
    return file ? file : "";
}

bool publishModemLine(const std::string& file, const std::string& device, unsigned bits,
                      std::string* error) {
    if (file.empty() || device.empty()) {
        if (error) *error = "no modem file or device";
        return false;
    }
    return rewrite(file, device, bits, error);
}

bool removeModemLine(const std::string& file, const std::string& device, std::string* error) {
    if (file.empty() || device.empty()) {
        if (error) *error = "no modem file or device";
        return false;
    }
    return rewrite(file, device, std::nullopt, error);
}

std::optional<unsigned> readModemLine(const std::string& file, const std::string& device) {
    for (const Entry& e : readEntries(file))
        if (e.device == device) return e.bits;
    return std::nullopt;
}

}  // namespace prnsim

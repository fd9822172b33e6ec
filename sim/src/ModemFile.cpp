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
#include <functional>
#include <mutex>
#include <sstream>
#include <string_view>
#include <vector>

namespace prnsim {
namespace {

// Serialises writers of this process; the lock file serialises processes.
std::mutex gFileMutex;

constexpr std::string_view kOutqField = "outq=";

struct Entry {
    std::string device;
    ModemEntry line;
    std::string others;  // fields this reader does not know, kept as they are
};

// "<device> <bits hex> [outq=<n>] [other fields]"; nullopt for a line that is not one.
std::optional<Entry> parseLine(const std::string& text) {
    std::istringstream fields(text);
    Entry e;
    std::string bits;
    if (!(fields >> e.device >> bits)) return std::nullopt;
    char* end = nullptr;
    e.line.bits = static_cast<unsigned>(std::strtoul(bits.c_str(), &end, 16));
    if (end == bits.c_str()) return std::nullopt;
    for (std::string field; fields >> field;) {
        if (field.rfind(kOutqField, 0) == 0) {
            e.line.outq =
                static_cast<unsigned>(std::strtoul(field.c_str() + kOutqField.size(), nullptr, 10));
        } else {
            e.others += " " + field;
        }
    }
    return e;
}

std::string formatLine(const Entry& e) {
    char fields[48];
    if (e.line.outq != 0)
        std::snprintf(fields, sizeof fields, " 0x%x outq=%u", e.line.bits, e.line.outq);
    else
        std::snprintf(fields, sizeof fields, " 0x%x", e.line.bits);
    return e.device + fields + e.others + "\n";
}

std::vector<Entry> readEntries(const std::string& file) {
    std::vector<Entry> entries;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line))
        if (std::optional<Entry> e = parseLine(line)) entries.push_back(std::move(*e));
    return entries;
}

std::string errnoText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// What becomes of one device's line: the new line, or nullopt to remove it. Gets the current
// line, if there is one.
using Change = std::function<std::optional<ModemEntry>(const std::optional<ModemEntry>&)>;

// Rewrites the file with one device's line changed or removed.
bool rewrite(const std::string& file, const std::string& device, const Change& change,
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
    std::optional<ModemEntry> current;
    std::string others;
    for (const Entry& e : entries) {
        if (e.device == device && !current) {
            current = e.line;
            others = e.others;
        }
    }
    const std::optional<ModemEntry> wanted = change(current);
    std::string content;
    bool written = false;
    for (const Entry& e : entries) {
        if (e.device != device) {
            content += formatLine(e);
        } else if (wanted && !written) {  // in its old place; a duplicate goes
            content += formatLine({device, *wanted, others});
            written = true;
        }
    }
    if (wanted && !written) content += formatLine({device, *wanted, others});

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

bool publishModemEntry(const std::string& file, const std::string& device, const ModemEntry& entry,
                       std::string* error) {
    if (file.empty() || device.empty()) {
        if (error) *error = "no modem file or device";
        return false;
    }
    return rewrite(
        file, device, [&](const std::optional<ModemEntry>&) { return entry; }, error);
}

bool publishModemLine(const std::string& file, const std::string& device, unsigned bits,
                      std::string* error) {
    if (file.empty() || device.empty()) {
        if (error) *error = "no modem file or device";
        return false;
    }
    return rewrite(
        file, device,
        [&](const std::optional<ModemEntry>& current) {
            ModemEntry entry = current.value_or(ModemEntry{});
            entry.bits = bits;
            return std::optional(entry);
        },
        error);
}

bool removeModemLine(const std::string& file, const std::string& device, std::string* error) {
    if (file.empty() || device.empty()) {
        if (error) *error = "no modem file or device";
        return false;
    }
    return rewrite(
        file, device, [](const std::optional<ModemEntry>&) { return std::optional<ModemEntry>(); },
        error);
}

std::optional<ModemEntry> readModemEntry(const std::string& file, const std::string& device) {
    for (const Entry& e : readEntries(file))
        if (e.device == device) return e.line;
    return std::nullopt;
}

std::optional<unsigned> readModemLine(const std::string& file, const std::string& device) {
    if (std::optional<ModemEntry> entry = readModemEntry(file, device)) return entry->bits;
    return std::nullopt;
}

}  // namespace prnsim

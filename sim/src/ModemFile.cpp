#include "prnsim/ModemFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
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
constexpr std::string_view kParportField = "ppdev";
constexpr std::string_view kStatusField = "status=";
constexpr std::string_view kReverseField = "reverse=";
constexpr std::string_view kHeldField = "held=";
constexpr std::string_view kUsblpField = "usblp";
constexpr std::string_view kReadErrorField = "eio=";
constexpr std::string_view kDeviceIdField = "id=";
constexpr std::string_view kRoomField = "room=";

// Everything a device's line says.
struct Fields {
    ModemEntry modem;
    std::optional<ParportEntry> parport;
    std::optional<UsblpEntry> usblp;
    std::optional<RoomEntry> room;
};

// A space, '%' and bytes outside printable ASCII as "%XX", so that the ID is one field.
std::string writtenDeviceId(const std::string& id) {
    std::string written;
    for (const char c : id) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F || byte == '%') {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
            written += escaped;
        } else {
            written += c;
        }
    }
    return written;
}

std::string readDeviceId(const std::string& written) {
    const auto hex = [&](size_t at) {
        return at < written.size() && std::isxdigit(static_cast<unsigned char>(written[at]));
    };
    std::string id;
    for (size_t i = 0; i < written.size(); ++i) {
        if (written[i] == '%' && hex(i + 1) && hex(i + 2)) {
            id += static_cast<char>(std::stoi(written.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            id += written[i];
        }
    }
    return id;
}

struct Entry {
    std::string device;
    Fields line;
    std::string others;  // fields this reader does not know, kept as they are
};

unsigned long fieldValue(const std::string& field, std::string_view name, int base) {
    return std::strtoul(field.c_str() + name.size(), nullptr, base);
}

// "<token>:<bytes>"; nullopt for anything else.
std::optional<RoomEntry> parseRoom(const std::string& text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return std::nullopt;
    RoomEntry room;
    room.token = std::strtoull(text.c_str(), nullptr, 10);
    room.bytes = std::strtoull(text.c_str() + colon + 1, nullptr, 10);
    if (room.token == 0) return std::nullopt;
    return room;
}

// "<device> <bits hex> [outq=<n>] [ppdev status=<hex> reverse=<n> held=<n>] [other fields]";
// nullopt for a line that is not one.
std::optional<Entry> parseLine(const std::string& text) {
    std::istringstream fields(text);
    Entry e;
    std::string bits;
    if (!(fields >> e.device >> bits)) return std::nullopt;
    char* end = nullptr;
    e.line.modem.bits = static_cast<unsigned>(std::strtoul(bits.c_str(), &end, 16));
    if (end == bits.c_str()) return std::nullopt;
    ParportEntry port;
    bool parport = false;
    UsblpEntry node;
    bool usblp = false;
    for (std::string field; fields >> field;) {
        if (field.rfind(kOutqField, 0) == 0)
            e.line.modem.outq = static_cast<unsigned>(fieldValue(field, kOutqField, 10));
        else if (field == kParportField)
            parport = true;
        else if (field.rfind(kStatusField, 0) == 0)
            port.status = static_cast<uint8_t>(fieldValue(field, kStatusField, 16));
        else if (field.rfind(kReverseField, 0) == 0)
            port.reverse = fieldValue(field, kReverseField, 10) != 0;
        else if (field.rfind(kHeldField, 0) == 0)
            port.held = fieldValue(field, kHeldField, 10) != 0;
        else if (field == kUsblpField)
            usblp = true;
        else if (field.rfind(kReadErrorField, 0) == 0)
            node.readError = std::strtoull(field.c_str() + kReadErrorField.size(), nullptr, 10);
        else if (field.rfind(kDeviceIdField, 0) == 0)
            node.deviceId = readDeviceId(field.substr(kDeviceIdField.size()));
        else if (field.rfind(kRoomField, 0) == 0)
            e.line.room = parseRoom(field.substr(kRoomField.size()));
        else
            e.others += " " + field;
    }
    if (parport) e.line.parport = port;
    if (usblp) e.line.usblp = node;
    return e;
}

std::string formatLine(const Entry& e) {
    const ModemEntry& modem = e.line.modem;
    char fields[96];
    int n = modem.outq != 0
                ? std::snprintf(fields, sizeof fields, " 0x%x outq=%u", modem.bits, modem.outq)
                : std::snprintf(fields, sizeof fields, " 0x%x", modem.bits);
    if (const std::optional<ParportEntry>& port = e.line.parport) {
        std::snprintf(fields + n, sizeof fields - static_cast<size_t>(n),
                      " ppdev status=0x%02x reverse=%d held=%d", port->status,
                      port->reverse ? 1 : 0, port->held ? 1 : 0);
    }
    std::string node;
    if (const std::optional<UsblpEntry>& usblp = e.line.usblp) {
        node = " " + std::string(kUsblpField);
        if (usblp->readError != 0)
            node += " " + std::string(kReadErrorField) + std::to_string(usblp->readError);
        if (!usblp->deviceId.empty())
            node += " " + std::string(kDeviceIdField) + writtenDeviceId(usblp->deviceId);
    }
    std::string room;
    if (const std::optional<RoomEntry>& r = e.line.room)
        room = " " + std::string(kRoomField) + std::to_string(r->token) + ":" +
               std::to_string(r->bytes);
    return e.device + fields + node + room + e.others + "\n";
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
using Change = std::function<std::optional<Fields>(const std::optional<Fields>&)>;

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
    std::optional<Fields> current;
    std::string others;
    for (const Entry& e : entries) {
        if (e.device == device && !current) {
            current = e.line;
            others = e.others;
        }
    }
    const std::optional<Fields> wanted = change(current);
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

// Rewrites the device's line with `change` applied to its fields, or to `fresh` when the file has
// no line for the device yet.
template <class Change>
bool updateLine(const std::string& file, const std::string& device, const Fields& fresh,
                Change change, std::string* error) {
    if (file.empty() || device.empty()) {
        if (error) *error = "no modem file or device";
        return false;
    }
    return rewrite(
        file, device,
        [&](const std::optional<Fields>& current) {
            Fields fields = current.value_or(fresh);
            change(fields);
            return std::optional(fields);
        },
        error);
}

// A parallel port or a USB node: no modem lines of its own.
const Fields kNoModemLine{ModemEntry{0, 0}, std::nullopt, std::nullopt, std::nullopt};

}  // namespace

std::string modemFileFromEnvironment() {
    const char* file = std::getenv("PRNSIM_MODEM_FILE");
    return file ? file : "";
}

bool publishModemEntry(const std::string& file, const std::string& device, const ModemEntry& entry,
                       std::string* error) {
    return updateLine(
        file, device, Fields{}, [&](Fields& fields) { fields.modem = entry; }, error);
}

bool publishModemLine(const std::string& file, const std::string& device, unsigned bits,
                      std::string* error) {
    return updateLine(
        file, device, Fields{}, [&](Fields& fields) { fields.modem.bits = bits; }, error);
}

bool publishParportEntry(const std::string& file, const std::string& device,
                         const ParportEntry& entry, std::string* error) {
    return updateLine(
        file, device, kNoModemLine, [&](Fields& fields) { fields.parport = entry; }, error);
}

bool deviceIdFits(const std::string& id) {
    return writtenDeviceId(id).size() <= kMaxWrittenDeviceId;
}

bool publishUsblpEntry(const std::string& file, const std::string& device, const UsblpEntry& entry,
                       std::string* error) {
    if (!file.empty() && !device.empty() && !deviceIdFits(entry.deviceId)) {
        if (error) *error = "device ID too long";
        return false;
    }
    return updateLine(
        file, device, kNoModemLine, [&](Fields& fields) { fields.usblp = entry; }, error);
}

bool publishRoom(const std::string& file, const std::string& device,
                 const std::optional<RoomEntry>& room, std::string* error) {
    return updateLine(
        file, device, Fields{}, [&](Fields& fields) { fields.room = room; }, error);
}

bool removeModemLine(const std::string& file, const std::string& device, std::string* error) {
    if (file.empty() || device.empty()) {
        if (error) *error = "no modem file or device";
        return false;
    }
    return rewrite(
        file, device, [](const std::optional<Fields>&) { return std::optional<Fields>(); }, error);
}

std::optional<ModemEntry> readModemEntry(const std::string& file, const std::string& device) {
    for (const Entry& e : readEntries(file))
        if (e.device == device) return e.line.modem;
    return std::nullopt;
}

std::optional<ParportEntry> readParportEntry(const std::string& file, const std::string& device) {
    for (const Entry& e : readEntries(file))
        if (e.device == device) return e.line.parport;
    return std::nullopt;
}

std::optional<UsblpEntry> readUsblpEntry(const std::string& file, const std::string& device) {
    for (const Entry& e : readEntries(file))
        if (e.device == device) return e.line.usblp;
    return std::nullopt;
}

std::optional<RoomEntry> readRoom(const std::string& file, const std::string& device) {
    for (const Entry& e : readEntries(file))
        if (e.device == device) return e.line.room;
    return std::nullopt;
}

std::optional<unsigned> readModemLine(const std::string& file, const std::string& device) {
    if (std::optional<ModemEntry> entry = readModemEntry(file, device)) return entry->bits;
    return std::nullopt;
}

}  // namespace prnsim

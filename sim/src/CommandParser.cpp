#include "prnsim/CommandParser.h"

#include <cstdio>

namespace prnsim {
namespace {

constexpr uint8_t kLf = 0x0A;
constexpr uint8_t kDle = 0x10;
constexpr uint8_t kEsc = 0x1B;
constexpr uint8_t kFs = 0x1C;
constexpr uint8_t kGs = 0x1D;
constexpr uint8_t kEot = 0x04;
constexpr uint8_t kEnq = 0x05;
constexpr uint8_t kDc4 = 0x14;

// Longest NUL-terminated parameter list we follow (bar code text, tab positions).
constexpr uint64_t kMaxNulTerminated = 255;

bool isPrefix(uint8_t b) {
    return b == kDle || b == kEsc || b == kFs || b == kGs;
}

const char* prefixName(uint8_t b) {
    switch (b) {
        case kDle:
            return "DLE";
        case kEsc:
            return "ESC";
        case kFs:
            return "FS";
        default:
            return "GS";
    }
}

std::string byteName(uint8_t b) {
    char s[8];
    std::snprintf(s, sizeof s, "0x%02X", b);
    return s;
}

std::string commandName(uint8_t prefix, uint8_t c) {
    std::string name = prefixName(prefix);
    name += ' ';
    if (prefix == kDle && c == kEot) return name + "EOT";
    if (prefix == kDle && c == kEnq) return name + "ENQ";
    if (prefix == kDle && c == kDc4) return name + "DC4";
    if (c > 0x20 && c < 0x7F) return name + static_cast<char>(c);
    return name + byteName(c);
}

std::string singleByteLabel(uint8_t b) {
    if (b == kLf) return "\n";
    if (b >= 0x20 && b < 0x7F) return std::string(1, static_cast<char>(b));
    switch (b) {
        case 0x09:
            return "[HT]";
        case 0x0C:
            return "[FF]";
        case 0x0D:
            return "[CR]";
        case 0x18:
            return "[CAN]";
        default: {
            // Appended rather than "[" + name: GCC 12 at -O3 warns falsely (-Wrestrict) about
            // the operator+ that inserts at the front.
            std::string label = "[";
            label += byteName(b);
            label += "]";
            return label;
        }
    }
}

struct Layout {
    size_t header;  // prefix, command byte and fixed parameters
    enum { None, Counted, UntilNul } data = None;
};

// How long the command started in cmd is; nullopt while more bytes are needed to tell.
std::optional<Layout> layoutOf(const Bytes& cmd) {
    const uint8_t prefix = cmd[0];
    const uint8_t c = cmd[1];
    if (prefix == kDle) {
        if (c == kEot || c == kEnq) return Layout{3};
        if (c == kDc4) return Layout{5};
        return Layout{2};
    }
    if (prefix == kEsc) {
        switch (c) {
            case '!':
            case '-':
            case '3':
            case 'J':
            case 'M':
            case 'R':
            case 't':
            case '{':
            case 'G':
            case 'V':
            case ' ':
            case 'a':
            case 'd':
            case 'e':
            case 'U':
            case 'r':
            case '=':
            case '%':
            case '?':
            case 'T':
            case 'E':
            case 'K':
                return Layout{3};
            case '$':
            case '\\':
            case 'B':
            case 'c':
                return Layout{4};
            case 'p':
                return Layout{5};
            case '*':
            case '(':
                return Layout{5, Layout::Counted};
            case 'W':
                return Layout{10};
            case 'D':
                return Layout{2, Layout::UntilNul};
            default:
                return Layout{2};
        }
    }
    if (prefix == kFs) {
        switch (c) {
            case '!':
            case '-':
            case 'C':
            case 'W':
                return Layout{3};
            case 'p':
            case 'S':
                return Layout{4};
            case '(':
                return Layout{5, Layout::Counted};
            default:
                return Layout{2};
        }
    }
    switch (c) {  // GS
        case '!':
        case 'a':
        case 'B':
        case 'b':
        case 'f':
        case 'h':
        case 'w':
        case 'H':
        case 'I':
        case 'r':
        case 'E':
        case '/':
        case 'T':
            return Layout{3};
        case 'L':
        case 'W':
        case 'P':
        case '$':
        case '\\':
            return Layout{4};
        case 'V':  // GS V m, or GS V m n for the feed-and-cut functions
            if (cmd.size() < 3) return std::nullopt;
            switch (cmd[2]) {
                case 65:
                case 66:
                case 97:
                case 98:
                case 103:
                case 104:
                    return Layout{4};
                default:
                    return Layout{3};
            }
        case 'v':
            return Layout{8, Layout::Counted};  // GS v 0 m xL xH yL yH
        case '(':
            return Layout{5, Layout::Counted};  // GS ( fn pL pH
        case '8':
            return Layout{7, Layout::Counted};  // GS 8 L p1 p2 p3 p4
        case '*':
            return Layout{4, Layout::Counted};  // GS * x y
        case 'k':  // GS k m: NUL-terminated for m <= 6, else GS k m n d1..dn
            if (cmd.size() < 3) return std::nullopt;
            if (cmd[2] <= 6) return Layout{3, Layout::UntilNul};
            return Layout{4, Layout::Counted};
        default:
            return Layout{2};
    }
}

uint64_t countedDataLength(const Bytes& cmd) {
    const uint8_t prefix = cmd[0];
    const uint8_t c = cmd[1];
    const auto u = [&](size_t i) { return static_cast<uint64_t>(cmd[i]); };
    if (prefix == kEsc && c == '*') {  // ESC * m nL nH: 24-dot modes carry 3 bytes a column
        const uint64_t columns = u(3) + 256 * u(4);
        return (cmd[2] == 32 || cmd[2] == 33) ? 3 * columns : columns;
    }
    if (c == '(') return u(3) + 256 * u(4);
    if (c == 'v') return (u(4) + 256 * u(5)) * (u(6) + 256 * u(7));
    if (c == '8') return u(3) | u(4) << 8 | u(5) << 16 | u(6) << 24;
    if (c == '*') return u(2) * u(3) * 8;
    if (c == 'k') return u(3);
    return 0;
}

}  // namespace

void CommandParser::reset() {
    phase_ = Phase::Start;
    cmd_.clear();
    headerLength_ = 0;
    dataLeft_ = 0;
    dataLength_ = 0;
}

std::optional<Command> CommandParser::feed(uint8_t byte) {
    switch (phase_) {
        case Phase::Start:
            if (!isPrefix(byte)) {
                Command text;
                text.kind = Command::Kind::Text;
                text.label = singleByteLabel(byte);
                return text;
            }
            cmd_.assign(1, byte);
            headerLength_ = 0;
            phase_ = Phase::Header;
            return std::nullopt;
        case Phase::Header:
            cmd_.push_back(byte);
            return afterHeaderByte();
        case Phase::Data:
            if (cmd_.size() < headerLength_ + kKeptData) cmd_.push_back(byte);
            if (--dataLeft_ == 0) return finish();
            return std::nullopt;
        case Phase::UntilNul:
            if (cmd_.size() < headerLength_ + kKeptData) cmd_.push_back(byte);
            ++dataLength_;
            if (byte == 0x00 || dataLength_ >= kMaxNulTerminated) return finish();
            return std::nullopt;
    }
    return std::nullopt;
}

std::optional<Command> CommandParser::afterHeaderByte() {
    if (headerLength_ == 0) {
        const std::optional<Layout> layout = layoutOf(cmd_);
        if (!layout) return std::nullopt;
        headerLength_ = layout->header;
    }
    if (cmd_.size() < headerLength_) return std::nullopt;
    const std::optional<Layout> layout = layoutOf(cmd_);
    dataLength_ = 0;
    if (layout->data == Layout::UntilNul) {
        phase_ = Phase::UntilNul;
        return std::nullopt;
    }
    if (layout->data == Layout::Counted) {
        dataLength_ = countedDataLength(cmd_);
        dataLeft_ = dataLength_;
        if (dataLeft_ > 0) {
            phase_ = Phase::Data;
            return std::nullopt;
        }
    }
    return finish();
}

Command CommandParser::finish() {
    Command command;
    const uint8_t prefix = cmd_[0];
    const uint8_t c = cmd_[1];
    const auto param = [&](size_t i) { return i < cmd_.size() ? static_cast<int>(cmd_[i]) : 0; };
    command.data.assign(cmd_.begin() + static_cast<std::ptrdiff_t>(headerLength_), cmd_.end());
    std::string label = commandName(prefix, c);

    if (prefix == kEsc && c == '@') {
        command.kind = Command::Kind::Init;
    } else if (prefix == kEsc && c == 'p') {
        // ESC p m t1 t2: m 0/48 pin 2, 1/49 pin 5; on t1 x 2 ms, off t2 x 2 ms but never
        // shorter than the on time.
        command.kind = Command::Kind::DrawerKick;
        command.pin = (param(2) & 1) ? 5 : 2;
        command.onMs = param(3) * 2;
        command.offMs = param(4) < param(3) ? param(3) * 2 : param(4) * 2;
        label += " pin" + std::to_string(command.pin) + " " + std::to_string(command.onMs) + "ms/" +
                 std::to_string(command.offMs) + "ms";
    } else if (prefix == kGs && c == 'a') {
        command.kind = Command::Kind::AutoStatus;
        command.arg = param(2);
        label += " " + std::to_string(command.arg);
    } else if (prefix == kGs && c == 'r') {
        command.arg = param(2);
        if (command.arg == 1 || command.arg == 49) command.kind = Command::Kind::PaperSensor;
        if (command.arg == 2 || command.arg == 50) command.kind = Command::Kind::DrawerSensor;
        label += " " + std::to_string(command.arg);
    } else if (prefix == kGs && c == 'V') {
        label += " cut";
    } else if (c == '(' && headerLength_ == 5) {
        // GS ( H pL pH fn m d1 d2 d3 d4: the process ID request when fn = m = 48, pL = 6
        const uint8_t function = cmd_[2];
        label += std::string(" ") +
                 static_cast<char>(function > 0x20 && function < 0x7F ? function : '?');
        const Bytes& d = command.data;
        if (prefix == kGs && function == 'H' && dataLength_ == 6 && d.size() >= 6 && d[0] == 48 &&
            d[1] == 48) {
            command.kind = Command::Kind::ProcessId;
            command.data.assign(d.begin() + 2, d.begin() + 6);
            label += " fn48 ";
            for (uint8_t b : command.data)
                label += (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '?';
        } else if (function == 'L' && d.size() >= 2) {  // GS ( L pL pH m fn
            label += " fn" + std::to_string(d[1]);
        } else if (!d.empty()) {
            label += " fn" + std::to_string(d[0]);
        }
    } else if (prefix == kGs && c == 'v') {
        // GS v 0: the function is the character '0' (or, on some hosts, the byte 0)
        const int function = param(2) == 0 ? '0' : param(2);
        label += " " +
                 (function > 0x20 && function < 0x7F ? std::string(1, static_cast<char>(function))
                                                     : std::to_string(function)) +
                 " image " + std::to_string(param(4) + 256 * param(5)) + "x" +
                 std::to_string(param(6) + 256 * param(7));
    } else if (prefix == kEsc && c == '*') {
        label +=
            " image m" + std::to_string(param(2)) + " " + std::to_string(param(3) + 256 * param(4));
    } else if (prefix == kGs && c == '8') {
        label += std::string(" ") +
                 static_cast<char>(param(2) > 0x20 && param(2) < 0x7F ? param(2) : '?');
        label += " " + std::to_string(dataLength_) + " bytes";
    } else if (prefix == kGs && c == 'k') {
        label += " barcode " + std::to_string(param(2));
    } else {
        for (size_t i = 2; i < headerLength_; ++i) label += " " + std::to_string(cmd_[i]);
    }
    command.label = "[" + label + "]";
    reset();
    return command;
}

}  // namespace prnsim

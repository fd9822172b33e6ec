#include "prnsim/Bytes.h"

#include <algorithm>
#include <cctype>

namespace prnsim {

std::string toHex(const uint8_t* data, size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 0x0F];
    }
    return out;
}

std::optional<Bytes> parseHex(std::string_view text) {
    const auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    Bytes out;
    size_t i = 0;
    while (i < text.size()) {
        if (std::isspace(static_cast<unsigned char>(text[i])) || text[i] == ',') {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end])) &&
               text[end] != ',')
            ++end;
        std::string_view token = text.substr(i, end - i);
        i = end;
        if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X'))
            token.remove_prefix(2);
        if (token.size() % 2 != 0) {
            if (token.size() != 1) return std::nullopt;  // "0x5" alone means 05
            const int d = digit(token[0]);
            if (d < 0) return std::nullopt;
            out.push_back(static_cast<uint8_t>(d));
            continue;
        }
        for (size_t k = 0; k < token.size(); k += 2) {
            const int hi = digit(token[k]);
            const int lo = digit(token[k + 1]);
            if (hi < 0 || lo < 0) return std::nullopt;
            out.push_back(static_cast<uint8_t>(hi << 4 | lo));
        }
    }
    return out;
}

size_t countOccurrences(const Bytes& haystack, const Bytes& needle) {
    if (needle.empty() || haystack.size() < needle.size()) return 0;
    size_t count = 0;
    auto it = haystack.begin();
    while ((it = std::search(it, haystack.end(), needle.begin(), needle.end())) != haystack.end()) {
        ++count;
        ++it;
    }
    return count;
}

std::string toBase64(std::string_view data) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    size_t i = 0;
    const auto at = [&](size_t k) { return static_cast<uint32_t>(static_cast<uint8_t>(data[k])); };
    for (; i + 2 < data.size(); i += 3) {
        const uint32_t v = at(i) << 16 | at(i + 1) << 8 | at(i + 2);
        out += kAlphabet[v >> 18 & 63];
        out += kAlphabet[v >> 12 & 63];
        out += kAlphabet[v >> 6 & 63];
        out += kAlphabet[v & 63];
    }
    if (i + 1 == data.size()) {
        const uint32_t v = at(i) << 16;
        out += kAlphabet[v >> 18 & 63];
        out += kAlphabet[v >> 12 & 63];
        out += "==";
    } else if (i + 2 == data.size()) {
        const uint32_t v = at(i) << 16 | at(i + 1) << 8;
        out += kAlphabet[v >> 18 & 63];
        out += kAlphabet[v >> 12 & 63];
        out += kAlphabet[v >> 6 & 63];
        out += '=';
    }
    return out;
}

}  // namespace prnsim

// Byte strings as the virtual printer and its tests use them, and their hex spelling.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace prnsim {

using Bytes = std::vector<uint8_t>;

// "1b40" (lower case, no separators).
std::string toHex(const uint8_t* data, size_t size);
inline std::string toHex(const Bytes& bytes) {
    return toHex(bytes.data(), bytes.size());
}

// Accepts "10 04 01", "100401", "0x10 0x04 0x01" and mixtures; nullopt on anything else.
std::optional<Bytes> parseHex(std::string_view text);

// Number of (possibly overlapping) occurrences of needle in haystack; 0 for an empty needle.
size_t countOccurrences(const Bytes& haystack, const Bytes& needle);

// Standard base64 (RFC 4648, with padding), as java.util.Base64.getDecoder() reads it.
std::string toBase64(std::string_view data);

}  // namespace prnsim

#include "NetAddress.h"

#include <arpa/inet.h>

#include <cstring>

namespace {
constexpr char kAddressPrefix[] = "SOCKET:";
constexpr size_t kAddressPrefixLength = sizeof kAddressPrefix - 1;
}  // namespace

const char* AddressBehindPrefix(const char* portText) {
    if (portText == nullptr || std::strncmp(portText, kAddressPrefix, kAddressPrefixLength) != 0) {
        return nullptr;
    }
    return portText + kAddressPrefixLength;
}

int ParsePortNumber(const char* text) {
    if (text == nullptr) return -1;
    while (*text == ' ' || *text == '\t') ++text;
    long value = 0;
    int digits = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        if (++digits > 5) return -1;
        value = value * 10 + (*text - '0');
    }
    while (*text == ' ' || *text == '\t') ++text;
    if (digits == 0 || *text != '\0' || value < 1 || value > 65535) return -1;
    return static_cast<int>(value);
}

bool ParseAddress(const char* text, in_addr_t& address) {
    if (text == nullptr || text[0] == '\0') return false;
    address = inet_addr(text);
    return address != INADDR_NONE;
}

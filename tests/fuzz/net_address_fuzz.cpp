// The two open strings of a network printer as the Java side may give them: "SOCKET:" and an
// address, and a port text. Whatever the bytes, nothing is read past either text, a port is
// 1 to 65535 and spelled in decimal, and an address is one the numbers-and-dots notation reads
// the same way.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "NetAddress.h"

namespace {

[[noreturn]] void Fail(const char* what, const char* port, const char* settings) {
    std::fprintf(stderr, "invariant broken: %s (\"%s\", \"%s\")\n", what, port, settings);
    std::abort();
}

#define REQUIRE(cond)                                     \
    do {                                                  \
        if (!(cond)) Fail(#cond, portText, settingsText); \
    } while (0)

// A text of its own allocation, exactly as long as it is.
std::unique_ptr<char[]> Text(const uint8_t* data, size_t size) {
    std::unique_ptr<char[]> text(new char[size + 1]);
    std::memcpy(text.get(), data, size);
    text[size] = '\0';
    return text;
}

bool Blank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Two texts, split at the first NUL.
    const size_t first = strnlen(reinterpret_cast<const char*>(data), size);
    const auto port = Text(data, first);
    const size_t rest = first < size ? first + 1 : size;
    const auto settings =
        Text(data + rest, strnlen(reinterpret_cast<const char*>(data + rest), size - rest));
    const char* portText = port.get();
    const char* settingsText = settings.get();

    const char* ip = AddressBehindPrefix(portText);
    REQUIRE((ip != nullptr) == (std::strncmp(portText, "SOCKET:", 7) == 0));
    if (ip != nullptr) {
        REQUIRE(ip == portText + 7);
        in_addr_t address = 0;
        if (ParseAddress(ip, address)) {
            in_addr parsed{};
            REQUIRE(inet_aton(ip, &parsed) != 0);
            REQUIRE(parsed.s_addr == address);
            REQUIRE(address != INADDR_NONE);
        }
    }

    const int number = ParsePortNumber(settingsText);
    REQUIRE(number == -1 || (number >= 1 && number <= 65535));
    if (number > 0) {
        // Blanks, then only digits, then blanks: the digits are the number.
        const char* p = settingsText;
        while (Blank(*p)) ++p;
        long value = 0;
        const char* digits = p;
        while (*p >= '0' && *p <= '9') value = value * 10 + (*p++ - '0');
        REQUIRE(p > digits && p - digits <= 5);
        while (Blank(*p)) ++p;
        REQUIRE(*p == '\0');
        REQUIRE(value == number);
    }
    return 0;
}

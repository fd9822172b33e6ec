// The serial settings text as the Java side may give it: any bytes, completed by the bridge's
// rule for a bare rate, then parsed. Whatever the text, nothing is read past its end, the
// completion fits its buffer, and an accepted text means one of the line settings the port can
// take, the same as its canonical spelling.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "SerialSettings.h"
#include "StatusCodes.h"

namespace {

constexpr size_t kJavaSettingsRoom = 64;

[[noreturn]] void Fail(const char* what, const char* text) {
    std::fprintf(stderr, "invariant broken: %s (text \"%s\")\n", what, text);
    std::abort();
}

#define REQUIRE(cond)                   \
    do {                                \
        if (!(cond)) Fail(#cond, text); \
    } while (0)

bool OneOf(int64_t value, std::initializer_list<int64_t> allowed) {
    for (int64_t a : allowed)
        if (value == a) return true;
    return false;
}

void CheckParsed(const char* text) {
    SerPortSettings s{};
    const long parsed = ParseSerialSettings(text, s);
    REQUIRE(parsed == BRELON_ERROR_SUCCESS || parsed == BRELON_ERROR_NOT_AVAILABLE);
    if (parsed != BRELON_ERROR_SUCCESS) return;
    REQUIRE(OneOf(s.baud, {2400, 4800, 9600, 19200, 38400, 115200}));
    REQUIRE(s.parity == 'n' || s.parity == 'e' || s.parity == 'o');
    REQUIRE(s.dataBits == 7 || s.dataBits == 8);
    REQUIRE(s.stopBits == 1 || s.stopBits == 2);
    REQUIRE(s.flowControl == 'n' || s.flowControl == 'h');
    // The same settings spelled plainly parse to the same.
    const char* parity = s.parity == 'n' ? "none" : s.parity == 'e' ? "even" : "odd";
    char canonical[64];
    std::snprintf(canonical, sizeof canonical, "%lld,%s,%d,%d,%s", static_cast<long long>(s.baud),
                  parity, s.dataBits, s.stopBits, s.flowControl == 'n' ? "none" : "hdwr");
    SerPortSettings again{};
    REQUIRE(ParseSerialSettings(canonical, again) == BRELON_ERROR_SUCCESS);
    REQUIRE(again.baud == s.baud && again.parity == s.parity && again.dataBits == s.dataBits &&
            again.stopBits == s.stopBits && again.flowControl == s.flowControl);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The text up to its first NUL, in an allocation of exactly its length.
    const size_t length = strnlen(reinterpret_cast<const char*>(data), size);
    std::unique_ptr<char[]> owned(new char[length + 1]);
    std::memcpy(owned.get(), data, length);
    owned[length] = '\0';
    const char* text = owned.get();

    // The parser also sees texts the bridge would never hand it (over 63 characters).
    CheckParsed(text);

    std::unique_ptr<char[]> completed(new char[kJavaSettingsRoom]);
    const long fitted = CompleteSettingsText(text, completed.get(), kJavaSettingsRoom);
    const bool hasComma = std::strchr(text, ',') != nullptr;
    const size_t wanted = hasComma ? length : length + std::strlen(",none,8,1,hdwr");
    REQUIRE(fitted ==
            (wanted < kJavaSettingsRoom ? BRELON_ERROR_SUCCESS : BRELON_ERROR_NOT_AVAILABLE));
    if (fitted != BRELON_ERROR_SUCCESS) return 0;
    REQUIRE(std::strlen(completed.get()) == wanted);
    REQUIRE(std::strncmp(completed.get(), text, length) == 0);
    if (!hasComma) REQUIRE(std::strcmp(completed.get() + length, ",none,8,1,hdwr") == 0);
    CheckParsed(completed.get());
    return 0;
}

#include "SerialSettings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "StatusCodes.h"

namespace {

// The field after the next comma, or nullptr.
const char* NextField(const char* field) {
    const char* comma = std::strchr(field, ',');
    return comma == nullptr ? nullptr : comma + 1;
}

// Reads a decimal number the way the settings text writes it: leading blanks and a sign, digits
// up to the first other character, 0 without digits.
long long ReadNumber(const char* text) { return std::strtoll(text, nullptr, 10); }

bool StartsWith(const char* text, const char* keyword) {
    return std::strncmp(text, keyword, std::strlen(keyword)) == 0;
}

}  // namespace

long ParseSerialSettings(const char* text, SerPortSettings& settings) {
    settings = {};
    const char* parity = NextField(text);
    const char* dataBits = parity ? NextField(parity) : nullptr;
    const char* stopBits = dataBits ? NextField(dataBits) : nullptr;
    const char* flow = stopBits ? NextField(stopBits) : nullptr;
    if (flow == nullptr) return BRELON_ERROR_NOT_AVAILABLE;

    const long long baud = ReadNumber(text);
    switch (baud) {
        case 115200: case 38400: case 19200: case 9600: case 4800: case 2400:
            settings.baud = baud;
            break;
        default:
            return BRELON_ERROR_NOT_AVAILABLE;
    }

    if (StartsWith(parity, "none")) {
        settings.parity = 'n';
    } else if (StartsWith(parity, "even")) {
        settings.parity = 'e';
    } else if (StartsWith(parity, "odd")) {
        settings.parity = 'o';
    } else {
        return BRELON_ERROR_NOT_AVAILABLE;
    }

    const auto bits = static_cast<uint8_t>(ReadNumber(dataBits));
    if (bits != 8 && bits != 7) return BRELON_ERROR_NOT_AVAILABLE;
    settings.dataBits = bits;

    const auto stops = static_cast<uint8_t>(ReadNumber(stopBits));
    if (stops != 1 && stops != 2) return BRELON_ERROR_NOT_AVAILABLE;
    settings.stopBits = stops;

    if (StartsWith(flow, "none")) {
        settings.flowControl = 'n';
    } else if (StartsWith(flow, "hdwr")) {
        settings.flowControl = 'h';
    } else {
        return BRELON_ERROR_NOT_AVAILABLE;
    }
    return BRELON_ERROR_SUCCESS;
}

long CompleteSettingsText(const char* text, char* out, size_t size) {
    const int needed = std::strchr(text, ',') != nullptr
                           ? std::snprintf(out, size, "%s", text)
                           : std::snprintf(out, size, "%s,none,8,1,hdwr", text);
    if (needed < 0 || static_cast<size_t>(needed) >= size) return BRELON_ERROR_NOT_AVAILABLE;
    return BRELON_ERROR_SUCCESS;
}

// The serial settings text and the bridge's completion of a bare rate.
#include <gtest/gtest.h>

#include <string>

#include "LinuxSerial.h"
#include "PrinterCommands.h"
#include "StatusCodes.h"
#include "Transport.h"
#include "../transport/SharedPort.h"

inline SerPort& serPort = SerialRecord(SharedPort());

namespace {

struct Accepted {
    const char* text;
    int64_t baud;
    char parity;
    int dataBits;
    int stopBits;
    char flow;
};

class SettingsAccepted : public ::testing::TestWithParam<Accepted> {};

TEST_P(SettingsAccepted, ParsesEveryField) {
    const Accepted& want = GetParam();
    SerPortSettings got{};
    ASSERT_EQ(ParseSerialSettings(want.text, got), BRELON_ERROR_SUCCESS) << want.text;
    EXPECT_EQ(got.baud, want.baud);
    EXPECT_EQ(got.parity, want.parity);
    EXPECT_EQ(got.dataBits, want.dataBits);
    EXPECT_EQ(got.stopBits, want.stopBits);
    EXPECT_EQ(got.flowControl, want.flow);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SettingsAccepted,
    ::testing::Values(Accepted{"9600,none,8,1,hdwr", 9600, 'n', 8, 1, 'h'},
                      Accepted{"19200,even,7,2,none", 19200, 'e', 7, 2, 'n'},
                      Accepted{"115200,odd,8,1,none", 115200, 'o', 8, 1, 'n'},
                      Accepted{"2400,none,8,1,none", 2400, 'n', 8, 1, 'n'},
                      Accepted{"  4800,none, 8, 2,none", 4800, 'n', 8, 2, 'n'},
                      Accepted{"38400,none,8,1,none", 38400, 'n', 8, 1, 'n'},
                      // Keywords are compared over their own length only.
                      Accepted{"9600,evenly,8,1,none", 9600, 'e', 8, 1, 'n'},
                      Accepted{"9600,none,8,1,hdwr,x", 9600, 'n', 8, 1, 'h'},
                      // Only the low 8 bits of the sizes count: 264 is 8.
                      Accepted{"9600,none,264,1,none", 9600, 'n', 8, 1, 'n'},
                      Accepted{"9600,none,8,257,none", 9600, 'n', 8, 1, 'n'}));

TEST(SerialSettings, RejectsWhatItCannotUse) {
    for (const char* text : {"", ",none,8,1,hdwr", "57600,none,8,1,none", "9600,none,8,1",
                             "9600,None,8,1,none", "9600,none,9,1,none", "9600,none,8,3,none",
                             "9600,none,8,1,xon", "9600,mark,8,1,none", "abc,none,8,1,none",
                             "9600;none;8;1;none"}) {
        SerPortSettings got{};
        EXPECT_EQ(ParseSerialSettings(text, got), BRELON_ERROR_NOT_AVAILABLE) << '"' << text << '"';
    }
}

TEST(SerialOpen, RefusesBeforeOpeningAnything) {
    // Settings are judged before the device is touched: a path that does not exist is never
    // reached when the text is bad.
    EXPECT_EQ(OpenPort("/nonexistent/tty", "57600,none,8,1,none"), BRELON_ERROR_NOT_AVAILABLE);
    EXPECT_EQ(serPort.port, kNoDescriptor);
    // An empty Java text becomes ",none,8,1,hdwr": no rate.
    EXPECT_EQ(OpenFromJava("/nonexistent/tty", ""), BRELON_ERROR_NOT_AVAILABLE);
    // Too long for the 64-byte buffer once completed, or for the record.
    EXPECT_EQ(OpenFromJava("/nonexistent/tty", std::string(50, '9').c_str()),
              BRELON_ERROR_NOT_AVAILABLE);
    EXPECT_EQ(OpenFromJava("/nonexistent/tty", ("9600,none,8,1,none" + std::string(50, ' ')).c_str()),
              BRELON_ERROR_NOT_AVAILABLE);
    EXPECT_EQ(OpenPort("/nonexistent/tty", ("9600,none,8,1,none" + std::string(90, ' ')).c_str()),
              BRELON_ERROR_NOT_AVAILABLE);
    // A device path of 100 characters or more is refused before any open.
    EXPECT_EQ(OpenFromJava(("/dev/" + std::string(95, 'x')).c_str(), "9600"), BRELON_ERROR_NOT_OPEN);
    EXPECT_EQ(OpenPort("/nonexistent/tty", "9600,none,8,1,none"), BRELON_ERROR_NOT_OPEN);
    EXPECT_EQ(serPort.port, kNoDescriptor);
    EXPECT_EQ(ClosePort(), BRELON_ERROR_SUCCESS);
}

TEST(SerialPortClosed, OperationsTouchNoDescriptor) {
    ClosePort();
    uint8_t buffer[8] = {};
    EXPECT_EQ(ReadPortPrv(buffer, sizeof buffer, 1, 100), BRELON_ERROR_NOT_OPEN);
    EXPECT_EQ(ReadPort(buffer, sizeof buffer), BRELON_ERROR_NOT_OPEN);
    EXPECT_EQ(ReadPort(buffer, 0), 0);
    EXPECT_EQ(WritePort(buffer, sizeof buffer), BRELON_ERROR_NOT_OPEN);
    // No port is no port, whatever a stale status says.
    m_bCoverOpen = 1;
    EXPECT_EQ(WritePort(buffer, sizeof buffer), BRELON_ERROR_NOT_OPEN);
    m_bCoverOpen = 0;
    EXPECT_EQ(ClosePort(), BRELON_ERROR_SUCCESS);
}

TEST(DrawerKick, BuildsEscP) {
    EXPECT_EQ(escpos::DrawerKick(escpos::kDrawerPin2, 100, 200),
              (std::array<uint8_t, 5>{0x1B, 0x70, 0x30, 0x32, 0x64}));
    EXPECT_EQ(escpos::DrawerKick(escpos::kDrawerPin5, 3, 3),
              (std::array<uint8_t, 5>{0x1B, 0x70, 0x31, 0x01, 0x01}));
    // Halved toward zero, low eight bits kept.
    EXPECT_EQ(escpos::DrawerKick(escpos::kDrawerPin2, 1000, -3),
              (std::array<uint8_t, 5>{0x1B, 0x70, 0x30, 0xF4, 0xFF}));
}

}  // namespace

// The printer's view of its receive buffer: command lengths, data skipping and the text view.
#include <gtest/gtest.h>

#include "prnsim/CommandParser.h"

namespace prnsim {
namespace {

struct Parsed {
    std::string text;
    std::vector<Command> commands;  // all but plain text
};

Parsed parse(const Bytes& bytes) {
    CommandParser parser;
    Parsed out;
    for (uint8_t b : bytes) {
        if (std::optional<Command> c = parser.feed(b)) {
            out.text += c->label;
            if (c->kind != Command::Kind::Text) out.commands.push_back(*c);
        }
    }
    return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes ascii(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

TEST(CommandParser, ReceiptTextWithCommandsByName) {
    const Parsed p = parse(cat({{0x1B, 0x40},
                                {0x1B, 0x45, 0x01},
                                ascii("TOTAL"),
                                {0x1B, 0x45, 0x00},
                                {0x0A},
                                {0x1D, 0x21, 0x11},
                                {0x1B, 0x61, 0x01},
                                ascii("x\r\n"),
                                {0x1B, 0x64, 0x03},
                                {0x1D, 0x56, 0x00},
                                {0x1D, 0x56, 0x41, 0x05},
                                ascii("end")}));
    EXPECT_EQ(p.text,
              "[ESC @][ESC E 1]TOTAL[ESC E 0]\n[GS ! 17][ESC a 1]x[CR]\n[ESC d 3][GS V cut]"
              "[GS V cut]end");
}

TEST(CommandParser, GraphicsDataIsSkippedWhateverItHolds) {
    // Every image carries 10 04 01 and text-like bytes in its data; none of it is text.
    const Bytes data = {0x10, 0x04, 0x01, 'A', 0x0A, 0x1B, 0x40};
    // GS v 0: 7 bytes a row x 1 row
    const Bytes rasterHead = {0x1D, 0x76, 0x30, 0x00, 0x07, 0x00, 0x01, 0x00};
    // ESC * 0 (8-dot): one byte a column, 7 columns
    const Bytes bitImageHead = {0x1B, 0x2A, 0x00, 0x07, 0x00};
    // GS ( L pL pH m fn + data: length counts m and fn
    const Bytes storeHead = {0x1D, 0x28, 0x4C, 0x09, 0x00, 0x30, 0x70};
    // GS 8 L p1..p4 m fn + data
    const Bytes largeStoreHead = {0x1D, 0x38, 0x4C, 0x09, 0x00, 0x00, 0x00, 0x30, 0x70};
    const Parsed p =
        parse(cat({ascii("a"), rasterHead, data, ascii("b"), bitImageHead, data, ascii("c"),
                   storeHead, data, ascii("d"), largeStoreHead, data, ascii("e")}));
    EXPECT_EQ(p.text, "a[GS v 0 image 7x1]b[ESC * image m0 7]c[GS ( L fn112]d[GS 8 L 9 bytes]e");
    ASSERT_EQ(p.commands.size(), 4u);
}

TEST(CommandParser, TwentyFourDotBitImageCountsThreeBytesAColumn) {
    Bytes image = {0x1B, 0x2A, 0x21, 0x02, 0x00};
    image.insert(image.end(), 6, 0x0A);  // 2 columns x 3 bytes of "line feeds"
    EXPECT_EQ(parse(cat({image, ascii("z")})).text, "[ESC * image m33 2]z");
}

TEST(CommandParser, BarcodesInBothForms) {
    // GS k m d... NUL (m <= 6) and GS k m n d1..dn (m >= 65)
    const Parsed p = parse(cat({{0x1D, 0x6B, 0x04},
                                ascii("12\n34"),
                                {0x00},
                                ascii("a"),
                                {0x1D, 0x6B, 0x49, 0x03},
                                ascii("1\n2"),
                                ascii("b")}));
    EXPECT_EQ(p.text, "[GS k barcode 4]a[GS k barcode 73]b");
}

TEST(CommandParser, ProcessIdRequest) {
    const Parsed p = parse({0x1D, 0x28, 0x48, 0x06, 0x00, 0x30, 0x30, 'F', 'F', 'F', 'F'});
    ASSERT_EQ(p.commands.size(), 1u);
    EXPECT_EQ(p.commands[0].kind, Command::Kind::ProcessId);
    EXPECT_EQ(p.commands[0].data, ascii("FFFF"));
    EXPECT_EQ(p.text, "[GS ( H fn48 FFFF]");
    // Another GS ( H function with a different length is not a process ID request.
    const Parsed other = parse({0x1D, 0x28, 0x48, 0x03, 0x00, 0x31, 0x30, 0x41, 'x'});
    ASSERT_EQ(other.commands.size(), 1u);
    EXPECT_EQ(other.commands[0].kind, Command::Kind::Other);
    EXPECT_EQ(other.text, "[GS ( H fn49]x");
}

TEST(CommandParser, DrawerKickTimes) {
    const Parsed p = parse({0x1B, 0x70, 0x00, 0x32, 0x64,    // pin 2, 100 ms / 200 ms
                            0x1B, 0x70, 0x31, 0x32, 0x19,    // pin 5, off shorter than on
                            0x1B, 0x70, 0x30, 0x0A, 0x0A});  // '0' = pin 2; LF as parameters
    ASSERT_EQ(p.commands.size(), 3u);
    EXPECT_EQ(p.text, "[ESC p pin2 100ms/200ms][ESC p pin5 100ms/100ms][ESC p pin2 20ms/20ms]");
    EXPECT_EQ(p.commands[1].pin, 5);
    EXPECT_EQ(p.commands[1].offMs, 100);
}

TEST(CommandParser, StatusCommandsAndUnknownBytes) {
    const Parsed p = parse({0x1D, 0x61, 0xFF, 0x10, 0x04, 0x02, 0x1D, 0x72, 0x01, 0x1D, 0x61, 0x00,
                            0x07, 0x85, 0x1B, 0x7E, 'k'});
    EXPECT_EQ(p.text, "[GS a 255][DLE EOT 2][GS r 1][GS a 0][0x07][0x85][ESC ~]k");
    ASSERT_GE(p.commands.size(), 4u);
    EXPECT_EQ(p.commands[0].kind, Command::Kind::AutoStatus);
    EXPECT_EQ(p.commands[0].arg, 255);
    EXPECT_EQ(p.commands[2].kind, Command::Kind::PaperSensor);
    EXPECT_EQ(p.commands[3].arg, 0);
}

TEST(CommandParser, IdleOnlyBetweenCommands) {
    CommandParser parser;
    EXPECT_FALSE(parser.feed(0x1D));
    EXPECT_FALSE(parser.idle());
    EXPECT_FALSE(parser.feed(0x76));
    for (uint8_t b : Bytes{0x30, 0x00, 0x01, 0x00, 0x02}) EXPECT_FALSE(parser.feed(b));
    EXPECT_FALSE(parser.feed(0x00));  // yH: 1 x 2 data bytes follow
    EXPECT_FALSE(parser.feed(0x41));
    EXPECT_TRUE(parser.feed(0x42));
    EXPECT_TRUE(parser.idle());
}

}  // namespace
}  // namespace prnsim

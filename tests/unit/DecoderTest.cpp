#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "DeviceState.h"
#include "StatusDecoder.h"
#include "Variant.h"

void PrintTo(const StatusUpdate& u, std::ostream* os) {
    for (const auto& w : {u.coverOpen, u.paperEmpty, u.offline, u.status, u.drawerOpened}) {
        *os << (w ? std::to_string(*w) : "-") << ' ';
    }
    *os << "(cover paper offline status drawer) reply=" << u.outputComplete
        << " clearPowerOff=" << u.clearPowerOff << " resend=" << u.resendEnable;
}

namespace {

using Bytes = std::vector<uint8_t>;
constexpr DecodeMode T = DecodeMode::Thermal;
constexpr DecodeMode I = DecodeMode::Impact;

// What one variant should make of a batch. Offline is the USB short reply 3B 31 00.
enum class Out : uint8_t { None, Ready, Cover, Paper, Near, Offline };
using enum Out;
constexpr int kKeep = -1;  // drawer word left alone
struct Want {
    Out out;
    int drawer = kKeep;
    bool resend = false;
};
using Wants = std::array<Want, 4>;  // serial, ethernet, usb, parallel, as in kAllVariants

Wants All(Want w) { return {w, w, w, w}; }

StatusUpdate Expected(const Variant& v, const Want& w, bool reply) {
    StatusUpdate u;
    auto set = [&u](int cover, int paper, int offline, int status) {
        u.coverOpen = cover, u.paperEmpty = paper, u.offline = offline, u.status = status;
    };
    switch (w.out) {
        case None: break;
        case Ready: set(0, 0, 0, 0); break;
        case Cover: set(1, 0, 1, 1); break;
        case Paper: set(0, 1, 1, 2); break;
        case Near: set(0, 0, 0, 16); break;
        case Offline: u.offline = 1, u.status = 0; break;
    }
    if (w.drawer != kKeep) u.drawerOpened = w.drawer;
    u.resendEnable = w.resend;
    u.outputComplete = reply;
    // The network printer's power-off flag goes with every decoded state change.
    u.clearPowerOff = &v == &kEthernetVariant && w.out != None && w.out != Offline;
    return u;
}

struct Row {
    const char* what;
    DecodeMode mode;
    Bytes batch;
    Wants want;
    bool reply = false;
};

void Check(const std::vector<Row>& rows) {
    for (const Row& r : rows) {
        for (size_t i = 0; i < std::size(kAllVariants); ++i) {
            const Variant& v = *kAllVariants[i];
            SCOPED_TRACE(std::string(r.what) + " / " + v.name +
                         (r.mode == T ? " thermal" : " impact"));
            EXPECT_EQ(DecodeBatch(v, r.mode, r.batch.data(), static_cast<int>(r.batch.size())),
                      Expected(v, r.want[i], r.reply));
        }
    }
}

TEST(Decoder, ThermalBlocks) {
    const std::vector<Row> rows = {
        {"ready, drawer low", T, {0x10, 0, 0, 0}, All({Ready, 1})},
        {"ready, drawer high", T, {0x14, 0, 0, 0}, All({Ready, 0})},
        {"ready with near-end shape", T, {0x10, 0, 0x03, 0x0F}, All({Ready, 1})},
        {"ready, b4 0F", T, {0x14, 0, 0, 0x0F}, All({Ready, 0})},
        {"offline block", T, {0x18, 0, 0, 0}, All({None})},
        {"b2 set breaks the shape", T, {0x10, 0x01, 0, 0}, All({None})},
        {"3C", T, {0x3C, 0, 0, 0}, {{{Cover}, {None}, {Cover}, {Cover}}}},
        {"38 odd shape", T, {0x38, 0x40, 0, 0x0F}, {{{Cover}, {None}, {Cover}, {Cover}}}},
        {"30", T, {0x30, 0, 0, 0}, {{{None}, {Cover}, {Cover}, {None}}}},
        {"38", T, {0x38, 0, 0, 0}, {{{Cover}, {None}, {Cover}, {Cover}}}},
        {"34 paper end", T, {0x34, 0, 0x0F, 0}, {{{None}, {Cover}, {Cover}, {None}}}},
        {"18 paper end", T, {0x18, 0, 0x0F, 0}, {{{Paper}, {None}, {Paper}, {Paper}}}},
        {"18 0C", T, {0x18, 0, 0x0C, 0}, {{{None}, {None}, {Paper}, {None}}}},
        {"10 paper end", T, {0x10, 0, 0x0F, 0}, {{{None}, {Paper}, {Paper}, {None}}}},
        {"near end", T, {0x10, 0, 0x03, 0}, All({Near})},
        {"near end needs ready b1", T, {0x18, 0, 0x03, 0}, All({None})},
    };
    Check(rows);
}

// Block starts n-4, n-8, ... down to the first index of 3 or less.
TEST(Decoder, ThermalDrawerScan) {
    const Want tieSend{Ready, kKeep, true};
    const Want tieKeep{Ready};
    const std::vector<Row> rows = {
        {"earlier low", T, {0x10, 0, 0, 0, 0x14, 0, 0, 0}, {{{Ready, 1}, tieSend, tieKeep, tieSend}}},
        {"later low", T, {0x14, 0, 0, 0, 0x10, 0, 0, 0}, {{{Ready, 1}, tieSend, tieKeep, tieSend}}},
        {"two lows to one high", T, {0x10, 0, 0, 0, 0x10, 0, 0, 0, 0x14, 0, 0, 0},
         All({Ready, 1})},
        {"two highs to one low", T, {0x10, 0, 0, 0, 0x14, 0, 0, 0, 0x14, 0, 0, 0},
         {{{Ready, 1}, {Ready, 0}, {Ready, 0}, {Ready, 0}}}},
        {"18 is not counted", T, {0x10, 0, 0, 0, 0x18, 0, 0, 0, 0x14, 0, 0, 0},
         {{{Ready, 1}, tieSend, tieKeep, tieSend}}},
        {"only index 2 tested", T, {0xAA, 0xBB, 0x10, 0, 0, 0}, All({Ready, 1})},
        // Indexes 5 and 1 are tested; the 0x10 at index 0 is not a block start.
        {"index 0 untested", T, {0x10, 0x14, 0, 0, 0, 0x14, 0, 0, 0}, All({Ready, 0})},
        {"non-ready tail skips the scan", T, {0x10, 0, 0, 0, 0x18, 0, 0, 0}, All({None})},
    };
    Check(rows);
}

TEST(Decoder, ImpactBlocks) {
    // The impact decoder is the same for every variant and looks at the last block only.
    const std::vector<Row> rows = {
        {"ready, drawer low", I, {0x10, 0, 0, 0}, All({Ready, 1})},
        {"ready, drawer high", I, {0x14, 0, 0, 0}, All({Ready, 0})},
        {"18 reads as ready", I, {0x18, 0, 0, 0}, All({Ready, 1})},
        {"near-end shape is ready", I, {0x10, 0, 0x03, 0x0F}, All({Ready, 1})},
        {"cover", I, {0x30, 0, 0, 0}, All({Cover})},
        {"cover, odd shape", I, {0x24, 0x01, 0, 0}, All({Cover})},
        {"cover before paper end", I, {0x30, 0, 0x0C, 0}, All({Cover})},
        {"paper end", I, {0x10, 0, 0x0C, 0}, All({Paper})},
        {"paper end on 08", I, {0x18, 0, 0x08, 0}, All({Paper})},
        {"paper end before near end", I, {0x10, 0, 0x0F, 0}, All({Paper})},
        {"near end", I, {0x10, 0, 0x03, 0}, All({Near})},
        {"near end on 01", I, {0x14, 0, 0x01, 0}, All({Near})},
        {"b2 set, no sensor", I, {0x10, 0x01, 0, 0}, All({None})},
        {"no tie in impact", I, {0x14, 0, 0, 0, 0x10, 0, 0, 0}, All({Ready, 1})},
        {"last block only", I, {0x10, 0, 0, 0, 0x14, 0, 0, 0}, All({Ready, 0})},
    };
    Check(rows);
}

TEST(Decoder, ShortBatches) {
    std::vector<Row> rows;
    for (DecodeMode m : {T, I}) {
        rows.push_back({"one byte", m, {0x10}, All({None})});
        rows.push_back({"two bytes", m, {0x10, 0}, All({None})});
        rows.push_back({"3B 31 00", m, {0x3B, 0x31, 0}, {{{None}, {None}, {Offline}, {Ready}}}});
        rows.push_back({"any three", m, {0x38, 0, 0x0C}, {{{None}, {None}, {None}, {Ready}}}});
    }
    // Five bytes are past the USB short rule: only the block 10 3B 31 00 counts, and b3 31
    // reads as near end to the impact decoder.
    rows.push_back({"3B 31 00 in five", T, {0, 0x10, 0x3B, 0x31, 0}, All({None})});
    rows.push_back({"3B 31 00 in five", I, {0, 0x10, 0x3B, 0x31, 0}, All({Near})});
    // Four bytes ending 3B 31 00: USB marks offline, then the block is decoded over it.
    rows.push_back({"10 3B 31 00", T, {0x10, 0x3B, 0x31, 0}, {{{None}, {None}, {Offline}, {None}}}});
    rows.push_back({"30 3B 31 00", T, {0x30, 0x3B, 0x31, 0}, {{{None}, {Cover}, {Cover}, {None}}}});
    rows.push_back({"10 3B 31 00", I, {0x10, 0x3B, 0x31, 0}, All({Near})});
    Check(rows);

    for (const Variant* v : kAllVariants) {
        for (DecodeMode m : {T, I}) {
            const uint8_t b[] = {0x10, 0, 0, 0};
            EXPECT_EQ(DecodeBatch(*v, m, b, 0), StatusUpdate{}) << v->name;
            EXPECT_EQ(DecodeBatch(*v, m, b, -2), StatusUpdate{}) << v->name;
            EXPECT_EQ(DecodeBatch(*v, m, nullptr, 4), StatusUpdate{}) << v->name;
        }
    }
}

TEST(Decoder, ProcessIdReply) {
    const Bytes reply = {0x37, 0x22, 0x46, 0x46, 0x46, 0x46, 0x00};
    auto then = [&reply](Bytes block) {
        Bytes b = reply;
        b.insert(b.end(), block.begin(), block.end());
        return b;
    };
    const std::vector<Row> rows = {
        {"reply alone", T, reply, All({None}), true},
        // The reply's tail 46 46 46 00 would read as paper end in impact mode: a batch that ends
        // with the reply has no block at its end.
        {"reply alone", I, reply, All({None}), true},
        {"block then reply", I, {0x14, 0, 0, 0, 0x37, 0x22, 0x46, 0x46, 0x46, 0x46, 0},
         All({Ready, 0}), true},
        {"block then two replies", I,
         {0x14, 0, 0, 0, 0x37, 0x22, 0x46, 0x46, 0x46, 0x46, 0, 0x37, 0x22, 0x46, 0x46, 0x46, 0x46, 0},
         All({Ready, 0}), true},
        {"paper end then reply", I, {0x10, 0, 0x0C, 0, 0x37, 0x22, 0x46, 0x46, 0x46, 0x46, 0},
         All({Paper}), true},
        {"block then reply", T, {0x10, 0, 0, 0, 0x37, 0x22, 0x46, 0x46, 0x46, 0x46, 0},
         All({Ready, 1}), true},
        {"reply then block", T, then({0x14, 0, 0, 0}), All({Ready, 0}), true},
        {"reply then block", T, then({0x10, 0, 0, 0}), All({Ready, 1}), true},
        {"reply then block", I, then({0x10, 0, 0, 0}), All({Ready, 1}), true},
        {"reply then cover", T, then({0x38, 0, 0, 0}), {{{Cover}, {None}, {Cover}, {Cover}}}, true},
        {"reply at the end", T, {0, 0x37, 0, 0, 0, 0, 0x46, 0}, All({None}), true},
        {"reply at the start", T, {0x37, 0, 0, 0, 0, 0x46, 0, 0x10, 0, 0, 0}, All({Ready, 1}), true},
        // Ten bytes are too few for the start rule.
        {"ten bytes", T, {0x37, 0, 0, 0, 0, 0x46, 0x10, 0, 0, 0}, All({Ready, 1})},
        {"six bytes", T, {0x37, 0x22, 0x46, 0x46, 0x46, 0x46}, All({None})},
    };
    Check(rows);
}

class DecoderApply : public testing::Test {
protected:
    void SetUp() override { ResetDeviceState(); }
    void TearDown() override { ResetDeviceState(); }

    struct FakeLink {
        int sends = 0;
        int32_t statusAtSend = -1;
        static void Send(void* self) {
            auto* link = static_cast<FakeLink*>(self);
            ++link->sends;
            link->statusAtSend = PrinterStatusResult;
        }
    };
    FakeLink link;
    EnableSeam seam{&FakeLink::Send, &link};
};

using Clock = std::chrono::steady_clock;
long MillisSince(Clock::time_point t) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

TEST_F(DecoderApply, WritesOnlyTheWordsPresent) {
    for (StateWord* w : {&m_bCoverOpen, &m_bPaperEmpty, &m_bOffline, &PrinterStatusResult,
                         &m_DrawerOpened, &m_bPowerOFF}) {
        *w = 7;
    }
    m_OutputComplemetFlag = 1;
    StatusUpdate u;
    u.offline = 1;
    u.status = 0;
    const auto start = Clock::now();
    ApplyStatusUpdate(u, seam);
    EXPECT_LT(MillisSince(start), 50);
    EXPECT_EQ(link.sends, 0);
    EXPECT_EQ(m_bOffline, 1);
    EXPECT_EQ(PrinterStatusResult, 0);
    EXPECT_EQ(m_bCoverOpen, 7);
    EXPECT_EQ(m_bPaperEmpty, 7);
    EXPECT_EQ(m_DrawerOpened, 7);
    EXPECT_EQ(m_bPowerOFF, 7);
    EXPECT_EQ(m_OutputComplemetFlag, 1);  // only ever set here, never cleared

    m_OutputComplemetFlag = 0;
    const uint8_t batch[] = {0x37, 0x22, 0x46, 0x46, 0x46, 0x46, 0, 0x34, 0, 0x0F, 0};
    ApplyStatusUpdate(DecodeBatch(kEthernetVariant, T, batch, 11), seam);
    EXPECT_EQ(m_OutputComplemetFlag, 1);
    EXPECT_EQ(m_bCoverOpen, 1);
    EXPECT_EQ(m_bPaperEmpty, 0);
    EXPECT_EQ(m_bOffline, 1);
    EXPECT_EQ(PrinterStatusResult, 1);
    EXPECT_EQ(m_DrawerOpened, 7);
    EXPECT_EQ(m_bPowerOFF, 0);
}

TEST_F(DecoderApply, DrawerTieResendsEnableThenPauses) {
    m_DrawerOpened = 1;
    PrinterStatusResult = 2;
    m_bPowerOFF = 1;
    const uint8_t tie[] = {0x14, 0, 0, 0, 0x10, 0, 0, 0};
    const auto start = Clock::now();
    ApplyStatusUpdate(DecodeBatch(kEthernetVariant, T, tie, 8), seam);
    const long took = MillisSince(start);
    EXPECT_GE(took, 95);
    EXPECT_LT(took, 1000);
    EXPECT_EQ(link.sends, 1);
    EXPECT_EQ(link.statusAtSend, 2);  // sent before ready is written
    EXPECT_EQ(PrinterStatusResult, 0);
    EXPECT_EQ(m_DrawerOpened, 1);
    EXPECT_EQ(m_bPowerOFF, 0);

    // The USB printer keeps the drawer on a tie and sends nothing.
    ApplyStatusUpdate(DecodeBatch(kUsbVariant, T, tie, 8), seam);
    EXPECT_EQ(link.sends, 1);
    EXPECT_EQ(m_DrawerOpened, 1);
}

}  // namespace

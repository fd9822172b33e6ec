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
    for (const auto& w : {u.coverOpen, u.paperEmpty, u.offline, u.status, u.drawerOpened, u.error}) {
        *os << (w ? std::to_string(*w) : "-") << ' ';
    }
    *os << "(cover paper offline status drawer error) reply=" << std::hex << u.reply << std::dec
        << " clearPowerOff=" << u.clearPowerOff << " resend=" << u.resendEnable;
}

namespace {

using Bytes = std::vector<uint8_t>;
constexpr DecodeMode T = DecodeMode::Thermal;
constexpr DecodeMode I = DecodeMode::Impact;

// What one variant should make of a batch. Offline is the USB short reply 3B 31 00; Error a
// printer that stopped on an error (offline, writes refused).
enum class Out : uint8_t { None, Ready, Cover, Paper, Near, Offline, Error };
using enum Out;
constexpr int kKeep = -1;  // drawer word left alone
struct Want {
    Out out;
    int drawer = kKeep;
    bool resend = false;
};
using Wants = std::array<Want, 4>;  // serial, ethernet, usb, parallel, as in kAllVariants

Wants All(Want w) { return {w, w, w, w}; }

// The identifier of a reply 37 22 'F' 'F' 'F' 'F' 00.
constexpr ReplyId kFFF = 0x464646;

StatusUpdate Expected(const Variant& v, const Want& w, ReplyId reply) {
    StatusUpdate u;
    auto set = [&u](int cover, int paper, int offline, int status, int error = 0) {
        u.coverOpen = cover, u.paperEmpty = paper, u.offline = offline, u.status = status;
        u.error = error;
    };
    switch (w.out) {
        case None: break;
        case Ready: set(0, 0, 0, 0); break;
        case Cover: set(1, 0, 1, 1); break;
        case Paper: set(0, 1, 1, 2); break;
        case Near: set(0, 0, 0, 16); break;
        case Offline: u.offline = 1, u.status = 0; break;
        case Error: set(0, 0, 1, 8, 1); break;
    }
    if (w.drawer != kKeep) u.drawerOpened = w.drawer;
    u.resendEnable = w.resend;
    u.reply = reply;
    // The network printer's power-off flag goes with every decoded state change.
    u.clearPowerOff = &v == &kEthernetVariant && w.out != None && w.out != Offline;
    return u;
}

struct Row {
    const char* what;
    DecodeMode mode;
    Bytes batch;
    Wants want;
    ReplyId reply = kNoReply;
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
        // The cover bit with the offline bit, as every printer that follows the public command
        // reference sends it, is cover open everywhere; the network printer's own 30/34 too.
        {"3C", T, {0x3C, 0, 0, 0}, All({Cover})},
        {"38 odd shape", T, {0x38, 0x40, 0, 0x0F}, All({Cover})},
        {"30", T, {0x30, 0, 0, 0}, {{{None}, {Cover}, {Cover}, {None}}}},
        {"38", T, {0x38, 0, 0, 0}, All({Cover})},
        {"3C with b4 0F", T, {0x3C, 0, 0, 0x0F}, All({Cover})},
        {"78, the feed button held too", T, {0x78, 0, 0, 0}, All({Cover})},
        {"34 paper end", T, {0x34, 0, 0x0F, 0}, {{{None}, {Cover}, {Cover}, {None}}}},
        // Paper end with the offline bit, everywhere; the network printer's own 10/14 with 0F too.
        {"18 paper end", T, {0x18, 0, 0x0F, 0}, All({Paper})},
        {"1C paper end", T, {0x1C, 0, 0x0F, 0x0F}, All({Paper})},
        {"18 0C", T, {0x18, 0, 0x0C, 0}, All({Paper})},
        {"10 paper end", T, {0x10, 0, 0x0F, 0}, {{{None}, {Paper}, {Paper}, {None}}}},
        {"near end", T, {0x10, 0, 0x03, 0}, All({Near})},
        {"near end needs ready b1", T, {0x18, 0, 0x03, 0}, All({None})},
    };
    Check(rows);
}

// A printer that stops on an error sets the offline bit with a bit of byte 2: it reports offline
// and refuses writes in both modes, on every connection. Cover open and paper end say more, and
// come first.
TEST(Decoder, PrinterErrors) {
    std::vector<Row> rows;
    for (DecodeMode m : {T, I}) {
        rows.push_back({"cutter jam", m, {0x18, 0x08, 0, 0}, All({Error})});
        rows.push_back({"unrecoverable", m, {0x18, 0x20, 0, 0}, All({Error})});
        rows.push_back({"recoverable", m, {0x1C, 0x04, 0, 0x0F}, All({Error})});
        rows.push_back({"auto-recoverable", m, {0x18, 0x40, 0, 0}, All({Error})});
        rows.push_back({"waiting for online recovery", m, {0x18, 0x01, 0, 0}, All({Error})});
        rows.push_back({"error with near end", m, {0x18, 0x08, 0x03, 0}, All({Error})});
        rows.push_back({"paper end before an error", m, {0x18, 0x08, 0x0F, 0}, All({Paper})});
        rows.push_back({"cover before an error", m, {0x3C, 0x20, 0, 0}, All({Cover})});
        // The feed button (byte 2 bit 1) is no error; nor is an error bit without the offline bit.
        rows.push_back({"feed button", m, {0x18, 0x02, 0, 0}, All({None})});
        rows.push_back({"no offline bit", m, {0x10, 0x08, 0, 0}, All({None})});
        // Not shaped as a block (bit 4 set in byte 2): no report.
        rows.push_back({"misshapen", m, {0x18, 0x18, 0, 0}, All({None})});
    }
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
        {"reply alone", T, reply, All({None}), kFFF},
        // The reply's tail 46 46 46 00 would read as paper end in impact mode: a batch that ends
        // with the reply has no block at its end.
        {"reply alone", I, reply, All({None}), kFFF},
        {"block then reply", I, {0x14, 0, 0, 0, 0x37, 0x22, 0x46, 0x46, 0x46, 0x46, 0},
         All({Ready, 0}), kFFF},
        {"block then two replies", I,
         {0x14, 0, 0, 0, 0x37, 0x22, 0x46, 0x46, 0x46, 0x46, 0, 0x37, 0x22, 0x46, 0x46, 0x46, 0x46, 0},
         All({Ready, 0}), kFFF},
        {"paper end then reply", I, {0x10, 0, 0x0C, 0, 0x37, 0x22, 0x46, 0x46, 0x46, 0x46, 0},
         All({Paper}), kFFF},
        {"block then reply", T, {0x10, 0, 0, 0, 0x37, 0x22, 0x46, 0x46, 0x46, 0x46, 0},
         All({Ready, 1}), kFFF},
        {"reply then block", T, then({0x14, 0, 0, 0}), All({Ready, 0}), kFFF},
        {"reply then block", T, then({0x10, 0, 0, 0}), All({Ready, 1}), kFFF},
        {"reply then block", I, then({0x10, 0, 0, 0}), All({Ready, 1}), kFFF},
        {"reply then cover", T, then({0x38, 0, 0, 0}), All({Cover}), kFFF},
        // Only a whole reply, 37 22, three printable bytes, 'F' and NUL, is one: these are
        // nobody's answer to a request of ours.
        {"reply-like end", T, {0, 0x37, 0, 0, 0, 0, 0x46, 0}, All({None})},
        {"reply-like start", T, {0x37, 0, 0, 0, 0, 0x46, 0, 0x10, 0, 0, 0}, All({Ready, 1})},
        {"ten bytes", T, {0x37, 0, 0, 0, 0, 0x46, 0x10, 0, 0, 0}, All({Ready, 1})},
        {"reply in the middle", T,
         {0x10, 0, 0, 0, 0x37, 0x22, 0x41, 0x42, 0x43, 0x46, 0, 0x14, 0, 0, 0}, All({Ready, 0}),
         0x414243},
        {"the last of two replies", I,
         {0x37, 0x22, 0x30, 0x30, 0x31, 0x46, 0, 0x37, 0x22, 0x30, 0x30, 0x32, 0x46, 0},
         All({None}), 0x303032},
        {"six bytes", T, {0x37, 0x22, 0x46, 0x46, 0x46, 0x46}, All({None})},
    };
    Check(rows);
}

// A block or a reply split over two reads is decoded once, whole; what was decoded is never
// decoded again, so the drawer rules see the same block starts as without the split.
TEST(SplitMessages, TheEndOfABatchWaitsForItsRest) {
    struct Case {
        const char* what;
        Bytes batch;
        int unfinishedFrom;
    };
    const Case cases[] = {
        {"a whole block", {0x14, 0, 0, 0}, 4},
        {"two bytes of a block", {0x3C, 0}, 0},
        {"a block, then the start of one", {0x14, 0, 0, 0, 0x10, 0, 0}, 4},
        {"a DLE EOT reply ends it", {0x14, 0, 0, 0, 0x12}, 5},
        {"XON and XOFF", {0x11, 0x13}, 2},
        {"the start of a reply", {0x37, 0x22, 0x41, 0x42}, 0},
        {"a whole reply", {0x37, 0x22, 0x41, 0x42, 0x43, 0x46, 0}, 7},
        {"a block after a reply", {0x37, 0x22, 0x41, 0x42, 0x43, 0x46, 0, 0x18, 0}, 7},
        {"a 0x10 that starts nothing", {0x10, 0x14, 0, 0, 0}, 5},
        {"a reply that is not one", {0x37, 0x10}, 1},
        {"an empty read", {}, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SplitMessages::UnfinishedFrom(c.batch.data(), static_cast<int>(c.batch.size())),
                  c.unfinishedFrom)
            << c.what;
    }

    // Cover open in two reads, as a serial line brings it: nothing at first, then the block.
    SplitMessages split;
    uint8_t joined[SplitMessages::kMaxJoined];
    const uint8_t first[] = {0x3C, 0};
    EXPECT_EQ(split.Join(first, 2, joined), 0);
    EXPECT_EQ(split.Join(first, 0, joined), 0) << "a read without bytes keeps the start";
    const uint8_t second[] = {0, 0};
    const int whole = split.Join(second, 2, joined);
    ASSERT_EQ(whole, 4);
    for (const Variant* v : kAllVariants) {
        EXPECT_EQ(DecodeBatch(*v, T, joined, whole), Expected(*v, {Cover}, kNoReply)) << v->name;
    }

    // A drawer-low block decoded in one read does not count again when the next block's start
    // is kept and completed: the serial printer's any-low rule sees 14 alone.
    const uint8_t low[] = {0x10, 0, 0, 0, 0x14, 0};
    EXPECT_EQ(split.Join(low, 6, joined), 4);
    EXPECT_EQ(split.Join(second, 2, joined), 4);
    EXPECT_EQ(DecodeBatch(kSerialVariant, T, joined, 4), Expected(kSerialVariant, {Ready, 0}, 0));

    // A reply split after its identifier.
    const uint8_t replyStart[] = {0x14, 0, 0, 0, 0x37, 0x22, 0x41, 0x42, 0x43};
    const uint8_t replyEnd[] = {0x46, 0};
    EXPECT_EQ(split.Join(replyStart, 9, joined), 4);
    ASSERT_EQ(split.Join(replyEnd, 2, joined), 7);
    EXPECT_EQ(DecodeBatch(kUsbVariant, T, joined, 7).reply, 0x414243u);

    // A kept start that the next read does not continue is not held for ever.
    EXPECT_EQ(split.Join(first, 2, joined), 0);
    const uint8_t other[] = {0x12, 0x14, 0, 0, 0};
    EXPECT_EQ(split.Join(other, 5, joined), 7);
    EXPECT_EQ(split.kept(), 0);
    split.Join(first, 2, joined);
    split.Forget();
    EXPECT_EQ(split.kept(), 0);
}

// One port's device state, with its words under their names.
class DecoderApply : public testing::Test {
protected:
    DeviceState state;
    StateWord& m_bCoverOpen = state.m_bCoverOpen;
    StateWord& m_bPaperEmpty = state.m_bPaperEmpty;
    StateWord& m_bOffline = state.m_bOffline;
    StateWord& m_bPowerOFF = state.m_bPowerOFF;
    StateWord& m_DrawerOpened = state.m_DrawerOpened;
    StateWord& PrinterStatusResult = state.PrinterStatusResult;
    StateWord& m_OutputComplemetFlag = state.m_OutputComplemetFlag;

    void ApplyStatusUpdate(const StatusUpdate& u, const EnableSeam& s) {
        ::ApplyStatusUpdate(state, u, s);
    }
    bool WritesRefused() const { return state.WritesRefused(); }
    bool AwaitReply(uint32_t id) { return state.replies.Await(id); }
    bool ReplyArrived(uint32_t id) const { return state.replies.Arrived(id); }
    void StopAwaiting(uint32_t id) { state.replies.Stop(id); }
    static constexpr int kReplyWaiters = ReplyWaiters::kSlots;

    struct FakeLink {
        int sends = 0;
        int32_t statusAtSend = -1;
        const StateWord* status = nullptr;
        static void Send(void* self) {
            auto* link = static_cast<FakeLink*>(self);
            ++link->sends;
            link->statusAtSend = *link->status;
        }
    };
    FakeLink link{0, -1, &state.PrinterStatusResult};
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
    EXPECT_EQ(m_OutputComplemetFlag, 0) << "nobody waits for that reply";
    ASSERT_TRUE(AwaitReply(kFFF));
    ApplyStatusUpdate(DecodeBatch(kEthernetVariant, T, batch, 11), seam);
    EXPECT_TRUE(ReplyArrived(kFFF));
    StopAwaiting(kFFF);
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

// A reply ends only the wait that asked for it: a late reply to a wait that ended (on cover
// open, say) does not end the next wait, and two waits each see their own.
TEST_F(DecoderApply, ARepliesEndsOnlyItsOwnWait) {
    const auto reply = [](char d3) {
        return Bytes{0x37, 0x22, '0', '0', static_cast<uint8_t>(d3), 0x46, 0};
    };
    const ReplyId first = 0x303031;
    const ReplyId second = 0x303032;
    ASSERT_TRUE(AwaitReply(second));
    const Bytes late = reply('1');
    ApplyStatusUpdate(DecodeBatch(kSerialVariant, T, late.data(), 7), seam);
    EXPECT_FALSE(ReplyArrived(second));
    EXPECT_FALSE(ReplyArrived(first));
    ASSERT_TRUE(AwaitReply(first));
    ApplyStatusUpdate(DecodeBatch(kSerialVariant, T, late.data(), 7), seam);
    EXPECT_TRUE(ReplyArrived(first));
    EXPECT_FALSE(ReplyArrived(second));
    const Bytes own = reply('2');
    ApplyStatusUpdate(DecodeBatch(kSerialVariant, T, own.data(), 7), seam);
    EXPECT_TRUE(ReplyArrived(second));
    StopAwaiting(first);
    StopAwaiting(second);
    EXPECT_FALSE(ReplyArrived(second)) << "a wait that stopped sees nothing";
    // Every slot taken: the next wait is told so rather than waiting for nothing.
    for (int i = 0; i < kReplyWaiters; ++i) ASSERT_TRUE(AwaitReply(0x404040 + i));
    EXPECT_FALSE(AwaitReply(second));
    for (int i = 0; i < kReplyWaiters; ++i) StopAwaiting(0x404040 + i);
}

TEST_F(DecoderApply, AnErrorRefusesWritesUntilABlockWithoutIt) {
    const uint8_t jam[] = {0x18, 0x08, 0, 0};
    ApplyStatusUpdate(DecodeBatch(kUsbVariant, T, jam, 4), seam);
    EXPECT_EQ(PrinterStatusResult, 8);
    EXPECT_TRUE(WritesRefused());
    m_bOffline = 0;  // the monitor's next pass enables automatic status again
    EXPECT_TRUE(WritesRefused()) << "the error, not the offline flag, refuses the writes";
    const uint8_t offline[] = {0x18, 0, 0, 0};
    ApplyStatusUpdate(DecodeBatch(kUsbVariant, T, offline, 4), seam);
    EXPECT_TRUE(WritesRefused());
    const uint8_t ready[] = {0x14, 0, 0, 0};
    ApplyStatusUpdate(DecodeBatch(kUsbVariant, T, ready, 4), seam);
    EXPECT_FALSE(WritesRefused());
    EXPECT_EQ(PrinterStatusResult, 0);
}

}  // namespace

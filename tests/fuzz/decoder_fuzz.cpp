// Runs every prefix of the input, as a batch of its own, through every variant's decoder in both
// modes and checks what must hold for any bytes the printer could send. The input is copied into
// an allocation of its own length, and the bytes past the batch being decoded are poisoned, so a
// read before or past any batch is caught.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <sanitizer/asan_interface.h>

#include "StatusDecoder.h"
#include "Variant.h"

namespace {

constexpr size_t kMaxBatch = 256;  // the monitor reads at most 256 bytes at a time

[[noreturn]] void Fail(const char* what, const Variant& v, DecodeMode m, int n) {
    std::fprintf(stderr, "invariant broken: %s (variant %s, %s, n=%d)\n", what, v.name,
                 m == DecodeMode::Thermal ? "thermal" : "impact", n);
    std::abort();
}

#define REQUIRE(cond) \
    do {              \
        if (!(cond)) Fail(#cond, v, m, n); \
    } while (0)

bool Flag(const std::optional<int32_t>& w) { return !w || *w == 0 || *w == 1; }

// The identifier of the last whole reply (37 22, three printable bytes, 'F', NUL), or 0.
ReplyId LastReply(const uint8_t* b, int n) {
    ReplyId last = 0;
    const auto printable = [](uint8_t c) { return c >= 0x20 && c <= 0x7E; };
    for (int i = 0; i + 7 <= n; ++i) {
        if (b[i] == 0x37 && b[i + 1] == 0x22 && printable(b[i + 2]) && printable(b[i + 3]) &&
            printable(b[i + 4]) && b[i + 5] == 0x46 && b[i + 6] == 0) {
            last = static_cast<ReplyId>(b[i + 2]) << 16 | static_cast<ReplyId>(b[i + 3]) << 8 |
                   b[i + 4];
            i += 6;
        }
    }
    return last;
}

bool EndsWithOfflineReply(const uint8_t* b, int n) {
    return n >= 3 && b[n - 3] == 0x3B && b[n - 2] == 0x31 && b[n - 1] == 0x00;
}

void CheckOne(const Variant& v, DecodeMode m, const uint8_t* b, int n, const StatusUpdate& u) {
    const bool network = &v == &kEthernetVariant;
    const bool thermal = m == DecodeMode::Thermal;

    if (n == 0) REQUIRE(u == StatusUpdate{});
    REQUIRE(u.reply == LastReply(b, n));
    // A batch that ends with the reply decodes as the bytes before it: the reply is no status
    // block. Those bytes are checked as a prefix of their own.
    if (n >= 7 && b[n - 7] == 0x37 && b[n - 2] == 0x46) {
        StatusUpdate before = n > 7 ? DecodeBatch(v, m, b, n - 7) : StatusUpdate{};
        before.reply = u.reply;
        REQUIRE(u == before);
        return;
    }
    REQUIRE(Flag(u.coverOpen) && Flag(u.paperEmpty) && Flag(u.offline) && Flag(u.drawerOpened) &&
            Flag(u.error));
    // Offline (8) is decoded only from a printer that reports an error with its offline bit.
    REQUIRE(!u.status || *u.status == 0 || *u.status == 1 || *u.status == 2 || *u.status == 16 ||
            (*u.status == 8 && u.error && *u.error == 1 && n >= 4 && (b[n - 4] & 0x08) != 0));

    // A state change sets the five words together, as one of ready, cover open, paper end, near
    // end or an error. The one partial write is the USB short offline reply.
    if (u.coverOpen) {
        REQUIRE(u.paperEmpty && u.offline && u.status && u.error);
        const int32_t s = *u.status;
        REQUIRE(*u.coverOpen == (s == 1));
        REQUIRE(*u.paperEmpty == (s == 2));
        REQUIRE(*u.offline == (s == 1 || s == 2 || s == 8));
        REQUIRE(*u.error == (s == 8));
        REQUIRE(n >= 3);
    } else {
        REQUIRE(!u.paperEmpty && !u.error);
        if (u.offline) {
            REQUIRE(&v == &kUsbVariant && (n == 3 || n == 4) && EndsWithOfflineReply(b, n));
            REQUIRE(*u.offline == 1 && u.status && *u.status == 0);
        } else {
            REQUIRE(!u.status);
        }
    }
    REQUIRE(u.clearPowerOff == (network && u.coverOpen.has_value()));

    // The drawer comes with ready only, from a full block.
    if (u.drawerOpened) REQUIRE(n >= 4 && u.status && *u.status == 0 && u.coverOpen);
    if (u.resendEnable) {
        REQUIRE(thermal && v.drawer == DrawerRule::MajorityTieEnables);
        REQUIRE(&v == &kEthernetVariant || &v == &kParallelVariant);
        REQUIRE(!u.drawerOpened && u.status && *u.status == 0 && u.coverOpen);
    }
    // A ready block always decides the drawer, unless a thermal tie held it.
    if (n >= 4 && u.coverOpen && *u.status == 0)
        REQUIRE(u.drawerOpened || (thermal && (u.resendEnable || &v == &kUsbVariant)));

    // Short batches.
    if (n <= 2) REQUIRE(u == StatusUpdate{});
    if (n == 3) {
        if (&v == &kParallelVariant) {
            REQUIRE(u.status && *u.status == 0 && u.coverOpen && !u.drawerOpened);
        } else if (&v == &kUsbVariant) {
            REQUIRE(u.offline.has_value() == EndsWithOfflineReply(b, n) && !u.coverOpen);
        } else {
            REQUIRE(u == StatusUpdate{});
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxBatch) size = kMaxBatch;
    std::unique_ptr<uint8_t[]> input(size ? new uint8_t[size] : nullptr);
    if (size) std::memcpy(input.get(), data, size);
    // Longest batch first; each step poisons one more byte at the end.
    for (size_t len = size + 1; len-- > 0;) {
        const int n = static_cast<int>(len);
        const uint8_t* b = len ? input.get() : nullptr;
        ASAN_POISON_MEMORY_REGION(input.get() + len, size - len);

        for (DecodeMode m : {DecodeMode::Thermal, DecodeMode::Impact}) {
            StatusUpdate first;
            for (const Variant* vp : kAllVariants) {
                const Variant& v = *vp;
                if (len == size) {
                    // A failed read, and a null buffer, change nothing.
                    if (DecodeBatch(v, m, nullptr, n) != StatusUpdate{}) Fail("null", v, m, n);
                    if (DecodeBatch(v, m, b, -n - 1) != StatusUpdate{}) Fail("failed", v, m, n);
                }
                const StatusUpdate u = DecodeBatch(v, m, b, n);
                CheckOne(v, m, b, n, u);

                // Past the short-batch rules the impact decoder is the same for every variant.
                // Those rules see the bytes before a reply that ends the batch.
                int d = n;
                while (d >= 7 && b[d - 7] == 0x37 && b[d - 2] == 0x46) d -= 7;
                if (m == DecodeMode::Impact && d >= 4 && !(d == 4 && EndsWithOfflineReply(b, d))) {
                    StatusUpdate same = u;
                    same.clearPowerOff = false;
                    if (vp == kAllVariants[0]) {
                        first = same;
                    } else if (same != first) {
                        Fail("impact decoders disagree", v, m, n);
                    }
                }
            }
        }
    }
    ASAN_UNPOISON_MEMORY_REGION(input.get(), size);

    // The same bytes in reads of any size: every byte is decoded once at most, and what is kept
    // for the next read is never more than a reply lacking its last byte.
    SplitMessages split;
    uint8_t joined[SplitMessages::kMaxJoined];
    size_t at = 0;
    size_t decoded = 0;
    for (size_t step = 1; at < size; step = step % 13 + 1) {
        const size_t take = step < size - at ? step : size - at;
        const int whole = split.Join(input.get() + at, static_cast<int>(take), joined);
        at += take;
        if (whole < 0 || split.kept() < 0 || split.kept() > SplitMessages::kMaxKept) std::abort();
        decoded += static_cast<size_t>(whole);
        if (decoded + static_cast<size_t>(split.kept()) != at) std::abort();
    }
    return 0;
}

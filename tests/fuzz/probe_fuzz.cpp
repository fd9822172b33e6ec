// The open probe and the impact claim's probe against a printer that answers anything: the
// input is a script of what each read of the transport returns (bytes, nothing, or an error),
// whether the claim's NUL is taken, and whether the open probe pauses after a request. Both
// probes must send the requests they are meant to, read nothing past what a read returned, and
// decide as the reply rules say: the last byte of the first read with bytes counts; no bytes in
// four reads (open) or seven (claim) is silence.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Line.h"
#include "ReadinessProbe.h"
#include "StatusCodes.h"
#include "Timing.h"
#include "Transport.h"

// The probes take the port they act on; this one only stands for it.
struct Port {};

namespace {

Port g_port;

// One read of the script.
struct Read {
    long result;                 // what ReadPortPrv returns
    std::vector<uint8_t> bytes;  // its bytes, when result > 0
};

struct Script {
    bool nulTaken = true;
    uint32_t pauseMs = 20;  // the serial probe pauses after each request, the network one not
    std::vector<Read> reads;
    size_t next = 0;
    std::vector<uint8_t> sent;
    int readsDone = 0;
};

Script g_script;

Script Parse(const uint8_t* data, size_t size) {
    Script s;
    size_t at = 0;
    if (at < size) {
        s.nulTaken = (data[at] & 1) == 0;
        s.pauseMs = (data[at] & 2) != 0 ? 0 : 20;
        ++at;
    }
    while (at < size) {
        const uint8_t c = data[at++];
        if (c == 0xFF) {
            s.reads.push_back({BRELON_ERROR_IO_FAIL, {}});
        } else if (c == 0xFE) {
            s.reads.push_back({BRELON_ERROR_NOT_OPEN, {}});
        } else {
            size_t count = c % 40;
            if (count > size - at) count = size - at;
            s.reads.push_back({static_cast<long>(count), {data + at, data + at + count}});
            at += count;
        }
    }
    return s;
}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

#define REQUIRE(cond)             \
    do {                          \
        if (!(cond)) Fail(#cond); \
    } while (0)

// The reply rule, read off the script: the last byte that the first read with bytes among the
// next `reads` returned (at most `room` of them), or -1; the script's position moves past the
// reads the probe makes.
int Expected(const Script& s, size_t& at, int reads, size_t room) {
    for (int i = 0; i < reads; ++i) {
        const Read* r = at < s.reads.size() ? &s.reads[at] : nullptr;
        ++at;
        if (r != nullptr && r->result > 0) return r->bytes[std::min(r->bytes.size(), room) - 1];
    }
    return -1;
}

void Send(Port& port, const uint8_t* request, long length) {
    WritePort(port, request, length);
}

// The reply buffers of the two probes: a read returns at most this much (here the rest of that
// read is dropped).
constexpr size_t kOpenReplyRoom = 32;
constexpr size_t kClaimReplyRoom = 256;

const std::vector<uint8_t> kEot2{0x10, 0x04, 0x02};
const std::vector<uint8_t> kEot4{0x10, 0x04, 0x04};

std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

}  // namespace

// The transport as the probes see it.
long ReadPortPrv(Port&, uint8_t* readBuffer, long length, long minLength, long timeMillis) {
    REQUIRE(length > 0 && minLength == 1 && timeMillis > 0);
    // A real read may fill all of what it is given: the whole buffer is written, so a length
    // larger than the buffer is caught.
    std::memset(readBuffer, 0xA5, static_cast<size_t>(length));
    ++g_script.readsDone;
    if (g_script.next >= g_script.reads.size()) return 0;  // the printer is silent
    const Read& r = g_script.reads[g_script.next++];
    if (r.result <= 0) return r.result;
    const long n = r.result < length ? r.result : length;
    std::memcpy(readBuffer, r.bytes.data(), static_cast<size_t>(n));
    return n;
}

long WritePort(Port&, const uint8_t* writeBuffer, long length) {
    g_script.sent.insert(g_script.sent.end(), writeBuffer, writeBuffer + length);
    if (length == 1 && writeBuffer[0] == 0x00) return g_script.nulTaken ? 1 : 0;
    return length;
}

long ReadPort(Port& port, uint8_t* readBuffer, long length) {
    return ReadPortPrv(port, readBuffer, length, 1, 200);
}
long ClosePort(Port&) {
    return 0;
}
void LoopSleep(uint32_t) {}

// The probes mark their requests as the library's own commands; nothing is owed here.
namespace line {
CommandScope::CommandScope() = default;
CommandScope::~CommandScope() = default;
}  // namespace line

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Script script = Parse(data, size);

    // The open probe.
    g_script = script;
    const long opened = ReadinessProbe(g_port, &Send, script.pauseMs);
    size_t at = 0;
    const int cause = Expected(script, at, 4, kOpenReplyRoom);
    long want = BRELON_ERROR_NOT_OPEN;
    std::vector<uint8_t> sent = kEot2;
    if (cause >= 0 && (cause & 0x04)) {
        want = 1;
    } else if (cause >= 0) {
        sent = Join({kEot2, kEot4});
        const int paper = Expected(script, at, 4, kOpenReplyRoom);
        want = paper < 0 ? BRELON_ERROR_NOT_OPEN : (paper & 0x60) ? 2 : BRELON_ERROR_SUCCESS;
    }
    REQUIRE(opened == want);
    REQUIRE(g_script.sent == sent);
    REQUIRE(g_script.readsDone == static_cast<int>(at));

    // The claim's probe, on the same script.
    g_script = script;
    const long ready = DotClaim(g_port);
    at = 0;
    long wantReady = 0;
    sent = {0x00};
    if (script.nulTaken) {
        sent = Join({{0x00}, kEot2});
        const int offline = Expected(script, at, 7, kClaimReplyRoom);
        if (offline >= 0 && !(offline & 0x04)) {
            sent = Join({{0x00}, kEot2, kEot4});
            const int paper = Expected(script, at, 7, kClaimReplyRoom);
            wantReady = paper >= 0 && !(paper & 0x60) ? 1 : 0;
        }
    }
    REQUIRE(ready == wantReady);
    REQUIRE(g_script.sent == sent);
    REQUIRE(g_script.readsDone == static_cast<int>(at));
    return 0;
}

// Decoding of what the printer sends while it is claimed: the 4-byte automatic status blocks
// (GS a) and the process-ID reply (GS ( H). Pure: a batch and a variant in, a state change out.
#pragma once

#include <cstdint>
#include <optional>

#include "Variant.h"

enum class DecodeMode : uint8_t { Thermal, Impact };

// The identifier of a process-ID request, d1 d2 d3 of "d1 d2 d3 F" (the fourth byte is always
// 'F'), as d1 << 16 | d2 << 8 | d3. Printable bytes only, so never 0: kNoReply is no identifier.
using ReplyId = uint32_t;
inline constexpr ReplyId kNoReply = 0;

// The device-state words one batch changes; members left empty are not touched. The monitor
// applies it with ApplyStatusUpdate.
struct StatusUpdate {
    std::optional<int32_t> coverOpen;
    std::optional<int32_t> paperEmpty;
    std::optional<int32_t> offline;
    std::optional<int32_t> status;  // PrinterStatusResult
    std::optional<int32_t> drawerOpened;
    std::optional<int32_t> error;  // the printer stopped on an error: writes are refused
    ReplyId reply = kNoReply;      // the last process-ID reply of the batch, by its identifier
    bool clearPowerOff = false;    // network: a decoded state change clears m_bPowerOFF
    bool resendEnable = false;     // drawer tie: send GS a 255 and pause before the change

    bool operator==(const StatusUpdate&) const = default;
};

// The state changes a status block can bring. Error: the printer reports itself offline with an
// error or recovery bit (a cutter jam, an unrecoverable error, waiting for online recovery).
enum class PrinterCondition : uint8_t { Ready, CoverOpen, PaperEnd, NearEnd, Error };
void SetCondition(const Variant& v, PrinterCondition c, StatusUpdate& u);

// Process-ID detection, the short-batch rule, then the mode's decoder, on a batch of n bytes
// (n <= 0, a failed or empty read, changes nothing).
StatusUpdate DecodeBatch(const Variant& v, DecodeMode mode, const uint8_t* batch, int n);

// The identifier of a reply whose seven bytes start at reply (37 22 d1 d2 d3 'F' 00 with d1..d3
// printable), or kNoReply.
ReplyId ReplyIdAt(const uint8_t* reply);

// The four identifier bytes (d1 d2 d3 'F') of a request with this identifier.
void ReplyIdBytes(ReplyId id, uint8_t (&bytes)[4]);

// ---- Status blocks and replies split over two reads ----

// The printer sends a status block's four bytes together and a reply's seven, but a read can end
// between them. The end of a batch that is the start of a block or a reply is kept and put in
// front of the next read's bytes, so that the message is decoded once, whole; the rest of the
// batch is decoded now and never again.
class SplitMessages {
public:
    static constexpr int kMaxKept = 6;  // a reply lacking its last byte
    static constexpr int kMaxJoined = 256 + kMaxKept;

    // Joins what was kept with the n bytes just read into joined; returns how many of them to
    // decode now (0 or more) and keeps the unfinished end for the next call. n <= 0 (nothing
    // read) keeps what was kept and decodes nothing.
    int Join(const uint8_t* batch, int n, uint8_t (&joined)[kMaxJoined]);
    // Forgets what was kept (a new connection: the rest of that message will never come).
    void Forget() { kept_ = 0; }
    int kept() const { return kept_; }

    // Where the unfinished message at the end of bytes[0, n) begins: n when there is none.
    static int UnfinishedFrom(const uint8_t* bytes, int n);

private:
    uint8_t tail_[kMaxKept] = {};
    int kept_ = 0;
};

// How the monitor sends GS a 255 on its own connection when a drawer tie asks for it.
struct EnableSeam {
    void (*send)(void* context);
    void* context;
};

struct DeviceState;

// Writes the update into a port's device state (printer::Report does, PrinterState.h). A requested
// enable is sent through the seam and followed by a 100 ms pause before any word is written. A
// reply counts only when it answers the request of a completion wait in progress.
void ApplyStatusUpdate(DeviceState& state, const StatusUpdate& u, const EnableSeam& seam);

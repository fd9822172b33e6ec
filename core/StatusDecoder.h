// Decoding of what the printer sends while it is claimed: the 4-byte automatic status blocks
// (GS a) and the process-ID reply (GS ( H). Pure: a batch and a variant in, a state change out.
#pragma once

#include <cstdint>
#include <optional>

#include "Variant.h"

enum class DecodeMode : uint8_t { Thermal, Impact };

// The device-state words one batch changes; members left empty are not touched. The monitor
// applies it with ApplyStatusUpdate.
struct StatusUpdate {
    std::optional<int32_t> coverOpen;
    std::optional<int32_t> paperEmpty;
    std::optional<int32_t> offline;
    std::optional<int32_t> status;  // PrinterStatusResult
    std::optional<int32_t> drawerOpened;
    bool outputComplete = false;  // the process-ID reply was seen
    bool clearPowerOff = false;   // network: a decoded state change clears m_bPowerOFF
    bool resendEnable = false;    // drawer tie: send GS a 255 and pause before the change

    bool operator==(const StatusUpdate&) const = default;
};

// The four state changes a status block can bring.
enum class PrinterCondition : uint8_t { Ready, CoverOpen, PaperEnd, NearEnd };
void SetCondition(const Variant& v, PrinterCondition c, StatusUpdate& u);

// Process-ID detection, the short-batch rule, then the mode's decoder, on a batch of n bytes
// (n <= 0, a failed or empty read, changes nothing).
StatusUpdate DecodeBatch(const Variant& v, DecodeMode mode, const uint8_t* batch, int n);

// How the monitor sends GS a 255 on its own connection when a drawer tie asks for it.
struct EnableSeam {
    void (*send)(void* context);
    void* context;
};

// Writes the update into the device state. A requested enable is sent through the seam and
// followed by a 100 ms pause before any word is written.
void ApplyStatusUpdate(const StatusUpdate& u, const EnableSeam& seam);

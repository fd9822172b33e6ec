// Splits the receive buffer of an ESC/POS printer into commands, in buffer order, one byte at a
// time. Commands with parameters and data (graphics, bar codes, GS ( functions) are measured
// by their length fields, so their data, which may hold any byte, never shows up as text or as
// another command. Pure: no I/O, no clock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "prnsim/Bytes.h"

namespace prnsim {

struct Command {
    enum class Kind {
        Text,          // one printable character or LF, label is the character itself
        Init,          // ESC @
        AutoStatus,    // GS a n: arg = n
        ProcessId,     // GS ( H fn 48: data = d1..d4
        DrawerKick,    // ESC p m t1 t2: pin, onMs, offMs
        PaperSensor,   // GS r 1
        DrawerSensor,  // GS r 2
        Other,         // anything else: only a label
    };
    Kind kind = Kind::Other;
    std::string label;  // text view: "[ESC @]", "[GS V cut]", "A", "\n"
    int arg = 0;
    int pin = 0;
    int onMs = 0;
    int offMs = 0;
    Bytes data;
};

class CommandParser {
  public:
    // Feeds the next byte of the buffer; returns a command when this byte completes one.
    std::optional<Command> feed(uint8_t byte);
    // True when no command is partly read.
    bool idle() const { return phase_ == Phase::Start; }
    void reset();

  private:
    enum class Phase { Start, Header, Data, UntilNul };
    // Kept from a command's data (GS ( H needs six); the rest is only counted.
    static constexpr size_t kKeptData = 16;

    std::optional<Command> afterHeaderByte();
    Command finish();

    Phase phase_ = Phase::Start;
    Bytes cmd_;  // prefix, parameters and the first kKeptData data bytes
    size_t headerLength_ = 0;
    uint64_t dataLeft_ = 0;
    uint64_t dataLength_ = 0;
};

}  // namespace prnsim

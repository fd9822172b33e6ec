// The virtual printer's command parser on any bytes a host may send. Nothing is read or kept
// past what the parser allows itself, every command it reports is well formed, and the parser
// is back at the start of a command after each one.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "prnsim/CommandParser.h"

namespace {

[[noreturn]] void Fail(const char* what, size_t at) {
    std::fprintf(stderr, "invariant broken: %s (byte %zu)\n", what, at);
    std::abort();
}

#define REQUIRE(cond)                 \
    do {                              \
        if (!(cond)) Fail(#cond, at); \
    } while (0)

bool IsPrefix(uint8_t b) {
    return b == 0x10 || b == 0x1B || b == 0x1C || b == 0x1D;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using prnsim::Command;
    prnsim::CommandParser parser;
    prnsim::CommandParser twin;  // fed the same bytes after a reset: the same commands
    bool startOfCommand = true;
    size_t commands = 0;
    for (size_t at = 0; at < size; ++at) {
        const uint8_t byte = data[at];
        const bool began = startOfCommand;
        const std::optional<Command> command = parser.feed(byte);
        const std::optional<Command> same = twin.feed(byte);
        REQUIRE(command.has_value() == same.has_value());
        if (!command) {
            REQUIRE(!parser.idle());
            startOfCommand = false;
            continue;
        }
        ++commands;
        REQUIRE(parser.idle());
        REQUIRE(command->label == same->label && command->data == same->data);
        REQUIRE(!command->label.empty() && command->label.size() < 128);
        // Only a data byte outside a command is text; a prefix always begins a command.
        REQUIRE((command->kind == Command::Kind::Text) == (began && !IsPrefix(byte)));
        if (command->kind != Command::Kind::Text) {
            REQUIRE(command->label.front() == '[' && command->label.back() == ']');
        }
        REQUIRE(command->data.size() <= 16);
        switch (command->kind) {
            case Command::Kind::ProcessId:
                REQUIRE(command->data.size() == 4);
                break;
            case Command::Kind::DrawerKick:
                REQUIRE(command->pin == 2 || command->pin == 5);
                REQUIRE(command->onMs >= 0 && command->onMs <= 510);
                REQUIRE(command->offMs >= command->onMs && command->offMs <= 510);
                break;
            case Command::Kind::AutoStatus:
                REQUIRE(command->arg >= 0 && command->arg <= 255);
                break;
            default:
                break;
        }
        startOfCommand = true;
        // Every few commands the twin starts over: a parser at a command boundary that is
        // reset parses the rest the same way.
        if (commands % 3 == 0) twin.reset();
    }
    return 0;
}

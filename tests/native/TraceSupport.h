// The byte trace (PRN_TRACE) as the native tests read it: each line taken apart, and a file
// read line by line, a line not in the trace's format failing the test.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "prnsim/Bytes.h"

namespace prntest {

// One line of the trace, taken apart.
struct TraceLine {
    std::string text;
    uint64_t micros = 0;
    std::string library;
    std::string role;
    long tid = 0;
    std::string what;  // out, in, open, claim, close
    // A transfer's count and the bytes it shows; cut when it ends in "...".
    long count = 0;
    bool print = false;
    prnsim::Bytes bytes;
    bool cut = false;

    bool transfer() const { return what == "out" || what == "in"; }
    bool shows(const prnsim::Bytes& sequence) const {
        return std::search(bytes.begin(), bytes.end(), sequence.begin(), sequence.end()) !=
               bytes.end();
    }
};

inline bool Digits(const std::string& field) {
    return !field.empty() && std::all_of(field.begin(), field.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
}

inline bool HexByte(const std::string& field, uint8_t& byte) {
    if (field.size() != 2 || !std::all_of(field.begin(), field.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) || (c >= 'a' && c <= 'f');
        })) {
        return false;
    }
    byte = static_cast<uint8_t>(std::stoul(field, nullptr, 16));
    return true;
}

// The line taken apart, or nullopt when it is not in the trace's format.
inline std::optional<TraceLine> Parse(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> f;
    for (std::string field; in >> field;) f.push_back(field);
    if (f.size() < 5 || !Digits(f[0]) || !Digits(f[3])) return std::nullopt;
    if (f[2] != "caller" && f[2] != "monitor") return std::nullopt;
    TraceLine line;
    line.text = text;
    line.micros = std::stoull(f[0]);
    line.library = f[1];
    line.role = f[2];
    line.tid = std::stol(f[3]);
    line.what = f[4];
    if (line.what == "open" || line.what == "claim" || line.what == "close") return line;
    // The printer's report changing, and why: "state <status> <refusal> <why>"; a write refused
    // ("refused <why>") or ended early ("gave up <why> <count>").
    if (line.what == "state") return f.size() == 8 ? std::optional(line) : std::nullopt;
    if (line.what == "refused") return f.size() == 6 ? std::optional(line) : std::nullopt;
    if (line.what == "gave") {
        return f.size() == 8 && f[5] == "up" ? std::optional(line) : std::nullopt;
    }
    if (!line.transfer() || f.size() < 7 || !Digits(f[5])) return std::nullopt;
    line.count = std::stol(f[5]);
    size_t next = 6;
    if (f[next] == "print") {
        line.print = true;
        ++next;
    }
    for (; next < f.size(); ++next) {
        if (f[next] == "..." && next + 1 == f.size()) {
            line.cut = true;
            break;
        }
        uint8_t byte = 0;
        if (!HexByte(f[next], byte)) return std::nullopt;
        line.bytes.push_back(byte);
    }
    return line;
}

// Every line of the file; a line not in the format fails the test.
inline std::vector<TraceLine> ReadTrace(const std::string& path) {
    std::vector<TraceLine> lines;
    std::ifstream in(path);
    for (std::string text; std::getline(in, text);) {
        if (auto line = Parse(text)) {
            lines.push_back(*line);
        } else {
            ADD_FAILURE() << "not a trace line: " << text;
        }
    }
    return lines;
}

}  // namespace prntest

// What a failed open means, in words a support engineer can act on. Looked at only after the
// library has given up, so nothing here stands between the library and the printer.
#pragma once

#include <string>

#include "PortLibrary.h"

namespace prnctl {

struct Diagnosis {
    std::string what;  // the finding, one sentence
    std::string todo;  // what to do about it, one sentence
};

// The open of port with settings gave result (negative).
Diagnosis DiagnoseOpen(const Transport& transport, const std::string& port,
                       const std::string& settings, long result);

// "SOCKET:192.168.1.50", "192.168.1.50" or "192.168.1.50:9100" as the library's port text
// ("SOCKET:" and the address) and settings (the TCP port; 9100 when none is given). False when
// the text is no IPv4 address or the port is no number from 1 to 65535.
bool NetworkPort(const std::string& text, const std::string& settings, std::string& portText,
                 std::string& tcpPort);

}  // namespace prnctl

// The two open strings of the Java side for a network printer: "SOCKET:" and a numeric IPv4
// address, and a decimal TCP port. Pure: no socket, no state.
#pragma once

#include <netinet/in.h>

// The address text behind the "SOCKET:" prefix (case matters), or nullptr without it.
const char* AddressBehindPrefix(const char* portText);

// A TCP port in decimal, 1 to 65535, blanks around it allowed; -1 for anything else.
int ParsePortNumber(const char* text);

// An IPv4 address in the numbers-and-dots notation (inet_addr's), in network byte order. False
// for text that notation rejects, and for the broadcast address, which names no printer (and is
// what inet_addr answers for every text it rejects).
bool ParseAddress(const char* text, in_addr_t& address);

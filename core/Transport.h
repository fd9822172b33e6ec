// The operations every transport provides under the same names, each on one port. Results are
// BrelonError codes or counts; the transport files document what each returns in detail.
#pragma once

#include <cstdint>

struct Port;

long ReadPortPrv(Port& port, uint8_t* readBuffer, long length, long minLength, long timeMillis);
long ReadPort(Port& port, uint8_t* readBuffer, long length);
long WritePort(Port& port, const uint8_t* writeBuffer, long length);
long ClosePort(Port& port);

// The bridge's side of each transport: how the two strings of the Java open call become an
// open, and how the Java write reaches the line.
long OpenFromJava(Port& port, const char* portText, const char* settingsText);
long WriteFromJava(Port& port, const uint8_t* data, long length);

// The operations every transport provides under the same names. Results are BrelonError
// codes or counts; the serial and network files document what each returns in detail.
#pragma once

#include <cstdint>

long ReadPortPrv(uint8_t* readBuffer, long length, long minLength, long timeMillis);
long ReadPort(uint8_t* readBuffer, long length);
long WritePort(const uint8_t* writeBuffer, long length);
long ClosePort();

// The bridge's side of each transport: how the two strings of the Java open call become an
// open, and how the Java write reaches the line.
long OpenFromJava(const char* portText, const char* settingsText);
long WriteFromJava(const uint8_t* data, long length);

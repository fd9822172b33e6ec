// Status codes reported to the Java side and error codes of the transport operations.
#pragma once

#include <cstdint>

// PrinterStatusResult values.
enum PrinterStatus : int32_t {
    kStatusReady = 0,
    kStatusCoverOpen = 1,
    kStatusPaperEnd = 2,
    kStatusOffline = 8,
    kStatusPaperNearEnd = 16,
};

// Results of the transport operations. 0 to -3 are what the transports return; _openPort also
// returns BRELON_ERROR_RUNTIME when every port of its own a library gives out is open. The rest
// are part of the vocabulary the Java side knows.
enum BrelonError : int32_t {
    BRELON_ERROR_SUCCESS = 0,
    BRELON_ERROR_NOT_OPEN = -1,
    BRELON_ERROR_IO_FAIL = -2,
    BRELON_ERROR_NOT_AVAILABLE = -3,
    BRELON_ERROR_DLE = -4,
    BRELON_ERROR_NAK = -5,
    BRELON_ERROR_NO_RESPONSE = -6,
    BRELON_ERROR_RUNTIME = -7,
};

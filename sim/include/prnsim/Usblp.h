// What a USB printer node (the kernel's usblp driver) answers that the C library's headers do
// not name, for the tests and the modem shim that stands in for such a node on a pty.
#pragma once

#include <sys/ioctl.h>

#include <cstddef>

namespace prnsim {

// LPIOC_GET_DEVICE_ID(len): copies the printer's IEEE 1284 device ID into a buffer of len
// bytes: two bytes of big-endian length (which count themselves), then the ID text, e.g.
// "MFG:Acme;MDL:TM1;CMD:ESCPOS;", cut to len. The request carries len in its size field.
constexpr unsigned long usblpDeviceIdRequest(size_t length) {
    return _IOC(_IOC_READ, 'P', 1, length);
}
constexpr unsigned kUsblpDeviceIdNumber = 1;
constexpr char kUsblpRequestType = 'P';

}  // namespace prnsim

// In an executable with the modem shim linked in (prnmodem_interpose), what the shim has done to
// stand-in USB printer nodes so far: the opens it refused with EBUSY because a descriptor of this
// process had the node open already, and the reads it failed with EIO. Not exported by the
// preloaded shim.
extern "C" unsigned long prnsim_usblp_refused_opens();
extern "C" unsigned long prnsim_usblp_failed_reads();

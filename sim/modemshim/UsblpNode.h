// The modem shim's USB printer nodes (UsblpNode.cpp): what its ioctl, read and close hand over.
#pragma once

#include <sys/ioctl.h>
#include <sys/types.h>

#include <atomic>

#include "prnsim/Usblp.h"

namespace prnshim {

// Stand-in nodes that a descriptor of this process has open; 0 keeps read and close on their
// fast path.
extern std::atomic<int> gUsblpOpen;

inline bool usblpNodesOpen() {
    return gUsblpOpen.load(std::memory_order_acquire) != 0;
}

// A read of fd: false, pass it on; true, it fails as *result says (the read error armed).
bool serveUsblpRead(int fd, ssize_t* result);

// fd is being closed: the node it had open may be opened again.
void forgetUsblpOpen(int fd);

inline bool isDeviceIdRequest(unsigned long request) {
    return _IOC_TYPE(request) == static_cast<unsigned>(prnsim::kUsblpRequestType) &&
           _IOC_NR(request) == prnsim::kUsblpDeviceIdNumber;
}

// LPIOC_GET_DEVICE_ID on fd. False: not a stand-in node, pass it on.
bool serveDeviceId(int fd, unsigned long request, void* arg, int* result);

}  // namespace prnshim

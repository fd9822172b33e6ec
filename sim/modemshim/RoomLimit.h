// The modem shim's lines with little room (RoomLimit.cpp): what its opens, write and close hand
// over.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>

#include "StateFile.h"

namespace prnshim {

// Descriptors of listed lines this process has opened; 0 keeps write and close on their fast
// path.
extern std::atomic<int> gLinesOpen;

inline bool listedLinesOpen() {
    return gLinesOpen.load(std::memory_order_acquire) != 0;
}

// fd has just been opened and names a line the state file lists: its writes see the line's room.
void noteLineOpen(int fd, const Line& line);

// fd is being closed.
void forgetLineOpen(int fd);

// How many of size bytes a write on the line may hand over now: size when the line has no room
// field, 0 when the room granted last is used up.
size_t roomFor(const Line& line, const Entry& entry, size_t size);

// A write on the line handed over `taken` bytes under the entry's room.
void tookRoom(const Line& line, const Entry& entry, ssize_t taken);

// A write of fd, a line opened through the shim that is no parallel port: false, pass it on
// (no room field); true, done as *result says.
bool serveRoomWrite(int fd, const void* data, size_t size, ssize_t* result);

}  // namespace prnshim

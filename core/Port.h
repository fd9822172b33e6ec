// A printer's port: everything the natives, the transport and the monitor know of one printer.
// Each library keeps a fixed table of them. Slot 0 is the shared port, on which every instance
// made with the public constructor acts, as the Java side has always used the library; the other
// slots are ports of their own, taken by an open and given back by its close. A port's record in
// the transport (its descriptor, its device path, its connection) is the transport's own, at the
// same slot. Nothing of one port is shared with another but the table itself.
#pragma once

#include <atomic>
#include <cstdint>

#include "DeviceState.h"
#include "Line.h"
#include "StatusMonitor.h"

// Ports of their own a library gives out at once, besides the shared one.
inline constexpr uint32_t kOwnPorts = 256;
inline constexpr uint32_t kSharedSlot = 0;
// The port of an instance that has none now (not opened yet, or closed): every call on it
// behaves as on a closed port, and it is never opened.
inline constexpr uint32_t kClosedSlot = kOwnPorts + 1;
inline constexpr uint32_t kPortSlots = kOwnPorts + 2;

struct Port {
    Port();  // knows its slot in the library's table
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    const uint32_t slot;
    DeviceState state;
    line::Owner line;
    MonitorThread monitor;
    // Every release counts here: a completion wait ends on any release after it began, even
    // when a claim has cleared m_Terminating again since.
    std::atomic<uint32_t> releases{0};

    bool shared() const { return slot == kSharedSlot; }
};

Port& PortAt(uint32_t slot);  // slot < kPortSlots
inline Port& SharedPort() { return PortAt(kSharedSlot); }
inline Port& ClosedPort() { return PortAt(kClosedSlot); }

// ---- Ports of their own, as the Java side holds them ----

// A handle names a port of its own and the time it was taken: a handle given back is never
// taken for another port's, even when its slot is given out again.
using PortHandle = int64_t;
inline constexpr PortHandle kSharedPortHandle = 0;  // the shared port
inline constexpr PortHandle kNoPortHandle = -1;     // a port of its own, none taken now

// A free slot for an open: its handle, or kNoPortHandle when kOwnPorts are taken already.
PortHandle TakePort();
// The close is done: the handle names nothing from now on; the slot is free again once no call
// holds it.
void GiveBack(PortHandle handle);
// The port of a handle, held for one call (Release it after); nullptr for a handle that was
// given back, or never taken.
Port* HoldPort(PortHandle handle);
void ReleasePort(Port& port);
// The handle still names its port (it was not given back meanwhile).
bool StillTaken(PortHandle handle);
// How many ports of their own are taken now.
uint32_t PortsTaken();

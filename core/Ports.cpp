#include "MutexHold.h"
#include "Port.h"

namespace {

Port g_ports[kPortSlots];

// Which ports of their own are given out, under one small lock that nothing else is taken under
// (no port's I/O ever waits for it).
struct SlotUse {
    bool taken = false;
    int calls = 0;            // calls in progress that hold the port
    uint32_t generation = 1;  // a new one every time the slot is given out
};
pthread_mutex_t g_slotLock = PTHREAD_MUTEX_INITIALIZER;
SlotUse g_slots[kPortSlots];
uint32_t g_taken = 0;
uint32_t g_nextSlot = 1;  // given out in turn, so that a slot just given back rests a while

constexpr int kSlotBits = 16;
static_assert(kPortSlots < (1u << kSlotBits));

PortHandle HandleOf(uint32_t slot, uint32_t generation) {
    return static_cast<PortHandle>(static_cast<uint64_t>(generation) << kSlotBits | slot);
}

bool Own(uint32_t slot) { return slot != kSharedSlot && slot != kClosedSlot && slot < kPortSlots; }

}  // namespace

Port::Port() : slot(static_cast<uint32_t>(this - g_ports)) {}

Port& PortAt(uint32_t slot) { return g_ports[slot < kPortSlots ? slot : kClosedSlot]; }

PortHandle TakePort() {
    const MutexHold hold(g_slotLock);
    if (g_taken >= kOwnPorts) return kNoPortHandle;
    for (uint32_t tried = 0; tried < kOwnPorts; ++tried) {
        const uint32_t slot = g_nextSlot;
        g_nextSlot = slot % kOwnPorts + 1;
        SlotUse& use = g_slots[slot];
        // A slot still held by a late call on a handle given back waits until that call is out.
        if (use.taken || use.calls > 0) continue;
        use.taken = true;
        ++use.generation;
        ++g_taken;
        Port& port = g_ports[slot];
        port.state.Reset();
        return HandleOf(slot, use.generation);
    }
    return kNoPortHandle;
}

namespace {

// The slot a handle names, if it names one now.
bool Names(PortHandle handle, uint32_t& slot) {
    if (handle <= 0) return false;
    slot = static_cast<uint32_t>(handle & ((1 << kSlotBits) - 1));
    const auto generation = static_cast<uint32_t>(static_cast<uint64_t>(handle) >> kSlotBits);
    return Own(slot) && g_slots[slot].taken && g_slots[slot].generation == generation;
}

}  // namespace

void GiveBack(PortHandle handle) {
    const MutexHold hold(g_slotLock);
    uint32_t slot = 0;
    if (!Names(handle, slot)) return;
    g_slots[slot].taken = false;
    ++g_slots[slot].generation;  // the handle names nothing from now on
    --g_taken;
}

Port* HoldPort(PortHandle handle) {
    const MutexHold hold(g_slotLock);
    uint32_t slot = 0;
    if (!Names(handle, slot)) return nullptr;
    ++g_slots[slot].calls;
    return &g_ports[slot];
}

bool StillTaken(PortHandle handle) {
    const MutexHold hold(g_slotLock);
    uint32_t slot = 0;
    return Names(handle, slot);
}

void ReleasePort(Port& port) {
    if (!Own(port.slot)) return;
    const MutexHold hold(g_slotLock);
    --g_slots[port.slot].calls;
}

uint32_t PortsTaken() {
    const MutexHold hold(g_slotLock);
    return g_taken;
}

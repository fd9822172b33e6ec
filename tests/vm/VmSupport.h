// What the cases on the test machine share: where its nodes are, the gadget's binding, and the
// figures they print.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "DevicePrinter.h"
#include "LineTestSupport.h"

namespace prnvm {

// $name, or fallback when it is not set.
inline std::string Env(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

inline bool Exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// The USB gadget: bound to the dummy controller it is plugged in, unbound it is unplugged (the
// host's driver sees a disconnect, and its node vanishes).
inline bool PlugGadget(bool plugged) {
    std::ofstream udc(Env("PRN_VM_GADGET", "/sys/kernel/config/usb_gadget/prn") + "/UDC");
    udc << (plugged ? Env("PRN_VM_UDC", "dummy_udc.0") : "") << "\n";
    udc.flush();
    return static_cast<bool>(udc);
}

// A figure of a case, on a line of its own.
template <class... Args>
void Figure(const char* format, Args... args) {
    std::printf("  ");
    std::printf(format, args...);
    std::printf("\n");
    std::fflush(stdout);
}

// A case on a host node whose far end (a gadget node) the virtual printer serves.
class GadgetNodeTest : public prntest::NativePortTest {
  protected:
    GadgetNodeTest(const char* javaClass, std::string hostNode, const std::string& gadgetNode,
                   bool tty)
        : NativePortTest(javaClass), node(std::move(hostNode)), printer(gadgetNode, tty) {}
    void SetUp() override {
        ASSERT_TRUE(lib.ok()) << lib.error();
        ASSERT_TRUE(prntest::WaitFor([&] { return Exists(node) && printer.isOpen(); },
                                     std::chrono::seconds(10)))
            << node << " or the gadget's node is not there";
    }
    void TearDown() override {
        if (lib.ok()) ClosePort();
    }

    const std::string node;
    DevicePrinter printer;
};

}  // namespace prnvm

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

// The gadget's printer function: its pnp_string is the IEEE 1284 device ID that the host's usblp
// asks the gadget for when it binds, so a change between an unbind and a bind makes the
// gadget another printer.
inline std::string PrinterFunction() {
    return Env("PRN_VM_PRINTER_FUNCTION",
               "/sys/kernel/config/usb_gadget/prn/functions/printer.usb0");
}

// This kernel's printer function puts the string's own length in the reply's two length bytes
// and sends only that many bytes, those two included: the last two characters never leave, and
// the length does not count itself. Two characters more in pnp_string make its reply what a
// printer sends (the length counting its two bytes, then the whole ID).
constexpr char kPnpPadding[] = "  ";

// The device ID the gadget gives, from what configfs shows (without the line's end and the
// padding).
inline std::string GadgetDeviceId() {
    std::ifstream in(PrinterFunction() + "/pnp_string");
    std::string id;
    std::getline(in, id);
    const size_t padding = sizeof kPnpPadding - 1;
    return id.size() >= padding ? id.substr(0, id.size() - padding) : "";
}

// Sets the device ID for the next bind; written without a line's end, which the function would
// keep as part of the ID.
inline bool SetGadgetDeviceId(const std::string& id) {
    std::ofstream out(PrinterFunction() + "/pnp_string");
    out << id << kPnpPadding;
    out.flush();
    return static_cast<bool>(out);
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

#include "Natives.h"

#include <type_traits>

namespace prntest {

std::string ResolveNatives(void* handle, const std::string& javaClass, Natives& natives) {
    natives = {};
    std::string missing;
    const std::string prefix = "Java_com_keldo_jpos_JNativePort_" + javaClass + "__1";
    auto resolve = [&](auto& slot, const char* method) {
        using Function = std::remove_reference_t<decltype(slot)>;
        slot = SymbolOf<Function>(handle, prefix + method);
        if (slot == nullptr) missing += (missing.empty() ? "" : ", ") + prefix + method;
    };
    resolve(natives.openPort, "openPort");
    resolve(natives.claim, "claim");
    resolve(natives.release, "release");
    resolve(natives.closePort, "closePort");
    resolve(natives.readData, "readData");
    resolve(natives.writeData, "writeData");
    resolve(natives.getPrinterStatus, "getPrinterStatus");
    resolve(natives.getCashDrawerStatus, "getCashDrawerStatus");
    resolve(natives.openDrawer, "OpenDrawer");
    resolve(natives.waitForUntilDrawerClose, "WaitForUntilDrawerClose");
    resolve(natives.waitForCompletePrinting, "WaitForCompletePrinting");
    return missing;
}

}  // namespace prntest

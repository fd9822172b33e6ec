#include "PortLibrary.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace prnctl {
namespace {

using OnUnload = void (*)(JavaVM*, void*);

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// The folder of the running executable ("" when unknown).
std::string ExecutableDir() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "";
    path[n] = '\0';
    char* slash = std::strrchr(path, '/');
    if (slash == nullptr) return "";
    *slash = '\0';
    return path;
}

}  // namespace

const std::vector<Transport>& Transports() {
    static const std::vector<Transport> kTransports = {
        {"serial", "libprnserial.so", "serial", "JNativeCommonPort4LinuxSerial", "/dev/ttyUSB0",
         "dialout"},
        {"net", "libprnnet.so", "ethernet", "JNativeCommonPort4LinuxEthernet", "192.168.1.50", ""},
        {"usb", "libprnusb.so", "usb", "JNativeCommonPort4LinuxUSB", "/dev/usb/lp0", "lp"},
        {"parallel", "libprnparallel.so", "parallel", "JNativeCommonPort4LinuxParallel",
         "/dev/parport0", "lp"},
    };
    return kTransports;
}

const Transport* FindTransport(const std::string& name) {
    for (const Transport& t : Transports()) {
        if (name == t.name) return &t;
    }
    return nullptr;
}

std::string LocateLibrary(const Transport& transport, const std::string& explicitFile) {
    if (!explicitFile.empty()) return explicitFile;
    if (const char* dir = std::getenv("PRN_LIB_DIR"); dir != nullptr && *dir != '\0') {
        return std::string(dir) + "/" + transport.library;
    }
    const std::string bin = ExecutableDir();
    const std::string installed = bin + "/../lib/prnjpos/" + transport.library;
    if (Exists(installed)) return installed;
    const std::string built = bin + "/../jni/" + transport.buildDir + "/" + transport.library;
    if (Exists(built)) return built;
    return installed;  // named in the error
}

PortLibrary::~PortLibrary() {
    if (handle_ == nullptr) return;
    // What the JVM does when the port classes' loader goes: the library stops its monitor and
    // closes its port.
    if (const auto onUnload = prntest::SymbolOf<OnUnload>(handle_, "JNI_OnUnload")) onUnload(jni_.vm(), nullptr);
    dlclose(handle_);
}

bool PortLibrary::load(const std::string& path, const Transport& transport) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        error_ = why ? why : ("cannot load " + path);
        return false;
    }
    const std::string missing = prntest::ResolveNatives(handle_, transport.javaClass, natives_);
    if (!missing.empty()) error_ = path + " lacks " + missing;
    return error_.empty();
}

long PortLibrary::openPort(const std::string& port, const std::string& settings) {
    const auto self = prntest::FakeJni::NewObject();
    const auto portText = prntest::FakeJni::NewString(port);
    const auto settingsText = prntest::FakeJni::NewString(settings);
    return static_cast<long>(
        natives_.openPort(jni_.env(), self.get(), portText.get(), settingsText.get()));
}

long PortLibrary::claim(long timeout, bool thermal) {
    const auto self = prntest::FakeJni::NewObject();
    return static_cast<long>(natives_.claim(jni_.env(), self.get(), timeout, thermal ? JNI_TRUE : JNI_FALSE));
}

void PortLibrary::release() {
    const auto self = prntest::FakeJni::NewObject();
    natives_.release(jni_.env(), self.get());
}

void PortLibrary::closePort() {
    const auto self = prntest::FakeJni::NewObject();
    natives_.closePort(jni_.env(), self.get());
}

int PortLibrary::readData(std::vector<uint8_t>& into, int room) {
    const auto self = prntest::FakeJni::NewObject();
    const auto array = prntest::FakeJni::NewByteArray(std::vector<int8_t>(static_cast<size_t>(room)));
    const jint got = natives_.readData(jni_.env(), self.get(), array.get(), room, 0);
    const std::vector<int8_t> elements = array->snapshot();
    into.assign(elements.begin(), elements.begin() + (got > 0 ? got : 0));
    return got;
}

int PortLibrary::writeData(const uint8_t* bytes, int length) {
    const auto self = prntest::FakeJni::NewObject();
    const auto array = prntest::FakeJni::NewByteArray(std::vector<int8_t>(bytes, bytes + length));
    return natives_.writeData(jni_.env(), self.get(), array.get(), length, 0);
}

int PortLibrary::printerStatus() {
    const auto self = prntest::FakeJni::NewObject();
    return natives_.getPrinterStatus(jni_.env(), self.get(), 0);
}

int PortLibrary::drawerStatus() {
    const auto self = prntest::FakeJni::NewObject();
    return natives_.getCashDrawerStatus(jni_.env(), self.get(), 0);
}

int PortLibrary::openDrawer(long pin, long onMs, long offMs) {
    const auto self = prntest::FakeJni::NewObject();
    return natives_.openDrawer(jni_.env(), self.get(), pin, onMs, offMs);
}

bool PortLibrary::waitForCompletePrinting() {
    const auto self = prntest::FakeJni::NewObject();
    return natives_.waitForCompletePrinting(jni_.env(), self.get(), 0) == JNI_TRUE;
}

}  // namespace prnctl

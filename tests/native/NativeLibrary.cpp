#include "NativeLibrary.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <type_traits>

namespace prntest {
namespace {

using OnLoad = jint (*)(JavaVM*, void*);
using OnUnload = void (*)(JavaVM*, void*);

// The versions a JVM of today accepts from JNI_OnLoad.
bool SupportedVersion(jint version) {
    switch (version) {
        case JNI_VERSION_1_2:
        case JNI_VERSION_1_4:
        case JNI_VERSION_1_6:
        case JNI_VERSION_1_8:
        case JNI_VERSION_9:
        case JNI_VERSION_10:
            return true;
        default:
            return false;
    }
}

std::vector<int8_t> AsJava(const std::vector<uint8_t>& bytes) {
    return {bytes.begin(), bytes.end()};
}

}  // namespace

NativeLibrary::~NativeLibrary() {
    if (loaded()) unload();
}

bool NativeLibrary::load(const std::string& path, const std::string& javaClass) {
    if (loaded()) unload();
    path_ = path;
    error_.clear();
    natives_ = {};
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        error_ = "dlopen(" + path + "): " + (why ? why : "failed");
        return false;
    }
    if (const auto onLoad = SymbolOf<OnLoad>(handle_, "JNI_OnLoad")) {
        const jint version = onLoad(jni_.vm(), nullptr);
        if (!SupportedVersion(version)) {
            error_ =
                path + ": JNI_OnLoad returned unsupported JNI version " + std::to_string(version);
            return false;
        }
    }

    error_ = ResolveNatives(handle_, javaClass, natives_);
    if (!error_.empty()) error_ = path + " lacks " + error_;
    return error_.empty();
}

bool NativeLibrary::unload() {
    if (!loaded()) return false;
    if (const auto onUnload = SymbolOf<OnUnload>(handle_, "JNI_OnUnload")) {
        onUnload(jni_.vm(), nullptr);
    }
    natives_ = {};
    const bool closed = dlclose(handle_) == 0;
    handle_ = nullptr;
    return closed;
}

bool NativeLibrary::Mapped(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) return false;
    dlclose(handle);
    return true;
}

template <class Function>
Function NativeLibrary::Resolved(Function function, const char* name) {
    if (function == nullptr) {
        ADD_FAILURE() << "native _" << name << " is not resolved"
                      << (error_.empty() ? " (no library loaded)" : ": " + error_);
    }
    return function;
}

void NativeLibrary::CheckNoPendingException(const char* name) {
    const std::string exception = FakeJni::TakePendingException();
    if (!exception.empty()) ADD_FAILURE() << "_" << name << " left an exception: " << exception;
}

long NativeLibrary::openPort(const std::optional<std::string>& port,
                             const std::optional<std::string>& settings) {
    const auto native = Resolved(natives_.openPort, "openPort");
    if (!native) return -1;
    const auto self = FakeJni::NewObject();
    const auto portText = port ? FakeJni::NewString(*port) : nullptr;
    const auto settingsText = settings ? FakeJni::NewString(*settings) : nullptr;
    const jlong result = native(jni_.env(), self.get(), portText.get(), settingsText.get());
    CheckNoPendingException("openPort");
    return static_cast<long>(result);
}

long NativeLibrary::claim(long timeout, bool thermal) {
    const auto native = Resolved(natives_.claim, "claim");
    if (!native) return -1;
    const auto self = FakeJni::NewObject();
    const jlong result =
        native(jni_.env(), self.get(), jlong{timeout}, thermal ? JNI_TRUE : JNI_FALSE);
    CheckNoPendingException("claim");
    return static_cast<long>(result);
}

void NativeLibrary::release() {
    const auto native = Resolved(natives_.release, "release");
    if (!native) return;
    const auto self = FakeJni::NewObject();
    native(jni_.env(), self.get());
    CheckNoPendingException("release");
}

void NativeLibrary::closePort() {
    const auto native = Resolved(natives_.closePort, "closePort");
    if (!native) return;
    const auto self = FakeJni::NewObject();
    native(jni_.env(), self.get());
    CheckNoPendingException("closePort");
}

int NativeLibrary::readData(std::vector<uint8_t>& into, int rlen, long timeout) {
    const auto native = Resolved(natives_.readData, "readData");
    if (!native) return -1;
    const auto self = FakeJni::NewObject();
    const auto array = FakeJni::NewByteArray(AsJava(into));
    const jint result = native(jni_.env(), self.get(), array.get(), jint{rlen}, jlong{timeout});
    CheckNoPendingException("readData");
    const std::vector<int8_t> after = array->snapshot();
    into.assign(after.begin(), after.end());
    return result;
}

int NativeLibrary::writeData(const std::vector<uint8_t>& bytes, int slen, long timeout) {
    const auto native = Resolved(natives_.writeData, "writeData");
    if (!native) return -1;
    const auto self = FakeJni::NewObject();
    const auto array = FakeJni::NewByteArray(AsJava(bytes));
    const jint result = native(jni_.env(), self.get(), array.get(), jint{slen}, jlong{timeout});
    CheckNoPendingException("writeData");
    return result;
}

int NativeLibrary::getPrinterStatus(long timeout) {
    const auto native = Resolved(natives_.getPrinterStatus, "getPrinterStatus");
    if (!native) return -1;
    const auto self = FakeJni::NewObject();
    const jint result = native(jni_.env(), self.get(), jlong{timeout});
    CheckNoPendingException("getPrinterStatus");
    return result;
}

int NativeLibrary::getCashDrawerStatus(long timeout) {
    const auto native = Resolved(natives_.getCashDrawerStatus, "getCashDrawerStatus");
    if (!native) return -1;
    const auto self = FakeJni::NewObject();
    const jint result = native(jni_.env(), self.get(), jlong{timeout});
    CheckNoPendingException("getCashDrawerStatus");
    return result;
}

int NativeLibrary::openDrawer(long pin, long onMs, long offMs) {
    const auto native = Resolved(natives_.openDrawer, "OpenDrawer");
    if (!native) return -1;
    const auto self = FakeJni::NewObject();
    const jint result = native(jni_.env(), self.get(), jlong{pin}, jlong{onMs}, jlong{offMs});
    CheckNoPendingException("OpenDrawer");
    return result;
}

int NativeLibrary::waitForUntilDrawerClose(bool waitClosed) {
    const auto native = Resolved(natives_.waitForUntilDrawerClose, "WaitForUntilDrawerClose");
    if (!native) return -1;
    const auto self = FakeJni::NewObject();
    const jint result = native(jni_.env(), self.get(), waitClosed ? JNI_TRUE : JNI_FALSE);
    CheckNoPendingException("WaitForUntilDrawerClose");
    return result;
}

bool NativeLibrary::waitForCompletePrinting(long waitTime) {
    const auto native = Resolved(natives_.waitForCompletePrinting, "WaitForCompletePrinting");
    if (!native) return false;
    const auto self = FakeJni::NewObject();
    const jboolean result = native(jni_.env(), self.get(), jlong{waitTime});
    CheckNoPendingException("WaitForCompletePrinting");
    return result == JNI_TRUE;
}

}  // namespace prntest

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

PortInstance NativeLibrary::newPort() {
    return PortInstance(*this);
}

template <class Function>
Function NativeCalls::Resolved(Function function, const char* name) const {
    if (function == nullptr) {
        const std::string& error = library_->error();
        ADD_FAILURE() << "native _" << name << " is not resolved"
                      << (error.empty() ? " (no library loaded)" : ": " + error);
    }
    return function;
}

jobject NativeCalls::This(std::unique_ptr<FakeObject>& fresh) const {
    if (self_) return self_.get();
    fresh = FakeJni::NewObject();
    return fresh.get();
}

JNIEnv* NativeCalls::Env() const {
    return library_->jni().env();
}

void NativeCalls::CheckNoPendingException(const char* name) {
    const std::string exception = FakeJni::TakePendingException();
    if (!exception.empty()) ADD_FAILURE() << "_" << name << " left an exception: " << exception;
}

long NativeCalls::openPort(const std::optional<std::string>& port,
                           const std::optional<std::string>& settings) {
    const auto native = Resolved(library_->natives().openPort, "openPort");
    if (!native) return -1;
    std::unique_ptr<FakeObject> fresh;
    const jobject self = This(fresh);
    const auto portText = port ? FakeJni::NewString(*port) : nullptr;
    const auto settingsText = settings ? FakeJni::NewString(*settings) : nullptr;
    const jlong result = native(Env(), self, portText.get(), settingsText.get());
    CheckNoPendingException("openPort");
    return static_cast<long>(result);
}

long NativeCalls::claim(long timeout, bool thermal) {
    const auto native = Resolved(library_->natives().claim, "claim");
    if (!native) return -1;
    std::unique_ptr<FakeObject> fresh;
    const jobject self = This(fresh);
    const jlong result = native(Env(), self, jlong{timeout}, thermal ? JNI_TRUE : JNI_FALSE);
    CheckNoPendingException("claim");
    return static_cast<long>(result);
}

void NativeCalls::release() {
    const auto native = Resolved(library_->natives().release, "release");
    if (!native) return;
    std::unique_ptr<FakeObject> fresh;
    const jobject self = This(fresh);
    native(Env(), self);
    CheckNoPendingException("release");
}

void NativeCalls::closePort() {
    const auto native = Resolved(library_->natives().closePort, "closePort");
    if (!native) return;
    std::unique_ptr<FakeObject> fresh;
    const jobject self = This(fresh);
    native(Env(), self);
    CheckNoPendingException("closePort");
}

int NativeCalls::readData(std::vector<uint8_t>& into, int rlen, long timeout) {
    const auto native = Resolved(library_->natives().readData, "readData");
    if (!native) return -1;
    std::unique_ptr<FakeObject> fresh;
    const jobject self = This(fresh);
    const auto array = FakeJni::NewByteArray(AsJava(into));
    const jint result = native(Env(), self, array.get(), jint{rlen}, jlong{timeout});
    CheckNoPendingException("readData");
    const std::vector<int8_t> after = array->snapshot();
    into.assign(after.begin(), after.end());
    return result;
}

int NativeCalls::writeData(const std::vector<uint8_t>& bytes, int slen, long timeout) {
    const auto native = Resolved(library_->natives().writeData, "writeData");
    if (!native) return -1;
    std::unique_ptr<FakeObject> fresh;
    const jobject self = This(fresh);
    const auto array = FakeJni::NewByteArray(AsJava(bytes));
    const jint result = native(Env(), self, array.get(), jint{slen}, jlong{timeout});
    CheckNoPendingException("writeData");
    return result;
}

int NativeCalls::getPrinterStatus(long timeout) {
    const auto native = Resolved(library_->natives().getPrinterStatus, "getPrinterStatus");
    if (!native) return -1;
    std::unique_ptr<FakeObject> fresh;
    const jobject self = This(fresh);
    const jint result = native(Env(), self, jlong{timeout});
    CheckNoPendingException("getPrinterStatus");
    return result;
}

int NativeCalls::getCashDrawerStatus(long timeout) {
    const auto native = Resolved(library_->natives().getCashDrawerStatus, "getCashDrawerStatus");
    if (!native) return -1;
    std::unique_ptr<FakeObject> fresh;
    const jobject self = This(fresh);
    const jint result = native(Env(), self, jlong{timeout});
    CheckNoPendingException("getCashDrawerStatus");
    return result;
}

int NativeCalls::openDrawer(long pin, long onMs, long offMs) {
    const auto native = Resolved(library_->natives().openDrawer, "OpenDrawer");
    if (!native) return -1;
    std::unique_ptr<FakeObject> fresh;
    const jobject self = This(fresh);
    const jint result = native(Env(), self, jlong{pin}, jlong{onMs}, jlong{offMs});
    CheckNoPendingException("OpenDrawer");
    return result;
}

int NativeCalls::waitForUntilDrawerClose(bool waitClosed) {
    const auto native =
        Resolved(library_->natives().waitForUntilDrawerClose, "WaitForUntilDrawerClose");
    if (!native) return -1;
    std::unique_ptr<FakeObject> fresh;
    const jobject self = This(fresh);
    const jint result = native(Env(), self, waitClosed ? JNI_TRUE : JNI_FALSE);
    CheckNoPendingException("WaitForUntilDrawerClose");
    return result;
}

bool NativeCalls::waitForCompletePrinting(long waitTime) {
    const auto native =
        Resolved(library_->natives().waitForCompletePrinting, "WaitForCompletePrinting");
    if (!native) return false;
    std::unique_ptr<FakeObject> fresh;
    const jobject self = This(fresh);
    const jboolean result = native(Env(), self, jlong{waitTime});
    CheckNoPendingException("WaitForCompletePrinting");
    return result == JNI_TRUE;
}

}  // namespace prntest

// A deliverable shared library loaded as the JVM loads it (dlopen, then JNI_OnLoad if there is
// one), its eleven Java natives resolved for one port class, and calls with the Java
// signatures, each through the fake JNI environment with a fresh `this`.
//
// A native that cannot be resolved, and a Java exception left pending by a call, are test
// failures (with the symbol's name, or the exception); a wrapper of an unresolved native fails
// the test and returns a failure result instead of calling through null.
#pragma once

#include <jni.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "FakeJni.h"
#include "Natives.h"

namespace prntest {

class NativeLibrary {
  public:
    NativeLibrary() = default;
    ~NativeLibrary();  // unloads what is still loaded
    NativeLibrary(const NativeLibrary&) = delete;
    NativeLibrary& operator=(const NativeLibrary&) = delete;

    // dlopen(path, RTLD_NOW | RTLD_LOCAL), JNI_OnLoad if exported, and the natives of
    // Java_com_keldo_jpos_JNativePort_<javaClass>. False with error() saying why (the dlopen
    // error, the rejected JNI version, or every missing native by name); the library stays
    // loaded then, so that what did resolve can still be looked at.
    bool load(const std::string& path, const std::string& javaClass);
    // What the JVM does when the class loader goes: JNI_OnUnload(vm, nullptr) if exported, then
    // dlclose. The result of dlclose; afterwards load() may be called again.
    bool unload();

    bool loaded() const { return handle_ != nullptr; }
    bool ok() const { return loaded() && error_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }
    // The library's image is still in the process (after unload: it was not really unmapped).
    static bool Mapped(const std::string& path);

    // The Java natives. Java null for nullopt.
    long openPort(const std::optional<std::string>& port,
                  const std::optional<std::string>& settings);
    long claim(long timeout, bool thermal);
    void release();
    void closePort();
    // Passes a byte[] with the contents of `into`; `into` gets the array's contents afterwards.
    int readData(std::vector<uint8_t>& into, int rlen, long timeout);
    int writeData(const std::vector<uint8_t>& bytes, int slen, long timeout);
    int getPrinterStatus(long timeout);
    int getCashDrawerStatus(long timeout);
    int openDrawer(long pin, long onMs, long offMs);
    int waitForUntilDrawerClose(bool waitClosed);
    bool waitForCompletePrinting(long waitTime);

    // For calls the wrappers do not make (a null array, an array of another length).
    const Natives& natives() const { return natives_; }
    FakeJni& jni() { return jni_; }

  private:
    // The native to call, or nullptr after a test failure that names it.
    template <class Function>
    Function Resolved(Function function, const char* name);
    void CheckNoPendingException(const char* name);

    FakeJni jni_;
    void* handle_ = nullptr;
    std::string path_;
    std::string error_;
    Natives natives_;
};

}  // namespace prntest

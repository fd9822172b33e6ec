// A deliverable shared library loaded as the JVM loads it (dlopen, then JNI_OnLoad if there is
// one), its eleven Java natives resolved for one port class, and calls with the Java
// signatures through the fake JNI environment: on the library itself each call has a fresh
// `this` without fields (an instance made with the public constructor, on the shared port); on a
// PortInstance every call has that instance's own `this`, with the portHandle field (an instance
// made with newPort(), on a port of its own). One loaded library serves any number of instances.
//
// A native that cannot be resolved, and a Java exception left pending by a call, are test
// failures (with the symbol's name, or the exception); a wrapper of an unresolved native fails
// the test and returns a failure result instead of calling through null.
#pragma once

#include <jni.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FakeJni.h"
#include "Natives.h"

namespace prntest {

class NativeLibrary;

// The eleven natives with their Java signatures, each called with the `this` of whoever makes
// the calls (see the top of this file).
class NativeCalls {
  public:
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

  protected:
    NativeCalls(NativeLibrary& library, std::unique_ptr<FakeObject> self)
        : library_(&library), self_(std::move(self)) {}

    // The instance's own `this`; nullptr for a fresh one on every call.
    FakeObject* self() const { return self_.get(); }

  private:
    // The native to call, or nullptr after a test failure that names it.
    template <class Function>
    Function Resolved(Function function, const char* name) const;
    static void CheckNoPendingException(const char* name);
    // The `this` of one call: the instance's own, or a fresh one kept alive in `fresh`.
    jobject This(std::unique_ptr<FakeObject>& fresh) const;
    JNIEnv* Env() const;

    NativeLibrary* library_;
    std::unique_ptr<FakeObject> self_;
};

class PortInstance;

class NativeLibrary : public NativeCalls {
  public:
    NativeLibrary() : NativeCalls(*this, nullptr) {}
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

    // An instance with a port of its own, none taken yet (what newPort() makes); its calls
    // go to this library, which must outlive it.
    PortInstance newPort();

    // For calls the wrappers do not make (a null array, an array of another length).
    const Natives& natives() const { return natives_; }
    FakeJni& jni() { return jni_; }

  private:
    FakeJni jni_;
    void* handle_ = nullptr;
    std::string path_;
    std::string error_;
    Natives natives_;
};

// An instance made with newPort(): one `this` with the portHandle field for all its calls, as a
// Java instance keeps its handle from its open to its close.
class PortInstance : public NativeCalls {
  public:
    // handle: what the field holds to begin with, -1 (no port taken) as newPort() makes it;
    // another value stands for an instance that kept a handle, e.g. one given back since.
    explicit PortInstance(NativeLibrary& library, int64_t handle = -1)
        : NativeCalls(library, std::make_unique<FakeObject>(handle)) {}

    // What the portHandle field holds now: the handle of the port its open took, -1 without one.
    int64_t handle() const { return self()->portHandle.load(); }
};

}  // namespace prntest

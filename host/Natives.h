// The eleven Java natives of one port library, as function pointers with their JNI signatures,
// and how they are found in a loaded library.
#pragma once

#include <dlfcn.h>
#include <jni.h>

#include <cstring>
#include <string>

namespace prntest {

// The natives, null where not resolved.
struct Natives {
    jlong (*openPort)(JNIEnv*, jobject, jstring, jstring) = nullptr;
    jlong (*claim)(JNIEnv*, jobject, jlong, jboolean) = nullptr;
    void (*release)(JNIEnv*, jobject) = nullptr;
    void (*closePort)(JNIEnv*, jobject) = nullptr;
    jint (*readData)(JNIEnv*, jobject, jbyteArray, jint, jlong) = nullptr;
    jint (*writeData)(JNIEnv*, jobject, jbyteArray, jint, jlong) = nullptr;
    jint (*getPrinterStatus)(JNIEnv*, jobject, jlong) = nullptr;
    jint (*getCashDrawerStatus)(JNIEnv*, jobject, jlong) = nullptr;
    jint (*openDrawer)(JNIEnv*, jobject, jlong, jlong, jlong) = nullptr;
    jint (*waitForUntilDrawerClose)(JNIEnv*, jobject, jboolean) = nullptr;
    jboolean (*waitForCompletePrinting)(JNIEnv*, jobject, jlong) = nullptr;
};

// Looks up the natives of Java_com_keldo_jpos_JNativePort_<javaClass> in a dlopen() handle. The
// symbols that are missing, by name and comma-separated; "" when every one was found.
std::string ResolveNatives(void* handle, const std::string& javaClass, Natives& natives);

// A symbol of a dlopen() handle as a function pointer (null when missing).
template <class Function>
Function SymbolOf(void* handle, const std::string& name) {
    void* address = dlsym(handle, name.c_str());
    Function function = nullptr;
    static_assert(sizeof function == sizeof address);
    std::memcpy(&function, &address, sizeof function);
    return function;
}

}  // namespace prntest

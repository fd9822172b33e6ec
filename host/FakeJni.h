// A stand-in for the JNI environment a JVM hands to the natives, enough for the Java natives of a
// deliverable: Java strings and byte arrays as small objects, and every JNI function the bridge
// does not use an abort that names the function (so a bridge that starts to use another JNI
// call is caught at once).
//
// Handles are plain pointers to the objects below (a null handle is nullptr). Every function is
// safe to call from several threads at once; the counters are atomic.
#pragma once

#include <jni.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace prntest {

// Each object carries a tag that every JNI function checks, so a handle that is not what the
// call expects aborts instead of being misread.
enum class FakeTag : uint32_t {
    Object = 0x6f626a31,
    String = 0x73747231,
    ByteArray = 0x62797431,
    Class = 0x636c7331,
};

// The `this` of a native: an instance of a port class. One made with a port of its own has the
// class's long field portHandle (-1 before its open); any other has no fields at all, as a class
// that only declares the natives (the library then acts on its shared port).
struct FakeObject : _jobject {
    FakeObject() = default;
    explicit FakeObject(int64_t handle) : hasPortField(true), portHandle(handle) {}
    const FakeTag tag = FakeTag::Object;
    const bool hasPortField = false;
    std::atomic<int64_t> portHandle{0};
};

// The class of a FakeObject, as GetObjectClass gives it.
struct FakeClass : _jclass {
    explicit FakeClass(bool field) : hasPortField(field) {}
    const FakeTag tag = FakeTag::Class;
    const bool hasPortField;
};

// A Java string, held as the modified UTF-8 that GetStringUTFChars hands out.
struct FakeString : _jstring {
    explicit FakeString(std::string modifiedUtf8) : text(std::move(modifiedUtf8)) {}
    const FakeTag tag = FakeTag::String;
    const std::string text;

    std::mutex mutex;
    std::vector<const char*> lent;  // GetStringUTFChars results not yet released
};

// A Java byte[].
struct FakeByteArray : _jbyteArray {
    explicit FakeByteArray(std::vector<int8_t> initial) : elements(std::move(initial)) {}
    const FakeTag tag = FakeTag::ByteArray;

    std::vector<int8_t> snapshot() {
        const std::lock_guard lock(mutex);
        return elements;
    }

    std::mutex mutex;
    std::vector<int8_t> elements;  // the length never changes
    std::vector<jbyte*> lent;      // GetByteArrayElements copies not yet released
};

class FakeJni {
  public:
    FakeJni();
    FakeJni(const FakeJni&) = delete;
    FakeJni& operator=(const FakeJni&) = delete;

    // One environment for every thread (its functions keep no per-thread state but the
    // pending exception, which is per thread as in a JVM).
    JNIEnv* env() { return &env_; }
    // A VM whose every function aborts: for JNI_OnLoad / JNI_OnUnload, which must not use it.
    JavaVM* vm() { return &vm_; }

    static std::unique_ptr<FakeObject> NewObject() { return std::make_unique<FakeObject>(); }
    // An instance with a port of its own, none taken yet (what newPort() makes).
    static std::unique_ptr<FakeObject> NewOwnPortObject() {
        return std::make_unique<FakeObject>(int64_t{-1});
    }
    static std::unique_ptr<FakeString> NewString(std::string modifiedUtf8) {
        return std::make_unique<FakeString>(std::move(modifiedUtf8));
    }
    static std::unique_ptr<FakeByteArray> NewByteArray(std::vector<int8_t> elements) {
        return std::make_unique<FakeByteArray>(std::move(elements));
    }

    // GetStringUTFChars / GetByteArrayElements results handed out and not released yet.
    int outstandingStringChars() const { return outstandingChars_.load(); }
    int outstandingByteElements() const { return outstandingElements_.load(); }

    // The Java exception a JNI call of this thread raised (what the JVM would throw once the
    // native returns), and clears it; "" when there is none.
    static std::string TakePendingException();

  private:
    struct Env : JNIEnv_ {
        FakeJni* owner;
    };
    static FakeJni& Owner(JNIEnv* env) { return *static_cast<Env*>(env)->owner; }

    static const char* GetStringUTFChars(JNIEnv* env, jstring text, jboolean* isCopy);
    static void ReleaseStringUTFChars(JNIEnv* env, jstring text, const char* chars);
    static jsize GetArrayLength(JNIEnv* env, jarray array);
    static jbyte* GetByteArrayElements(JNIEnv* env, jbyteArray array, jboolean* isCopy);
    static void ReleaseByteArrayElements(JNIEnv* env, jbyteArray array, jbyte* elements, jint mode);
    static void SetByteArrayRegion(JNIEnv* env, jbyteArray array, jsize start, jsize length,
                                   const jbyte* from);
    static jclass GetObjectClass(JNIEnv* env, jobject object);
    static jfieldID GetFieldID(JNIEnv* env, jclass type, const char* name, const char* signature);
    static jlong GetLongField(JNIEnv* env, jobject object, jfieldID field);
    static void SetLongField(JNIEnv* env, jobject object, jfieldID field, jlong value);
    static void DeleteLocalRef(JNIEnv* env, jobject object);
    static void ExceptionClear(JNIEnv* env);
    static jboolean ExceptionCheck(JNIEnv* env);

    JNINativeInterface_ functions_{};
    JNIInvokeInterface_ vmFunctions_{};
    Env env_{};
    JavaVM vm_{};
    std::atomic<int> outstandingChars_{0};
    std::atomic<int> outstandingElements_{0};
};

}  // namespace prntest

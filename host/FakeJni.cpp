#include "FakeJni.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace prntest {
namespace {

// ---- Every JNI function the natives have no business calling ----

// The functions of JNINativeInterface_ in table order, from slot 4 on (0 to 3 are reserved).
// clang-format off
#define PRN_ENV_FUNCTIONS(X) \
    X(GetVersion) X(DefineClass) X(FindClass) X(FromReflectedMethod) X(FromReflectedField) \
    X(ToReflectedMethod) X(GetSuperclass) X(IsAssignableFrom) X(ToReflectedField) X(Throw) \
    X(ThrowNew) X(ExceptionOccurred) X(ExceptionDescribe) X(ExceptionClear) X(FatalError) \
    X(PushLocalFrame) X(PopLocalFrame) X(NewGlobalRef) X(DeleteGlobalRef) X(DeleteLocalRef) \
    X(IsSameObject) X(NewLocalRef) X(EnsureLocalCapacity) X(AllocObject) X(NewObject) \
    X(NewObjectV) X(NewObjectA) X(GetObjectClass) X(IsInstanceOf) X(GetMethodID) \
    X(CallObjectMethod) X(CallObjectMethodV) X(CallObjectMethodA) X(CallBooleanMethod) \
    X(CallBooleanMethodV) X(CallBooleanMethodA) X(CallByteMethod) X(CallByteMethodV) \
    X(CallByteMethodA) X(CallCharMethod) X(CallCharMethodV) X(CallCharMethodA) \
    X(CallShortMethod) X(CallShortMethodV) X(CallShortMethodA) X(CallIntMethod) \
    X(CallIntMethodV) X(CallIntMethodA) X(CallLongMethod) X(CallLongMethodV) X(CallLongMethodA) \
    X(CallFloatMethod) X(CallFloatMethodV) X(CallFloatMethodA) X(CallDoubleMethod) \
    X(CallDoubleMethodV) X(CallDoubleMethodA) X(CallVoidMethod) X(CallVoidMethodV) \
    X(CallVoidMethodA) X(CallNonvirtualObjectMethod) X(CallNonvirtualObjectMethodV) \
    X(CallNonvirtualObjectMethodA) X(CallNonvirtualBooleanMethod) \
    X(CallNonvirtualBooleanMethodV) X(CallNonvirtualBooleanMethodA) X(CallNonvirtualByteMethod) \
    X(CallNonvirtualByteMethodV) X(CallNonvirtualByteMethodA) X(CallNonvirtualCharMethod) \
    X(CallNonvirtualCharMethodV) X(CallNonvirtualCharMethodA) X(CallNonvirtualShortMethod) \
    X(CallNonvirtualShortMethodV) X(CallNonvirtualShortMethodA) X(CallNonvirtualIntMethod) \
    X(CallNonvirtualIntMethodV) X(CallNonvirtualIntMethodA) X(CallNonvirtualLongMethod) \
    X(CallNonvirtualLongMethodV) X(CallNonvirtualLongMethodA) X(CallNonvirtualFloatMethod) \
    X(CallNonvirtualFloatMethodV) X(CallNonvirtualFloatMethodA) X(CallNonvirtualDoubleMethod) \
    X(CallNonvirtualDoubleMethodV) X(CallNonvirtualDoubleMethodA) X(CallNonvirtualVoidMethod) \
    X(CallNonvirtualVoidMethodV) X(CallNonvirtualVoidMethodA) X(GetFieldID) X(GetObjectField) \
    X(GetBooleanField) X(GetByteField) X(GetCharField) X(GetShortField) X(GetIntField) \
    X(GetLongField) X(GetFloatField) X(GetDoubleField) X(SetObjectField) X(SetBooleanField) \
    X(SetByteField) X(SetCharField) X(SetShortField) X(SetIntField) X(SetLongField) \
    X(SetFloatField) X(SetDoubleField) X(GetStaticMethodID) X(CallStaticObjectMethod) \
    X(CallStaticObjectMethodV) X(CallStaticObjectMethodA) X(CallStaticBooleanMethod) \
    X(CallStaticBooleanMethodV) X(CallStaticBooleanMethodA) X(CallStaticByteMethod) \
    X(CallStaticByteMethodV) X(CallStaticByteMethodA) X(CallStaticCharMethod) \
    X(CallStaticCharMethodV) X(CallStaticCharMethodA) X(CallStaticShortMethod) \
    X(CallStaticShortMethodV) X(CallStaticShortMethodA) X(CallStaticIntMethod) \
    X(CallStaticIntMethodV) X(CallStaticIntMethodA) X(CallStaticLongMethod) \
    X(CallStaticLongMethodV) X(CallStaticLongMethodA) X(CallStaticFloatMethod) \
    X(CallStaticFloatMethodV) X(CallStaticFloatMethodA) X(CallStaticDoubleMethod) \
    X(CallStaticDoubleMethodV) X(CallStaticDoubleMethodA) X(CallStaticVoidMethod) \
    X(CallStaticVoidMethodV) X(CallStaticVoidMethodA) X(GetStaticFieldID) \
    X(GetStaticObjectField) X(GetStaticBooleanField) X(GetStaticByteField) X(GetStaticCharField) \
    X(GetStaticShortField) X(GetStaticIntField) X(GetStaticLongField) X(GetStaticFloatField) \
    X(GetStaticDoubleField) X(SetStaticObjectField) X(SetStaticBooleanField) \
    X(SetStaticByteField) X(SetStaticCharField) X(SetStaticShortField) X(SetStaticIntField) \
    X(SetStaticLongField) X(SetStaticFloatField) X(SetStaticDoubleField) X(NewString) \
    X(GetStringLength) X(GetStringChars) X(ReleaseStringChars) X(NewStringUTF) \
    X(GetStringUTFLength) X(GetStringUTFChars) X(ReleaseStringUTFChars) X(GetArrayLength) \
    X(NewObjectArray) X(GetObjectArrayElement) X(SetObjectArrayElement) X(NewBooleanArray) \
    X(NewByteArray) X(NewCharArray) X(NewShortArray) X(NewIntArray) X(NewLongArray) \
    X(NewFloatArray) X(NewDoubleArray) X(GetBooleanArrayElements) X(GetByteArrayElements) \
    X(GetCharArrayElements) X(GetShortArrayElements) X(GetIntArrayElements) \
    X(GetLongArrayElements) X(GetFloatArrayElements) X(GetDoubleArrayElements) \
    X(ReleaseBooleanArrayElements) X(ReleaseByteArrayElements) X(ReleaseCharArrayElements) \
    X(ReleaseShortArrayElements) X(ReleaseIntArrayElements) X(ReleaseLongArrayElements) \
    X(ReleaseFloatArrayElements) X(ReleaseDoubleArrayElements) X(GetBooleanArrayRegion) \
    X(GetByteArrayRegion) X(GetCharArrayRegion) X(GetShortArrayRegion) X(GetIntArrayRegion) \
    X(GetLongArrayRegion) X(GetFloatArrayRegion) X(GetDoubleArrayRegion) \
    X(SetBooleanArrayRegion) X(SetByteArrayRegion) X(SetCharArrayRegion) X(SetShortArrayRegion) \
    X(SetIntArrayRegion) X(SetLongArrayRegion) X(SetFloatArrayRegion) X(SetDoubleArrayRegion) \
    X(RegisterNatives) X(UnregisterNatives) X(MonitorEnter) X(MonitorExit) X(GetJavaVM) \
    X(GetStringRegion) X(GetStringUTFRegion) X(GetPrimitiveArrayCritical) \
    X(ReleasePrimitiveArrayCritical) X(GetStringCritical) X(ReleaseStringCritical) \
    X(NewWeakGlobalRef) X(DeleteWeakGlobalRef) X(ExceptionCheck) X(NewDirectByteBuffer) \
    X(GetDirectBufferAddress) X(GetDirectBufferCapacity) X(GetObjectRefType) X(GetModule)
// clang-format on

struct Slot {
    const char* name;
    size_t offset;
};

// clang-format off
#define PRN_ENV_SLOT(name) Slot{#name, offsetof(JNINativeInterface_, name)},
constexpr Slot kEnvSlots[] = {
    PRN_ENV_FUNCTIONS(PRN_ENV_SLOT)
#ifdef JNI_VERSION_21
    PRN_ENV_SLOT(IsVirtualThread)
#endif
#ifdef JNI_VERSION_24
    PRN_ENV_SLOT(GetStringUTFLengthAsLong)
#endif
};
// clang-format on
#undef PRN_ENV_SLOT
#undef PRN_ENV_FUNCTIONS

constexpr Slot kVmSlots[] = {
    {"DestroyJavaVM", offsetof(JNIInvokeInterface_, DestroyJavaVM)},
    {"AttachCurrentThread", offsetof(JNIInvokeInterface_, AttachCurrentThread)},
    {"DetachCurrentThread", offsetof(JNIInvokeInterface_, DetachCurrentThread)},
    {"GetEnv", offsetof(JNIInvokeInterface_, GetEnv)},
    {"AttachCurrentThreadAsDaemon", offsetof(JNIInvokeInterface_, AttachCurrentThreadAsDaemon)},
};

using AnyFunction = void (*)();
static_assert(sizeof(AnyFunction) == sizeof(void*));

// The names above must sit in the slots jni.h gives them, one after the other.
template <size_t N>
constexpr bool Consecutive(const Slot (&slots)[N], size_t first) {
    for (size_t i = 0; i < N; ++i) {
        if (slots[i].offset != (first + i) * sizeof(AnyFunction)) return false;
    }
    return true;
}
static_assert(Consecutive(kEnvSlots, 4), "JNINativeInterface_ differs from the list of names");
static_assert(Consecutive(kVmSlots, 3), "JNIInvokeInterface_ differs from the list of names");

constexpr size_t kEnvSlotCount = sizeof(JNINativeInterface_) / sizeof(AnyFunction);
constexpr size_t kVmSlotCount = sizeof(JNIInvokeInterface_) / sizeof(AnyFunction);

template <size_t N>
const char* NameOf(const Slot (&slots)[N], size_t slot) {
    for (const Slot& entry : slots) {
        if (entry.offset == slot * sizeof(AnyFunction)) return entry.name;
    }
    return "(a function newer than this list)";
}

[[noreturn]] void Die(const char* what) {
    std::fprintf(stderr, "FakeJni: %s\n", what);
    std::fflush(nullptr);
    std::abort();
}

// Called with the arguments of whatever function sits in the slot; it looks at none of them.
template <size_t Index>
[[noreturn]] void UnexpectedEnvCall() {
    std::fprintf(stderr,
                 "FakeJni: the library called JNIEnv function %s (slot %zu), which the fake JNI "
                 "environment does not provide\n",
                 NameOf(kEnvSlots, Index), Index);
    std::fflush(nullptr);
    std::abort();
}

template <size_t Index>
[[noreturn]] void UnexpectedVmCall() {
    std::fprintf(stderr,
                 "FakeJni: the library called JavaVM function %s (slot %zu); the natives must "
                 "not use the VM\n",
                 NameOf(kVmSlots, Index), Index);
    std::fflush(nullptr);
    std::abort();
}

template <class Table>
void Store(Table& table, size_t slot, AnyFunction function) {
    std::memcpy(reinterpret_cast<unsigned char*>(&table) + slot * sizeof function, &function,
                sizeof function);
}

template <size_t... Index>
void FillEnv(JNINativeInterface_& table, std::index_sequence<Index...>) {
    (Store(table, Index, &UnexpectedEnvCall<Index>), ...);
}

template <size_t... Index>
void FillVm(JNIInvokeInterface_& table, std::index_sequence<Index...>) {
    (Store(table, Index, &UnexpectedVmCall<Index>), ...);
}

template <size_t First, size_t... Offsets>
constexpr auto Shifted(std::index_sequence<Offsets...>) {
    return std::index_sequence<(First + Offsets)...>{};
}

// The slot numbers from First to Last - 1.
template <size_t First, size_t Last>
constexpr auto SlotRange() {
    return Shifted<First>(std::make_index_sequence<Last - First>{});
}

// ---- The objects behind the handles ----

thread_local std::string tPendingException;

void Throw(std::string exception) {
    // A second exception before the native returns would be a JNI error of its own.
    if (!tPendingException.empty()) Die("a JNI call raised an exception with one pending");
    tPendingException = std::move(exception);
}

// The fake behind a handle of the kind a call expects. A null handle crashes a JVM: the test
// process ends here the same way.
template <class Fake>
Fake& FakeBehind(Fake* fake, FakeTag tag, const char* call, const char* kind,
                 const char* wrongKind) {
    if (fake == nullptr) {
        std::fprintf(stderr, "FakeJni: %s on a null %s (a JVM crashes)\n", call, kind);
        std::fflush(nullptr);
        std::abort();
    }
    if (fake->tag != tag) Die(wrongKind);
    return *fake;
}

FakeString& StringOf(jstring handle, const char* call) {
    return FakeBehind(static_cast<FakeString*>(handle), FakeTag::String, call, "jstring",
                      "a jstring handle that is no string");
}

FakeByteArray& BytesOf(jarray handle, const char* call) {
    return FakeBehind(static_cast<FakeByteArray*>(static_cast<_jbyteArray*>(handle)),
                      FakeTag::ByteArray, call, "array", "an array handle that is no byte array");
}

// Removes one lent pointer; false when it was not lent.
template <class Pointer>
bool GiveBack(std::vector<Pointer>& lent, const void* pointer) {
    for (auto it = lent.begin(); it != lent.end(); ++it) {
        if (*it == pointer) {
            lent.erase(it);
            return true;
        }
    }
    return false;
}

FakeObject& ObjectOf(jobject handle, const char* call) {
    return FakeBehind(static_cast<FakeObject*>(handle), FakeTag::Object, call, "object",
                      "an object handle that is no port instance");
}

FakeClass gClassWithPortField{true};
FakeClass gClassWithoutFields{false};
// The one field a port class has; its ID is this variable's address.
char gPortHandleField;

}  // namespace

FakeJni::FakeJni() {
    FillEnv(functions_, SlotRange<4, kEnvSlotCount>());
    FillVm(vmFunctions_, SlotRange<3, kVmSlotCount>());
    functions_.GetStringUTFChars = &FakeJni::GetStringUTFChars;
    functions_.ReleaseStringUTFChars = &FakeJni::ReleaseStringUTFChars;
    functions_.GetArrayLength = &FakeJni::GetArrayLength;
    functions_.GetByteArrayElements = &FakeJni::GetByteArrayElements;
    functions_.ReleaseByteArrayElements = &FakeJni::ReleaseByteArrayElements;
    functions_.SetByteArrayRegion = &FakeJni::SetByteArrayRegion;
    functions_.GetObjectClass = &FakeJni::GetObjectClass;
    functions_.GetFieldID = &FakeJni::GetFieldID;
    functions_.GetLongField = &FakeJni::GetLongField;
    functions_.SetLongField = &FakeJni::SetLongField;
    functions_.DeleteLocalRef = &FakeJni::DeleteLocalRef;
    functions_.ExceptionClear = &FakeJni::ExceptionClear;
    functions_.ExceptionCheck = &FakeJni::ExceptionCheck;
    env_.functions = &functions_;
    env_.owner = this;
    vm_.functions = &vmFunctions_;
}

std::string FakeJni::TakePendingException() {
    return std::exchange(tPendingException, {});
}

const char* FakeJni::GetStringUTFChars(JNIEnv* env, jstring handle, jboolean* isCopy) {
    FakeString& text = StringOf(handle, "GetStringUTFChars");
    // A JVM hands out a fresh copy each time.
    char* chars = new char[text.text.size() + 1];
    std::memcpy(chars, text.text.c_str(), text.text.size() + 1);
    {
        const std::lock_guard lock(text.mutex);
        text.lent.push_back(chars);
    }
    ++Owner(env).outstandingChars_;
    if (isCopy) *isCopy = JNI_TRUE;
    return chars;
}

void FakeJni::ReleaseStringUTFChars(JNIEnv* env, jstring handle, const char* chars) {
    FakeString& text = StringOf(handle, "ReleaseStringUTFChars");
    {
        const std::lock_guard lock(text.mutex);
        if (!GiveBack(text.lent, chars)) {
            Die("ReleaseStringUTFChars with characters this string did not lend (or twice)");
        }
    }
    delete[] chars;
    --Owner(env).outstandingChars_;
}

jsize FakeJni::GetArrayLength(JNIEnv*, jarray handle) {
    FakeByteArray& array = BytesOf(handle, "GetArrayLength");
    const std::lock_guard lock(array.mutex);
    return static_cast<jsize>(array.elements.size());
}

jbyte* FakeJni::GetByteArrayElements(JNIEnv* env, jbyteArray handle, jboolean* isCopy) {
    FakeByteArray& array = BytesOf(handle, "GetByteArrayElements");
    jbyte* copy = nullptr;
    {
        const std::lock_guard lock(array.mutex);
        // Never a null result, also for an empty array (a null result means out of memory).
        copy = new jbyte[array.elements.empty() ? 1 : array.elements.size()];
        if (!array.elements.empty()) {
            std::memcpy(copy, array.elements.data(), array.elements.size());
        }
        array.lent.push_back(copy);
    }
    ++Owner(env).outstandingElements_;
    if (isCopy) *isCopy = JNI_TRUE;
    return copy;
}

void FakeJni::ReleaseByteArrayElements(JNIEnv* env, jbyteArray handle, jbyte* elements, jint mode) {
    FakeByteArray& array = BytesOf(handle, "ReleaseByteArrayElements");
    if (mode != 0 && mode != JNI_COMMIT && mode != JNI_ABORT) {
        Die("ReleaseByteArrayElements with a mode that is not 0, JNI_COMMIT or JNI_ABORT");
    }
    const std::lock_guard lock(array.mutex);
    if (mode == JNI_COMMIT) {
        // Copied back, still lent.
        bool lent = false;
        for (const jbyte* p : array.lent) lent = lent || p == elements;
        if (!lent) Die("ReleaseByteArrayElements(JNI_COMMIT) with elements not lent");
    } else if (!GiveBack(array.lent, elements)) {
        Die("ReleaseByteArrayElements with elements this array did not lend (or twice)");
    }
    if (mode != JNI_ABORT && !array.elements.empty()) {
        std::memcpy(array.elements.data(), elements, array.elements.size());
    }
    if (mode == JNI_COMMIT) return;
    delete[] elements;
    --Owner(env).outstandingElements_;
}

void FakeJni::SetByteArrayRegion(JNIEnv*, jbyteArray handle, jsize start, jsize length,
                                 const jbyte* from) {
    FakeByteArray& array = BytesOf(handle, "SetByteArrayRegion");
    const std::lock_guard lock(array.mutex);
    const auto size = static_cast<jlong>(array.elements.size());
    if (start < 0 || length < 0 || jlong{start} + length > size) {
        Throw("java.lang.ArrayIndexOutOfBoundsException: SetByteArrayRegion(start " +
              std::to_string(start) + ", length " + std::to_string(length) + ") on byte[" +
              std::to_string(size) + "]");
        return;
    }
    if (length > 0) std::memcpy(array.elements.data() + start, from, static_cast<size_t>(length));
}

jclass FakeJni::GetObjectClass(JNIEnv*, jobject handle) {
    const FakeObject& object = ObjectOf(handle, "GetObjectClass");
    return object.hasPortField ? &gClassWithPortField : &gClassWithoutFields;
}

jfieldID FakeJni::GetFieldID(JNIEnv*, jclass handle, const char* name, const char* signature) {
    auto* type = static_cast<FakeClass*>(handle);
    if (type == nullptr || type->tag != FakeTag::Class) Die("GetFieldID on a handle that is no class");
    if (type->hasPortField && std::strcmp(name, "portHandle") == 0 &&
        std::strcmp(signature, "J") == 0) {
        return reinterpret_cast<jfieldID>(&gPortHandleField);
    }
    Throw(std::string("java.lang.NoSuchFieldError: ") + name);
    return nullptr;
}

jlong FakeJni::GetLongField(JNIEnv*, jobject handle, jfieldID field) {
    FakeObject& object = ObjectOf(handle, "GetLongField");
    if (field != reinterpret_cast<jfieldID>(&gPortHandleField) || !object.hasPortField) {
        Die("GetLongField with a field this object does not have");
    }
    return object.portHandle.load();
}

void FakeJni::SetLongField(JNIEnv*, jobject handle, jfieldID field, jlong value) {
    FakeObject& object = ObjectOf(handle, "SetLongField");
    if (field != reinterpret_cast<jfieldID>(&gPortHandleField) || !object.hasPortField) {
        Die("SetLongField with a field this object does not have");
    }
    object.portHandle.store(value);
}

void FakeJni::DeleteLocalRef(JNIEnv*, jobject handle) {
    if (handle != &gClassWithPortField && handle != &gClassWithoutFields) {
        Die("DeleteLocalRef of a reference the library did not get as a local one");
    }
}

void FakeJni::ExceptionClear(JNIEnv*) { tPendingException.clear(); }

jboolean FakeJni::ExceptionCheck(JNIEnv*) {
    return tPendingException.empty() ? JNI_FALSE : JNI_TRUE;
}

}  // namespace prntest

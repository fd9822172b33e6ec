// The Java natives of one deliverable. Compiled once per deliverable with PRN_JNI_CLASS set to
// its Java class name; everything else comes from that deliverable's transport.
//
// Which port a call acts on is the instance's: an instance whose class has the long field
// portHandle and made with its port of its own (the port classes' static newPort()) holds the
// handle of the port its open took, kNoPortHandle before the open and after the close; any other
// instance (made with the public constructor, or of a class that only declares the natives)
// acts on the one shared port, as the Java side has always used the library.
#include <jni.h>

#include <cstring>

#include "Claim.h"
#include "Line.h"
#include "MutexHold.h"
#include "Port.h"
#include "PrinterCommands.h"
#include "PrinterState.h"
#include "StatusCodes.h"
#include "StatusMonitor.h"
#include "Timing.h"
#include "Trace.h"
#include "Transport.h"

#ifndef PRN_JNI_CLASS
#error "PRN_JNI_CLASS must name the Java class of this deliverable"
#endif

#define PRN_PASTE(a, b) a##b
#define PRN_NATIVE_NAME(cls, method) PRN_PASTE(Java_com_keldo_jpos_JNativePort_##cls##__1, method)
#define PRN_EXPAND(cls, method) PRN_NATIVE_NAME(cls, method)
#define PRN_NATIVE(method) extern "C" JNIEXPORT auto JNICALL PRN_EXPAND(PRN_JNI_CLASS, method)

namespace {

constexpr long kReadChunk = 256;
constexpr uint32_t kDrawerSettleMs = 2000;
constexpr char kPortField[] = "portHandle";

// The characters of a Java string, released on every path.
class JavaChars {
public:
    JavaChars(JNIEnv* env, jstring text)
        : env_(env), text_(text), chars_(text ? env->GetStringUTFChars(text, nullptr) : nullptr) {}
    ~JavaChars() {
        if (chars_) env_->ReleaseStringUTFChars(text_, chars_);
    }
    JavaChars(const JavaChars&) = delete;
    JavaChars& operator=(const JavaChars&) = delete;
    const char* get() const { return chars_; }

private:
    JNIEnv* env_;
    jstring text_;
    const char* chars_;
};

// The elements of a Java byte array, released without copying back.
class JavaBytes {
public:
    JavaBytes(JNIEnv* env, jbyteArray array)
        : env_(env), array_(array), bytes_(array ? env->GetByteArrayElements(array, nullptr) : nullptr) {}
    ~JavaBytes() {
        if (bytes_) env_->ReleaseByteArrayElements(array_, bytes_, JNI_ABORT);
    }
    JavaBytes(const JavaBytes&) = delete;
    JavaBytes& operator=(const JavaBytes&) = delete;
    const uint8_t* get() const { return reinterpret_cast<const uint8_t*>(bytes_); }

private:
    JNIEnv* env_;
    jbyteArray array_;
    jbyte* bytes_;
};

jsize LengthOf(JNIEnv* env, jbyteArray array) { return array ? env->GetArrayLength(array) : 0; }

// Taken while an instance's handle is read to be changed (its open takes a port, its close gives
// it back), so that two calls on one instance never take two ports for it. No port's I/O runs
// under it.
pthread_mutex_t g_handles = PTHREAD_MUTEX_INITIALIZER;

// The port one call acts on, held for the call: a port given back meanwhile is not given out
// again until the call is out.
class PortCall {
public:
    PortCall(JNIEnv* env, jobject self) : env_(env), self_(self) {
        field_ = FieldOf(env, self);
        if (field_ == nullptr) {
            port_ = &SharedPort();
            return;
        }
        handle_ = env->GetLongField(self, field_);
        Resolve();
    }
    ~PortCall() { Let(); }
    PortCall(const PortCall&) = delete;
    PortCall& operator=(const PortCall&) = delete;

    Port& port() const { return *port_; }
    // The instance has a port of its own to take (or has taken one).
    bool own() const { return field_ != nullptr && handle_ != kSharedPortHandle; }

    // An open on an instance of its own port: a port is taken for it unless it holds one (a
    // handle that was given back is no port: a new one is taken). False when every port is
    // taken.
    bool TakeForOpen() {
        if (!own()) return true;
        if (held_ && StillTaken(handle_)) return true;
        const MutexHold hold(g_handles);
        const PortHandle now = env_->GetLongField(self_, field_);
        if (now != kNoPortHandle) {
            handle_ = now;
            Resolve();
            if (held_) return true;
        }
        const PortHandle taken = TakePort();
        if (taken == kNoPortHandle) {
            Let();
            port_ = &ClosedPort();
            return false;
        }
        env_->SetLongField(self_, field_, taken);
        handle_ = taken;
        Resolve();
        return held_;
    }

    // An open that waited for the port's lifecycle lock behind a close of the same instance: the
    // close gave the port back meanwhile, and this open must not open it again (its descriptor
    // would stay open on a port no instance names). Called with the lifecycle lock held.
    bool GivenBack() const { return own() && held_ && !StillTaken(handle_); }

    // The port is closed (or its open failed): the handle names nothing from now on. Called with
    // the port's lifecycle lock held, so that no open of the same instance waiting for it opens
    // the port before it is given back.
    void GiveBackAfterClose() {
        if (!own() || !held_) return;
        const MutexHold hold(g_handles);
        if (env_->GetLongField(self_, field_) == handle_) {
            env_->SetLongField(self_, field_, kNoPortHandle);
        }
        GiveBack(handle_);
    }

private:
    static jfieldID FieldOf(JNIEnv* env, jobject self) {
        if (self == nullptr) return nullptr;
        const jclass type = env->GetObjectClass(self);
        if (type == nullptr) return nullptr;
        const jfieldID field = env->GetFieldID(type, kPortField, "J");
        env->DeleteLocalRef(type);
        // A class that only declares the natives has no such field: the shared port.
        if (field == nullptr) env->ExceptionClear();
        return field;
    }

    void Resolve() {
        Let();
        if (handle_ == kSharedPortHandle) {
            port_ = &SharedPort();
            return;
        }
        Port* held = handle_ == kNoPortHandle ? nullptr : HoldPort(handle_);
        held_ = held != nullptr;
        // No port (not opened yet, closed, or a handle given back): every call behaves as on a
        // closed port, and none can reach another printer.
        port_ = held_ ? held : &ClosedPort();
    }

    void Let() {
        if (held_) ReleasePort(*port_);
        held_ = false;
    }

    JNIEnv* env_;
    jobject self_;
    jfieldID field_ = nullptr;
    PortHandle handle_ = kSharedPortHandle;
    Port* port_ = nullptr;
    bool held_ = false;
};

}  // namespace

PRN_NATIVE(openPort)(JNIEnv* env, jobject self, jstring jstrport, jstring jstrbaud) -> jlong {
    JavaChars PortName(env, jstrport);
    JavaChars BaudRate(env, jstrbaud);
    PortCall call(env, self);
    for (;;) {
        if (!call.TakeForOpen()) {
            // Every port a library gives out is open: a clear failure, nothing is tried.
            if (trace::On()) {
                trace::Opened(call.port(), PortName.get(), BaudRate.get(), BRELON_ERROR_RUNTIME);
            }
            return BRELON_ERROR_RUNTIME;
        }
        Port& port = call.port();
        const line::Lifecycle hold(port);
        // A close of this instance went first and gave its port back: take a new one.
        if (call.GivenBack()) continue;
        // A port still open from an earlier open is closed first; its monitor goes before it.
        StopMonitor(port);
        // Nothing watches the printer now: a refusal left by an earlier claim (a cover or paper
        // report, an offline or lost-link flag) would hold back the new open's own status
        // requests and its first write. The new open asks the printer instead.
        printer::ForgetReport(port, Why::Open);
        const long rtn = PortName.get() == nullptr || BaudRate.get() == nullptr
                             ? long{BRELON_ERROR_NOT_OPEN}
                             : OpenFromJava(port, PortName.get(), BaudRate.get());
        if (trace::On()) trace::Opened(port, PortName.get(), BaudRate.get(), rtn);
        if (rtn == BRELON_ERROR_SUCCESS) {
            // The printer has just reported neither cover open nor paper end: an older report
            // must not outlive that answer.
            printer::ReportReady(port, Why::Open);
            port.state.m_bOpen = 1;
            return 0;
        }
        ClosePort(port);
        port.state.m_bOpen = 0;
        call.GiveBackAfterClose();
        return rtn;
    }
}

PRN_NATIVE(claim)(JNIEnv* env, jobject self, jlong timeout, jboolean IsThermal) -> jlong {
    const PortCall call(env, self);
    const long result = Claim(call.port(), static_cast<long>(timeout), IsThermal == JNI_TRUE);
    if (trace::On()) {
        trace::Claimed(call.port(), static_cast<long>(timeout), IsThermal == JNI_TRUE, result);
    }
    return result;
}

PRN_NATIVE(release)(JNIEnv*, jobject) -> void {}

PRN_NATIVE(closePort)(JNIEnv* env, jobject self) -> void {
    PortCall call(env, self);
    Port& port = call.port();
    // Before the release: what the close itself sends and receives follows this line.
    if (trace::On()) trace::Closed(port);
    {
        // Announced before waiting for the lifecycle lock: a write or a reconnection in progress
        // gives up at its next step instead of holding the close up.
        const line::CloseIntent closing(port);
        const line::Lifecycle hold(port);
        ReleaseDevice(port);
        if (port.state.m_bOpen) {
            ClosePort(port);
            port.state.m_bOpen = 0;
        }
        // Nothing watches the printer any more. A cover or paper report left standing would
        // refuse the next open's own status requests, so a printer closed with its cover open
        // could never be opened again; a lost-link flag would make the next write reconnect for
        // nothing; the drawer of this printer says nothing about the next one's.
        printer::ForgetReport(port, Why::Close);
        call.GiveBackAfterClose();
    }
}

PRN_NATIVE(readData)(JNIEnv* env, jobject self, jbyteArray rbuf, jint, jlong) -> jint {
    const PortCall call(env, self);
    // Never more than the array holds, so no byte taken from the line is dropped.
    const jsize room = LengthOf(env, rbuf);
    const long wanted = room < kReadChunk ? room : kReadChunk;
    if (wanted == 0) return 0;
    uint8_t chunk[kReadChunk];
    const long got = ReadPort(call.port(), chunk, wanted);
    if (got <= 0) return static_cast<jint>(got);
    env->SetByteArrayRegion(rbuf, 0, static_cast<jsize>(got), reinterpret_cast<jbyte*>(chunk));
    return static_cast<jint>(got);
}

PRN_NATIVE(writeData)(JNIEnv* env, jobject self, jbyteArray sbuf, jint slen, jlong) -> jint {
    const PortCall call(env, self);
    if (slen < 0 || slen > LengthOf(env, sbuf)) return BRELON_ERROR_IO_FAIL;
    // What this thread sends from here on is the Java side's print data.
    const trace::PrintScope printData;
    if (slen == 0) return static_cast<jint>(WriteFromJava(call.port(), nullptr, 0));
    JavaBytes WriteByte(env, sbuf);
    if (WriteByte.get() == nullptr) return BRELON_ERROR_IO_FAIL;
    return static_cast<jint>(WriteFromJava(call.port(), WriteByte.get(), slen));
}

PRN_NATIVE(getPrinterStatus)(JNIEnv* env, jobject self, jlong) -> jint {
    const PortCall call(env, self);
    return call.port().state.PrinterStatusResult;
}

PRN_NATIVE(getCashDrawerStatus)(JNIEnv* env, jobject self, jlong) -> jint {
    const PortCall call(env, self);
    return call.port().state.m_DrawerOpened;
}

PRN_NATIVE(OpenDrawer)(JNIEnv* env, jobject self, jlong PinNo, jlong PulseOnTime,
                       jlong PulseOffTime) -> jint {
    const PortCall call(env, self);
    if (PinNo != 2 && PinNo != 5) return 1;
    const auto kick = escpos::DrawerKick(PinNo == 2 ? escpos::kDrawerPin2 : escpos::kDrawerPin5,
                                         static_cast<long>(PulseOnTime),
                                         static_cast<long>(PulseOffTime));
    long sent;
    {
        const line::CommandScope command;
        sent = WritePort(call.port(), kick.data(), static_cast<long>(kick.size()));
    }
    // A kick that was refused (cover open, paper out, offline) or did not go out whole pulsed
    // nothing: the till must not believe the drawer opened, nor wait for it.
    if (sent != static_cast<long>(kick.size())) {
        return static_cast<jint>(sent < 0 ? sent : long{BRELON_ERROR_IO_FAIL});
    }
    LoopSleep(kDrawerSettleMs);
    return 0;
}

PRN_NATIVE(WaitForUntilDrawerClose)(JNIEnv*, jobject, jboolean) -> jint { return 0; }

PRN_NATIVE(WaitForCompletePrinting)(JNIEnv* env, jobject self, jlong) -> jboolean {
    const PortCall call(env, self);
    return WaitForCompletePrinting(call.port()) ? JNI_TRUE : JNI_FALSE;
}

namespace {
// Every port's monitor is stopped and joined and every port closed.
void ShutDownEveryLine() {
    for (uint32_t slot = 0; slot < kPortSlots; ++slot) ShutDownLine(PortAt(slot));
}
}  // namespace

// The JVM unloads the library when the class loader that loaded it is collected; no monitor may
// go on running in code that is about to be unmapped, nor keep a printer's line.
extern "C" JNIEXPORT void JNICALL JNI_OnUnload(JavaVM*, void*) { ShutDownEveryLine(); }

extern "C" {
// Also run by dlclose and at exit, whoever unloads the library.
__attribute__((destructor)) void libDestructor() { ShutDownEveryLine(); }
}

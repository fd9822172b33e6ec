// The Java natives of one deliverable. Compiled once per deliverable with PRN_JNI_CLASS set to
// its Java class name; everything else comes from that deliverable's transport.
#include <jni.h>

#include <cstring>

#include "Claim.h"
#include "DeviceState.h"
#include "Line.h"
#include "PrinterCommands.h"
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

}  // namespace

PRN_NATIVE(openPort)(JNIEnv* env, jobject, jstring jstrport, jstring jstrbaud) -> jlong {
    JavaChars PortName(env, jstrport);
    JavaChars BaudRate(env, jstrbaud);
    const line::Lifecycle hold;
    // A port still open from an earlier open is closed first; its monitor goes before it.
    StopMonitor();
    // Nothing watches the printer now: a refusal left by an earlier claim (a cover or paper
    // report, an offline or lost-link flag) would hold back the new open's own status requests
    // and its first write. The new open asks the printer instead.
    m_bCoverOpen = 0;
    m_bPaperEmpty = 0;
    m_bOffline = 0;
    m_bPrinterError = 0;
    m_bPowerOFF = 0;
    const long rtn = PortName.get() == nullptr || BaudRate.get() == nullptr
                         ? long{BRELON_ERROR_NOT_OPEN}
                         : OpenFromJava(PortName.get(), BaudRate.get());
    if (trace::On()) trace::Opened(PortName.get(), BaudRate.get(), rtn);
    if (rtn == BRELON_ERROR_SUCCESS) {
        // The printer has just reported neither cover open nor paper end: an older report
        // must not outlive that answer.
        PrinterStatusResult = kStatusReady;
        m_bOpen = 1;
        return 0;
    }
    ClosePort();
    m_bOpen = 0;
    return rtn;
}

PRN_NATIVE(claim)(JNIEnv*, jobject, jlong timeout, jboolean IsThermal) -> jlong {
    const long result = Claim(static_cast<long>(timeout), IsThermal == JNI_TRUE);
    if (trace::On()) trace::Claimed(static_cast<long>(timeout), IsThermal == JNI_TRUE, result);
    return result;
}

PRN_NATIVE(release)(JNIEnv*, jobject) -> void {}

PRN_NATIVE(closePort)(JNIEnv*, jobject) -> void {
    // Before the release: what the close itself sends and receives follows this line.
    if (trace::On()) trace::Closed();
    // Announced before waiting for the lifecycle lock: a write or a reconnection in progress
    // gives up at its next step instead of holding the close up.
    const line::CloseIntent closing;
    const line::Lifecycle hold;
    ReleaseDevice();
    if (m_bOpen) {
        ClosePort();
        m_bOpen = 0;
    }
    // Nothing watches the printer any more. A cover or paper report left standing would refuse
    // the next open's own status requests, so a printer closed with its cover open could never
    // be opened again; a lost-link flag would make the next write reconnect for nothing; the
    // drawer of this printer says nothing about the next one's.
    m_bCoverOpen = 0;
    m_bPaperEmpty = 0;
    m_bOffline = 0;
    m_bPrinterError = 0;
    m_bPowerOFF = 0;
    m_DrawerOpened = 0;
}

PRN_NATIVE(readData)(JNIEnv* env, jobject, jbyteArray rbuf, jint, jlong) -> jint {
    // Never more than the array holds, so no byte taken from the line is dropped.
    const jsize room = LengthOf(env, rbuf);
    const long wanted = room < kReadChunk ? room : kReadChunk;
    if (wanted == 0) return 0;
    uint8_t chunk[kReadChunk];
    const long got = ReadPort(chunk, wanted);
    if (got <= 0) return static_cast<jint>(got);
    env->SetByteArrayRegion(rbuf, 0, static_cast<jsize>(got), reinterpret_cast<jbyte*>(chunk));
    return static_cast<jint>(got);
}

PRN_NATIVE(writeData)(JNIEnv* env, jobject, jbyteArray sbuf, jint slen, jlong) -> jint {
    if (slen < 0 || slen > LengthOf(env, sbuf)) return BRELON_ERROR_IO_FAIL;
    // What this thread sends from here on is the Java side's print data.
    const trace::PrintScope printData;
    if (slen == 0) return static_cast<jint>(WriteFromJava(nullptr, 0));
    JavaBytes WriteByte(env, sbuf);
    if (WriteByte.get() == nullptr) return BRELON_ERROR_IO_FAIL;
    return static_cast<jint>(WriteFromJava(WriteByte.get(), slen));
}

PRN_NATIVE(getPrinterStatus)(JNIEnv*, jobject, jlong) -> jint { return PrinterStatusResult; }

PRN_NATIVE(getCashDrawerStatus)(JNIEnv*, jobject, jlong) -> jint { return m_DrawerOpened; }

PRN_NATIVE(OpenDrawer)(JNIEnv*, jobject, jlong PinNo, jlong PulseOnTime, jlong PulseOffTime)
    -> jint {
    if (PinNo != 2 && PinNo != 5) return 1;
    const auto kick = escpos::DrawerKick(PinNo == 2 ? escpos::kDrawerPin2 : escpos::kDrawerPin5,
                                         static_cast<long>(PulseOnTime),
                                         static_cast<long>(PulseOffTime));
    long sent;
    {
        const line::CommandScope command;
        sent = WritePort(kick.data(), static_cast<long>(kick.size()));
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

PRN_NATIVE(WaitForCompletePrinting)(JNIEnv*, jobject, jlong) -> jboolean {
    return WaitForCompletePrinting() ? JNI_TRUE : JNI_FALSE;
}

// The JVM unloads the library when the class loader that loaded it is collected; the monitor
// must not go on running in code that is about to be unmapped, nor keep the printer's line.
extern "C" JNIEXPORT void JNICALL JNI_OnUnload(JavaVM*, void*) { ShutDownLine(); }

extern "C" {
// Also run by dlclose and at exit, whoever unloads the library.
__attribute__((destructor)) void libDestructor() { ShutDownLine(); }
}

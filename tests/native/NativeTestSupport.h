// Shared by the native tests: the deliverable named by PRN_NATIVE_LIB, loaded once per test
// process (and again after a test unloaded it), and calls on a thread of their own with a
// deadline, for natives that may hang.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <variant>

#include "../transport/TransportTestSupport.h"
#include "NativeLibrary.h"

namespace prntest {

// $PRN_NATIVE_LIB: the test registration sets it to this build's library; set it by hand to
// run the same tests against another build's.
inline std::string NativeLibraryPath() {
    const char* path = std::getenv("PRN_NATIVE_LIB");
    return path ? path : "";
}

// The process's library for javaClass, loaded on first use and loaded again when a test has
// unloaded it. Never destroyed: like a JVM, the process ends with the library loaded. Check
// ok() (and show error()) before calling a native.
inline NativeLibrary& Library(const std::string& javaClass) {
    static NativeLibrary* const library = new NativeLibrary;
    if (!library->loaded()) {
        const std::string path = NativeLibraryPath();
        if (path.empty()) {
            ADD_FAILURE() << "PRN_NATIVE_LIB is not set: name the deliverable to test";
        } else {
            library->load(path, javaClass);
        }
    }
    return *library;
}

// One call on a thread of its own, so that a native that never returns makes the test fail
// instead of hang.
//
// When the call has not returned by the deadline, its thread is left behind (detached at
// destruction): the call keeps running inside the library until something releases it, and
// the test must do that itself, e.g. with a _closePort from its own thread, or leave the
// process with that thread in it. The call's result lives in shared state, so a late return is
// harmless; whatever the callable captures by reference must outlive it (capture the
// process's library, or copies).
template <class Result>
class BackgroundCall {
  public:
    template <class Call>
    explicit BackgroundCall(Call call) : state_(std::make_shared<State>()) {
        thread_ = std::thread([state = state_, call = std::move(call)]() mutable {
            std::optional<Value> value;
            if constexpr (std::is_void_v<Result>) {
                call();
                value.emplace();
            } else {
                value.emplace(call());
            }
            const std::lock_guard lock(state->mutex);
            state->result = std::move(value);
            state->done.notify_all();
        });
    }
    ~BackgroundCall() {
        if (!thread_.joinable()) return;
        if (returnedWithin(std::chrono::milliseconds(0))) {
            thread_.join();
        } else {
            thread_.detach();  // see above: the test has to release it
        }
    }
    BackgroundCall(const BackgroundCall&) = delete;
    BackgroundCall& operator=(const BackgroundCall&) = delete;

    // True once the call has returned; waits at most timeout for that.
    bool returnedWithin(std::chrono::milliseconds timeout) {
        std::unique_lock lock(state_->mutex);
        return state_->done.wait_for(lock, timeout, [&] { return state_->result.has_value(); });
    }

    // The call's result; only after returnedWithin said true.
    template <class R = Result>
    std::enable_if_t<!std::is_void_v<R>, R> result() {
        const std::lock_guard lock(state_->mutex);
        return *state_->result;
    }

  private:
    using Value = std::conditional_t<std::is_void_v<Result>, std::monostate, Result>;
    struct State {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<Value> result;
    };
    std::shared_ptr<State> state_;
    std::thread thread_;
};

template <class Call>
BackgroundCall(Call) -> BackgroundCall<std::invoke_result_t<Call>>;

// The call's result if it returned within timeout; nullopt (its thread left behind, see
// BackgroundCall) if not. A void call gives true for "returned".
template <class Call>
auto ReturnsWithin(std::chrono::milliseconds timeout, Call call) {
    using Result = std::invoke_result_t<Call>;
    BackgroundCall<Result> background(std::move(call));
    const bool returned = background.returnedWithin(timeout);
    if constexpr (std::is_void_v<Result>) {
        return returned;
    } else {
        return returned ? std::optional<Result>(background.result()) : std::nullopt;
    }
}

// A duration of about expectedMs: not shorter (but for a 10 ms clock step), and at most 40% and
// 150 ms longer.
inline bool About(long tookMs, long expectedMs) {
    return tookMs >= expectedMs - 10 && tookMs <= expectedMs * 14 / 10 + 150;
}

// The base of a native test: the process's library for one port class, and what the process
// had before the test did anything, so that a test can show it left nothing behind.
class NativePortTest : public ::testing::Test {
  protected:
    explicit NativePortTest(const char* javaClass) : lib(Library(javaClass)) {}

    // Call once the test's printer exists (its threads and descriptors are not the library's).
    void TakeBaseline() {
        threads_ = ThreadCount();
        descriptors_ = OpenDescriptorCount();
    }

    // _closePort, which must return within a few seconds (it waits out the release).
    void ClosePort() {
        NativeLibrary* const library = &lib;
        EXPECT_TRUE(ReturnsWithin(std::chrono::seconds(5), [library] { library->closePort(); }))
            << "_closePort did not return";
    }

    // No JNI characters or elements still lent, and the threads and descriptors the process
    // had at the baseline. Both are given a moment: a joined thread may still be in the
    // kernel's list, and the virtual printer closes its end of a connection on its own thread.
    void ExpectNothingLeft() {
        EXPECT_EQ(lib.jni().outstandingStringChars(), 0) << "GetStringUTFChars not released";
        EXPECT_EQ(lib.jni().outstandingByteElements(), 0) << "GetByteArrayElements not released";
        EXPECT_TRUE(WaitFor([&] { return ThreadCount() == threads_; }, std::chrono::seconds(2)))
            << ThreadCount() << " threads, " << threads_ << " at the start";
        EXPECT_TRUE(
            WaitFor([&] { return OpenDescriptorCount() == descriptors_; }, std::chrono::seconds(2)))
            << OpenDescriptorCount() << " descriptors, " << descriptors_ << " at the start";
    }

    NativeLibrary& lib;

  private:
    int threads_ = 0;
    int descriptors_ = 0;
};

}  // namespace prntest

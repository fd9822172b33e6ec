#include <gtest/gtest.h>

#include <chrono>

#include "Timing.h"

namespace {

using Clock = std::chrono::steady_clock;

long MillisTaken(uint32_t delay) {
    const auto start = Clock::now();
    LoopSleep(delay);
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

TEST(Timing, SleepSplitsAboveOneSecond) {
    EXPECT_EQ(LoopSleepSplit(0).seconds, 0u);
    EXPECT_EQ(LoopSleepSplit(0).micros, 0u);
    EXPECT_EQ(LoopSleepSplit(999).micros, 999000u);
    EXPECT_EQ(LoopSleepSplit(1000).seconds, 1u);
    EXPECT_EQ(LoopSleepSplit(1000).micros, 0u);
    EXPECT_EQ(LoopSleepSplit(2500).seconds, 2u);
    EXPECT_EQ(LoopSleepSplit(2500).micros, 500000u);
    // The microsecond count is reduced to 32 bits before the split, as the clock's users expect.
    const uint32_t wrapped = 4294968u * 1000u;  // 4294968000 mod 2^32 = 704
    EXPECT_EQ(LoopSleepSplit(4294968u).seconds, 0u);
    EXPECT_EQ(LoopSleepSplit(4294968u).micros, wrapped);
}

TEST(Timing, LoopSleepWaitsAsAsked) {
    EXPECT_LT(MillisTaken(0), 50);
    const long one = MillisTaken(1000);
    EXPECT_GE(one, 990);
    EXPECT_LT(one, 1400 + 150);
    const long two = MillisTaken(2000);
    EXPECT_GE(two, 1990);
    EXPECT_LT(two, 2800 + 150);
}

TEST(Timing, DifferencesSurviveTheWrap) {
    const uint32_t before = 0xFFFFFFF0u;
    const uint32_t after = 0x00000010u;
    EXPECT_EQ(ElapsedSince(before, after), 0x20u);
    const uint32_t a = timeGetTime();
    LoopSleep(30);
    const uint32_t b = timeGetTime();
    EXPECT_GE(ElapsedSince(a, b), 29u);
    EXPECT_LT(ElapsedSince(a, b), 1000u);
}

}  // namespace

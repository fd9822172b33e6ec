// What Interpose.cpp lets a line test do to the C library's answers.
#pragma once

namespace prntest {

// Moves the wall clock (gettimeofday, CLOCK_REALTIME) by millis; the monotonic clock stays.
void StepWallClock(long long millis);
void ResetWallClock();

// connect() calls made in this process so far.
int ConnectCalls();

// The next `calls` blocking sends of more than three bytes find the printer's window closed:
// each waits the 1 s send timeout and fails with EAGAIN, sending nothing.
void StallSends(int calls);

}  // namespace prntest

// The frame clock: seconds between successive calls, from a monotonic
// high-resolution clock. Main thread only.
#pragma once

// Takes the current time as the previous reading.
void ResetFrameClock();
// Seconds since the previous call (or since ResetFrameClock).
double FrameClockElapsed();

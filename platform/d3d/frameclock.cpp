#include "platform/d3d/frameclock.h"

#include <chrono>

namespace {
std::chrono::steady_clock::time_point previousReading = std::chrono::steady_clock::now();
}

void ResetFrameClock() { previousReading = std::chrono::steady_clock::now(); }

double FrameClockElapsed()
{
    const auto now = std::chrono::steady_clock::now();
    const std::chrono::duration<double> seconds = now - previousReading;
    previousReading = now;
    return seconds.count();
}

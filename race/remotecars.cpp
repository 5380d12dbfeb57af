#include "race/remotecars.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <numbers>

#include "race/racestate.h"

namespace remotecars {

namespace {

struct TSample {
    double Time = 0;  // when the sender sent it, as well as this side can tell
    TPose Pose;
};

// The last states of one car, oldest first, and what the arrivals taught
// about its sender's rhythm.
struct TTrack {
    std::array<TSample, 6> Samples;
    int Count = 0;
    double LastArrival = 0;
    double Interval = 30;  // the sender's frames round its 25 ms up
};
std::array<TTrack, spiel::MaxPlayers> Tracks;

constexpr float Pi = std::numbers::pi_v<float>;

float Lerp(float a, float b, float f) { return a + (b - a) * f; }

// Angles that wrap at a full turn go the short way round.
float LerpAngle(float a, float b, float f)
{
    float d = std::fmod(b - a, 2 * Pi);
    if (d > Pi) d -= 2 * Pi;
    if (d < -Pi) d += 2 * Pi;
    return a + d * f;
}

TPose Between(const TPose& a, const TPose& b, float f)
{
    TPose p;
    p.Pos = a.Pos + (b.Pos - a.Pos) * f;
    p.Steer = Lerp(a.Steer, b.Steer, f);
    p.Pitch = Lerp(a.Pitch, b.Pitch, f);
    p.Roll = Lerp(a.Roll, b.Roll, f);
    p.Heading = LerpAngle(a.Heading, b.Heading, f);
    p.WheelAngle = LerpAngle(a.WheelAngle, b.WheelAngle, f);
    return p;
}

}  // namespace

void Received(int record, const TPose& pose, double nowMs)
{
    if (record < 0 || record >= spiel::MaxPlayers) return;
    TTrack& t = Tracks[size_t(record)];
    double time = nowMs;
    if (t.Count > 0 && Magnitude(pose.Pos - t.Samples[size_t(t.Count - 1)].Pose.Pos) <= SnapDistance) {
        // Arrivals jitter by the receiver's frames; the sender's rhythm does
        // not. A gap of about n intervals is n states, some of them lost.
        const double gap = nowMs - t.LastArrival;
        const double n = std::max(1.0, std::round(gap / t.Interval));
        if (n <= 3) t.Interval = std::clamp(t.Interval + 0.1 * (gap / n - t.Interval), 10.0, 200.0);
        const double expected = t.Samples[size_t(t.Count - 1)].Time + n * t.Interval;
        // Never later than the arrival, never so much earlier that the
        // estimate drifts away from it.
        time = std::clamp(expected, nowMs - t.Interval, nowMs);
    } else {
        t.Count = 0;
    }
    t.LastArrival = nowMs;
    if (t.Count == int(t.Samples.size())) {
        std::move(t.Samples.begin() + 1, t.Samples.end(), t.Samples.begin());
        t.Count -= 1;
    }
    t.Samples[size_t(t.Count++)] = {time, pose};
}

TPose Drawn(int record, const TPose& latest, double nowMs)
{
    if (record < 0 || record >= spiel::MaxPlayers) return latest;
    const TTrack& t = Tracks[size_t(record)];
    if (t.Count == 0) return latest;
    const double at = nowMs - DelayMs;
    const TSample& first = t.Samples[0];
    if (at <= first.Time) return first.Pose;
    for (int k = 1; k < t.Count; ++k) {
        const TSample& a = t.Samples[size_t(k - 1)];
        const TSample& b = t.Samples[size_t(k)];
        if (at <= b.Time) return Between(a.Pose, b.Pose, float((at - a.Time) / std::max(b.Time - a.Time, 1e-3)));
    }
    // Past the newest state: on at the speed between the last two.
    const TSample& last = t.Samples[size_t(t.Count - 1)];
    if (t.Count < 2) return last.Pose;
    const TSample& before = t.Samples[size_t(t.Count - 2)];
    const double ahead = std::min(at - last.Time, MaxExtrapolationMs);
    const float f = float(ahead / std::max(last.Time - before.Time, 1e-3));
    TPose p = last.Pose;
    p.Pos = last.Pose.Pos + (last.Pose.Pos - before.Pose.Pos) * f;
    return p;
}

void Reset()
{
    for (TTrack& t : Tracks) t = {};
}

double NowMs()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace remotecars

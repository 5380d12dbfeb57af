#include "cars/autopilot.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace autopilot {

namespace {

constexpr float Pi = std::numbers::pi_v<float>;

// Beyond this a turn needs the brake at speed.
constexpr float SharpTurn = 1.1f;
constexpr float TurnSpeed = 35;
// Less than this far in a second with the throttle down is stuck: pushed
// back by a tree or a post every frame however fast the wheels turn.
constexpr float StuckDistance = 60;
constexpr float ReverseTime = 1.8f;
constexpr float BehindTurn = 1.6f;
constexpr float BackRoundDistance = 1300;
// After backing out the car heads this far off its aim for a while, so that
// it passes the obstacle instead of meeting it again.
constexpr float DodgeAngle = 1.2f;
constexpr float DodgeTime = 3.0f;
// A gate takes well under this; longer, the car is caught on a slope it
// cannot climb, and heads down it for a while before it tries again.
constexpr float GateTimeLimit = 30;
constexpr float DownhillTime = 5;

float Wrapped(float a)
{
    while (a > Pi) a -= 2 * Pi;
    while (a < -Pi) a += 2 * Pi;
    return a;
}

// The point to head for: on the gate's axis, nearer the opening the nearer
// the car is, so that it comes in straight between the posts.
D3DVECTOR AimPoint(const D3DVECTOR& pos, const track::TGateRec& gate)
{
    const float c = std::cos(gate.Yaw), s = std::sin(gate.Yaw);
    const D3DVECTOR d = pos - gate.Pos;
    // Gate space: x along the opening, z along the axis.
    const float lx = d.x * c - d.z * s, lz = d.x * s + d.z * c;
    float along;
    if (std::abs(lx) < 350)
        along = -std::copysign(400.0f, lz);  // lined up: through it
    else
        along = std::copysign(std::clamp(std::abs(lz) * 0.5f, 600.0f, 1200.0f), lz);
    return gate.Pos + D3DVECTOR{along * s, 0, along * c};
}

}  // namespace

move::TControls Drive(const spiel::TPlayerRec& car, const track::TGateRec& gate, double frameTime, TState& state)
{
    const float dt = float(frameTime);
    const D3DVECTOR aim = AimPoint(car.Pos, gate);
    float wanted = std::atan2(aim.x - car.Pos.x, aim.z - car.Pos.z);
    if (state.Dodge > 0) {
        state.Dodge -= dt;
        wanted += state.DodgeSide * DodgeAngle;
    }
    if (state.Downhill > 0) {
        // The ground's normal leans the way down.
        state.Downhill -= dt;
        D3DVECTOR n{0, 1, 0};
        move::TerrainHeight(car.Pos.x, car.Pos.z, &n);
        if (n.x != 0 || n.z != 0) wanted = std::atan2(n.x, n.z);
    }
    const float turn = Wrapped(wanted - car.Heading);

    move::TControls c;
    // The car turns on a circle of about 640 whatever its speed: an aim
    // behind it and nearer than that is reached by backing round.
    const bool behind = std::abs(turn) > BehindTurn && Magnitude(aim - car.Pos) < BackRoundDistance;
    if (state.Reverse > 0 || behind) {
        // Backing out with the wheel the other way turns the nose to the aim.
        if (state.Reverse > 0) state.Reverse -= dt;
        if (state.Reverse <= 0 && !behind) {
            state.Dodge = DodgeTime;
            state.DodgeSide = -state.DodgeSide;
        }
        c.Down = true;
        c.Left = turn > 0;
        c.Right = turn < 0;
        return c;
    }
    // Hold the steering near what the turn asks for; it springs back alone.
    const float steer = std::clamp(turn * 1.5f, -Pi / 6, Pi / 6);
    c.Right = car.Steer < steer - 0.05f;
    c.Left = car.Steer > steer + 0.05f;
    const bool sharp = std::abs(turn) > SharpTurn;
    c.Down = sharp && car.Speed > TurnSpeed;
    c.Up = !c.Down && car.Speed < state.TopSpeed;

    state.SinceGate += dt;
    if (car.GatesPassed != state.Gates) state.Gates = car.GatesPassed, state.SinceGate = 0;
    if (state.SinceGate > GateTimeLimit) state.SinceGate = 0, state.Downhill = DownhillTime;
    state.Watch += dt;
    if (state.Watch >= 1) {
        if (Magnitude(car.Pos - state.WatchedPos) < StuckDistance) state.Reverse = ReverseTime;
        state.Watch = 0;
        state.WatchedPos = car.Pos;
    }
    return c;
}

TState& LocalDriver()
{
    static TState state;
    return state;
}

move::TControls DriveLocalCar(double frameTime)
{
    TState& state = LocalDriver();
    const spiel::TPlayerRec& me = spiel::PlayerTable[0];
    if (me.NextGate < 0 || me.NextGate >= spiel::RaceGateCount) return {};
    const uint32_t gate = spiel::GateOrder[size_t(me.NextGate)];
    if (gate >= uint32_t(track::GateCount)) return {};
    return Drive(me, track::GateTable[gate], frameTime, state);
}

}  // namespace autopilot

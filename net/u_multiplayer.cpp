#include "net/u_multiplayer.h"

#include <bit>
#include <chrono>
#include <cmath>
#include <optional>

#include "platform/d3d/frameclock.h"
#include "race/racestate.h"
#include "race/remotecars.h"
#include "race/spiel.h"

namespace u_multiplayer {

TDXPlay* DXPlay = nullptr;
TSessionPort SessionPort;
IMessageWindow* MessageWindow = nullptr;
uint64_t DroppedMessages = 0;

void PutU16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void PutU32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

void PutF32(uint8_t* p, float v) { PutU32(p, std::bit_cast<uint32_t>(v)); }

uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t GetU32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

float GetF32(const uint8_t* p) { return std::bit_cast<float>(GetU32(p)); }

namespace {

void PutVector(uint8_t* p, const D3DVECTOR& v)
{
    PutF32(p, v.x);
    PutF32(p + 4, v.y);
    PutF32(p + 8, v.z);
}

D3DVECTOR GetVector(const uint8_t* p) { return {GetF32(p), GetF32(p + 4), GetF32(p + 8)}; }

bool HasKind(std::span<const uint8_t> data, uint32_t kind, size_t size)
{
    return data.size() >= size && GetU32(data.data()) == kind;
}

}  // namespace

// Car state, 52 bytes:
//   0  u32      kind 0
//   4  6 × f32  Spare, Steer, WheelAngle, Pitch, Heading, Roll
//  28  3 × f32  Pos x, y, z
//  40  3 × f32  Move x, y, z
std::array<uint8_t, CarStateSize> EncodeCarState(const TCarStateMsg& m)
{
    std::array<uint8_t, CarStateSize> b{};
    PutU32(&b[0], KindCarState);
    PutF32(&b[4], m.Spare);
    PutF32(&b[8], m.Steer);
    PutF32(&b[12], m.WheelAngle);
    PutF32(&b[16], m.Pitch);
    PutF32(&b[20], m.Heading);
    PutF32(&b[24], m.Roll);
    PutVector(&b[28], m.Pos);
    PutVector(&b[40], m.Move);
    return b;
}

bool DecodeCarState(std::span<const uint8_t> data, TCarStateMsg& out)
{
    if (!HasKind(data, KindCarState, CarStateSize)) return false;
    const uint8_t* p = data.data();
    out.Spare = GetF32(p + 4);
    out.Steer = GetF32(p + 8);
    out.WheelAngle = GetF32(p + 12);
    out.Pitch = GetF32(p + 16);
    out.Heading = GetF32(p + 20);
    out.Roll = GetF32(p + 24);
    out.Pos = GetVector(p + 28);
    out.Move = GetVector(p + 40);
    return true;
}

// Text, n + 8 bytes:
//   0      u32  kind 1 (chat line) or 2 (command)
//   4      u16  n, the number of text bytes
//   6      n    the text, Latin-1, no terminator
//   6 + n  2    padding (zero here; the receiver ignores it)
std::vector<uint8_t> EncodeText(uint32_t kind, std::string_view text)
{
    if (text.size() > MaxTextBytes) text = text.substr(0, MaxTextBytes);
    std::vector<uint8_t> b(TextHeaderSize + text.size() + TextPadding, 0);
    PutU32(&b[0], kind);
    PutU16(&b[4], static_cast<uint16_t>(text.size()));
    for (size_t i = 0; i < text.size(); ++i) b[TextHeaderSize + i] = static_cast<uint8_t>(text[i]);
    return b;
}

bool DecodeText(std::span<const uint8_t> data, TTextMsg& out)
{
    if (data.size() < TextHeaderSize) return false;
    const uint32_t kind = GetU32(data.data());
    if (kind != KindChat && kind != KindCommand) return false;
    size_t n = GetU16(data.data() + 4);
    // A length beyond what arrived is read up to the end of the message.
    if (n > data.size() - TextHeaderSize) n = data.size() - TextHeaderSize;
    out.Kind = kind;
    out.Text.assign(reinterpret_cast<const char*>(data.data() + TextHeaderSize), n);
    return true;
}

// Set position, 20 bytes:
//   0  u32      kind 3
//   4  3 × f32  new Pos x, y, z of the receiver's car
//  16  u8       stop flag (≠ 0: Speed := 0 as well)
//  17  3        padding (zero here; ignored)
std::array<uint8_t, SetPositionSize> EncodeSetPosition(const TSetPositionMsg& m)
{
    std::array<uint8_t, SetPositionSize> b{};
    PutU32(&b[0], KindSetPosition);
    PutVector(&b[4], m.Pos);
    b[16] = m.Stop;
    return b;
}

bool DecodeSetPosition(std::span<const uint8_t> data, TSetPositionMsg& out)
{
    if (!HasKind(data, KindSetPosition, SetPositionSize)) return false;
    out.Pos = GetVector(data.data() + 4);
    out.Stop = data[16];
    return true;
}

// Start position, 20 bytes:
//   0  u32      kind 4
//   4  3 × f32  start Pos x, y, z
//  16  u32      the session player id whose car it is
std::array<uint8_t, StartPositionSize> EncodeStartPosition(const TStartPositionMsg& m)
{
    std::array<uint8_t, StartPositionSize> b{};
    PutU32(&b[0], KindStartPosition);
    PutVector(&b[4], m.Pos);
    PutU32(&b[16], m.PlayerId);
    return b;
}

bool DecodeStartPosition(std::span<const uint8_t> data, TStartPositionMsg& out)
{
    if (!HasKind(data, KindStartPosition, StartPositionSize)) return false;
    out.Pos = GetVector(data.data() + 4);
    out.PlayerId = GetU32(data.data() + 16);
    return true;
}

TCommand ParseCommand(std::string_view text)
{
    struct TPrefix {
        std::string_view Word;
        TCommand Command;
    };
    static constexpr TPrefix prefixes[] = {
        {CmdHost, TCommand::Host},
        {CmdLobbyStatus, TCommand::LobbyStatus},
        {CmdGo, TCommand::Go},
        {CmdAbort, TCommand::Abort},
        {CmdBereit, TCommand::Bereit},
        {CmdLosJetzt, TCommand::LosJetzt},
        {CmdTorliste, TCommand::Torliste},
        {CmdNextTor, TCommand::NextTor},
        {CmdUpdateMyGoal, TCommand::UpdateMyGoal},
    };
    for (const TPrefix& p : prefixes)
        if (text.starts_with(p.Word)) return p.Command;
    if (text == CmdSpielAbbrechen) return TCommand::SpielAbbrechen;
    if (text == CmdSpielBereit) return TCommand::SpielBereit;
    if (text == CmdLosfahren) return TCommand::Losfahren;
    return TCommand::None;
}

bool ParseHostId(std::string_view text, uint32_t& id)
{
    if (!text.starts_with(CmdHost)) return false;
    const std::string_view digits = text.substr(CmdHost.size());
    if (digits.empty() || digits.size() > 10) return false;
    uint64_t v = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > 0xFFFFFFFFull) return false;
    id = static_cast<uint32_t>(v);
    return true;
}

bool ParseTorliste(std::string_view text, std::array<uint32_t, 5>& order)
{
    if (!text.starts_with(CmdTorliste)) return false;
    const std::string_view digits = text.substr(CmdTorliste.size());
    if (digits.size() < 5) return false;
    std::array<uint32_t, 5> parsed{};
    unsigned seen = 0;
    for (int i = 0; i < 5; ++i) {
        const char c = digits[i];
        // The digits index the gate table: anything but a permutation of
        // 0..4 would point past it or make a gate impossible to reach.
        if (c < '0' || c > '4') return false;
        parsed[i] = static_cast<uint32_t>(c - '0');
        if (seen & (1u << parsed[i])) return false;
        seen |= 1u << parsed[i];
    }
    order = parsed;
    return true;
}

std::string_view LobbyStatusText(std::string_view text)
{
    if (!text.starts_with(CmdLobbyStatus)) return {};
    return text.substr(CmdLobbyStatus.size());
}

void DetachSession()
{
    DXPlay = nullptr;
    SessionPort = TSessionPort{};
}

bool SessionOpen()
{
    return DXPlay != nullptr && SessionPort.Opened != nullptr && SessionPort.Send != nullptr &&
           SessionPort.Opened(*DXPlay);
}

void KeepSessionAlive()
{
    if (SessionOpen() && SessionPort.KeepAlive != nullptr) SessionPort.KeepAlive(*DXPlay);
}

uint32_t LocalPlayerId()
{
    if (!SessionOpen() || SessionPort.LocalId == nullptr) return 0;
    return SessionPort.LocalId(*DXPlay);
}

std::string SessionPlayerName(uint32_t id)
{
    if (!SessionOpen() || SessionPort.PlayerName == nullptr) return "";
    return SessionPort.PlayerName(*DXPlay, id);
}

bool SessionIsHost() { return SessionOpen() && SessionPort.IsHost != nullptr && SessionPort.IsHost(*DXPlay); }

bool FromSessionHost(const TDXPlayPlayer& sender)
{
    if (!SessionOpen() || SessionPort.HostId == nullptr || sender.ID == 0) return false;
    return sender.ID == SessionPort.HostId(*DXPlay) ||
           (SessionPort.NextHostId != nullptr && sender.ID == SessionPort.NextHostId(*DXPlay));
}

int SessionPlayerCount()
{
    if (!SessionOpen() || SessionPort.PlayerCount == nullptr) return 0;
    return SessionPort.PlayerCount(*DXPlay);
}

namespace {

void Send(uint32_t toId, const uint8_t* data, size_t size, bool guaranteed)
{
    SessionPort.Send(*DXPlay, toId, data, static_cast<int>(size), guaranteed);
}

// The millisecond clock of the car-state interval.
int64_t MilliClock()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::optional<int64_t> LastCarStateSend;

}  // namespace

void SendText(std::string_view text, uint32_t kind, uint32_t toId, bool andItself)
{
    if (!SessionOpen()) return;
    const std::vector<uint8_t> b = EncodeText(kind, text);
    Send(toId, b.data(), b.size(), true);
    // Our own copy is handled inside this send and may close the session.
    if (andItself && SessionOpen()) Send(LocalPlayerId(), b.data(), b.size(), true);
}

TCarStateMsg CarStateOfLocalCar()
{
    const spiel::TPlayerRec& r = spiel::PlayerTable[0];
    TCarStateMsg m;
    m.Spare = r.Spare;
    m.Steer = r.Steer;
    m.WheelAngle = r.WheelAngle;
    m.Pitch = r.Pitch;
    m.Heading = r.Heading;
    m.Roll = r.Roll;
    m.Pos = r.Pos;
    m.Move = r.Move;
    return m;
}

void SendCarState()
{
    if (!SessionOpen()) return;
    const int64_t now = MilliClock();
    if (LastCarStateSend && now - *LastCarStateSend < CarStateIntervalMs) return;
    LastCarStateSend = now;
    const auto b = EncodeCarState(CarStateOfLocalCar());
    Send(0, b.data(), b.size(), false);
}

void SendSetPosition(const D3DVECTOR& pos, uint8_t stop, uint32_t playerId)
{
    if (!SessionOpen()) return;
    const auto b = EncodeSetPosition({pos, stop});
    Send(playerId, b.data(), b.size(), true);
}

void SendStartPosition(const D3DVECTOR& pos, uint32_t playerId)
{
    if (!SessionOpen()) return;
    const auto b = EncodeStartPosition({pos, playerId});
    Send(0, b.data(), b.size(), true);
    if (SessionOpen()) Send(LocalPlayerId(), b.data(), b.size(), true);
}

namespace {

bool Finite(const D3DVECTOR& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

// Where a car can be: over the world's 25600 × 25600 units with a margin,
// and not far above or below its ground (heights 0 … 1275).
constexpr float WorldReach = 13800;
constexpr float HeightReach = 10000;
// A car at full speed covers about 1000 units a second; one driving step
// (a frame) never lasts a second at a playable frame rate.
constexpr float LongestMove = 2000;

bool InWorld(const D3DVECTOR& p)
{
    return Finite(p) && std::abs(p.x) <= WorldReach && std::abs(p.z) <= WorldReach && std::abs(p.y) <= HeightReach;
}

bool DrivableMove(const D3DVECTOR& m) { return Finite(m) && Magnitude(m) <= LongestMove; }

void Drop() { ++DroppedMessages; }

// Kind 0: the first record among 1..9 with the sender's Id, or a free one.
void HandleCarState(const TDXPlayPlayer& sender, std::span<const uint8_t> data)
{
    if (SessionPlayerCount() < 2) return;
    TCarStateMsg m;
    if (!DecodeCarState(data, m)) return Drop();
    // A car that is not at a finite place would poison the referee's and
    // the drawing's arithmetic; and Id 0 would claim a slot for nobody.
    const float angles[] = {m.Spare, m.Steer, m.WheelAngle, m.Pitch, m.Heading, m.Roll};
    for (float a : angles)
        if (!std::isfinite(a)) return Drop();
    if (!InWorld(m.Pos) || !DrivableMove(m.Move) || sender.ID == 0) return Drop();
    const int i = spiel::ClaimCarStateRecord(sender.ID);
    if (i < 0) return;
    spiel::TPlayerRec& r = spiel::PlayerTable[i];
    r.Pos = m.Pos;
    r.Move = m.Move;
    r.Spare = m.Spare;
    r.Steer = m.Steer;
    r.WheelAngle = m.WheelAngle;
    r.Pitch = m.Pitch;
    r.Heading = m.Heading;
    r.Roll = m.Roll;
    remotecars::Received(i, {m.Pos, m.Steer, m.WheelAngle, m.Pitch, m.Heading, m.Roll}, remotecars::NowMs());
}

void HandleSetPosition(std::span<const uint8_t> data)
{
    TSetPositionMsg m;
    if (!DecodeSetPosition(data, m) || !InWorld(m.Pos)) return Drop();
    spiel::TPlayerRec& me = spiel::PlayerTable[0];
    if (m.Stop != 0) me.Speed = 0;
    me.Pos = m.Pos;
}

void HandleStartPosition(std::span<const uint8_t> data)
{
    TStartPositionMsg m;
    if (!DecodeStartPosition(data, m) || !InWorld(m.Pos) || m.PlayerId == 0) return Drop();
    const int n = SessionPlayerCount();
    if (n < 1) return;
    const int i = spiel::ClaimStartPositionRecord(m.PlayerId, n);
    if (i >= 0) spiel::PlayerTable[i].Pos = m.Pos;
}

// The commands only the host sends; anyone else's would let one program
// steer the race of all.
bool HostOnly(TCommand c)
{
    switch (c) {
        case TCommand::Host:
        case TCommand::LobbyStatus:
        case TCommand::Go:
        case TCommand::Abort:
        case TCommand::LosJetzt:
        case TCommand::Torliste:
        case TCommand::NextTor:
        case TCommand::SpielAbbrechen:
        case TCommand::Losfahren:
            return true;
        default:
            return false;
    }
}

// The lap count of "lobbystatus:": a number 1 … 20.
bool ValidLaps(std::string_view laps)
{
    if (laps.empty() || laps.size() > 2) return false;
    int n = 0;
    for (char c : laps) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
    }
    return n >= 1 && n <= 20;
}

void HandleCommand(const TDXPlayPlayer& sender, const std::string& text)
{
    IMessageWindow* w = MessageWindow;
    const TCommand command = ParseCommand(text);
    if (HostOnly(command) && !FromSessionHost(sender)) return Drop();
    switch (command) {
        case TCommand::None:
            return;
        case TCommand::Host: {
            uint32_t id = 0;
            if (!ParseHostId(text, id)) return Drop();
            if (w) w->HostAnnounced(id);
            return;
        }
        case TCommand::LobbyStatus:
            if (!ValidLaps(LobbyStatusText(text))) return Drop();
            if (w) w->LobbyStatus(std::string(LobbyStatusText(text)));
            return;
        case TCommand::Go:
            spiel::GamePhase = spiel::PhaseStartAnnounced;
            if (w) w->RaceAnnounced();
            return;
        case TCommand::Abort:
            spiel::GamePhase = spiel::PhaseLockedOut;
            if (w) w->LockedOut();
            return;
        case TCommand::Bereit:
            if (w) w->PlayerReady(sender);
            return;
        case TCommand::LosJetzt:
            if (w) w->RaceBegins();
            spiel::GamePhase = spiel::PhaseRacing;
            spiel::ControlsLocked = 1;
            // Every start position has arrived before this command (same ordered
            // channel), so the sides recorded now are those of this race.
            spiel::RecordGateSides();
            ResetFrameClock();
            return;
        case TCommand::Torliste: {
            std::array<uint32_t, 5> order{};
            if (!ParseTorliste(text, order)) return Drop();
            spiel::GateOrder = order;
            return;
        }
        case TCommand::NextTor:
            spiel::OnNextTor();
            return;
        case TCommand::UpdateMyGoal:
            spiel::OnUpdateMyGoal(sender.ID, SessionIsHost());
            return;
        case TCommand::SpielAbbrechen:
            spiel::GamePhase = spiel::PhaseMenu;
            if (w) w->RaceAborted();
            return;
        case TCommand::SpielBereit:
            spiel::CountPlayReady(sender.ID);
            return;
        case TCommand::Losfahren:
            spiel::StartClock = 0.0f;
            if (w) w->StartMusic();
            return;
    }
}

}  // namespace

bool LetsBackIn(const uint8_t* data, int size)
{
    TTextMsg t;
    if (data == nullptr || size < KindSize || GetU32(data) != KindCommand) return false;
    if (!DecodeText(std::span<const uint8_t>(data, static_cast<size_t>(size)), t)) return false;
    return t.Text == CmdSpielAbbrechen || t.Text == CmdKannstMitspielen;
}

void HandleMessage(const TDXPlayPlayer& sender, const uint8_t* data, int size)
{
    if (!SessionOpen()) return;
    if (data == nullptr || size < KindSize) return Drop();
    const std::span<const uint8_t> bytes(data, static_cast<size_t>(size));
    const uint32_t kind = GetU32(data);
    switch (kind) {
        case KindCarState:
            return HandleCarState(sender, bytes);
        case KindChat:
        case KindCommand: {
            TTextMsg t;
            if (!DecodeText(bytes, t)) return Drop();
            if (kind == KindChat) {
                if (MessageWindow) MessageWindow->ChatLine(sender.Name + ": " + WireToUtf8(t.Text));
                return;
            }
            return HandleCommand(sender, t.Text);
        }
        case KindSetPosition:
            if (!FromSessionHost(sender)) return Drop();
            return HandleSetPosition(bytes);
        case KindStartPosition:
            if (!FromSessionHost(sender)) return Drop();
            return HandleStartPosition(bytes);
        default:
            return;  // kinds 5 and above are not used
    }
}

}  // namespace u_multiplayer

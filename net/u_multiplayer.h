// The game's messages between the players' programs: the byte layout of
// every record (little-endian, encoded field by field), the text commands,
// and the send procedures that go through the session layer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/wiretext.h"
#include "platform/d3d/d3dtypes.h"
#include "platform/dxplay/dxplay.h"

namespace u_multiplayer {

// Message kinds; every message starts with one as a u32.
constexpr uint32_t KindCarState = 0;
constexpr uint32_t KindChat = 1;
constexpr uint32_t KindCommand = 2;
constexpr uint32_t KindSetPosition = 3;
constexpr uint32_t KindStartPosition = 4;
constexpr uint32_t KindCount = 5;  // kinds from here on are ignored

constexpr int KindSize = 4;
constexpr int CarStateSize = 52;
constexpr int SetPositionSize = 20;
constexpr int StartPositionSize = 20;
constexpr int TextHeaderSize = 6;  // kind + u16 length
constexpr int TextPadding = 2;     // after the text; content not significant
constexpr size_t MaxTextBytes = 65535;

// Byte order, in one place. Writers are given room by their caller.
void PutU16(uint8_t* p, uint16_t v);
void PutU32(uint8_t* p, uint32_t v);
void PutF32(uint8_t* p, float v);
uint16_t GetU16(const uint8_t* p);
uint32_t GetU32(const uint8_t* p);
float GetF32(const uint8_t* p);

// Kind 0: the sender's own car.
struct TCarStateMsg {
    float Spare = 0, Steer = 0, WheelAngle = 0, Pitch = 0, Heading = 0, Roll = 0;
    D3DVECTOR Pos;
    D3DVECTOR Move;
};
// Kinds 1 (chat line) and 2 (command): 8-bit text in code page 1252.
struct TTextMsg {
    uint32_t Kind = KindCommand;
    std::string Text;
};
// Kind 3: where the receiver's own car goes; Stop ≠ 0 also stops it.
struct TSetPositionMsg {
    D3DVECTOR Pos;
    uint8_t Stop = 0;
};
// Kind 4: the start position of one player's car.
struct TStartPositionMsg {
    D3DVECTOR Pos;
    uint32_t PlayerId = 0;
};

std::array<uint8_t, CarStateSize> EncodeCarState(const TCarStateMsg& m);
// Text longer than MaxTextBytes is cut there.
std::vector<uint8_t> EncodeText(uint32_t kind, std::string_view text);
std::array<uint8_t, SetPositionSize> EncodeSetPosition(const TSetPositionMsg& m);
std::array<uint8_t, StartPositionSize> EncodeStartPosition(const TStartPositionMsg& m);

// Each decoder is false (and leaves out unchanged) for a message of another
// kind or shorter than its record. Bytes after a record are ignored.
bool DecodeCarState(std::span<const uint8_t> data, TCarStateMsg& out);
// A length field beyond the bytes received is read up to the end received.
bool DecodeText(std::span<const uint8_t> data, TTextMsg& out);
bool DecodeSetPosition(std::span<const uint8_t> data, TSetPositionMsg& out);
bool DecodeStartPosition(std::span<const uint8_t> data, TStartPositionMsg& out);

// Commands (kind 2), recognised in this order: the first nine by their
// leading characters, the last three by the whole text. "kannst mitspielen"
// is the lobby window's own filter's.
enum class TCommand {
    None,
    Host,            // "host:" + id
    LobbyStatus,     // "lobbystatus:" + laps
    Go,              // "go!"
    Abort,           // "abort"
    Bereit,          // "bereit"
    LosJetzt,        // "los jetzt"
    Torliste,        // "torliste:" + five digits
    NextTor,         // "nexttor"
    UpdateMyGoal,    // "updatemygoal"
    SpielAbbrechen,  // "spiel abbrechen"
    SpielBereit,     // "spielbereit"
    Losfahren,       // "losfahren"
};
inline constexpr std::string_view CmdHost = "host:";
inline constexpr std::string_view CmdLobbyStatus = "lobbystatus:";
inline constexpr std::string_view CmdGo = "go!";
inline constexpr std::string_view CmdAbort = "abort";
inline constexpr std::string_view CmdBereit = "bereit";
inline constexpr std::string_view CmdLosJetzt = "los jetzt";
inline constexpr std::string_view CmdTorliste = "torliste:";
inline constexpr std::string_view CmdNextTor = "nexttor";
inline constexpr std::string_view CmdUpdateMyGoal = "updatemygoal";
inline constexpr std::string_view CmdSpielAbbrechen = "spiel abbrechen";
inline constexpr std::string_view CmdSpielBereit = "spielbereit";
inline constexpr std::string_view CmdLosfahren = "losfahren";
inline constexpr std::string_view CmdKannstMitspielen = "kannst mitspielen";

TCommand ParseCommand(std::string_view text);
// "host:" + unsigned 32-bit decimal; false for anything else after the
// keyword (empty, a sign, a non-digit, a value beyond 4294967295).
bool ParseHostId(std::string_view text, uint32_t& id);
// "torliste:" + the gate numbers 0..4 in racing order, one digit each; false
// unless they are five digits forming a permutation of 0..4.
bool ParseTorliste(std::string_view text, std::array<uint32_t, 5>& order);
// "lobbystatus:" + laps: the text after the keyword.
std::string_view LobbyStatusText(std::string_view text);

// The session the sends go through; the window sets it. nullptr or not
// Opened() is a closed session: every send then does nothing.
extern TDXPlay* DXPlay;

// The send path, reached only through these pointers so that the rule
// modules link without the session layer; AttachSession fills them.
struct TSessionPort {
    bool (*Opened)(TDXPlay&) = nullptr;
    uint32_t (*LocalId)(TDXPlay&) = nullptr;
    void (*Send)(TDXPlay&, uint32_t toId, const void* data, int size, bool guaranteed) = nullptr;
    bool (*IsHost)(TDXPlay&) = nullptr;
    int (*PlayerCount)(TDXPlay&) = nullptr;
    uint32_t (*HostId)(TDXPlay&) = nullptr;
    uint32_t (*NextHostId)(TDXPlay&) = nullptr;
    std::string (*PlayerName)(TDXPlay&, uint32_t id) = nullptr;
    void (*KeepAlive)(TDXPlay&) = nullptr;
};
extern TSessionPort SessionPort;

// Points the sends at session (nullptr closes them). Inline, so that only
// the program that owns a session links the session layer.
inline void AttachSession(TDXPlay* session)
{
    DXPlay = session;
    SessionPort.Opened = [](TDXPlay& s) { return s.Opened(); };
    SessionPort.LocalId = [](TDXPlay& s) -> uint32_t {
        TDXPlayPlayer* p = s.LocalPlayer();
        return p ? p->ID : 0;
    };
    SessionPort.Send = [](TDXPlay& s, uint32_t toId, const void* data, int size, bool guaranteed) {
        s.SendMessage(toId, data, size, guaranteed);
    };
    SessionPort.IsHost = [](TDXPlay& s) { return s.IsHost(); };
    SessionPort.PlayerCount = [](TDXPlay& s) { return static_cast<int>(s.Players().size()); };
    SessionPort.HostId = [](TDXPlay& s) { return s.HostID(); };
    SessionPort.NextHostId = [](TDXPlay& s) { return s.NextHostID(); };
    SessionPort.PlayerName = [](TDXPlay& s, uint32_t id) -> std::string {
        for (const TDXPlayPlayer* p : s.Players())
            if (p->ID == id) return p->Name;
        return "";
    };
    SessionPort.KeepAlive = [](TDXPlay& s) { s.KeepAlive(); };
}

// Closes the sends again (no session attached).
void DetachSession();

// A session is attached and open.
bool SessionOpen();
// Between the long steps of a race's setup: the session answers the
// network, so that a slow setup does not cost this player the game.
void KeepSessionAlive();
// The local player's id; 0 while closed.
uint32_t LocalPlayerId();
// This program is the session's host; false while closed.
bool SessionIsHost();
// The session name of player id; "" for a player who has left, or while
// closed.
std::string SessionPlayerName(uint32_t id);
// Players in the session, the local one included; 0 while closed.
int SessionPlayerCount();
// Whether sender speaks for the session's host: the host itself, or the
// player next in line, whose first commands as the new host may arrive
// before the old host's departure does (they travel on other connections).
bool FromSessionHost(const TDXPlayPlayer& sender);

// Kind 1 or 2 with text to toId (0 = all others), guaranteed; then, if
// andItself, the same bytes to the local player. Nothing while closed.
void SendText(std::string_view text, uint32_t kind, uint32_t toId, bool andItself);
// Car states go out at most this often (milliseconds).
constexpr int64_t CarStateIntervalMs = 25;
// Kind 0 from record 0 to all, not guaranteed, at most every
// CarStateIntervalMs (the millisecond clock). Nothing while closed.
void SendCarState();
// Kind 3 to playerId, guaranteed. Nothing while closed.
void SendSetPosition(const D3DVECTOR& pos, uint8_t stop, uint32_t playerId);
// Kind 4 to all and itself, guaranteed. Nothing while closed.
void SendStartPosition(const D3DVECTOR& pos, uint32_t playerId);

// The car state of record 0 as it goes out.
TCarStateMsg CarStateOfLocalCar();

// The screen's part of what received messages do, implemented by the main
// window (console, lobby, timers, engine, music). The dispatcher changes the
// race state itself and calls these where the screen must follow. Lines
// for the console are UTF-8.
class IMessageWindow {
public:
    virtual ~IMessageWindow() = default;
    virtual void ChatLine(const std::string& line) = 0;         // kind 1: "name: text"
    virtual void HostAnnounced(uint32_t hostId) = 0;            // "host:": HostId, refill the list
    virtual void LobbyStatus(const std::string& laps) = 0;      // "lobbystatus:": the laps field
    virtual void RaceAnnounced() = 0;                           // "go!": countdown 8, console lines
    virtual void LockedOut() = 0;                               // "abort": console, list, chat off
    virtual void PlayerReady(const TDXPlayPlayer& sender) = 0;  // "bereit": ReadyCount, console line
    virtual void RaceBegins() = 0;                              // "los jetzt": RacerCount, lobby hidden
    virtual void RaceAborted() = 0;                             // "spiel abbrechen": engine, lobby
    virtual void StartMusic() = 0;                              // "losfahren"
};
// The window the dispatcher reports to; nullptr: the race state alone.
extern IMessageWindow* MessageWindow;

// Messages the dispatcher dropped as short or malformed, or as a host's
// command from a player that is not the host (bad peers).
extern uint64_t DroppedMessages;

// A command that lets a player locked out of a running race back in: the
// end of that race ("spiel abbrechen" or "kannst mitspielen").
bool LetsBackIn(const uint8_t* data, int size);

// The dispatcher, for every message the window's message event passes on
// (after its lock-out filter). Nothing while the session is closed; kinds 5
// and above are ignored. Records that are short, carry numbers that are not
// finite, or commands whose arguments do not parse are dropped and counted.
void HandleMessage(const TDXPlayPlayer& sender, const uint8_t* data, int size);

}  // namespace u_multiplayer

// The session layer's inside, shared by its source files and by nothing
// else. One ENet host per program, on the first free port of a small fixed
// range, carries every connection of the full mesh and also answers
// searches (raw datagrams caught by the host's intercept).
//
// Everything runs on the main thread: a socket notifier and a short timer
// pump the ENet host; network events update the layer's own bookkeeping at
// once, and what the game must see is queued and handed out one event at a
// time, never while a handler of ours is still running.
//
// Where each part lives:
//   dxplay.cpp          the public calls: open, send, players
//   dxplay_pump.cpp     the ENet host, its pump and the network events
//   dxplay_events.cpp   the queue of game events and the re-entry guards
//   dxplay_members.cpp  membership: who is in, hellos, announces, expiry,
//                       and the choice of a new host
//   dxplay_join.cpp     the join: the host admitting, the joiner meshing
//   dxplay_search.cpp   the search, both the asking and the answering side
//   dxplay_close.cpp    closing and shutting the host down
#pragma once

#include "platform/dxplay/dxplay.h"
#include "platform/dxplay/dxplay_wire.h"

#include <enet/enet.h>

#include <QSocketNotifier>
#include <QTimer>

#include <arpa/inet.h>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace dxplayimpl {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint16_t kDefaultPortBase = 47624;
constexpr int kPortRange = 32;
constexpr size_t kChannels = 2;     // 0: guaranteed, in order; 1: unreliable
constexpr size_t kSparePeers = 22;  // room for joiners knocking at a full game
constexpr milliseconds kSearchUnicast{400};
constexpr milliseconds kSearchBroadcast{1000};
constexpr milliseconds kJoinStep{3000};  // connect to the host; get its welcome
constexpr milliseconds kMeshTime{8000};  // reach every other player, resends included
constexpr milliseconds kStrangerTime{5000};
constexpr milliseconds kLeaveTime{500};
constexpr int kPumpInterval = 10;  // ms; resends and time-outs need service
constexpr int kEventsPerPump = 4096;
constexpr size_t kMaxMessageBytes = 1 << 20;  // the game's longest is a 64 KiB text

// A player is gone when nothing has come from it for kSilence; every
// program sends each peer at least one packet every kBeat (an empty one when
// it has nothing else to say), so a killed one is noticed in 2 s while
// seconds of heavy loss leave a live one in, and so does a window that
// stalls for over a second on a loaded machine (long work calls KeepAlive).
// ENet's own time-out is turned off (its limit, minimum and maximum, out of
// reach): it counts the resends of a single message, and each resend waits
// twice as long as the last, so a few lost in a row dropped live players at
// 10 % loss, and after seconds of heavy loss the next resend came too late.
constexpr milliseconds kBeat{50};
constexpr milliseconds kSilence{2000};
inline void SetPeerTimeout(ENetPeer* peer) { enet_peer_timeout(peer, 1u << 30, 1u << 30, 1u << 30); }

// The first port of the range; tests move it with DUNEBOLT_PORT_BASE so that
// they never meet a game running on the same machine.
uint16_t PortBase();
// ENet is initialised once per process; false when it cannot be.
bool EnetReady();
uint32_t Random32();

// pattern with its "%s" replaced by arg.
inline std::string Fill(const char* pattern, const std::string& arg)
{
    std::string s = pattern;
    size_t at = s.find("%s");
    if (at != std::string::npos) s.replace(at, 2, arg);
    return s;
}

[[noreturn]] inline void Raise(const std::string& text) { throw EDXPlayError(text); }

inline uint32_t IpOf(const ENetAddress& a) { return ntohl(a.host); }

}  // namespace dxplayimpl

struct TDXPlay::Impl {
    using Clock = dxplayimpl::Clock;

    // Where another program stands with us. The join, hello, announce and
    // expiry code switch on it; a member's state only ever moves further
    // down this list.
    enum class MemberState {
        // Connected to us, has not said who it is (id 0). It may ask to
        // join (while we host) or say hello; left alone it expires.
        Stranger,
        // A stranger whose hello names a player the host has not announced
        // to us yet (id 0, claimedId set): the announce admits it. Expires.
        Claiming,
        // The host vouched for its id and address; it has not connected to
        // us yet (no peer): its hello admits it. Expires.
        Announced,
        // In our welcome's list: we are connecting to it. The join's own
        // deadline covers it. ENet reports the connection before anything
        // can arrive on it, so no ack comes in this state.
        Dialling,
        // In our welcome's list, connected, our hello sent, its ack awaited.
        // In the session; the join leaves it out unless the ack comes in time.
        Greeting,
        // In our welcome's list and it acked (or it is the host that
        // welcomed us). In the session, and in our first player collection.
        Listed,
        // Came in after we did: a joiner we admitted as host, or an
        // announced player whose hello came. In the session; the game hears
        // of it through an add-player event.
        Admitted,
    };

    // One other program: a connection, or an announced player not yet
    // connected, or a stranger that has connected but not yet said who it is.
    struct Member {
        MemberState state = MemberState::Stranger;
        uint32_t id = 0;         // 0 while Stranger or Claiming
        uint32_t seq = 0;        // admission order; the earliest present takes over as host
        uint32_t claimedId = 0;  // Claiming: the player its hello says it is
        std::string name;
        ENetPeer* peer = nullptr;  // nullptr only while Announced
        uint32_t ip = 0;
        uint16_t port = 0;
        Clock::time_point since = Clock::now();  // when it entered, for expiry
        Clock::time_point heard = Clock::now();  // its last packet, for the silence

        // Its messages count and sends reach it.
        bool InSession() const
        {
            return state == MemberState::Greeting || state == MemberState::Listed || state == MemberState::Admitted;
        }
        // The host vouched for it: it counts toward the game's size.
        bool Vouched() const { return state != MemberState::Stranger && state != MemberState::Claiming; }
    };

    struct GameEvent {
        enum class Type { Add, Delete, Message, Host } type;
        uint32_t id = 0;
        std::string name;
        std::vector<uint8_t> data;
    };

    // Our own join, step by step; None while no join runs.
    enum class Join { None, Connecting, AwaitWelcome, Meshing, Failed };

    struct Found {
        std::string name;
        dxplaywire::Guid instance{};
        ENetAddress address{};
    };

    explicit Impl(TDXPlay& o) : owner(o) {}

    TDXPlay& owner;
    bool connected = false;  // a provider is set
    bool opened = false;
    bool isHost = false;
    bool openFired = false;  // the game heard OnOpen and will hear OnClose
    bool sessionsRead = false;

    // Re-entry guards: game handlers may call back into the layer (send,
    // close) from inside an event, and the network must not be pumped
    // while one runs.
    bool closing = false;        // Close is running: a nested Close returns at once
    bool insideReceive = false;  // Pump or the join loop is handling the network
    bool quiet = false;          // destructor: close without events
    bool flushPending = false;   // a flush is queued for the event loop
    int depth = 0;               // game handlers running

    ENetHost* host = nullptr;
    // Queued calls into the layer check this first: it dies with the pump.
    std::shared_ptr<int> pumpToken;
    QSocketNotifier* notifier = nullptr;
    QTimer* timer = nullptr;

    dxplaywire::Guid app{};
    dxplaywire::Guid instance{};
    uint32_t localId = 0;
    uint32_t localSeq = 0;
    uint32_t hostId = 0;
    uint32_t nextSeq = 1;
    std::vector<std::unique_ptr<Member>> members;

    std::vector<std::unique_ptr<TDXPlayPlayer>> owned;  // the collection's objects
    std::vector<TDXPlayPlayer*> players;
    std::vector<std::unique_ptr<TDXPlayPlayer>> graveyard;  // freed once no handler runs
    TDXPlayPlayer* local = nullptr;
    std::deque<GameEvent> queue;
    std::deque<ENetEvent> held;  // taken off the network by KeepAlive, not yet handled

    std::vector<Found> found;
    std::vector<std::string> sessionNames;
    std::vector<TDXPlayProvider> providers;

    Join join = Join::None;
    ENetPeer* joinPeer = nullptr;

    Clock::time_point lastBeat{};  // our last empty packets to everyone
    Clock::time_point serviced{};  // the last look at the socket, for the silence

    uint64_t extraSent = 0;
    uint64_t extraReceived = 0;
    uint64_t dropped = 0;

    // Which layer owns an ENet host, for the intercept, which gets only the host.
    static std::map<ENetHost*, Impl*>& Hosts();

    // dxplay_members.cpp: the member table.
    Member* ByPeer(ENetPeer* p) const;
    Member* ById(uint32_t id) const;
    void Remove(Member* m);
    bool IdTaken(uint32_t id) const;
    uint32_t NewId() const;
    int PresentCount() const;  // ourselves and every vouched-for member
    bool AddressMatches(const Member& m, const ENetAddress& a) const;
    void OnHello(Member& m, const dxplaywire::HelloMsg& h);
    void OnHelloAck(Member& m);
    void OnAnnounce(Member& from, const dxplaywire::ListedPlayer& p);
    void Admit(Member& a);
    void Expire();  // strangers that never said who they are; silent players
    void ChooseHost();

    // dxplay_pump.cpp: the ENet host and the network events.
    bool Bind(uint16_t fixedPort);
    void StartPump();
    std::function<void()> PumpLater();
    void RequestFlush();
    void SchedulePump();
    void StopPump();
    void Pump();
    void KeepAlive();
    void DropHeld();
    void Beat();  // the empty packets that say we are still here
    // A handler failed in the pump: to the owner's error handling, if any.
    void Report(std::exception_ptr failure);
    void Lost();
    void Handle(ENetEvent& ev);
    void OnConnect(ENetPeer* peer);
    void OnDisconnect(ENetPeer* peer);
    void OnPacket(ENetPeer* peer, const std::vector<uint8_t>& bytes);
    void Send(ENetPeer* peer, const std::vector<uint8_t>& bytes);
    void Drop(ENetPeer* peer);

    // dxplay_events.cpp: events to the game.
    template <class F>
    void Fire(F&& f);
    void AfterFire();
    TDXPlayPlayer* Visible(uint32_t id) const;
    void Bury(TDXPlayPlayer* p);
    void Deliver();

    // dxplay_join.cpp: joining.
    void Refuse(Member& m, dxplaywire::RefuseReason why);
    void OnJoin(Member& m, const dxplaywire::JoinMsg& j);
    void OnWelcome(Member& hostMember, const dxplaywire::WelcomeMsg& w);
    void RunJoin(const ENetAddress& to);

    // dxplay_search.cpp: answering searches on the game port.
    static int Intercept(ENetHost* h, ENetEvent*);
    void AnswerSearch(const ENetAddress& from, const uint8_t* data, size_t size);

    // dxplay_close.cpp
    void Shutdown();
};

// Runs a game handler. The socket notifier rests meanwhile, and whatever
// the handler left behind is settled by AfterFire, even when it throws.
template <class F>
void TDXPlay::Impl::Fire(F&& f)
{
    ++depth;
    if (notifier != nullptr) notifier->setEnabled(false);
    struct Leave {
        Impl* self;
        ~Leave() { self->AfterFire(); }
    } leave{this};
    f();
}

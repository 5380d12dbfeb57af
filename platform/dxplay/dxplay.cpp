// The session layer on ENet. One ENet host per program, on the first free
// port of a small fixed range, carries every connection of the full mesh and
// also answers searches (raw datagrams caught by the host's intercept).
//
// Everything runs on the main thread: a socket notifier and a short timer
// pump the ENet host; network events update the layer's own bookkeeping at
// once, and what the game must see is queued and handed out one event at a
// time, never while a handler of ours is still running.
#include "platform/dxplay/dxplay.h"

#include "platform/dxplay/dxplay_wire.h"

#include <enet/enet.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <random>

using namespace dxplaywire;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint16_t kDefaultPortBase = 47624;
constexpr int kPortRange = 32;
constexpr size_t kChannels = 2;          // 0: guaranteed, in order; 1: unreliable
constexpr size_t kSparePeers = 22;       // room for joiners knocking at a full game
constexpr milliseconds kSearchUnicast{400};
constexpr milliseconds kSearchBroadcast{1000};
constexpr milliseconds kJoinStep{3000};  // connect to the host; get its welcome
constexpr milliseconds kMeshTime{4000};  // reach every other player
constexpr milliseconds kStrangerTime{5000};
constexpr milliseconds kLeaveTime{500};
constexpr int kPumpInterval = 10;        // ms; resends and time-outs need service
constexpr int kEventsPerPump = 4096;
constexpr size_t kMaxMessageBytes = 1 << 20;  // the game's longest is a 64 KiB text

// The first port of the range; tests move it with DUNEBOLT_PORT_BASE so that
// they never meet a game running on the same machine.
uint16_t PortBase() {
    const char* env = std::getenv("DUNEBOLT_PORT_BASE");
    if (env != nullptr && *env != '\0') {
        char* end = nullptr;
        long v = std::strtol(env, &end, 10);
        if (end != nullptr && *end == '\0' && v >= 1024 && v <= 65535 - kPortRange)
            return static_cast<uint16_t>(v);
    }
    return kDefaultPortBase;
}

bool EnetReady() {
    static const bool ok = [] {
        if (enet_initialize() != 0) return false;
        std::atexit(enet_deinitialize);
        return true;
    }();
    return ok;
}

std::string Fill(const char* pattern, const std::string& arg) {
    std::string s = pattern;
    size_t at = s.find("%s");
    if (at != std::string::npos) s.replace(at, 2, arg);
    return s;
}

[[noreturn]] void Raise(const std::string& text) { throw EDXPlayError(text); }

uint32_t IpOf(const ENetAddress& a) { return ntohl(a.host); }
bool IsLoopback(uint32_t ip) { return (ip >> 24) == 127; }

std::mt19937& Rng() {
    static std::mt19937 rng = [] {
        std::random_device rd;
        std::seed_seq seq{rd(), rd(), rd(), rd(),
                          static_cast<unsigned>(Clock::now().time_since_epoch().count())};
        return std::mt19937(seq);
    }();
    return rng;
}

uint32_t Random32() { return static_cast<uint32_t>(Rng()()); }

}  // namespace

struct TDXPlay::Impl {
    // One other program: a connection, or an announced player not yet
    // connected, or a stranger that has connected but not yet said who it is.
    struct Member {
        uint32_t id = 0;       // 0: a stranger
        uint32_t seq = 0;
        std::string name;
        ENetPeer* peer = nullptr;
        uint32_t ip = 0;
        uint16_t port = 0;
        bool announced = false;  // the host vouched for id and address
        bool in = false;         // in the session: its messages count, sends reach it
        bool listed = false;     // from our welcome: joins the first collection silently
        bool acked = false;      // it answered our hello
        std::optional<HelloMsg> hello;  // a stranger's hello waiting for the announce
        Clock::time_point since = Clock::now();
    };

    struct GameEvent {
        enum class Type { Add, Delete, Message, Host } type;
        uint32_t id = 0;
        std::string name;
        std::vector<uint8_t> data;
    };

    enum class Join { None, Connecting, AwaitWelcome, Meshing, Done, Failed };

    explicit Impl(TDXPlay& o) : owner(o) {}

    TDXPlay& owner;
    bool connected = false;  // a provider is set
    bool opened = false;
    bool isHost = false;
    bool openFired = false;
    bool sessionsRead = false;
    bool closing = false;
    bool insideReceive = false;
    bool quiet = false;  // destructor: close without events
    bool flushPending = false;
    int depth = 0;       // game handlers running

    ENetHost* host = nullptr;
    // Queued calls into the layer check this first: it dies with the pump.
    std::shared_ptr<int> pumpToken;
    QSocketNotifier* notifier = nullptr;
    QTimer* timer = nullptr;

    Guid app{};
    Guid instance{};
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

    struct Found {
        std::string name;
        Guid instance{};
        ENetAddress address{};
    };
    std::vector<Found> found;
    std::vector<std::string> sessionNames;
    std::vector<TDXPlayProvider> providers;

    Join join = Join::None;
    ENetPeer* joinPeer = nullptr;

    uint64_t extraSent = 0;
    uint64_t extraReceived = 0;
    uint64_t dropped = 0;

    static std::map<ENetHost*, Impl*>& Hosts() {
        static std::map<ENetHost*, Impl*> m;
        return m;
    }

    // ---- bookkeeping -------------------------------------------------------

    Member* ByPeer(ENetPeer* p) const {
        for (const auto& m : members)
            if (m->peer == p) return m.get();
        return nullptr;
    }
    Member* ById(uint32_t id) const {
        for (const auto& m : members)
            if (m->id == id && id != 0) return m.get();
        return nullptr;
    }
    void Remove(Member* m) {
        if (m->peer != nullptr) m->peer->data = nullptr;
        members.erase(std::remove_if(members.begin(), members.end(),
                                     [m](const auto& p) { return p.get() == m; }),
                      members.end());
    }
    bool IdTaken(uint32_t id) const { return id == 0 || id == localId || ById(id) != nullptr; }
    uint32_t NewId() const {
        uint32_t id = 0;
        while (IdTaken(id)) id = Random32();
        return id;
    }
    int PresentCount() const {
        int n = 1;
        for (const auto& m : members)
            if (m->in || m->announced) ++n;
        return n;
    }
    bool AddressMatches(const Member& m, const ENetAddress& a) const {
        if (m.port != a.port) return false;
        return m.ip == 0 || IsLoopback(m.ip) || m.ip == IpOf(a);
    }

    void Send(ENetPeer* peer, const std::vector<uint8_t>& bytes) {
        if (peer == nullptr) return;
        ENetPacket* pkt = enet_packet_create(bytes.data(), bytes.size(), ENET_PACKET_FLAG_RELIABLE);
        if (pkt != nullptr && enet_peer_send(peer, 0, pkt) != 0) enet_packet_destroy(pkt);
    }
    void Drop(ENetPeer* peer) {
        if (peer != nullptr) enet_peer_disconnect_later(peer, 0);
    }

    // ---- ENet host ----------------------------------------------------------

    bool Bind(uint16_t fixedPort) {
        if (!EnetReady()) return false;
        const size_t peers = static_cast<size_t>(std::max(owner.MaxPlayers, 1)) + kSparePeers;
        ENetAddress a{};
        a.host = ENET_HOST_ANY;
        if (fixedPort != 0) {
            a.port = fixedPort;
            host = enet_host_create(&a, peers, kChannels, 0, 0);
        } else {
            const uint16_t base = PortBase();
            for (int i = 0; i < kPortRange && host == nullptr; ++i) {
                a.port = static_cast<uint16_t>(base + i);
                host = enet_host_create(&a, peers, kChannels, 0, 0);
            }
        }
        if (host == nullptr) return false;
        host->intercept = &Impl::Intercept;
        // A peer cannot make us hold more than this for one message.
        host->maximumPacketSize = kMaxMessageBytes + 1;
        Hosts()[host] = this;
        return true;
    }

    void StartPump() {
        if (host == nullptr || QCoreApplication::instance() == nullptr) return;
        pumpToken = std::make_shared<int>(0);
        notifier = new QSocketNotifier(static_cast<qintptr>(host->socket), QSocketNotifier::Read);
        QObject::connect(notifier, &QSocketNotifier::activated, PumpLater());
        timer = new QTimer();
        timer->setInterval(kPumpInterval);
        QObject::connect(timer, &QTimer::timeout, PumpLater());
        timer->start();
        SchedulePump();
    }

    std::function<void()> PumpLater() {
        std::weak_ptr<int> alive = pumpToken;
        return [this, alive] {
            if (alive.lock()) Pump();
        };
    }

    // Sends go out when control is back in the event loop, once for all
    // that were queued meanwhile. Flushing inside every send would stall a
    // long burst (each flush walks the whole queue) and, with no acks read
    // meanwhile, let the connection time-out strike.
    void RequestFlush() {
        if (timer == nullptr) {
            enet_host_flush(host);
            return;
        }
        if (flushPending) return;
        flushPending = true;
        std::weak_ptr<int> alive = pumpToken;
        QTimer::singleShot(0, timer, [this, alive] {
            if (!alive.lock()) return;
            flushPending = false;
            if (host != nullptr) enet_host_flush(host);
        });
    }

    void SchedulePump() {
        if (timer != nullptr) QTimer::singleShot(0, timer, PumpLater());
    }

    void StopPump() {
        // Either may be the sender of the signal that brought us here, so
        // they go later; the token makes whatever is still queued a no-op.
        pumpToken.reset();
        flushPending = false;
        if (notifier != nullptr) {
            notifier->setEnabled(false);
            notifier->deleteLater();
            notifier = nullptr;
        }
        if (timer != nullptr) {
            timer->stop();
            timer->deleteLater();
            timer = nullptr;
        }
    }

    // Raw datagrams on the game port: searches are answered here, everything
    // else is ENet's.
    static int Intercept(ENetHost* h, ENetEvent*) {
        const uint8_t* data = h->receivedData;
        const size_t size = h->receivedDataLength;
        if (size >= 4 && std::memcmp(data, kSearchReplyTag.data(), 4) == 0) return 1;
        if (size < 4 || std::memcmp(data, kSearchQueryTag.data(), 4) != 0) return 0;
        auto it = Hosts().find(h);
        if (it != Hosts().end()) it->second->AnswerSearch(h->receivedAddress, data, size);
        return 1;
    }

    void AnswerSearch(const ENetAddress& from, const uint8_t* data, size_t size) {
        auto q = DecodeSearchQuery(data, size);
        if (!q) {
            ++dropped;
            return;
        }
        if (!opened || !isHost || q->app != app || PresentCount() >= owner.MaxPlayers) return;
        SearchReply r;
        r.app = app;
        r.nonce = q->nonce;
        r.instance = instance;
        r.maxPlayers = static_cast<uint8_t>(std::clamp(owner.MaxPlayers, 0, 255));
        r.players = static_cast<uint8_t>(PresentCount());
        r.name = owner.sessionName_;
        std::vector<uint8_t> bytes = EncodeSearchReply(r);
        ENetBuffer buf{};
        buf.data = bytes.data();
        buf.dataLength = bytes.size();
        if (enet_socket_send(host->socket, &from, &buf, 1) > 0) extraSent += bytes.size();
    }

    // ---- events to the game -------------------------------------------------

    template <class F>
    void Fire(F&& f) {
        ++depth;
        if (notifier != nullptr) notifier->setEnabled(false);
        struct Leave {
            Impl* self;
            ~Leave() { self->AfterFire(); }
        } leave{this};
        f();
    }

    void AfterFire() {
        if (--depth > 0) return;
        if (!insideReceive) graveyard.clear();
        if (notifier != nullptr) notifier->setEnabled(true);
        if (!queue.empty() && !insideReceive) SchedulePump();
    }

    TDXPlayPlayer* Visible(uint32_t id) const {
        for (TDXPlayPlayer* p : players)
            if (p->ID == id) return p;
        return nullptr;
    }

    void Bury(TDXPlayPlayer* p) {
        players.erase(std::remove(players.begin(), players.end(), p), players.end());
        for (auto it = owned.begin(); it != owned.end(); ++it) {
            if (it->get() == p) {
                graveyard.push_back(std::move(*it));
                owned.erase(it);
                break;
            }
        }
        if (depth == 0 && !insideReceive) graveyard.clear();
    }

    // Hands queued events to the game, one at a time, while open.
    void Deliver() {
        while (opened && join == Join::None && !queue.empty()) {
            GameEvent ev = std::move(queue.front());
            queue.pop_front();
            switch (ev.type) {
            case GameEvent::Type::Add: {
                if (Visible(ev.id) != nullptr) break;
                auto p = std::make_unique<TDXPlayPlayer>();
                p->ID = ev.id;
                p->Name = ev.name;
                p->Remote = true;
                TDXPlayPlayer* raw = p.get();
                owned.push_back(std::move(p));
                players.push_back(raw);
                if (owner.OnAddPlayer) Fire([&] { owner.OnAddPlayer(*raw); });
                break;
            }
            case GameEvent::Type::Delete: {
                TDXPlayPlayer* p = Visible(ev.id);
                if (p == nullptr || p == local) break;
                if (owner.OnDeletePlayer) Fire([&] { owner.OnDeletePlayer(*p); });
                if (opened) Bury(p);
                break;
            }
            case GameEvent::Type::Message: {
                TDXPlayPlayer* p = Visible(ev.id);
                if (p == nullptr || p == local) {
                    ++dropped;
                    break;
                }
                if (owner.OnMessage)
                    Fire([&] { owner.OnMessage(*p, ev.data.data(), static_cast<int>(ev.data.size())); });
                break;
            }
            case GameEvent::Type::Host:
                if (owner.OnHost) Fire([&] { owner.OnHost(); });
                break;
            }
        }
    }

    // ---- network events -----------------------------------------------------

    void Pump() {
        if (insideReceive || depth > 0 || host == nullptr) return;
        insideReceive = true;
        try {
            int budget = kEventsPerPump;
            bool more = true;
            while (more && host != nullptr && budget > 0) {
                // Take a batch off the socket, then hand it on.
                for (int i = 0; i < 256 && host != nullptr && budget > 0; ++i, --budget) {
                    ENetEvent ev{};
                    int r = enet_host_service(host, &ev, 0);
                    if (r < 0) {
                        Lost();
                        more = false;
                        break;
                    }
                    if (r == 0) {
                        more = false;
                        break;
                    }
                    Handle(ev);
                }
                Deliver();
            }
            if (host != nullptr) {
                Expire();
                enet_host_flush(host);
            }
        } catch (const std::exception& e) {
            // A handler's failure ends the batch; what is still queued
            // stays for the next round.
            std::fprintf(stderr, "%s\n", e.what());
        }
        insideReceive = false;
        if (depth == 0) graveyard.clear();
        if (host != nullptr && !queue.empty() && opened) SchedulePump();
    }

    void Lost() {
        if (owner.OnSessionLost && openFired) Fire([&] { owner.OnSessionLost(); });
        owner.Close();
    }

    void Handle(ENetEvent& ev) {
        switch (ev.type) {
        case ENET_EVENT_TYPE_CONNECT: OnConnect(ev.peer); break;
        case ENET_EVENT_TYPE_DISCONNECT: OnDisconnect(ev.peer); break;
        case ENET_EVENT_TYPE_RECEIVE: {
            std::vector<uint8_t> bytes(ev.packet->data, ev.packet->data + ev.packet->dataLength);
            enet_packet_destroy(ev.packet);
            OnPacket(ev.peer, bytes);
            break;
        }
        case ENET_EVENT_TYPE_NONE: break;
        }
    }

    void OnConnect(ENetPeer* peer) {
        // A killed program must be noticed within about a second.
        enet_peer_timeout(peer, 8, 500, 1500);
        Member* m = ByPeer(peer);
        if (m == nullptr) {
            auto s = std::make_unique<Member>();
            s->peer = peer;
            s->ip = IpOf(peer->address);
            s->port = peer->address.port;
            members.push_back(std::move(s));
            return;
        }
        if (peer == joinPeer && join == Join::Connecting) {
            JoinMsg j;
            j.app = app;
            j.instance = instance;
            j.name = local != nullptr ? local->Name : std::string();
            Send(peer, EncodeJoin(j));
            join = Join::AwaitWelcome;
            return;
        }
        if (m->listed && !m->in) {
            m->in = true;
            HelloMsg h;
            h.app = app;
            h.instance = instance;
            h.id = localId;
            h.name = local->Name;
            Send(peer, EncodeHello(h));
        }
    }

    void OnDisconnect(ENetPeer* peer) {
        if (peer == joinPeer && (join == Join::Connecting || join == Join::AwaitWelcome)) {
            join = Join::Failed;
            joinPeer = nullptr;
        }
        Member* m = ByPeer(peer);
        if (m == nullptr) return;
        const uint32_t id = m->id;
        const bool wasIn = m->in && id != 0;
        Remove(m);
        if (!wasIn) return;
        queue.push_back({GameEvent::Type::Delete, id, {}, {}});
        if (id == hostId) ChooseHost();
    }

    // Everyone left agrees without a word: the earliest admitted player
    // still present is the host.
    void ChooseHost() {
        uint32_t bestSeq = localSeq;
        uint32_t best = localId;
        uint32_t maxSeq = localSeq;
        for (const auto& m : members) {
            if (!m->in || m->id == 0) continue;
            maxSeq = std::max(maxSeq, m->seq);
            if (m->seq < bestSeq) {
                bestSeq = m->seq;
                best = m->id;
            }
        }
        hostId = best;
        if (best == localId && !isHost) {
            isHost = true;
            nextSeq = maxSeq + 1;
            queue.push_back({GameEvent::Type::Host, localId, {}, {}});
        }
    }

    void OnPacket(ENetPeer* peer, const std::vector<uint8_t>& bytes) {
        Member* m = ByPeer(peer);
        auto msg = Decode(bytes.data(), bytes.size());
        if (m == nullptr || !msg) {
            ++dropped;
            return;
        }
        switch (msg->kind) {
        case Kind::User:
            // The game's messages count only from players in the session,
            // and are theirs: the connection, not the bytes, names the sender.
            if (!m->in || m->id == 0 || msg->userSize < 4) {
                ++dropped;
                return;
            }
            queue.push_back({GameEvent::Type::Message, m->id, {},
                             std::vector<uint8_t>(msg->user, msg->user + msg->userSize)});
            return;
        case Kind::Join: OnJoin(*m, msg->join); return;
        case Kind::Welcome:
            if (peer == joinPeer && join == Join::AwaitWelcome) {
                OnWelcome(*m, msg->welcome);
            } else {
                ++dropped;
            }
            return;
        case Kind::Refuse:
            if (peer == joinPeer && join == Join::AwaitWelcome) {
                join = Join::Failed;
            } else {
                ++dropped;
            }
            return;
        case Kind::Hello: OnHello(*m, msg->hello); return;
        case Kind::HelloAck:
            if (m->listed) {
                m->acked = true;
            } else {
                ++dropped;
            }
            return;
        case Kind::Announce: OnAnnounce(*m, msg->announce.player); return;
        }
    }

    void Refuse(Member& m, RefuseReason why) {
        Send(m.peer, EncodeRefuse(RefuseMsg{why}));
        Drop(m.peer);
    }

    // The host admits a joiner: an id, its place in the admission order, the
    // list of everyone present, and word to everyone else.
    void OnJoin(Member& m, const JoinMsg& j) {
        if (m.id != 0 || m.hello) {
            ++dropped;
            return;
        }
        if (j.app != app || j.instance != instance) return Refuse(m, RefuseReason::WrongGame);
        if (!opened || !isHost) return Refuse(m, RefuseReason::NotHost);
        if (PresentCount() >= owner.MaxPlayers) return Refuse(m, RefuseReason::Full);

        WelcomeMsg w;
        w.yourId = NewId();
        w.yourSeq = nextSeq++;
        w.hostId = localId;
        w.maxPlayers = static_cast<uint8_t>(std::clamp(owner.MaxPlayers, 0, 255));
        w.instance = instance;
        w.sessionName = owner.sessionName_;
        ListedPlayer self;
        self.id = localId;
        self.seq = localSeq;
        self.name = local->Name;
        w.players.push_back(self);
        std::vector<Member*> in;
        for (const auto& o : members)
            if (o->in && o->id != 0 && o->peer != nullptr) in.push_back(o.get());
        std::sort(in.begin(), in.end(), [](Member* a, Member* b) { return a->seq < b->seq; });
        for (Member* o : in) {
            if (w.players.size() >= kMaxListedPlayers) break;
            ListedPlayer p;
            p.id = o->id;
            p.seq = o->seq;
            p.ip = IpOf(o->peer->address);
            p.port = o->peer->address.port;
            p.name = o->name;
            w.players.push_back(p);
        }

        m.id = w.yourId;
        m.seq = w.yourSeq;
        m.name = CutName(j.name);
        m.ip = IpOf(m.peer->address);
        m.port = m.peer->address.port;
        m.announced = true;
        m.in = true;
        Send(m.peer, EncodeWelcome(w));

        AnnounceMsg a;
        a.player.id = m.id;
        a.player.seq = m.seq;
        a.player.ip = m.ip;
        a.player.port = m.port;
        a.player.name = m.name;
        const std::vector<uint8_t> bytes = EncodeAnnounce(a);
        for (Member* o : in) Send(o->peer, bytes);
        queue.push_back({GameEvent::Type::Add, m.id, m.name, {}});
    }

    void OnWelcome(Member& hostMember, const WelcomeMsg& w) {
        if (IdTaken(w.yourId) && w.yourId != localId) {
            join = Join::Failed;
            return;
        }
        localId = w.yourId;
        localSeq = w.yourSeq;
        hostId = w.hostId;
        instance = w.instance;
        if (local != nullptr) local->ID = localId;
        const uint32_t hostIp = IpOf(joinPeer->address);
        bool hostListed = false;
        for (const ListedPlayer& p : w.players) {
            if (p.id == localId || p.id == 0 || ById(p.id) != nullptr) continue;
            if (p.id == hostId) {
                hostMember.id = p.id;
                hostMember.seq = p.seq;
                hostMember.name = p.name;
                hostMember.announced = hostMember.in = hostMember.listed = hostMember.acked = true;
                hostListed = true;
                continue;
            }
            // A player the host reaches on its own machine is reached on the
            // host's address by everyone else.
            uint32_t ip = p.ip;
            if (ip == 0 || (IsLoopback(ip) && !IsLoopback(hostIp))) ip = hostIp;
            auto o = std::make_unique<Member>();
            o->id = p.id;
            o->seq = p.seq;
            o->name = p.name;
            o->ip = ip;
            o->port = p.port;
            o->announced = o->listed = true;
            ENetAddress a{};
            a.host = htonl(ip);
            a.port = p.port;
            o->peer = enet_host_connect(host, &a, kChannels, 0);
            if (o->peer == nullptr) continue;
            enet_peer_timeout(o->peer, 8, 500, 1500);
            members.push_back(std::move(o));
        }
        join = hostListed ? Join::Meshing : Join::Failed;
    }

    // Another program says it is the player the host announced.
    void OnHello(Member& m, const HelloMsg& h) {
        if (m.id != 0 || m.hello || h.app != app || h.instance != instance || h.id == localId) {
            ++dropped;
            return;
        }
        Member* a = ById(h.id);
        if (a != nullptr && (a->peer != nullptr || !AddressMatches(*a, m.peer->address))) {
            ++dropped;  // an id that is someone else's
            return;
        }
        if (a == nullptr) {
            m.hello = h;  // the announce is still on its way
            return;
        }
        ENetPeer* peer = m.peer;
        Remove(&m);
        a->peer = peer;
        Admit(*a);
    }

    void OnAnnounce(Member& from, const ListedPlayer& p) {
        if (from.id == 0 || from.id != hostId || !from.in || IdTaken(p.id)) {
            ++dropped;
            return;
        }
        auto a = std::make_unique<Member>();
        a->id = p.id;
        a->seq = p.seq;
        a->name = p.name;
        a->ip = p.ip == 0 ? from.ip : p.ip;
        a->port = p.port;
        a->announced = true;
        Member* raw = a.get();
        members.push_back(std::move(a));
        Member* waiting = nullptr;
        for (const auto& s : members) {
            if (s->id == 0 && s->hello && s->hello->id == p.id && s->peer != nullptr &&
                AddressMatches(*raw, s->peer->address)) {
                waiting = s.get();
                break;
            }
        }
        if (waiting != nullptr) {
            ENetPeer* peer = waiting->peer;
            Remove(waiting);
            raw->peer = peer;
            Admit(*raw);
        }
    }

    void Admit(Member& a) {
        a.in = true;
        a.since = Clock::now();
        if (a.seq >= nextSeq) nextSeq = a.seq + 1;
        Send(a.peer, EncodeHelloAck());
        queue.push_back({GameEvent::Type::Add, a.id, a.name, {}});
    }

    // Strangers that never say who they are and announced players that
    // never come are let go.
    void Expire() {
        const auto now = Clock::now();
        std::vector<Member*> gone;
        for (const auto& m : members) {
            if (m->in || now - m->since < kStrangerTime) continue;
            if (m->id == 0 || m->peer == nullptr) gone.push_back(m.get());
        }
        for (Member* m : gone) {
            if (m->peer != nullptr) enet_peer_reset(m->peer);
            Remove(m);
        }
    }

    // ---- joining ------------------------------------------------------------

    // Runs the network until the join is over; game events wait in the queue.
    void RunJoin(const ENetAddress& to) {
        join = Join::Connecting;
        joinPeer = enet_host_connect(host, &to, kChannels, 0);
        if (joinPeer == nullptr) {
            join = Join::Failed;
            return;
        }
        enet_peer_timeout(joinPeer, 8, 500, 1500);
        auto hm = std::make_unique<Member>();
        hm->peer = joinPeer;
        hm->ip = IpOf(to);
        hm->port = to.port;
        members.push_back(std::move(hm));

        // Each step has its own time: reach the host, hear its welcome,
        // reach everyone else.
        Join step = join;
        auto deadline = Clock::now() + kJoinStep;
        insideReceive = true;
        while (host != nullptr) {
            if (join == Join::Failed) break;
            if (join != step) {
                step = join;
                deadline = Clock::now() + (join == Join::Meshing ? kMeshTime : kJoinStep);
            }
            if (join == Join::Meshing) {
                bool all = true;
                for (const auto& m : members)
                    if (m->listed && !m->acked) all = false;
                if (all) break;
            }
            if (Clock::now() >= deadline) {
                if (join != Join::Meshing) join = Join::Failed;
                break;
            }
            ENetEvent ev{};
            int r = enet_host_service(host, &ev, 5);
            if (r < 0) {
                join = Join::Failed;
                break;
            }
            if (r > 0) Handle(ev);
        }
        insideReceive = false;
        if (join != Join::Failed) {
            // Whoever did not answer in time is left out.
            std::vector<Member*> late;
            for (const auto& m : members)
                if (m->listed && !m->acked) late.push_back(m.get());
            for (Member* m : late) {
                if (m->peer != nullptr) enet_peer_reset(m->peer);
                Remove(m);
            }
            if (ById(hostId) == nullptr) join = Join::Failed;
        }
    }

    // ---- closing --------------------------------------------------------------

    void Shutdown() {
        if (host != nullptr) {
            bool any = false;
            for (const auto& m : members) {
                if (m->peer != nullptr) {
                    enet_peer_disconnect_later(m->peer, 0);
                    any = true;
                }
            }
            // Let the goodbyes (and what was sent before them) get out.
            const auto until = Clock::now() + kLeaveTime;
            while (any && Clock::now() < until) {
                ENetEvent ev{};
                int r = enet_host_service(host, &ev, 5);
                if (r < 0) break;
                if (r > 0 && ev.type == ENET_EVENT_TYPE_RECEIVE) enet_packet_destroy(ev.packet);
                any = false;
                for (size_t i = 0; i < host->peerCount; ++i) {
                    ENetPeerState s = host->peers[i].state;
                    if (s != ENET_PEER_STATE_DISCONNECTED && s != ENET_PEER_STATE_ZOMBIE) any = true;
                }
            }
            extraSent += host->totalSentData;
            extraReceived += host->totalReceivedData;
            StopPump();  // before the socket it watches goes
            Hosts().erase(host);
            enet_host_destroy(host);
            host = nullptr;
        }
        StopPump();
        members.clear();
        queue.clear();
        join = Join::None;
        joinPeer = nullptr;
    }
};

// ---- TDXPlay ------------------------------------------------------------------

TDXPlay::TDXPlay() : impl_(std::make_unique<Impl>(*this)) {}

TDXPlay::~TDXPlay() {
    // The owner is going away: its handlers must not run any more.
    impl_->quiet = true;
    Close();
}

bool TDXPlay::Opened() const { return impl_->opened; }
bool TDXPlay::IsHost() const { return impl_->isHost; }
uint32_t TDXPlay::HostID() const { return impl_->opened ? impl_->hostId : 0; }

uint32_t TDXPlay::NextHostID() const {
    const Impl& d = *impl_;
    if (!d.opened) return 0;
    uint32_t bestSeq = UINT32_MAX;
    uint32_t best = 0;
    if (d.localId != d.hostId) bestSeq = d.localSeq, best = d.localId;
    for (const auto& m : d.members) {
        if (!m->in || m->id == 0 || m->id == d.hostId) continue;
        if (m->seq < bestSeq) bestSeq = m->seq, best = m->id;
    }
    return best;
}
TDXPlayPlayer* TDXPlay::LocalPlayer() const { return impl_->local; }
const std::vector<TDXPlayPlayer*>& TDXPlay::Players() const { return impl_->players; }

uint64_t TDXPlay::BytesSent() const {
    return impl_->extraSent + (impl_->host != nullptr ? impl_->host->totalSentData : 0);
}
uint64_t TDXPlay::BytesReceived() const {
    return impl_->extraReceived + (impl_->host != nullptr ? impl_->host->totalReceivedData : 0);
}
uint64_t TDXPlay::DroppedMessages() const { return impl_->dropped; }
uint16_t TDXPlay::Port() const { return impl_->host != nullptr ? impl_->host->address.port : 0; }

const std::vector<TDXPlayProvider>& TDXPlay::Providers() {
    if (impl_->providers.empty()) impl_->providers.push_back({DPSPNAME_TCPIP, DPSPGUID_TCPIP});
    return impl_->providers;
}

void TDXPlay::SetProviderName(const std::string& name) {
    Close();
    providerName_ = name;
    if (name.empty()) return;
    impl_->connected = false;
    const auto& list = Providers();
    auto it = std::find_if(list.begin(), list.end(), [&](const TDXPlayProvider& p) { return p.Name == name; });
    if (it == list.end()) Raise(Fill("Provider '%s' not found", name));
    if (!EnetReady()) Raise(Fill("%s cannot be initialized", "DirectPlay"));
    impl_->connected = true;
}

const std::vector<std::string>& TDXPlay::Sessions() {
    if (!impl_->sessionsRead) GetSessions();
    return impl_->sessionNames;
}

void TDXPlay::GetSessions() {
    Impl& d = *impl_;
    if (!d.connected) Raise("TDXPlay component is disconnected.");
    d.found.clear();
    d.sessionNames.clear();
    d.sessionsRead = false;
    auto app = ParseGuid(GUID);
    if (!app) Raise("Session list cannot be acquired");

    // Where to ask: the setting, the preset, or the player.
    std::string address;
    if (TCPIPSetting.Enabled && !TCPIPSetting.HostName.empty()) {
        address = TCPIPSetting.HostName;
    } else if (const char* env = std::getenv("DUNEBOLT_SEARCH_ADDRESS"); env != nullptr) {
        address = env;
    } else if (OnAskAddress) {
        if (!OnAskAddress(address)) return;  // cancelled: nothing, silently
    }
    ENetAddress to{};
    bool broadcast = false;
    if (!address.empty()) {
        if (enet_address_set_host(&to, address.c_str()) != 0) Raise("Session list cannot be acquired");
    } else if (std::getenv("CI") != nullptr) {
        enet_address_set_host(&to, "127.0.0.1");  // CI machines never broadcast
    } else {
        to.host = ENET_HOST_BROADCAST;
        broadcast = true;
    }

    std::vector<uint16_t> ports;
    if (TCPIPSetting.Enabled && TCPIPSetting.Port != 0) {
        ports.push_back(TCPIPSetting.Port);
    } else {
        for (int i = 0; i < kPortRange; ++i) ports.push_back(static_cast<uint16_t>(PortBase() + i));
    }

    ENetSocket sock = enet_socket_create(ENET_SOCKET_TYPE_DATAGRAM);
    if (sock == ENET_SOCKET_NULL) Raise("Session list cannot be acquired");
    enet_socket_set_option(sock, ENET_SOCKOPT_NONBLOCK, 1);
    if (broadcast && enet_socket_set_option(sock, ENET_SOCKOPT_BROADCAST, 1) != 0) {
        enet_socket_destroy(sock);
        Raise("Session list cannot be acquired");
    }
    SearchQuery q;
    q.app = *app;
    q.nonce = Random32();
    const std::vector<uint8_t> query = EncodeSearchQuery(q);
    auto ask = [&] {
        for (uint16_t port : ports) {
            ENetAddress a = to;
            a.port = port;
            ENetBuffer buf{};
            buf.data = const_cast<uint8_t*>(query.data());
            buf.dataLength = query.size();
            if (enet_socket_send(sock, &a, &buf, 1) > 0) d.extraSent += query.size();
        }
    };
    ask();
    const auto start = Clock::now();
    const auto span = broadcast ? kSearchBroadcast : kSearchUnicast;
    bool askedAgain = false;
    uint8_t buffer[2048];
    while (Clock::now() - start < span) {
        if (!askedAgain && Clock::now() - start >= span / 3) {
            ask();  // a lost datagram costs one more round, not the game
            askedAgain = true;
        }
        enet_uint32 cond = ENET_SOCKET_WAIT_RECEIVE;
        if (enet_socket_wait(sock, &cond, 20) < 0) break;
        while (true) {
            ENetAddress from{};
            ENetBuffer buf{};
            buf.data = buffer;
            buf.dataLength = sizeof buffer;
            int n = enet_socket_receive(sock, &from, &buf, 1);
            if (n <= 0) break;
            d.extraReceived += static_cast<uint64_t>(n);
            auto r = DecodeSearchReply(buffer, static_cast<size_t>(n));
            if (!r || r->app != *app || r->nonce != q.nonce || r->players >= r->maxPlayers) continue;
            bool seen = std::any_of(d.found.begin(), d.found.end(), [&](const Impl::Found& f) {
                return f.instance == r->instance || (f.address.host == from.host && f.address.port == from.port);
            });
            if (seen) continue;
            d.found.push_back({r->name, r->instance, from});
            d.sessionNames.push_back(r->name);
        }
    }
    enet_socket_destroy(sock);
    d.sessionsRead = true;
}

void TDXPlay::Open2(bool newSession, const std::string& sessionName, const std::string& playerName) {
    Impl& d = *impl_;
    if (!d.connected) Raise("TDXPlay component is disconnected.");
    if (sessionName.empty()) Raise("Session name is not specified");
    if (playerName.empty()) Raise("Player name is not specified");
    const std::string cannot = Fill("Session %s cannot be opened", sessionName);
    if (d.opened) Raise(cannot);
    auto app = ParseGuid(GUID);
    if (!app) Raise(cannot);
    d.app = *app;

    const Impl::Found* target = nullptr;
    if (!newSession) {
        Sessions();
        for (const auto& f : d.found)
            if (f.name == sessionName) {
                target = &f;
                break;
            }
        if (target == nullptr) Raise(Fill("Session '%s' not found", sessionName));
    }
    const uint16_t fixedPort = (newSession && TCPIPSetting.Enabled) ? TCPIPSetting.Port : 0;
    if (!d.Bind(fixedPort)) Raise(cannot);

    // The local player exists from here on; a join fills in its id.
    auto self = std::make_unique<TDXPlayPlayer>();
    self->Name = CutName(playerName);
    d.local = self.get();
    d.owned.push_back(std::move(self));

    if (newSession) {
        for (auto& b : d.instance) b = static_cast<uint8_t>(Random32());
        d.localSeq = 0;
        d.nextSeq = 1;
        d.localId = d.NewId();
        d.hostId = d.localId;
        d.local->ID = d.localId;
    } else {
        const ENetAddress to = target->address;
        d.instance = target->instance;
        d.localId = 0;
        d.RunJoin(to);
        if (d.join == Impl::Join::Failed) {
            d.Shutdown();
            d.owned.clear();
            d.local = nullptr;
            d.localId = 0;
            Raise(cannot);
        }
    }
    d.join = Impl::Join::None;
    d.joinPeer = nullptr;
    sessionName_ = sessionName;

    // The collection: ourselves, then the players already there by the
    // order they were admitted in.
    d.opened = true;
    d.players.clear();
    d.players.push_back(d.local);
    std::vector<Impl::Member*> present;
    for (const auto& m : d.members)
        if (m->listed && m->in && m->id != 0) present.push_back(m.get());
    std::sort(present.begin(), present.end(), [](auto* a, auto* b) { return a->seq < b->seq; });
    for (Impl::Member* m : present) {
        auto p = std::make_unique<TDXPlayPlayer>();
        p->ID = m->id;
        p->Name = m->name;
        p->Remote = true;
        d.players.push_back(p.get());
        d.owned.push_back(std::move(p));
    }
    // Alone means host. A joiner whose host vanished during the join and
    // who was chosen in its place is host as well, or the game had none.
    d.isHost = d.players.size() == 1 || d.hostId == d.localId;

    try {
        d.openFired = true;
        if (OnOpen) d.Fire([&] { OnOpen(); });
        if (d.opened && OnAddPlayer) d.Fire([&] { OnAddPlayer(*d.local); });
        if (d.opened) d.StartPump();
    } catch (...) {
        Close();
        throw;
    }
}

TDXPlayPlayer& TDXPlay::PlayerByID(uint32_t id) const {
    TDXPlayPlayer* p = impl_->Visible(id);
    if (p == nullptr || id == 0) Raise("Player's specified ID is not found");
    return *p;
}

void TDXPlay::SendMessage(uint32_t toId, const void* data, int size, bool guaranteed) {
    Impl& d = *impl_;
    if (!d.opened) return;
    if (size < 4 || data == nullptr || static_cast<size_t>(size) > kMaxMessageBytes)
        Raise("Illegal message form");
    if (toId == d.localId) {
        // Handled here and now, as if it had arrived; nothing on the wire.
        if (OnMessage) {
            TDXPlayPlayer& self = *d.local;
            d.Fire([&] { OnMessage(self, static_cast<const uint8_t*>(data), size); });
        }
        return;
    }
    if (d.host == nullptr) return;
    const std::vector<uint8_t> bytes = EncodeUser(data, static_cast<size_t>(size));
    ENetPacket* pkt = enet_packet_create(bytes.data(), bytes.size(), guaranteed ? ENET_PACKET_FLAG_RELIABLE : 0);
    if (pkt == nullptr) return;
    const uint8_t channel = guaranteed ? 0 : 1;
    for (const auto& m : d.members) {
        if (!m->in || m->id == 0 || m->peer == nullptr) continue;
        if (toId != 0 && m->id != toId) continue;
        enet_peer_send(m->peer, channel, pkt);
    }
    if (pkt->referenceCount == 0) enet_packet_destroy(pkt);
    d.RequestFlush();
}

void TDXPlay::Close() {
    Impl& d = *impl_;
    if (d.closing) return;
    d.closing = true;
    std::exception_ptr failure;
    d.opened = false;
    d.sessionsRead = false;
    if (d.openFired) {
        d.openFired = false;
        if (OnClose && !d.quiet) {
            // A failing handler must not leave the layer half closed.
            try {
                d.Fire([&] { OnClose(); });
            } catch (...) {
                failure = std::current_exception();
            }
        }
    }
    d.Shutdown();
    providerName_.clear();
    sessionName_.clear();
    d.connected = false;
    d.isHost = false;
    d.found.clear();
    d.sessionNames.clear();
    d.players.clear();
    d.local = nullptr;
    d.localId = 0;
    d.hostId = 0;
    for (auto& p : d.owned) d.graveyard.push_back(std::move(p));
    d.owned.clear();
    if (d.depth == 0 && !d.insideReceive) d.graveyard.clear();
    d.closing = false;
    if (failure) std::rethrow_exception(failure);
}

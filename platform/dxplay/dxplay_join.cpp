// Joining a game. The joiner connects to the host and asks to join; the host
// admits it with an id, its place in the admission order and the list of
// everyone present, and tells everyone else. The joiner then connects to
// every listed player and says hello; whoever does not answer in time is
// left out.
#include "platform/dxplay/dxplay_address.h"
#include "platform/dxplay/dxplay_impl.h"

#include <algorithm>

using namespace dxplaywire;
using namespace dxplayimpl;

using Member = TDXPlay::Impl::Member;
using MemberState = TDXPlay::Impl::MemberState;

void TDXPlay::Impl::Refuse(Member& m, RefuseReason why)
{
    Send(m.peer, EncodeRefuse(RefuseMsg{why}));
    Drop(m.peer);
}

// The host admits a joiner: an id, its place in the admission order, the
// list of everyone present, and word to everyone else.
void TDXPlay::Impl::OnJoin(Member& m, const JoinMsg& j)
{
    if (m.state != MemberState::Stranger) {
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
        if (o->InSession()) in.push_back(o.get());
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

    m.state = MemberState::Admitted;
    m.id = w.yourId;
    m.seq = w.yourSeq;
    m.name = CutName(j.name);
    m.ip = IpOf(m.peer->address);
    m.port = m.peer->address.port;
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

// The joiner hears its welcome: the host is in, and every other listed
// player is dialled.
void TDXPlay::Impl::OnWelcome(Member& hostMember, const WelcomeMsg& w)
{
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
            hostMember.state = MemberState::Listed;
            hostMember.id = p.id;
            hostMember.seq = p.seq;
            hostMember.name = p.name;
            hostListed = true;
            continue;
        }
        // A hostile host could aim us at any machine's ports: only a peer's
        // address and a port of the game's range are dialled, each once.
        const auto ip = dxplayaddr::DialAddress(p.ip, p.port, hostIp, PortBase(), kPortRange);
        const bool known = std::any_of(members.begin(), members.end(),
                                       [&](const auto& m) { return ip && m->ip == *ip && m->port == p.port; });
        if (!ip || known) {
            ++dropped;
            continue;
        }
        auto o = std::make_unique<Member>();
        o->state = MemberState::Dialling;
        o->id = p.id;
        o->seq = p.seq;
        o->name = p.name;
        o->ip = *ip;
        o->port = p.port;
        ENetAddress a{};
        a.host = htonl(*ip);
        a.port = p.port;
        o->peer = enet_host_connect(host, &a, kChannels, 0);
        if (o->peer == nullptr) continue;
        SetPeerTimeout(o->peer);
        members.push_back(std::move(o));
    }
    join = hostListed ? Join::Meshing : Join::Failed;
}

// Runs the network until the join is over; game events wait in the queue.
void TDXPlay::Impl::RunJoin(const ENetAddress& to)
{
    join = Join::Connecting;
    joinPeer = enet_host_connect(host, &to, kChannels, 0);
    if (joinPeer == nullptr) {
        join = Join::Failed;
        return;
    }
    SetPeerTimeout(joinPeer);
    auto hm = std::make_unique<Member>();
    hm->peer = joinPeer;
    hm->ip = IpOf(to);
    hm->port = to.port;
    members.push_back(std::move(hm));

    // Still dialled or greeted: the listed players that have not acked.
    auto waiting = [](const Member& m) { return m.state == MemberState::Dialling || m.state == MemberState::Greeting; };

    // Each step has its own time: reach the host, hear its welcome, reach
    // everyone else.
    Join step = join;
    auto deadline = Clock::now() + kJoinStep;
    insideReceive = true;
    while (host != nullptr) {
        if (join == Join::Failed) break;
        if (join != step) {
            step = join;
            deadline = Clock::now() + (join == Join::Meshing ? kMeshTime : kJoinStep);
        }
        if (join == Join::Meshing &&
            std::none_of(members.begin(), members.end(), [&](const auto& m) { return waiting(*m); }))
            break;
        if (Clock::now() >= deadline) {
            if (join != Join::Meshing) join = Join::Failed;
            break;
        }
        Beat();
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
            if (waiting(*m)) late.push_back(m.get());
        for (Member* m : late) {
            if (m->peer != nullptr) enet_peer_reset(m->peer);
            Remove(m);
        }
        if (ById(hostId) == nullptr) join = Join::Failed;
    }
}

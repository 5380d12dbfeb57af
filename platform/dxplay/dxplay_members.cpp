// Membership: the table of the other programs, how a member comes into the
// session by hello and announce, how one that never does is let go, and who
// hosts when the host is gone.
#include "platform/dxplay/dxplay_address.h"
#include "platform/dxplay/dxplay_impl.h"

#include <algorithm>

using namespace dxplaywire;
using namespace dxplayimpl;

using Member = TDXPlay::Impl::Member;
using MemberState = TDXPlay::Impl::MemberState;

Member* TDXPlay::Impl::ByPeer(ENetPeer* p) const
{
    for (const auto& m : members)
        if (m->peer == p) return m.get();
    return nullptr;
}

Member* TDXPlay::Impl::ById(uint32_t id) const
{
    for (const auto& m : members)
        if (m->id == id && id != 0) return m.get();
    return nullptr;
}

void TDXPlay::Impl::Remove(Member* m)
{
    if (m->peer != nullptr) m->peer->data = nullptr;
    members.erase(std::remove_if(members.begin(), members.end(), [m](const auto& p) { return p.get() == m; }),
                  members.end());
}

bool TDXPlay::Impl::IdTaken(uint32_t id) const { return id == 0 || id == localId || ById(id) != nullptr; }

uint32_t TDXPlay::Impl::NewId() const
{
    uint32_t id = 0;
    while (IdTaken(id)) id = Random32();
    return id;
}

int TDXPlay::Impl::PresentCount() const
{
    int n = 1;
    for (const auto& m : members)
        if (m->Vouched()) ++n;
    return n;
}

bool TDXPlay::Impl::AddressMatches(const Member& m, const ENetAddress& a) const
{
    return dxplayaddr::ClaimMatches(m.ip, m.port, IpOf(a), a.port);
}

// Another program says it is the player the host announced.
void TDXPlay::Impl::OnHello(Member& m, const HelloMsg& h)
{
    if (m.state != MemberState::Stranger || h.app != app || h.instance != instance || h.id == localId) {
        ++dropped;
        return;
    }
    Member* a = ById(h.id);
    if (a != nullptr && (a->state != MemberState::Announced || !AddressMatches(*a, m.peer->address))) {
        ++dropped;  // an id that is someone else's
        return;
    }
    if (a == nullptr) {
        // The announce is still on its way.
        m.state = MemberState::Claiming;
        m.claimedId = h.id;
        return;
    }
    ENetPeer* peer = m.peer;
    Remove(&m);
    a->peer = peer;
    Admit(*a);
}

// A player of our welcome's list answered our hello.
void TDXPlay::Impl::OnHelloAck(Member& m)
{
    switch (m.state) {
        case MemberState::Greeting:
            m.state = MemberState::Listed;
            return;
        case MemberState::Listed:
            return;  // the host that welcomed us, or a repeat
        default:
            ++dropped;
            return;
    }
}

void TDXPlay::Impl::OnAnnounce(Member& from, const ListedPlayer& p)
{
    // An announce of no address could never be greeted from anywhere.
    if (!from.InSession() || from.id != hostId || IdTaken(p.id) || p.ip == 0) {
        ++dropped;
        return;
    }
    auto a = std::make_unique<Member>();
    a->state = MemberState::Announced;
    a->id = p.id;
    a->seq = p.seq;
    a->name = p.name;
    a->ip = dxplayaddr::AnnouncedAddress(p.ip, from.ip);
    a->port = p.port;
    Member* raw = a.get();
    members.push_back(std::move(a));
    Member* waiting = nullptr;
    for (const auto& s : members) {
        if (s->state == MemberState::Claiming && s->claimedId == p.id && AddressMatches(*raw, s->peer->address)) {
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

// An announced player that said hello is in.
void TDXPlay::Impl::Admit(Member& a)
{
    a.state = MemberState::Admitted;
    a.since = Clock::now();
    if (a.seq >= nextSeq) nextSeq = a.seq + 1;
    Send(a.peer, EncodeHelloAck());
    queue.push_back({GameEvent::Type::Add, a.id, a.name, {}});
}

// Strangers that never say who they are and announced players that never
// come are let go.
void TDXPlay::Impl::Expire()
{
    const auto now = Clock::now();
    std::vector<Member*> gone;
    for (const auto& m : members) {
        switch (m->state) {
            case MemberState::Stranger:
            case MemberState::Claiming:
            case MemberState::Announced:
                if (now - m->since >= kStrangerTime) gone.push_back(m.get());
                break;
            case MemberState::Dialling:  // the join's deadline covers it
            case MemberState::Greeting:
            case MemberState::Listed:
            case MemberState::Admitted:
                break;
        }
    }
    for (Member* m : gone) {
        if (m->peer != nullptr) enet_peer_reset(m->peer);
        Remove(m);
    }
    // A player we have not heard from since kSilence before our last look
    // at the socket has gone, as if its connection had dropped.
    std::vector<ENetPeer*> silent;
    for (const auto& m : members)
        if (m->InSession() && m->peer != nullptr && serviced - m->heard >= kSilence) silent.push_back(m->peer);
    for (ENetPeer* peer : silent) {
        OnDisconnect(peer);
        enet_peer_reset(peer);
    }
}

// Everyone left agrees without a word: the earliest admitted player still
// present is the host.
void TDXPlay::Impl::ChooseHost()
{
    uint32_t bestSeq = localSeq;
    uint32_t best = localId;
    uint32_t maxSeq = localSeq;
    for (const auto& m : members) {
        if (!m->InSession()) continue;
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

// The ENet host and its pump: binding the game port, servicing the host from
// the Qt event loop, and sorting what arrives into connects, disconnects
// and session messages.
#include "platform/dxplay/dxplay_impl.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>

using namespace dxplaywire;
using namespace dxplayimpl;

using Member = TDXPlay::Impl::Member;
using MemberState = TDXPlay::Impl::MemberState;

bool TDXPlay::Impl::Bind(uint16_t fixedPort)
{
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

void TDXPlay::Impl::StartPump()
{
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

std::function<void()> TDXPlay::Impl::PumpLater()
{
    std::weak_ptr<int> alive = pumpToken;
    return [this, alive] {
        if (alive.lock()) Pump();
    };
}

// Sends go out when control is back in the event loop, once for all that
// were queued meanwhile. Flushing inside every send would stall a long burst
// (each flush walks the whole queue) and, with no acks read meanwhile, let
// the connection time-out strike.
void TDXPlay::Impl::RequestFlush()
{
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

void TDXPlay::Impl::SchedulePump()
{
    if (timer != nullptr) QTimer::singleShot(0, timer, PumpLater());
}

void TDXPlay::Impl::StopPump()
{
    // Either may be the sender of the signal that brought us here, so they
    // go later; the token makes whatever is still queued a no-op.
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

void TDXPlay::Impl::Pump()
{
    if (insideReceive || depth > 0 || host == nullptr) return;
    insideReceive = true;
    std::exception_ptr failure;
    try {
        int budget = kEventsPerPump;
        bool more = true;
        while (more && host != nullptr && budget > 0) {
            // Take a batch off the socket, then hand it on.
            serviced = Clock::now();
            for (int i = 0; i < 256 && host != nullptr && budget > 0; ++i, --budget) {
                ENetEvent ev{};
                int r = 1;
                if (held.empty()) {
                    r = enet_host_service(host, &ev, 0);
                } else {
                    ev = held.front();
                    held.pop_front();
                }
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
            Beat();
            enet_host_flush(host);
        }
    } catch (const std::exception&) {
        // A handler's failure ends the batch; what is still queued stays for
        // the next round.
        failure = std::current_exception();
    }
    insideReceive = false;
    if (depth == 0) graveyard.clear();
    if (host != nullptr && (!queue.empty() || !held.empty()) && opened) SchedulePump();
    if (failure) Report(failure);
}

void TDXPlay::Impl::KeepAlive()
{
    if (host == nullptr || insideReceive) return;
    // Servicing reads what came and sends what is due; the events wait
    // in order for the pump, so the game sees nothing before it is ready.
    ENetEvent ev{};
    int r = 0;
    while (held.size() < size_t(kEventsPerPump) && (r = enet_host_service(host, &ev, 0)) > 0) held.push_back(ev);
    if (r < 0) return SchedulePump();  // the pump reports the broken socket
    Beat();                            // and the others hear that we are still here
    enet_host_flush(host);
    if (!held.empty()) SchedulePump();
}

void TDXPlay::Impl::DropHeld()
{
    for (ENetEvent& ev : held)
        if (ev.type == ENET_EVENT_TYPE_RECEIVE) enet_packet_destroy(ev.packet);
    held.clear();
}

void TDXPlay::Impl::Beat()
{
    const auto now = Clock::now();
    if (host == nullptr || now - lastBeat < kBeat) return;
    lastBeat = now;
    for (const auto& m : members) {
        if (m->peer == nullptr || m->peer->state != ENET_PEER_STATE_CONNECTED) continue;
        ENetPacket* pkt = enet_packet_create(nullptr, 0, 0);
        if (pkt != nullptr && enet_peer_send(m->peer, 1, pkt) != 0) enet_packet_destroy(pkt);
    }
}

void TDXPlay::Impl::Report(std::exception_ptr failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        if (owner.OnHandlerError)
            owner.OnHandlerError(e);
        else
            std::fprintf(stderr, "%s\n", e.what());
    }
}

void TDXPlay::Impl::Lost()
{
    if (owner.OnSessionLost && openFired) Fire([&] { owner.OnSessionLost(); });
    owner.Close();
}

void TDXPlay::Impl::Handle(ENetEvent& ev)
{
    if (Member* m = ByPeer(ev.peer)) m->heard = Clock::now();
    if (ev.type == ENET_EVENT_TYPE_RECEIVE && ev.packet->dataLength == 0) {
        enet_packet_destroy(ev.packet);  // a sign of life, nothing more
        return;
    }
    switch (ev.type) {
        case ENET_EVENT_TYPE_CONNECT:
            OnConnect(ev.peer);
            break;
        case ENET_EVENT_TYPE_DISCONNECT:
            OnDisconnect(ev.peer);
            break;
        case ENET_EVENT_TYPE_RECEIVE: {
            std::vector<uint8_t> bytes(ev.packet->data, ev.packet->data + ev.packet->dataLength);
            enet_packet_destroy(ev.packet);
            OnPacket(ev.peer, bytes);
            break;
        }
        case ENET_EVENT_TYPE_NONE:
            break;
    }
}

void TDXPlay::Impl::OnConnect(ENetPeer* peer)
{
    SetPeerTimeout(peer);
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
    if (m->state == MemberState::Dialling) {
        m->state = MemberState::Greeting;
        HelloMsg h;
        h.app = app;
        h.instance = instance;
        h.id = localId;
        h.name = local->Name;
        Send(peer, EncodeHello(h));
    }
}

void TDXPlay::Impl::OnDisconnect(ENetPeer* peer)
{
    if (peer == joinPeer && (join == Join::Connecting || join == Join::AwaitWelcome)) {
        join = Join::Failed;
        joinPeer = nullptr;
    }
    Member* m = ByPeer(peer);
    if (m == nullptr) return;
    const uint32_t id = m->id;
    const bool wasIn = m->InSession();
    Remove(m);
    if (!wasIn) return;
    queue.push_back({GameEvent::Type::Delete, id, {}, {}});
    if (id == hostId) ChooseHost();
}

void TDXPlay::Impl::OnPacket(ENetPeer* peer, const std::vector<uint8_t>& bytes)
{
    Member* m = ByPeer(peer);
    auto msg = Decode(bytes.data(), bytes.size());
    if (m == nullptr || !msg) {
        ++dropped;
        return;
    }
    switch (msg->kind) {
        case Kind::User:
            // The game's messages count only from players in the session, and
            // are theirs: the connection, not the bytes, names the sender.
            if (!m->InSession() || msg->userSize < 4) {
                ++dropped;
                return;
            }
            queue.push_back(
                {GameEvent::Type::Message, m->id, {}, std::vector<uint8_t>(msg->user, msg->user + msg->userSize)});
            return;
        case Kind::Join:
            OnJoin(*m, msg->join);
            return;
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
        case Kind::Hello:
            OnHello(*m, msg->hello);
            return;
        case Kind::HelloAck:
            OnHelloAck(*m);
            return;
        case Kind::Announce:
            OnAnnounce(*m, msg->announce.player);
            return;
    }
}

void TDXPlay::Impl::Send(ENetPeer* peer, const std::vector<uint8_t>& bytes)
{
    if (peer == nullptr) return;
    ENetPacket* pkt = enet_packet_create(bytes.data(), bytes.size(), ENET_PACKET_FLAG_RELIABLE);
    if (pkt != nullptr && enet_peer_send(peer, 0, pkt) != 0) enet_packet_destroy(pkt);
}

void TDXPlay::Impl::Drop(ENetPeer* peer)
{
    if (peer != nullptr) enet_peer_disconnect_later(peer, 0);
}

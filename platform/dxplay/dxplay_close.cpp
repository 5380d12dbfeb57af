// Closing: the game hears OnClose once, the goodbyes get out, and the layer
// is left as freshly made, without a provider.
#include "platform/dxplay/dxplay_impl.h"

#include <exception>

using namespace dxplayimpl;

void TDXPlay::Impl::Shutdown()
{
    DropHeld();
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

void TDXPlay::Close()
{
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

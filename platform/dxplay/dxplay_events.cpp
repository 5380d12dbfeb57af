// Events to the game: the queue the network fills, handed out one event at a
// time, and the player objects, which are freed only once no handler that
// may still hold one runs.
#include "platform/dxplay/dxplay_impl.h"

#include <algorithm>

void TDXPlay::Impl::AfterFire() {
    if (--depth > 0) return;
    if (!insideReceive) graveyard.clear();
    if (notifier != nullptr) notifier->setEnabled(true);
    if (!queue.empty() && !insideReceive) SchedulePump();
}

TDXPlayPlayer* TDXPlay::Impl::Visible(uint32_t id) const {
    for (TDXPlayPlayer* p : players)
        if (p->ID == id) return p;
    return nullptr;
}

void TDXPlay::Impl::Bury(TDXPlayPlayer* p) {
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
void TDXPlay::Impl::Deliver() {
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

// The session layer's public calls: opening a game, the player collection,
// sending, and the layer's counters. The parts behind them are named in
// dxplay_impl.h.
#include "platform/dxplay/dxplay_impl.h"

#include <algorithm>
#include <cstdlib>
#include <random>

using namespace dxplaywire;
using namespace dxplayimpl;

namespace dxplayimpl {

uint16_t PortBase()
{
    const char* env = std::getenv("DUNEBOLT_PORT_BASE");
    if (env != nullptr && *env != '\0') {
        char* end = nullptr;
        long v = std::strtol(env, &end, 10);
        if (end != nullptr && *end == '\0' && v >= 1024 && v <= 65535 - kPortRange) return static_cast<uint16_t>(v);
    }
    return kDefaultPortBase;
}

bool EnetReady()
{
    static const bool ok = [] {
        if (enet_initialize() != 0) return false;
        std::atexit(enet_deinitialize);
        return true;
    }();
    return ok;
}

namespace {

std::mt19937& Rng()
{
    static std::mt19937 rng = [] {
        std::random_device rd;
        std::seed_seq seq{rd(), rd(), rd(), rd(), static_cast<unsigned>(Clock::now().time_since_epoch().count())};
        return std::mt19937(seq);
    }();
    return rng;
}

}  // namespace

uint32_t Random32() { return static_cast<uint32_t>(Rng()()); }

}  // namespace dxplayimpl

TDXPlay::TDXPlay() : impl_(std::make_unique<Impl>(*this)) {}

TDXPlay::~TDXPlay()
{
    // The owner is going away: its handlers must not run any more.
    impl_->quiet = true;
    Close();
}

bool TDXPlay::Opened() const { return impl_->opened; }
bool TDXPlay::IsHost() const { return impl_->isHost; }
uint32_t TDXPlay::HostID() const { return impl_->opened ? impl_->hostId : 0; }

uint32_t TDXPlay::NextHostID() const
{
    const Impl& d = *impl_;
    if (!d.opened) return 0;
    uint32_t bestSeq = UINT32_MAX;
    uint32_t best = 0;
    if (d.localId != d.hostId) bestSeq = d.localSeq, best = d.localId;
    // The same choice as ChooseHost makes when the host goes.
    for (const auto& m : d.members) {
        if (!m->InSession() || m->id == d.hostId) continue;
        if (m->seq < bestSeq) bestSeq = m->seq, best = m->id;
    }
    return best;
}
TDXPlayPlayer* TDXPlay::LocalPlayer() const { return impl_->local; }
const std::vector<TDXPlayPlayer*>& TDXPlay::Players() const { return impl_->players; }

uint64_t TDXPlay::BytesSent() const
{
    return impl_->extraSent + (impl_->host != nullptr ? impl_->host->totalSentData : 0);
}
uint64_t TDXPlay::BytesReceived() const
{
    return impl_->extraReceived + (impl_->host != nullptr ? impl_->host->totalReceivedData : 0);
}
uint64_t TDXPlay::DroppedMessages() const { return impl_->dropped; }
uint16_t TDXPlay::Port() const { return impl_->host != nullptr ? impl_->host->address.port : 0; }

const std::vector<TDXPlayProvider>& TDXPlay::Providers()
{
    if (impl_->providers.empty()) impl_->providers.push_back({DPSPNAME_TCPIP, DPSPGUID_TCPIP});
    return impl_->providers;
}

void TDXPlay::SetProviderName(const std::string& name)
{
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

const std::vector<std::string>& TDXPlay::Sessions()
{
    if (!impl_->sessionsRead) GetSessions();
    return impl_->sessionNames;
}

void TDXPlay::Open2(bool newSession, const std::string& sessionName, const std::string& playerName)
{
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
        if (m->state == Impl::MemberState::Listed) present.push_back(m.get());
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

TDXPlayPlayer& TDXPlay::PlayerByID(uint32_t id) const
{
    TDXPlayPlayer* p = impl_->Visible(id);
    if (p == nullptr || id == 0) Raise("Player's specified ID is not found");
    return *p;
}

void TDXPlay::KeepAlive() { impl_->KeepAlive(); }

void TDXPlay::SendMessage(uint32_t toId, const void* data, int size, bool guaranteed)
{
    Impl& d = *impl_;
    if (!d.opened) return;
    if (size < 4 || data == nullptr || static_cast<size_t>(size) > kMaxMessageBytes) Raise("Illegal message form");
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
        if (!m->InSession()) continue;
        if (toId != 0 && m->id != toId) continue;
        enet_peer_send(m->peer, channel, pkt);
    }
    if (pkt->referenceCount == 0) enet_packet_destroy(pkt);
    d.RequestFlush();
}

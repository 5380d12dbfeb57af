// The search for running games: raw datagrams to every port of the range,
// and, on the host's side, their answers from the game port itself.
#include "platform/dxplay/dxplay_impl.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

using namespace dxplaywire;
using namespace dxplayimpl;

std::map<ENetHost*, TDXPlay::Impl*>& TDXPlay::Impl::Hosts() {
    static std::map<ENetHost*, Impl*> m;
    return m;
}

// Raw datagrams on the game port: searches are answered here, everything
// else is ENet's.
int TDXPlay::Impl::Intercept(ENetHost* h, ENetEvent*) {
    const uint8_t* data = h->receivedData;
    const size_t size = h->receivedDataLength;
    if (size >= 4 && std::memcmp(data, kSearchReplyTag.data(), 4) == 0) return 1;
    if (size < 4 || std::memcmp(data, kSearchQueryTag.data(), 4) != 0) return 0;
    auto it = Hosts().find(h);
    if (it != Hosts().end()) it->second->AnswerSearch(h->receivedAddress, data, size);
    return 1;
}

void TDXPlay::Impl::AnswerSearch(const ENetAddress& from, const uint8_t* data, size_t size) {
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

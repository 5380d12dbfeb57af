// A hostile host on 127.0.0.1: the layer in this process joins a host that
// speaks the protocol but lists addresses of its choosing. And the address
// rules themselves, case by case, among them whom an announced player may
// be claimed by.
#include "platform/dxplay/dxplay.h"
#include "platform/dxplay/dxplay_address.h"
#include "platform/dxplay/dxplay_wire.h"

#include <enet/enet.h>
#include <gtest/gtest.h>
#include <QTest>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>
#include <atomic>
#include <thread>
#include <tuple>

namespace {

using namespace dxplaywire;

constexpr uint32_t kLoop = 0x7F000001;
constexpr uint16_t kHostPort = 47831;  // the last of the tests' range 47800..47831
const Guid kInstance{9, 8, 7, 6, 5, 4, 3, 2, 1};
// Documentation addresses (192.0.2.5, 192.0.2.9): inputs to the rules only,
// nothing is sent to them.
constexpr uint32_t kLan = 0xC0000205;
constexpr uint32_t kLan2 = 0xC0000209;

// Answers a search as a game "falle" would.
int AnswerSearch(ENetHost* h, ENetEvent*)
{
    const auto q = DecodeSearchQuery(h->receivedData, h->receivedDataLength);
    if (!q) return 0;
    const auto reply = EncodeSearchReply({q->app, q->nonce, kInstance, 10, 1, "falle"});
    ENetBuffer b{const_cast<uint8_t*>(reply.data()), reply.size()};
    enet_socket_send(h->socket, &h->receivedAddress, &b, 1);
    return 1;
}

// A welcome that lists ports outside the game's range, port 0 or address 0
// gets none of them dialled, and the join goes on with the host alone.
TEST(HostileHost, WelcomeEntriesOutsideTheGamesPortsAndAddressesAreNeverDialled)
{
    // Each entry, and where a dial of it would arrive.
    const std::vector<std::pair<ListedPlayer, uint16_t>> cases = {
        {{7, 3, kLoop, 47790, "below the range"}, 47790},
        {{8, 4, kLoop, 47832, "past the range"}, 47832},
        {{9, 5, 0, 47829, "no address"}, 47829},
        {{10, 6, kLoop, 0, "port 0"}, 0},
    };
    WelcomeMsg welcome{42, 2, 1, 10, kInstance, "falle", {{1, 1, kLoop, kHostPort, "Wirt"}}};
    std::vector<int> listeners;
    for (const auto& [entry, port] : cases) {
        welcome.players.push_back(entry);
        if (port == 0) continue;
        listeners.push_back(::socket(AF_INET, SOCK_DGRAM, 0));
        const sockaddr_in a{AF_INET, htons(port), {htonl(kLoop)}, {}};
        EXPECT_EQ(::bind(listeners.back(), reinterpret_cast<const sockaddr*>(&a), sizeof a), 0) << port;
    }
    // The hostile host welcomes every joiner so, on a thread of its own
    // since the join blocks this one.
    const ENetAddress at{htonl(kLoop), kHostPort};
    ENetHost* host = enet_host_create(&at, 4, 2, 0, 0);
    ASSERT_NE(host, nullptr);
    host->intercept = &AnswerSearch;
    std::atomic<bool> stop{false};
    std::thread hostile([&] {
        for (ENetEvent ev; !stop;) {
            if (enet_host_service(host, &ev, 5) <= 0 || ev.type != ENET_EVENT_TYPE_RECEIVE) continue;
            if (const auto m = Decode(ev.packet->data, ev.packet->dataLength); m && m->kind == Kind::Join) {
                const auto b = EncodeWelcome(welcome);
                enet_peer_send(ev.peer, 0, enet_packet_create(b.data(), b.size(), ENET_PACKET_FLAG_RELIABLE));
            }
            enet_packet_destroy(ev.packet);
        }
    });
    TDXPlay play;
    play.SetProviderName(DPSPNAME_TCPIP);
    play.TCPIPSetting = {true, "127.0.0.1", kHostPort};
    EXPECT_NO_THROW(play.JoinSession("falle", "Gast"));
    EXPECT_TRUE(play.Opened());
    EXPECT_EQ(play.Players().size(), 2u) << "the host and ourselves";
    EXPECT_GE(play.DroppedMessages(), cases.size());
    QTest::qWait(100);
    stop = true;
    hostile.join();
    enet_host_destroy(host);
    for (size_t i = 0; i < listeners.size(); ++i) {
        EXPECT_LT(::recv(listeners[i], nullptr, 0, MSG_DONTWAIT), 0) << cases[i].first.name;
        ::close(listeners[i]);
    }
}

TEST(PeerAddresses, TheWelcomesEntriesDialledAreTheGamesPortsAtAPeersAddress)
{
    // ip, port, the host's ip, what is dialled
    const std::vector<std::tuple<uint32_t, uint16_t, uint32_t, std::optional<uint32_t>>> cases = {
        {kLan2, 47624, kLan, kLan2},              // a peer on the host's LAN
        {kLan2, 47656, kLan, std::nullopt},       // one past it
        {kLan2, 0, kLan, std::nullopt},           // port 0
        {kLoop, 47625, kLan, kLan},               // on the host's machine: at the host's address
        {kLoop, 47625, kLoop, kLoop},             // all on this machine
        {0x7F000102, 47625, kLoop, 0x7F000102},   // any loopback, host on loopback
        {kLan2, 47625, kLoop, kLan2},             // we share the host's machine; the peer does not
        {0, 47625, kLan, std::nullopt},           // "this network"
        {0xFFFFFFFF, 47625, kLan, std::nullopt},  // broadcast
        {0xE0000001, 47625, kLan, std::nullopt},  // multicast
        {0xF0000001, 47625, kLan, std::nullopt},  // reserved
    };
    for (const auto& [ip, port, hostIp, dialled] : cases)
        EXPECT_EQ(dxplayaddr::DialAddress(ip, port, hostIp, 47624, 32), dialled)
            << std::hex << ip << ":" << std::dec << port << " from host " << std::hex << hostIp;
}

TEST(PeerAddresses, AnAnnouncedPlayerIsClaimedOnlyFromItsOwnAddress)
{
    // ip, port, the claimer's ip and port, whether the claim matches
    const std::vector<std::tuple<uint32_t, uint16_t, uint32_t, uint16_t, bool>> cases = {
        {kLan, 47625, kLan, 47625, true},
        {kLan, 47625, kLan2, 47625, false},
        {kLan, 47625, kLan, 47626, false},
        {0, 47625, kLan, 47625, false},
        {0, 47625, 0, 47625, false},
        {kLoop, 47625, kLoop, 47625, true},
        {kLoop, 47625, 0x7F000102, 47625, true},
        {kLoop, 47625, kLan2, 47625, false},
    };
    for (const auto& [ip, port, fromIp, fromPort, matches] : cases)
        EXPECT_EQ(dxplayaddr::ClaimMatches(ip, port, fromIp, fromPort), matches)
            << std::hex << ip << " from " << fromIp << std::dec << ":" << fromPort;
    // An announce of loopback by a host elsewhere means the host's machine.
    EXPECT_EQ(dxplayaddr::AnnouncedAddress(kLoop, kLan), kLan);
    EXPECT_EQ(dxplayaddr::AnnouncedAddress(kLoop, kLoop), kLoop);
    EXPECT_EQ(dxplayaddr::AnnouncedAddress(kLan2, kLan), kLan2);
}

}  // namespace

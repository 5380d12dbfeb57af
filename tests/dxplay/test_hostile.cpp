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
#include <memory>
#include <thread>

namespace {

using namespace dxplaywire;

constexpr uint32_t kLoop = 0x7F000001;
constexpr uint16_t kHostPort = 47831;  // the last of the tests' range 47800..47831
const Guid kInstance{9, 8, 7, 6, 5, 4, 3, 2, 1};

// A UDP socket on 127.0.0.1:port that notes whether anything arrived.
class Listener {
public:
    explicit Listener(uint16_t port) : fd_(::socket(AF_INET, SOCK_DGRAM, 0))
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(kLoop);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << "port " << port;
    }
    ~Listener() { ::close(fd_); }
    bool Heard() const
    {
        uint8_t b[2048];
        return ::recv(fd_, b, sizeof b, MSG_DONTWAIT) > 0;
    }

private:
    int fd_;
};

// Runs on a thread of its own, since the joiner's join blocks the main
// thread: answers the search, welcomes the joiner with `listed` after
// itself.
class HostileHost {
public:
    explicit HostileHost(std::vector<ListedPlayer> listed) : listed_(std::move(listed))
    {
        enet_initialize();
        ENetAddress a{};
        a.host = htonl(kLoop);
        a.port = kHostPort;
        host_ = enet_host_create(&a, 4, 2, 0, 0);
        EXPECT_NE(host_, nullptr);
        host_->intercept = &AnswerSearch;
        thread_ = std::thread([this] { Run(); });
    }
    ~HostileHost()
    {
        stop_ = true;
        thread_.join();
        enet_host_destroy(host_);
    }

private:
    static int AnswerSearch(ENetHost* h, ENetEvent*)
    {
        auto q = DecodeSearchQuery(h->receivedData, h->receivedDataLength);
        if (!q) return 0;
        const auto reply = EncodeSearchReply({q->app, q->nonce, kInstance, 10, 1, "falle"});
        ENetBuffer b{const_cast<uint8_t*>(reply.data()), reply.size()};
        enet_socket_send(h->socket, &h->receivedAddress, &b, 1);
        return 1;
    }
    void Send(const std::vector<uint8_t>& bytes)
    {
        if (joiner_ == nullptr) return;
        enet_peer_send(joiner_, 0, enet_packet_create(bytes.data(), bytes.size(), ENET_PACKET_FLAG_RELIABLE));
    }
    void Run()
    {
        while (!stop_) {
            ENetEvent ev{};
            while (enet_host_service(host_, &ev, 5) > 0) {
                if (ev.type != ENET_EVENT_TYPE_RECEIVE) continue;
                auto m = Decode(ev.packet->data, ev.packet->dataLength);
                if (m && m->kind == Kind::Join) {
                    joiner_ = ev.peer;
                    WelcomeMsg w;
                    w.yourId = 42;
                    w.yourSeq = 2;
                    w.hostId = 1;
                    w.maxPlayers = 10;
                    w.instance = kInstance;
                    w.sessionName = "falle";
                    w.players.push_back({1, 1, kLoop, kHostPort, "Wirt"});
                    w.players.insert(w.players.end(), listed_.begin(), listed_.end());
                    Send(EncodeWelcome(w));
                }
                enet_packet_destroy(ev.packet);
            }
        }
    }

    std::vector<ListedPlayer> listed_;
    ENetHost* host_ = nullptr;
    ENetPeer* joiner_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false};
};

void JoinHostile(TDXPlay& play)
{
    play.SetProviderName(DPSPNAME_TCPIP);
    play.TCPIPSetting.Enabled = true;
    play.TCPIPSetting.HostName = "127.0.0.1";
    play.TCPIPSetting.Port = kHostPort;
    play.JoinSession("falle", "Gast");
}

// A welcome that lists ports outside the game's range, port 0 or address 0
// gets none of them dialled, and the join goes on with the host alone.
TEST(HostileHost, WelcomeEntriesOutsideTheGamesPortsAndAddressesAreNeverDialled)
{
    struct Case {
        ListedPlayer entry;
        uint16_t listenOn;  // where a dial of that entry would arrive
    };
    const std::vector<Case> cases = {
        {{7, 3, kLoop, 47790, "below the range"}, 47790},
        {{8, 4, kLoop, 47832, "past the range"}, 47832},
        {{9, 5, 0, 47829, "no address"}, 47829},
        {{10, 6, kLoop, 0, "port 0"}, 0},
    };
    std::vector<ListedPlayer> listed;
    std::vector<std::unique_ptr<Listener>> listeners;
    for (const Case& c : cases) {
        listed.push_back(c.entry);
        if (c.listenOn != 0) listeners.push_back(std::make_unique<Listener>(c.listenOn));
    }
    HostileHost evil(listed);
    TDXPlay play;
    JoinHostile(play);
    ASSERT_TRUE(play.Opened());
    EXPECT_EQ(play.Players().size(), 2u) << "the host and ourselves";
    EXPECT_GE(play.DroppedMessages(), cases.size());
    QTest::qWait(100);
    for (size_t i = 0; i < listeners.size(); ++i) EXPECT_FALSE(listeners[i]->Heard()) << cases[i].entry.name;
}

TEST(PeerAddresses, TheWelcomesEntriesDialledAreTheGamesPortsAtAPeersAddress)
{
    // Documentation addresses (192.0.2.5, 192.0.2.9): inputs to the rule
    // only, nothing is sent to them.
    constexpr uint32_t lan = 0xC0000205;
    constexpr uint32_t lan2 = 0xC0000209;
    struct Case {
        uint32_t ip;
        uint16_t port;
        uint32_t hostIp;
        std::optional<uint32_t> dialled;
    };
    const std::vector<Case> cases = {
        {lan2, 47624, lan, lan2},                // a peer on the host's LAN
        {lan2, 47656, lan, std::nullopt},        // one past it
        {lan2, 0, lan, std::nullopt},            // port 0
        {kLoop, 47625, lan, lan},                // on the host's machine: at the host's address
        {kLoop, 47625, kLoop, kLoop},            // all on this machine
        {0x7F000102, 47625, kLoop, 0x7F000102},  // any loopback, host on loopback
        {lan2, 47625, kLoop, lan2},              // we share the host's machine; the peer does not
        {0, 47625, lan, std::nullopt},           // "this network"
        {0xFFFFFFFF, 47625, lan, std::nullopt},  // broadcast
        {0xE0000001, 47625, lan, std::nullopt},  // multicast
        {0xF0000001, 47625, lan, std::nullopt},  // reserved
    };
    for (const Case& c : cases)
        EXPECT_EQ(dxplayaddr::DialAddress(c.ip, c.port, c.hostIp, 47624, 32), c.dialled)
            << std::hex << c.ip << ":" << std::dec << c.port << " from host " << std::hex << c.hostIp;
}

TEST(PeerAddresses, AnAnnouncedPlayerIsClaimedOnlyFromItsOwnAddress)
{
    constexpr uint32_t lan = 0xC0000205;  // documentation addresses, as above
    constexpr uint32_t other = 0xC0000209;
    struct Case {
        uint32_t ip;
        uint16_t port;
        uint32_t fromIp;
        uint16_t fromPort;
        bool matches;
    };
    const std::vector<Case> cases = {
        {lan, 47625, lan, 47625, true},
        {lan, 47625, other, 47625, false},
        {lan, 47625, lan, 47626, false},
        {0, 47625, lan, 47625, false},
        {0, 47625, 0, 47625, false},
        {kLoop, 47625, kLoop, 47625, true},
        {kLoop, 47625, 0x7F000102, 47625, true},
        {kLoop, 47625, other, 47625, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(dxplayaddr::ClaimMatches(c.ip, c.port, c.fromIp, c.fromPort), c.matches)
            << std::hex << c.ip << " from " << c.fromIp << std::dec << ":" << c.fromPort;
    // An announce of loopback by a host elsewhere means the host's machine.
    EXPECT_EQ(dxplayaddr::AnnouncedAddress(kLoop, lan), lan);
    EXPECT_EQ(dxplayaddr::AnnouncedAddress(kLoop, kLoop), kLoop);
    EXPECT_EQ(dxplayaddr::AnnouncedAddress(other, lan), other);
}

}  // namespace

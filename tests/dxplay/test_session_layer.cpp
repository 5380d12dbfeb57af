// The layer in this process, against real player programs and raw sockets
// on 127.0.0.1: the edge cases of opening, sending and closing, the error
// texts, and bytes from the network that are not what they claim.
#include "platform/dxplay/dxplay.h"
#include "platform/dxplay/dxplay_wire.h"
#include "tests/dxplay/player_process.h"

#include <enet/enet.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <optional>
#include <random>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::string RaisedText(const std::function<void()>& f) {
    try {
        f();
    } catch (const EDXPlayError& e) {
        return e.what();
    }
    return "(nothing raised)";
}

void Create(TDXPlay& play, const std::string& session, const std::string& player) {
    play.SetProviderName(DPSPNAME_TCPIP);
    play.CreateSession(session, player);
}

TEST(SessionLayer, OpeningAloneMakesTheHostWhoSeesItselfAdded) {
    TDXPlay play;
    std::vector<std::string> events;
    play.OnOpen = [&] { events.push_back("open"); };
    play.OnAddPlayer = [&](TDXPlayPlayer& p) { events.push_back("add " + p.Name); };
    play.OnClose = [&] { events.push_back("close"); };
    EXPECT_FALSE(play.Opened());
    EXPECT_EQ(play.LocalPlayer(), nullptr);

    Create(play, "wueste", "Tom");
    EXPECT_TRUE(play.Opened());
    EXPECT_TRUE(play.IsHost());
    ASSERT_EQ(play.Players().size(), 1u);
    EXPECT_EQ(play.Players()[0], play.LocalPlayer());
    EXPECT_NE(play.LocalPlayer()->ID, 0u);
    EXPECT_FALSE(play.LocalPlayer()->Remote);
    EXPECT_EQ(play.SessionName(), "wueste");
    EXPECT_EQ(events, (std::vector<std::string>{"open", "add Tom"}));

    play.Close();
    play.Close();
    EXPECT_EQ(events.back(), "close");
    EXPECT_EQ(std::count(events.begin(), events.end(), "close"), 1) << "closed once, told once";
    EXPECT_FALSE(play.Opened());
    EXPECT_FALSE(play.IsHost());
    EXPECT_TRUE(play.Players().empty());
    EXPECT_EQ(play.ProviderName(), "") << "closing forgets the provider";
}

TEST(SessionLayer, SendingToOneselfRunsTheEventInsideTheCallWithNothingOnTheWire) {
    TDXPlay play;
    Create(play, "wueste", "Tom");
    Settle(50);
    int seen = 0;
    std::vector<uint8_t> got;
    play.OnMessage = [&](TDXPlayPlayer& from, const uint8_t* data, int size) {
        ++seen;
        EXPECT_EQ(&from, play.LocalPlayer());
        got.assign(data, data + size);
    };
    const uint64_t before = play.BytesSent();
    const uint8_t msg[] = {1, 0, 0, 0, 'h', 'i'};
    play.SendMessage(play.LocalPlayer()->ID, msg, sizeof msg, true);
    EXPECT_EQ(seen, 1);
    EXPECT_EQ(got, std::vector<uint8_t>(msg, msg + sizeof msg));
    EXPECT_EQ(play.BytesSent(), before);

    // Alone, a message to all goes nowhere, and never back to the sender.
    play.SendMessage(0, msg, sizeof msg, true);
    Settle(50);
    EXPECT_EQ(seen, 1);
}

TEST(SessionLayer, ThreeBytesAreAnIllegalMessageFourAreNot) {
    TDXPlay play;
    const uint8_t msg[] = {1, 2, 3, 4};
    // Closed: nothing happens, not even the size check.
    play.SendMessage(0, msg, 3, true);
    Create(play, "wueste", "Tom");
    int seen = 0;
    play.OnMessage = [&](TDXPlayPlayer&, const uint8_t*, int size) { seen += size; };
    EXPECT_EQ(RaisedText([&] { play.SendMessage(play.LocalPlayer()->ID, msg, 3, true); }), "Illegal message form");
    EXPECT_EQ(RaisedText([&] { play.SendMessage(0, msg, 0, false); }), "Illegal message form");
    EXPECT_EQ(RaisedText([&] { play.SendMessage(play.LocalPlayer()->ID, msg, 4, true); }), "(nothing raised)");
    const std::vector<uint8_t> huge((1 << 20) + 1, 0);
    EXPECT_EQ(RaisedText([&] { play.SendMessage(0, huge.data(), static_cast<int>(huge.size()), true); }),
              "Illegal message form");
    EXPECT_EQ(seen, 4);
}

TEST(SessionLayer, ProvidersSettingsAndErrorTexts) {
    TDXPlay play;
    EXPECT_EQ(play.GUID, "{26665D25-B199-41F7-9FBA-4735ED67C1B1}");
    EXPECT_EQ(play.MaxPlayers, 10);
    EXPECT_TRUE(play.Async);
    EXPECT_FALSE(play.TCPIPSetting.Enabled);
    EXPECT_EQ(play.TCPIPSetting.Port, 0);
    ASSERT_FALSE(play.Providers().empty());
    EXPECT_EQ(play.Providers()[0].GUID, "{36E95EE0-8577-11CF-960C-0080C7534E82}");
    EXPECT_EQ(play.Providers()[0].Name, "Internet TCP/IP Connection For DirectPlay");

    EXPECT_EQ(RaisedText([&] { play.GetSessions(); }), "TDXPlay component is disconnected.");
    EXPECT_EQ(RaisedText([&] { play.CreateSession("a", "b"); }), "TDXPlay component is disconnected.");
    EXPECT_EQ(RaisedText([&] { play.SetProviderName("Modem"); }), "Provider 'Modem' not found");
    play.SetProviderName(DPSPNAME_TCPIP);
    EXPECT_EQ(RaisedText([&] { play.CreateSession("", "b"); }), "Session name is not specified");
    EXPECT_EQ(RaisedText([&] { play.CreateSession("a", ""); }), "Player name is not specified");
    EXPECT_EQ(RaisedText([&] { play.JoinSession("gibtsnicht", "b"); }), "Session 'gibtsnicht' not found");
    EXPECT_EQ(RaisedText([&] { (void)play.PlayerByID(12345); }), "Player's specified ID is not found");
    EXPECT_FALSE(play.Opened());

    // A fixed port that is taken cannot host a game.
    TDXPlay first;
    Create(first, "eins", "a");
    play.TCPIPSetting.Enabled = true;
    play.TCPIPSetting.Port = first.Port();
    play.SetProviderName(DPSPNAME_TCPIP);
    EXPECT_EQ(RaisedText([&] { play.CreateSession("zwei", "b"); }), "Session zwei cannot be opened");
}

TEST(SessionLayer, PlayerIdsAreNonZeroAndSpreadOverTheWholeRange) {
    TDXPlay play;
    bool high = false;
    for (int i = 0; i < 40; ++i) {
        Create(play, "wueste", "Tom");
        const uint32_t id = play.LocalPlayer()->ID;
        EXPECT_NE(id, 0u);
        high = high || id > 2147483647u;
        play.Close();
    }
    EXPECT_TRUE(high) << "40 ids all below 2^31";
}

TEST(SessionLayer, ClosingFromInsideAMessageEventIsSafe) {
    TDXPlay play;
    Create(play, "wueste", "Tom");
    PlayerProcess guest;
    ASSERT_TRUE(guest.Started());
    guest.Say("join wueste Gast");
    ASSERT_TRUE(guest.Expect("opened"));
    int messages = 0, closes = 0;
    std::string sender;
    play.OnMessage = [&](TDXPlayPlayer& from, const uint8_t*, int) {
        ++messages;
        play.Close();
        sender = from.Name;  // the sender outlives the close until we return
    };
    play.OnClose = [&] { ++closes; };
    guest.Say("send 0 20");
    for (int i = 0; i < 200 && messages == 0; ++i) Settle(10);
    Settle(200);
    EXPECT_EQ(messages, 1) << "nothing more after the close";
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(sender, "Gast");
    EXPECT_FALSE(play.Opened());
    EXPECT_TRUE(play.Players().empty());
    EXPECT_TRUE(guest.Expect("delete ", 5000)) << "the others see us leave";
}

// A plain UDP socket on loopback, for datagrams that are not ENet's.
class RawUdp {
public:
    RawUdp() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        timeval tv{0, 200000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~RawUdp() { ::close(fd_); }
    void Send(uint16_t port, const std::vector<uint8_t>& bytes) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    // Waits a little for one datagram, letting the layer run meanwhile.
    std::vector<uint8_t> Receive() {
        for (int i = 0; i < 50; ++i) {
            Settle(5);
            uint8_t buf[2048];
            ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) return std::vector<uint8_t>(buf, buf + n);
        }
        return {};
    }

private:
    int fd_ = -1;
};

TEST(SessionLayer, GarbageDatagramsAreIgnoredAndSearchesStillAnswered) {
    TDXPlay play;
    Create(play, "wueste", "Tom");
    PlayerProcess guest;
    ASSERT_TRUE(guest.Started());
    guest.Say("join wueste Gast");
    ASSERT_TRUE(guest.Expect("opened"));
    int messages = 0, adds = 0, deletes = 0;
    play.OnMessage = [&](TDXPlayPlayer&, const uint8_t*, int) { ++messages; };
    play.OnAddPlayer = [&](TDXPlayPlayer&) { ++adds; };
    play.OnDeletePlayer = [&](TDXPlayPlayer&) { ++deletes; };
    for (int i = 0; i < 100 && play.Players().size() < 2; ++i) Settle(10);
    ASSERT_EQ(play.Players().size(), 2u);

    RawUdp udp;
    std::mt19937 rng(1234);
    for (int i = 0; i < 2000; ++i) {
        std::vector<uint8_t> junk(rng() % 1400);
        for (auto& b : junk) b = static_cast<uint8_t>(rng());
        if (i % 5 == 0 && junk.size() >= 4) std::copy_n("DBSQ", 4, junk.begin());
        udp.Send(play.Port(), junk);
        if (i % 100 == 0) Settle(5);
    }
    const auto app = *dxplaywire::ParseGuid(play.GUID);
    auto query = dxplaywire::EncodeSearchQuery({app, 99});
    udp.Send(play.Port(), std::vector<uint8_t>(query.begin(), query.end() - 1));
    auto other = dxplaywire::EncodeSearchQuery({*dxplaywire::ParseGuid("{11111111-2222-3333-4444-555555555555}"), 98});
    udp.Send(play.Port(), other);
    EXPECT_TRUE(udp.Receive().empty()) << "truncated queries and other games' queries get no answer";

    udp.Send(play.Port(), query);
    auto reply = udp.Receive();
    auto r = dxplaywire::DecodeSearchReply(reply.data(), reply.size());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->nonce, 99u);
    EXPECT_EQ(r->name, "wueste");
    EXPECT_EQ(r->players, 2);

    Settle(200);
    EXPECT_TRUE(play.Opened());
    EXPECT_EQ(play.Players().size(), 2u);
    EXPECT_EQ(messages + adds + deletes, 0);
    guest.Say("send 0 3");
    for (int i = 0; i < 200 && messages < 3; ++i) Settle(10);
    EXPECT_EQ(messages, 3) << "the real player still gets through";
}

// A raw ENet client that speaks the session protocol badly.
class Impostor {
public:
    explicit Impostor(uint16_t port) {
        enet_initialize();
        client_ = enet_host_create(nullptr, 1, 2, 0, 0);
        ENetAddress a{};
        enet_address_set_host(&a, "127.0.0.1");
        a.port = port;
        peer_ = enet_host_connect(client_, &a, 2, 0);
    }
    ~Impostor() {
        enet_host_destroy(client_);
    }
    bool Connected() {
        for (int i = 0; i < 200; ++i) {
            Service();
            if (connected_) return true;
        }
        return false;
    }
    void Send(const std::vector<uint8_t>& bytes, uint8_t channel = 0) {
        ENetPacket* p = enet_packet_create(bytes.data(), bytes.size(), ENET_PACKET_FLAG_RELIABLE);
        enet_peer_send(peer_, channel, p);
        enet_host_flush(client_);
    }
    void Service(bool wait = true) {
        if (wait) Settle(5);
        ENetEvent ev;
        while (enet_host_service(client_, &ev, 0) > 0) {
            if (ev.type == ENET_EVENT_TYPE_CONNECT) connected_ = true;
            if (ev.type == ENET_EVENT_TYPE_DISCONNECT) disconnected_ = true;
            if (ev.type == ENET_EVENT_TYPE_RECEIVE) {
                received_.emplace_back(ev.packet->data, ev.packet->data + ev.packet->dataLength);
                enet_packet_destroy(ev.packet);
            }
        }
    }
    std::vector<std::vector<uint8_t>> received_;
    bool disconnected_ = false;

private:
    ENetHost* client_ = nullptr;
    ENetPeer* peer_ = nullptr;
    bool connected_ = false;
};

TEST(SessionLayer, ForgedSessionMessagesNeitherJoinNorSpeakForOthers) {
    TDXPlay play;
    Create(play, "wueste", "Tom");
    PlayerProcess guest;
    ASSERT_TRUE(guest.Started());
    guest.Say("join wueste Gast");
    auto opened = guest.Expect("opened");
    ASSERT_TRUE(opened);
    for (int i = 0; i < 100 && play.Players().size() < 2; ++i) Settle(10);
    ASSERT_EQ(play.Players().size(), 2u);
    const uint32_t guestId = play.Players()[1]->ID;

    std::vector<std::string> events;
    play.OnMessage = [&](TDXPlayPlayer& from, const uint8_t*, int) { events.push_back("msg " + from.Name); };
    play.OnAddPlayer = [&](TDXPlayPlayer& p) { events.push_back("add " + p.Name); };
    play.OnDeletePlayer = [&](TDXPlayPlayer& p) { events.push_back("delete " + p.Name); };

    const auto app = *dxplaywire::ParseGuid(play.GUID);
    // The session's instance is no secret: any search reply carries it.
    RawUdp udp;
    udp.Send(play.Port(), dxplaywire::EncodeSearchQuery({app, 5}));
    auto reply = udp.Receive();
    auto found = dxplaywire::DecodeSearchReply(reply.data(), reply.size());
    ASSERT_TRUE(found);
    const auto inst = found->instance;

    Impostor bad(play.Port());
    ASSERT_TRUE(bad.Connected());
    const uint8_t game[] = {1, 0, 0, 0, 'x'};
    // Speaking before joining, and claiming to be the guest.
    bad.Send(dxplaywire::EncodeUser(game, sizeof game));
    bad.Send(dxplaywire::EncodeHello({app, inst, guestId, "Gast"}));
    bad.Send(dxplaywire::EncodeUser(game, sizeof game), 1);
    // Host-only records from someone who is not the host.
    bad.Send(dxplaywire::EncodeAnnounce({{777, 1, 0x7F000001, 1, "Geist"}}));
    dxplaywire::WelcomeMsg w;
    w.yourId = 5;
    w.hostId = 6;
    bad.Send(dxplaywire::EncodeWelcome(w));
    bad.Send({0xFF, 0xFF});
    bad.Send({});
    bad.Send({2});
    for (int i = 0; i < 40; ++i) bad.Service();

    EXPECT_TRUE(events.empty()) << events.front();
    EXPECT_EQ(play.Players().size(), 2u);
    EXPECT_EQ(play.Players()[1]->ID, guestId);
    EXPECT_GT(play.DroppedMessages(), 0u);

    // A join for another game is refused with the reason.
    bad.Send(dxplaywire::EncodeJoin({*dxplaywire::ParseGuid("{11111111-2222-3333-4444-555555555555}"), {}, "x"}));
    for (int i = 0; i < 40 && bad.received_.empty(); ++i) bad.Service();
    ASSERT_FALSE(bad.received_.empty());
    auto m = dxplaywire::Decode(bad.received_[0].data(), bad.received_[0].size());
    ASSERT_TRUE(m);
    EXPECT_EQ(m->kind, dxplaywire::Kind::Refuse);
    EXPECT_EQ(m->refuse.reason, dxplaywire::RefuseReason::WrongGame);

    // The real guest is still heard as itself.
    guest.Say("send 0 1");
    for (int i = 0; i < 200 && events.empty(); ++i) Settle(10);
    EXPECT_EQ(events, std::vector<std::string>{"msg Gast"});
}

}  // namespace

namespace {

TEST(SessionLayer, AFloodOfJoinersFillsTheGameAndTheRestAreTurnedAway) {
    TDXPlay play;
    play.MaxPlayers = 4;
    Create(play, "klein", "Tom");
    const auto app = *dxplaywire::ParseGuid(play.GUID);
    RawUdp udp;
    udp.Send(play.Port(), dxplaywire::EncodeSearchQuery({app, 1}));
    auto reply = udp.Receive();
    auto found = dxplaywire::DecodeSearchReply(reply.data(), reply.size());
    ASSERT_TRUE(found);

    std::vector<std::unique_ptr<Impostor>> crowd;
    for (int i = 0; i < 40; ++i) crowd.push_back(std::make_unique<Impostor>(play.Port()));
    for (int round = 0; round < 60; ++round) {
        Settle(5);
        for (auto& c : crowd) c->Service(false);
    }
    for (auto& c : crowd) c->Send(dxplaywire::EncodeJoin({app, found->instance, "Masse"}));
    for (int round = 0; round < 60; ++round) {
        Settle(5);
        for (auto& c : crowd) c->Service(false);
    }

    int welcomed = 0, refused = 0;
    for (auto& c : crowd) {
        for (const auto& bytes : c->received_) {
            auto m = dxplaywire::Decode(bytes.data(), bytes.size());
            if (m && m->kind == dxplaywire::Kind::Welcome) ++welcomed;
            if (m && m->kind == dxplaywire::Kind::Refuse && m->refuse.reason == dxplaywire::RefuseReason::Full)
                ++refused;
        }
    }
    EXPECT_EQ(welcomed, 3);
    EXPECT_GT(refused, 0);
    EXPECT_EQ(play.Players().size(), 4u);
    EXPECT_TRUE(play.Opened());
    std::set<uint32_t> ids;
    for (TDXPlayPlayer* p : play.Players()) ids.insert(p->ID);
    EXPECT_EQ(ids.size(), 4u);
    // A full game is not offered.
    udp.Send(play.Port(), dxplaywire::EncodeSearchQuery({app, 2}));
    EXPECT_TRUE(udp.Receive().empty());
}

// Restores an environment variable when the test ends.
class EnvGuard {
public:
    explicit EnvGuard(const char* name) : name_(name) {
        if (const char* v = std::getenv(name)) old_ = v;
    }
    ~EnvGuard() {
        if (old_) {
            setenv(name_, old_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(SessionLayer, TheSearchAsksForTheAddressOnlyWhenNothingPresetsIt) {
    PlayerProcess host;
    ASSERT_TRUE(host.Ask("host gefragt wirt", "opened"));
    TDXPlay play;
    int asked = 0;
    std::string answer = "127.0.0.1";
    bool go = true;
    play.OnAskAddress = [&](std::string& address) {
        ++asked;
        address = answer;
        return go;
    };
    play.SetProviderName(DPSPNAME_TCPIP);
    play.GetSessions();
    EXPECT_EQ(asked, 0) << "DUNEBOLT_SEARCH_ADDRESS presets it";
    EXPECT_EQ(play.Sessions(), std::vector<std::string>{"gefragt"});

    EnvGuard keep("DUNEBOLT_SEARCH_ADDRESS");
    unsetenv("DUNEBOLT_SEARCH_ADDRESS");
    play.GetSessions();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(play.Sessions(), std::vector<std::string>{"gefragt"});

    go = false;  // the player cancels: nothing found, nothing raised
    play.GetSessions();
    EXPECT_EQ(asked, 2);
    EXPECT_TRUE(play.Sessions().empty());
    EXPECT_EQ(asked, 3) << "a cancelled search counts as not done";

    // An empty answer under CI searches this machine, never the network.
    go = true;
    answer.clear();
    play.GetSessions();
    EXPECT_EQ(play.Sessions(), std::vector<std::string>{"gefragt"});
}

}  // namespace

namespace {

TEST(SessionLayer, MessagesToOnePlayerReachOnlyItAndLeaversStayListedDuringTheirEvent) {
    TDXPlay play;
    Create(play, "wueste", "Tom");
    PlayerProcess a, b;
    ASSERT_TRUE(a.Ask("join wueste A", "opened"));
    ASSERT_TRUE(b.Ask("join wueste B", "opened"));
    for (int i = 0; i < 300 && play.Players().size() < 3; ++i) Settle(10);
    ASSERT_EQ(play.Players().size(), 3u);
    const uint32_t aId = play.Players()[1]->ID;
    EXPECT_EQ(play.Players()[1]->Name, "A") << "players follow in the order they came";

    std::vector<uint8_t> msg(12, 0);
    msg[0] = 1;
    msg[8] = 0xEE;
    msg[9] = 0xFF;
    msg[10] = 0xC0;
    for (uint8_t seq = 0; seq < 5; ++seq) {
        msg[4] = seq;
        play.SendMessage(aId, msg.data(), static_cast<int>(msg.size()), true);
    }
    const std::string tom = std::to_string(play.LocalPlayer()->ID);
    for (int i = 0; i < 100; ++i) {
        if (a.Ask("stats", "stats") == "stats " + tom + ":5") break;
        Settle(20);
    }
    EXPECT_EQ(a.All("stats").back(), "stats " + tom + ":5");
    EXPECT_EQ(b.Ask("stats", "stats"), "stats");

    size_t listedDuring = 0;
    bool wasListed = false;
    play.OnDeletePlayer = [&](TDXPlayPlayer& p) {
        listedDuring = play.Players().size();
        wasListed = std::find(play.Players().begin(), play.Players().end(), &p) != play.Players().end();
    };
    a.Say("leave");
    for (int i = 0; i < 300 && play.Players().size() == 3; ++i) Settle(10);
    EXPECT_EQ(listedDuring, 3u);
    EXPECT_TRUE(wasListed);
    ASSERT_EQ(play.Players().size(), 2u);
    EXPECT_EQ(play.Players()[1]->Name, "B");
}

}  // namespace

namespace {

TEST(SessionLayer, AHandlerThatRunsTheEventLoopIsNeverEnteredAgainByTheNetwork) {
    TDXPlay play;
    Create(play, "wueste", "Tom");
    PlayerProcess guest;
    ASSERT_TRUE(guest.Ask("join wueste Gast", "opened"));
    for (int i = 0; i < 300 && play.Players().size() < 2; ++i) Settle(10);
    ASSERT_EQ(play.Players().size(), 2u);
    int inside = 0, deepest = 0, got = 0, own = 0;
    play.OnMessage = [&](TDXPlayPlayer& from, const uint8_t* data, int size) {
        if (&from == play.LocalPlayer()) {
            ++own;  // the send to oneself may run inside a handler
            return;
        }
        ++inside;
        deepest = std::max(deepest, inside);
        ++got;
        // As the window does when it lets pending messages run.
        QTest::qWait(15);
        play.SendMessage(play.LocalPlayer()->ID, data, size, true);
        --inside;
    };
    guest.Say("send 0 20");
    for (int i = 0; i < 500 && got < 20; ++i) Settle(10);
    EXPECT_EQ(got, 20);
    EXPECT_EQ(own, 20);
    EXPECT_EQ(deepest, 1);
}

}  // namespace

namespace {

TEST(SessionLayer, JoiningAGameThatEndedAfterTheSearchFailsCleanly) {
    TDXPlay play;
    play.SetProviderName(DPSPNAME_TCPIP);
    {
        PlayerProcess host;
        ASSERT_TRUE(host.Ask("host vorbei wirt", "opened"));
        ASSERT_EQ(play.Sessions(), std::vector<std::string>{"vorbei"});
        host.Kill();
    }
    EXPECT_EQ(RaisedText([&] { play.JoinSession("vorbei", "gast"); }), "Session vorbei cannot be opened");
    EXPECT_FALSE(play.Opened());
    EXPECT_EQ(play.LocalPlayer(), nullptr);
    EXPECT_TRUE(play.Players().empty());
    // The layer is still usable.
    play.SetProviderName(DPSPNAME_TCPIP);
    play.CreateSession("neu", "gast");
    EXPECT_TRUE(play.IsHost());
}

}  // namespace

namespace {

TEST(SessionLayer, AFailingHandlerEndsOnlyItsBatchAndDestroyingTheLayerStaysQuiet) {
    bool closedByDestructor = false;
    {
        TDXPlay play;
        Create(play, "wueste", "Tom");
        PlayerProcess guest;
        ASSERT_TRUE(guest.Ask("join wueste Gast", "opened"));
        for (int i = 0; i < 300 && play.Players().size() < 2; ++i) Settle(10);
        int got = 0;
        play.OnMessage = [&](TDXPlayPlayer&, const uint8_t*, int) {
            if (++got == 1) throw EDXPlayError("the game failed on this one");
        };
        guest.Say("send 0 5");
        for (int i = 0; i < 300 && got < 5; ++i) Settle(10);
        EXPECT_EQ(got, 5) << "what came after the failure is still delivered";
        EXPECT_TRUE(play.Opened());
        // The owner's handlers may be gone by the time the layer is.
        play.OnClose = [&] { closedByDestructor = true; };
    }
    EXPECT_FALSE(closedByDestructor);
}

}  // namespace

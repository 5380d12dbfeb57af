// The session layer on 127.0.0.1: the layer in this process against player
// programs (dxplay_driver), raw datagrams and a raw ENet client that speaks
// the protocol badly; and whole games of separate player programs: joining,
// the player lists, message delivery, leaving and vanishing, the host
// hand-over and searching.
#include "platform/dxplay/dxplay.h"
#include "platform/dxplay/dxplay_wire.h"

#include <enet/enet.h>
#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QProcess>
#include <QTest>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Lets the event loop (this process's layer) run while the test waits.
void Settle(int ms) { QTest::qWait(ms); }

template <typename Done>
bool WaitUntil(Done done, int ms = 3000)
{
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (Clock::now() >= until) return false;
        Settle(10);
    }
    return true;
}

using Env = std::vector<std::pair<QString, QString>>;

// One scripted player program: commands go to its stdin, its event lines
// are collected from stdout.
class PlayerProcess {
public:
    explicit PlayerProcess(const Env& env = {})
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        for (const auto& [k, v] : env) e.insert(k, v);
        proc_.setProcessEnvironment(e);
        proc_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&proc_, &QProcess::readyReadStandardOutput, [this] {
            partial_ += proc_.readAllStandardOutput().toStdString();
            for (size_t at; (at = partial_.find('\n')) != std::string::npos; partial_.erase(0, at + 1))
                lines_.push_back(partial_.substr(0, at));
        });
        proc_.start(QString(DXPLAY_DRIVER), {});
        proc_.waitForStarted(5000);
    }
    ~PlayerProcess()
    {
        proc_.closeWriteChannel();
        if (!proc_.waitForFinished(3000)) proc_.kill();
        proc_.waitForFinished(3000);
    }

    void Say(const std::string& command)
    {
        proc_.write((command + "\n").c_str());
        proc_.waitForBytesWritten(1000);
    }
    // The next line from the read position on that starts with one of the
    // prefixes; the read position moves past it.
    std::optional<std::string> Expect(const std::vector<std::string>& prefixes, int ms = 10000)
    {
        std::optional<std::string> found;
        WaitUntil(
            [&] {
                for (size_t i = cursor_; i < lines_.size() && !found; ++i)
                    for (const auto& p : prefixes)
                        if (!found && lines_[i].rfind(p, 0) == 0) {
                            found = lines_[i];
                            cursor_ = i + 1;
                        }
                return found.has_value();
            },
            ms);
        return found;
    }
    std::optional<std::string> Expect(const std::string& prefix, int ms = 10000)
    {
        return Expect(std::vector<std::string>{prefix}, ms);
    }
    std::optional<std::string> Ask(const std::string& command, const std::string& prefix)
    {
        Say(command);
        return Expect(prefix);
    }
    // The answer to a "host" or "join": the player id, 0 on failure.
    uint32_t Opened()
    {
        const auto line = Expect(std::vector<std::string>{"opened ", "error "}, 15000);
        const bool ok = line && line->rfind("opened ", 0) == 0;
        EXPECT_TRUE(ok) << line.value_or("no answer");
        return ok ? uint32_t(std::stoul(line->substr(7))) : 0;
    }
    uint32_t Open(const std::string& command)
    {
        Say(command);
        return Opened();
    }
    // Every line so far that starts with prefix, wherever the read position is.
    size_t Count(const std::string& prefix) const
    {
        return size_t(
            std::count_if(lines_.begin(), lines_.end(), [&](const auto& l) { return l.rfind(prefix, 0) == 0; }));
    }
    void Kill()
    {
        ::kill(pid_t(proc_.processId()), SIGKILL);
        proc_.waitForFinished(3000);
    }

private:
    QProcess proc_;
    std::string partial_;
    std::vector<std::string> lines_;
    size_t cursor_ = 0;
};

// "word ID:VALUE ID:VALUE ..." as a map.
std::map<uint32_t, std::string> Pairs(const std::optional<std::string>& line)
{
    std::map<uint32_t, std::string> out;
    std::istringstream in(line.value_or(""));
    std::string word;
    in >> word;
    while (in >> word)
        if (const size_t colon = word.find(':'); colon != std::string::npos)
            out[uint32_t(std::stoul(word.substr(0, colon)))] = word.substr(colon + 1);
    return out;
}

// The "players" line: its count first, then the ids in listed order.
std::vector<uint32_t> Listed(PlayerProcess& p)
{
    std::istringstream in(p.Ask("players", "players").value_or(""));
    std::string word;
    std::vector<uint32_t> ids;
    in >> word >> word;
    while (in >> word) ids.push_back(uint32_t(std::stoul(word)));
    return ids;
}

std::string RaisedText(const std::function<void()>& f)
{
    try {
        f();
    } catch (const EDXPlayError& e) {
        return e.what();
    }
    return "(nothing raised)";
}

void Create(TDXPlay& play, const std::string& session, const std::string& player)
{
    play.SetProviderName(DPSPNAME_TCPIP);
    play.CreateSession(session, player);
}

// This process hosts "wueste" as Tom, and one player program has joined.
struct HostWithGuest {
    TDXPlay play;
    PlayerProcess guest;
    HostWithGuest()
    {
        Create(play, "wueste", "Tom");
        guest.Open("join wueste Gast");
        EXPECT_TRUE(WaitUntil([&] { return play.Players().size() == 2; }));
    }
};

TEST(SessionLayer, OpeningAloneMakesTheHostAndASendToOneselfNeverLeavesTheCall)
{
    TDXPlay play;
    std::vector<std::string> events;
    play.OnOpen = [&] { events.push_back("open"); };
    play.OnAddPlayer = [&](TDXPlayPlayer& p) { events.push_back("add " + p.Name); };
    play.OnClose = [&] { events.push_back("close"); };
    play.OnMessage = [&](TDXPlayPlayer& from, const uint8_t* data, int size) {
        events.push_back((&from == play.LocalPlayer() ? "own " : "other ") + std::string(data + 4, data + size));
    };
    const uint8_t msg[] = {1, 0, 0, 0, 'h', 'i'};
    play.SendMessage(0, msg, 3, true);  // closed: nothing happens, not even the size check
    Create(play, "wueste", "Tom");
    EXPECT_TRUE(play.IsHost());
    ASSERT_EQ(play.Players(), std::vector<TDXPlayPlayer*>{play.LocalPlayer()});
    EXPECT_FALSE(play.LocalPlayer()->Remote);
    EXPECT_EQ(play.SessionName(), "wueste");

    // To oneself: handled inside the call, nothing on the wire; to all,
    // alone: nowhere, and never back to the sender.
    const uint64_t sent = play.BytesSent();
    play.SendMessage(play.LocalPlayer()->ID, msg, sizeof msg, true);
    EXPECT_EQ(events, (std::vector<std::string>{"open", "add Tom", "own hi"}));
    EXPECT_EQ(play.BytesSent(), sent);
    play.SendMessage(0, msg, sizeof msg, true);
    // Fewer than four bytes, or more than a MiB, is no message.
    const std::vector<uint8_t> huge((1 << 20) + 1, 0);
    for (int size : {3, 0})
        EXPECT_EQ(RaisedText([&] { play.SendMessage(play.LocalPlayer()->ID, msg, size, true); }),
                  "Illegal message form");
    EXPECT_EQ(RaisedText([&] { play.SendMessage(0, huge.data(), int(huge.size()), false); }), "Illegal message form");
    play.SendMessage(play.LocalPlayer()->ID, msg, 4, true);
    Settle(50);

    play.Close();
    play.Close();
    EXPECT_EQ(events, (std::vector<std::string>{"open", "add Tom", "own hi", "own ", "close"}))
        << "closed once, told once";
    EXPECT_FALSE(play.Opened());
    EXPECT_FALSE(play.IsHost());
    EXPECT_TRUE(play.Players().empty());
    EXPECT_EQ(play.ProviderName(), "") << "closing forgets the provider";
}

TEST(SessionLayer, ErrorTexts)
{
    TDXPlay play, first;
    Create(first, "eins", "a");
    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {[&] { play.GetSessions(); }, "TDXPlay component is disconnected."},
        {[&] { play.CreateSession("a", "b"); }, "TDXPlay component is disconnected."},
        {[&] { play.SetProviderName("Modem"); }, "Provider 'Modem' not found"},
        {[&] { play.SetProviderName(DPSPNAME_TCPIP); }, "(nothing raised)"},
        {[&] { play.CreateSession("", "b"); }, "Session name is not specified"},
        {[&] { play.CreateSession("a", ""); }, "Player name is not specified"},
        {[&] { play.JoinSession("gibtsnicht", "b"); }, "Session 'gibtsnicht' not found"},
        {[&] { (void)play.PlayerByID(12345); }, "Player's specified ID is not found"},
        // A fixed port that is taken cannot host a game.
        {[&] {
             play.TCPIPSetting = {true, "", first.Port()};
             play.SetProviderName(DPSPNAME_TCPIP);
             play.CreateSession("zwei", "b");
         },
         "Session zwei cannot be opened"},
    };
    for (const auto& [action, text] : cases) EXPECT_EQ(RaisedText(action), text);
    EXPECT_FALSE(play.Opened());
}

TEST(SessionLayer, PlayerIdsAreNonZeroAndSpreadOverTheWholeRange)
{
    TDXPlay play;
    bool high = false;
    for (int i = 0; i < 40; ++i) {
        Create(play, "wueste", "Tom");
        EXPECT_NE(play.LocalPlayer()->ID, 0u);
        high = high || play.LocalPlayer()->ID > 0x7FFFFFFFu;
        play.Close();
    }
    EXPECT_TRUE(high) << "40 ids all below 2^31";
}

// The game's handlers may run the event loop, fail, or close the session.
TEST(SessionLayer, HandlersThatWaitFailOrCloseAreSafe)
{
    HostWithGuest g;
    TDXPlay& play = g.play;
    int inside = 0, deepest = 0, got = 0, own = 0;
    play.OnMessage = [&](TDXPlayPlayer& from, const uint8_t* data, int size) {
        if (&from == play.LocalPlayer()) {
            ++own;  // the send to oneself runs inside this handler
            return;
        }
        deepest = std::max(deepest, ++inside);
        ++got;
        QTest::qWait(15);  // as the window does when it lets pending messages run
        play.SendMessage(play.LocalPlayer()->ID, data, size, true);
        --inside;
    };
    g.guest.Say("send 0 20");
    EXPECT_TRUE(WaitUntil([&] { return got == 20; }, 5000));
    EXPECT_EQ(own, 20);
    EXPECT_EQ(deepest, 1) << "the network never enters a running handler again";

    got = 0;
    std::vector<std::string> reported;
    play.OnHandlerError = [&](const std::exception& e) { reported.push_back(e.what()); };
    play.OnMessage = [&](TDXPlayPlayer&, const uint8_t*, int) {
        if (++got == 1) throw EDXPlayError("the game failed on this one");
    };
    g.guest.Say("send 0 5");
    EXPECT_TRUE(WaitUntil([&] { return got == 5; })) << "what came after the failure is still delivered";
    EXPECT_EQ(reported, std::vector<std::string>{"the game failed on this one"});

    int closes = 0;
    std::string sender;
    got = 0;
    play.OnMessage = [&](TDXPlayPlayer& from, const uint8_t*, int) {
        ++got;
        play.Close();
        sender = from.Name;  // the sender outlives the close until we return
    };
    play.OnClose = [&] { ++closes; };
    g.guest.Say("send 0 20");
    EXPECT_TRUE(WaitUntil([&] { return got > 0; }));
    Settle(200);
    EXPECT_EQ(got, 1) << "nothing more after the close";
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(sender, "Gast");
    EXPECT_TRUE(play.Players().empty());
    EXPECT_TRUE(g.guest.Expect("delete ", 5000)) << "the others see us leave";

    // The owner's handlers may be gone by the time the layer is.
    bool closedByDestructor = false;
    {
        TDXPlay gone;
        Create(gone, "weg", "Tom");
        gone.OnClose = [&] { closedByDestructor = true; };
    }
    EXPECT_FALSE(closedByDestructor);
}

// Long work on the event loop's thread (a race's world setup) keeps the
// session when it calls KeepAlive: what arrives meanwhile waits for the loop.
TEST(SessionLayer, ThreeBusySecondsWithKeepAliveLoseNobodyAndNoMessage)
{
    HostWithGuest g;
    int got = 0;
    g.play.OnMessage = [&](TDXPlayPlayer&, const uint8_t*, int) { ++got; };
    g.guest.Say("send 0 20");
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        g.play.KeepAlive();
    }
    EXPECT_EQ(got, 0) << "no handler runs inside the work";
    EXPECT_TRUE(WaitUntil([&] { return got == 20; }));
    Settle(300);
    EXPECT_EQ(g.play.Players().size(), 2u);
    EXPECT_EQ(g.guest.Count("delete "), 0u);

    // Closing forgets what KeepAlive took in: the next game hears none of it.
    got = 0;
    g.guest.Say("send 0 20");
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        g.play.KeepAlive();
    }
    g.play.Close();
    Create(g.play, "neu", "Tom");
    Settle(300);
    EXPECT_EQ(got, 0);
}

// A plain UDP socket on loopback, for datagrams that are not ENet's.
class RawUdp {
public:
    RawUdp() : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {}
    ~RawUdp() { ::close(fd_); }
    void Send(uint16_t port, const std::vector<uint8_t>& bytes)
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    // One datagram, waited for a little while the layer runs; empty if none.
    std::vector<uint8_t> Receive()
    {
        uint8_t buf[2048];
        ssize_t n = 0;
        WaitUntil([&] { return (n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT)) > 0; }, 250);
        return std::vector<uint8_t>(buf, buf + std::max<ssize_t>(n, 0));
    }
    // The search reply of the game on port, asked as a searching player would.
    std::optional<dxplaywire::SearchReply> Search(uint16_t port, const std::string& guid, uint32_t nonce)
    {
        Send(port, dxplaywire::EncodeSearchQuery({*dxplaywire::ParseGuid(guid), nonce}));
        const auto reply = Receive();
        return dxplaywire::DecodeSearchReply(reply.data(), reply.size());
    }

private:
    int fd_;
};

const std::string kOtherGame = "{11111111-2222-3333-4444-555555555555}";

// A raw ENet client that speaks the session protocol badly.
class Impostor {
public:
    explicit Impostor(uint16_t port)
    {
        enet_initialize();
        client_ = enet_host_create(nullptr, 1, 2, 0, 0);
        ENetAddress a{};
        enet_address_set_host(&a, "127.0.0.1");
        a.port = port;
        peer_ = enet_host_connect(client_, &a, 2, 0);
    }
    ~Impostor() { enet_host_destroy(client_); }
    // Whether the packet was queued; a peer not (yet) connected takes none.
    bool Send(const std::vector<uint8_t>& bytes, uint8_t channel = 0)
    {
        ENetPacket* p = enet_packet_create(bytes.data(), bytes.size(), ENET_PACKET_FLAG_RELIABLE);
        if (enet_peer_send(peer_, channel, p) != 0) {
            enet_packet_destroy(p);
            return false;
        }
        enet_host_flush(client_);
        return true;
    }
    void Service()
    {
        ENetEvent ev;
        while (enet_host_service(client_, &ev, 0) > 0) {
            connected = connected || ev.type == ENET_EVENT_TYPE_CONNECT;
            if (ev.type == ENET_EVENT_TYPE_RECEIVE) {
                received.emplace_back(ev.packet->data, ev.packet->data + ev.packet->dataLength);
                enet_packet_destroy(ev.packet);
            }
        }
    }
    // The decoded answers so far.
    std::vector<dxplaywire::Message> Answers() const
    {
        std::vector<dxplaywire::Message> out;
        for (const auto& b : received)
            if (auto m = dxplaywire::Decode(b.data(), b.size())) out.push_back(*m);
        return out;
    }
    std::vector<std::vector<uint8_t>> received;
    bool connected = false;

private:
    ENetHost* client_ = nullptr;
    ENetPeer* peer_ = nullptr;
};

// Junk datagrams and a raw ENet client that speaks the protocol badly
// change nothing: searches are still answered, the real guest still heard.
TEST(SessionLayer, BadBytesFromTheNetworkChangeNothing)
{
    HostWithGuest g;
    TDXPlay& play = g.play;
    const uint32_t guestId = play.Players()[1]->ID;
    std::vector<std::string> events;
    play.OnMessage = [&](TDXPlayPlayer& from, const uint8_t*, int) { events.push_back("msg " + from.Name); };
    play.OnAddPlayer = [&](TDXPlayPlayer& p) { events.push_back("add " + p.Name); };
    play.OnDeletePlayer = [&](TDXPlayPlayer& p) { events.push_back("delete " + p.Name); };

    RawUdp udp;
    std::mt19937 rng(1234);
    for (int i = 0; i < 2000; ++i) {
        std::vector<uint8_t> junk(rng() % 1400);
        for (auto& b : junk) b = uint8_t(rng());
        if (i % 5 == 0 && junk.size() >= 4) std::copy_n("DBSQ", 4, junk.begin());
        udp.Send(play.Port(), junk);
        if (i % 100 == 0) Settle(5);
    }
    const auto app = *dxplaywire::ParseGuid(play.GUID);
    const auto query = dxplaywire::EncodeSearchQuery({app, 99});
    udp.Send(play.Port(), std::vector<uint8_t>(query.begin(), query.end() - 1));
    EXPECT_FALSE(udp.Search(play.Port(), kOtherGame, 98)) << "cut queries and other games' get no answer";
    // The session's instance is no secret: any search reply carries it.
    const auto found = udp.Search(play.Port(), play.GUID, 99);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->nonce, 99u);
    EXPECT_EQ(found->name, "wueste");
    EXPECT_EQ(found->players, 2);

    Impostor bad(play.Port());
    ASSERT_TRUE(WaitUntil([&] { return bad.Service(), bad.connected; }));
    const uint8_t game[] = {1, 0, 0, 0, 'x'};
    dxplaywire::WelcomeMsg welcome;
    welcome.yourId = 5;
    welcome.hostId = 6;
    // Speaking before joining and claiming to be the guest; host-only records
    // from someone who is not the host; nonsense.
    for (const auto& [bytes, channel] : std::vector<std::pair<std::vector<uint8_t>, uint8_t>>{
             {dxplaywire::EncodeUser(game, sizeof game), 0},
             {dxplaywire::EncodeHello({app, found->instance, guestId, "Gast"}), 0},
             {dxplaywire::EncodeUser(game, sizeof game), 1},
             {dxplaywire::EncodeAnnounce({{777, 1, 0x7F000001, 1, "Geist"}}), 0},
             {dxplaywire::EncodeWelcome(welcome), 0},
             {{0xFF, 0xFF}, 0},
             {{}, 0},
             {{2}, 0}})
        EXPECT_TRUE(bad.Send(bytes, channel));
    // A join for another game is refused with the reason.
    EXPECT_TRUE(bad.Send(dxplaywire::EncodeJoin({*dxplaywire::ParseGuid(kOtherGame), {}, "x"})));
    ASSERT_TRUE(WaitUntil([&] { return bad.Service(), !bad.received.empty(); }));
    ASSERT_EQ(bad.Answers().size(), 1u);
    EXPECT_EQ(bad.Answers()[0].kind, dxplaywire::Kind::Refuse);
    EXPECT_EQ(bad.Answers()[0].refuse.reason, dxplaywire::RefuseReason::WrongGame);
    EXPECT_GT(play.DroppedMessages(), 0u);

    g.guest.Say("send 0 3");
    EXPECT_TRUE(WaitUntil([&] { return events.size() >= 3; }));
    Settle(100);
    EXPECT_EQ(events, std::vector<std::string>(3, "msg Gast")) << "the real guest is still heard as itself";

    // A leaver is still listed during its own delete event.
    play.OnDeletePlayer = [&](TDXPlayPlayer& p) {
        events.push_back(std::to_string(p.ID) + " of " + std::to_string(play.Players().size()));
        EXPECT_EQ(play.Players()[1], &p);
    };
    g.guest.Say("leave");
    EXPECT_TRUE(WaitUntil([&] { return play.Players().size() == 1; }));
    EXPECT_EQ(events.back(), std::to_string(guestId) + " of 2");
}

TEST(SessionLayer, AFloodOfJoinersFillsTheGameAndEveryOtherIsTurnedAway)
{
    TDXPlay play;
    play.MaxPlayers = 4;
    Create(play, "klein", "Tom");
    const auto found = RawUdp().Search(play.Port(), play.GUID, 1);
    ASSERT_TRUE(found);
    const auto join = dxplaywire::EncodeJoin({*dxplaywire::ParseGuid(play.GUID), found->instance, "Masse"});

    // More joiners than the game has connections for: each sends its join
    // the moment it is connected; the turned-away make room for the rest.
    std::vector<std::unique_ptr<Impostor>> crowd;
    for (int i = 0; i < 40; ++i) crowd.push_back(std::make_unique<Impostor>(play.Port()));
    std::vector<bool> sent(crowd.size(), false);
    const bool allAnswered = WaitUntil(
        [&] {
            size_t answered = 0;
            for (size_t i = 0; i < crowd.size(); ++i) {
                crowd[i]->Service();
                if (crowd[i]->connected && !sent[i]) {
                    sent[i] = true;
                    EXPECT_TRUE(crowd[i]->Send(join)) << "joiner " << i;
                }
                answered += !crowd[i]->received.empty();
            }
            return answered == crowd.size();
        },
        20000);
    EXPECT_TRUE(allAnswered) << std::count(sent.begin(), sent.end(), true) << " joins sent";

    int welcomed = 0, full = 0;
    for (auto& c : crowd)
        for (const auto& m : c->Answers()) {
            welcomed += m.kind == dxplaywire::Kind::Welcome;
            full += m.kind == dxplaywire::Kind::Refuse && m.refuse.reason == dxplaywire::RefuseReason::Full;
        }
    EXPECT_EQ(welcomed, 3);
    EXPECT_EQ(full, 37);
    std::set<uint32_t> ids;
    for (TDXPlayPlayer* p : play.Players()) ids.insert(p->ID);
    EXPECT_EQ(ids.size(), 4u);
    EXPECT_FALSE(RawUdp().Search(play.Port(), play.GUID, 2)) << "a full game is not offered";
}

// The join page's search and a join whose game ended after it.
TEST(SessionLayer, TheSearchAsksForTheAddressOnlyWhenNothingPresetsIt)
{
    auto host = std::make_unique<PlayerProcess>();
    host->Open("host gefragt wirt");
    TDXPlay play;
    int asked = 0;
    std::string answer = "127.0.0.1";
    bool go = true;
    play.OnAskAddress = [&](std::string& address) {
        ++asked;
        address = answer;
        return go;
    };
    const std::vector<std::string> one{"gefragt"};
    play.SetProviderName(DPSPNAME_TCPIP);
    play.GetSessions();
    EXPECT_EQ(asked, 0) << "DUNEBOLT_SEARCH_ADDRESS presets it";
    EXPECT_EQ(play.Sessions(), one);

    unsetenv("DUNEBOLT_SEARCH_ADDRESS");
    play.GetSessions();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(play.Sessions(), one);
    go = false;  // the player cancels: nothing found, nothing raised
    play.GetSessions();
    EXPECT_TRUE(play.Sessions().empty());
    EXPECT_EQ(asked, 3) << "a cancelled search counts as not done";
    // An empty answer under CI searches this machine, never the network.
    go = true;
    answer.clear();
    play.GetSessions();
    EXPECT_EQ(play.Sessions(), one);
    setenv("DUNEBOLT_SEARCH_ADDRESS", "127.0.0.1", 1);

    host->Kill();
    host.reset();
    EXPECT_EQ(RaisedText([&] { play.JoinSession("gefragt", "gast"); }), "Session gefragt cannot be opened");
    EXPECT_FALSE(play.Opened());
    EXPECT_EQ(play.LocalPlayer(), nullptr);
    EXPECT_TRUE(play.Players().empty());
    Create(play, "neu", "gast");
    EXPECT_TRUE(play.IsHost()) << "the layer is still usable";
}

// A host and count-1 joiners of the game "rennen", each joined after the
// previous one is in.
struct Game {
    std::vector<std::unique_ptr<PlayerProcess>> procs;
    std::vector<uint32_t> ids;

    bool Add(const std::string& name)
    {
        procs.push_back(std::make_unique<PlayerProcess>());
        ids.push_back(procs.back()->Open((procs.size() == 1 ? "host rennen " : "join rennen ") + name));
        return ids.back() != 0;
    }
    bool Start(int count)
    {
        for (int i = 0; i < count; ++i)
            if (!Add("p" + std::to_string(i))) return false;
        return WaitForCount(count);
    }
    // Until every program lists count players.
    bool WaitForCount(size_t count)
    {
        for (auto& p : procs)
            if (!WaitUntil([&] { return Listed(*p).size() == count; }, 10000)) return false;
        return true;
    }
    std::string Deleted(size_t i) const { return "delete " + std::to_string(ids[i]) + " p" + std::to_string(i); }
};

TEST(SessionGame, NineJoiningAtOnceMakeTenWithOneListAndTheEleventhIsRefused)
{
    Game g;
    ASSERT_TRUE(g.Start(1));
    // Ten more find the game while there is room; nine join at the same moment...
    for (int i = 1; i <= 10; ++i) {
        g.procs.push_back(std::make_unique<PlayerProcess>());
        g.procs.back()->Say("search");
    }
    for (size_t i = 1; i <= 10; ++i) EXPECT_EQ(g.procs[i]->Expect("sessions"), "sessions 1");
    const std::unique_ptr<PlayerProcess> eleventh = std::move(g.procs.back());
    g.procs.pop_back();
    for (size_t i = 1; i < 10; ++i) g.procs[i]->Say("join rennen p" + std::to_string(i));
    for (size_t i = 1; i < 10; ++i) g.ids.push_back(g.procs[i]->Opened());
    const std::set<uint32_t> idSet(g.ids.begin(), g.ids.end());
    ASSERT_EQ(idSet.size(), 10u) << "ids are unique";
    ASSERT_TRUE(g.WaitForCount(10));

    // ...and the eleventh is turned away once it is full; a full game is not offered.
    eleventh->Say("join rennen p10");
    EXPECT_EQ(eleventh->Expect(std::vector<std::string>{"opened", "error"}, 15000),
              "error Session rennen cannot be opened");
    EXPECT_EQ(eleventh->Ask("players", "players"), "players 0");
    EXPECT_EQ(eleventh->Ask("search", "sessions"), "sessions 0");

    Settle(300);
    for (size_t i = 0; i < g.procs.size(); ++i) {
        const std::vector<uint32_t> list = Listed(*g.procs[i]);
        ASSERT_EQ(list.size(), 10u);
        EXPECT_EQ(list.front(), g.ids[i]) << "own player first";
        EXPECT_EQ(std::set<uint32_t>(list.begin(), list.end()), idSet) << "player " << i << " sees another game";
        EXPECT_EQ(g.procs[i]->Count("delete "), 0u);
    }
    // The host got an add event for itself and each of the nine, and nobody
    // noticed the refused joiner.
    EXPECT_EQ(g.procs[0]->Count("add "), 10u);
}

TEST(SessionGame, MessagesArriveEverywhereOnceAndInOrder)
{
    Game g;
    ASSERT_TRUE(g.Start(4));
    // Chat-sized lines from everyone to everyone, some to one player only.
    for (auto& p : g.procs) p->Say("send 0 200 60");
    g.procs[1]->Say("send " + std::to_string(g.ids[3]) + " 30");
    // A newcomer that speaks the moment it is in, while one player sends a
    // burst. The burst goes in parts: a program that stops reading its
    // connections for over a second counts as gone.
    g.procs.push_back(std::make_unique<PlayerProcess>());
    g.procs.back()->Say("join rennen spaet\nsend 0 50 60");
    for (int part = 0; part < 20; ++part) g.procs[2]->Ask("send 0 500 40", "sent 500");
    g.ids.push_back(g.procs.back()->Opened());

    // The four that were there from the start (the newcomer missed some);
    // one's own messages never come back.
    for (size_t i = 0; i < 4; ++i) {
        std::map<uint32_t, std::string> expected;
        for (size_t j = 0; j < g.procs.size(); ++j)
            if (j != i) expected[g.ids[j]] = j == 2 ? "10200" : j == 4 ? "50" : (j == 1 && i == 3) ? "230" : "200";
        std::optional<std::string> last;
        EXPECT_TRUE(WaitUntil([&] { return Pairs(last = g.procs[i]->Ask("stats", "stats")) == expected; }, 60000))
            << i << ": " << last.value_or("no answer");
        EXPECT_EQ(g.procs[i]->Expect("disorder"), "disorder 0");
        EXPECT_EQ(g.procs[i]->Expect("early"), "early 0");
        EXPECT_EQ(g.procs[i]->Count("delete "), 0u) << i << ": nobody was dropped meanwhile";
    }
    // Car states go unreliably: some may be lost, but they come, in order,
    // each at most once.
    for (size_t i = 0; i < 4; ++i) g.procs[i]->Say("send 0 50 80 u");
    for (size_t i = 0; i < 4; ++i) {
        std::map<uint32_t, std::string> got;
        EXPECT_TRUE(WaitUntil(
            [&] {
                g.procs[i]->Say("stats");
                got = Pairs(g.procs[i]->Expect("unreliable"));
                return got.size() == 3;
            },
            5000))
            << i;
        Settle(100);
        got = Pairs(g.procs[i]->Ask("stats", "unreliable"));
        for (const auto& [id, n] : got) EXPECT_LE(std::stoi(n), 50) << i << " from " << id;
        EXPECT_EQ(g.procs[i]->Expect("disorder"), "disorder 0");
    }
}

TEST(SessionGame, LeaversAndVanishedPlayersAreDeletedAndTheEarliestLeftTakesOver)
{
    Game g;
    ASSERT_TRUE(g.Start(4));
    g.procs[1]->Say("leave");
    for (size_t i : {0, 2, 3}) EXPECT_TRUE(g.procs[i]->Expect(g.Deleted(1), 3000)) << i;
    // The host vanishes without a word: noticed when it has been silent for
    // 2.5 s; five seconds is the bound we promise.
    g.procs[0]->Kill();
    for (size_t i : {2, 3}) EXPECT_TRUE(g.procs[i]->Expect(g.Deleted(0), 5000)) << i;
    // The earliest joiner still present takes over, and only it hears so.
    EXPECT_TRUE(g.procs[2]->Expect("host " + std::to_string(g.ids[2]), 3000));
    Settle(300);
    EXPECT_EQ(g.procs[2]->Count("host "), 1u);
    EXPECT_EQ(g.procs[3]->Count("host "), 0u);

    // The new host answers the search and lets a newcomer in.
    PlayerProcess late;
    EXPECT_EQ(late.Ask("search", "sessions"), "sessions 1");
    EXPECT_EQ(late.Expect("session "), "session rennen");
    const uint32_t lateId = late.Open("join rennen neu");
    for (size_t i : {2, 3}) EXPECT_TRUE(g.procs[i]->Expect("add " + std::to_string(lateId) + " neu", 5000)) << i;
    EXPECT_EQ(Listed(late), (std::vector<uint32_t>{lateId, g.ids[2], g.ids[3]}));
}

TEST(SessionSearch, FindsEveryGameOfThisApplicationAndNoneWhenNoneRuns)
{
    PlayerProcess seeker;
    EXPECT_EQ(seeker.Ask("search", "sessions"), "sessions 0");
    PlayerProcess a, b, other(Env{{"DXPLAY_DRIVER_GUID", QString::fromStdString(kOtherGame)}});
    a.Open("host erstes pa");
    b.Open("host zweites pb");
    other.Open("host fremdes po");
    EXPECT_EQ(seeker.Ask("search", "sessions"), "sessions 2");
    std::set<std::optional<std::string>> names{seeker.Expect("session "), seeker.Expect("session ")};
    EXPECT_EQ(names, (std::set<std::optional<std::string>>{"session erstes", "session zweites"}));

    // Players of the other application find only its game.
    PlayerProcess stranger(Env{{"DXPLAY_DRIVER_GUID", QString::fromStdString(kOtherGame)}});
    EXPECT_EQ(stranger.Ask("search", "sessions"), "sessions 1");
    EXPECT_EQ(stranger.Expect("session "), "session fremdes");
}

}  // namespace

int main(int argc, char** argv)
{
    // Whatever runs these tests: search this machine only, never broadcast,
    // and keep to ports of our own. The player programs inherit all three.
    setenv("CI", "1", 1);
    setenv("DUNEBOLT_SEARCH_ADDRESS", "127.0.0.1", 1);
    setenv("DUNEBOLT_PORT_BASE", "47800", 0);
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

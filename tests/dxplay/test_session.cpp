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
#include <cstdio>
#include <memory>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

namespace {

using namespace dxplaywire;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// One scripted player program: commands go to its stdin, its event lines
// are collected from stdout.
class PlayerProcess {
public:
    explicit PlayerProcess(const QStringList& args = {})
    {
        proc_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&proc_, &QProcess::readyReadStandardOutput, [this] {
            while (proc_.canReadLine()) lines_.push_back(proc_.readLine().trimmed().toStdString());
        });
        proc_.start(QString(DXPLAY_DRIVER), args);
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
    // The next line that starts with a match of the pattern; the read
    // position moves past it.
    std::optional<std::string> Expect(const std::string& pattern, int ms = 10000)
    {
        const std::regex start("^(" + pattern + ")");
        std::optional<std::string> found;
        return QTest::qWaitFor(
                   [&] {
                       for (; !found && cursor_ < lines_.size(); ++cursor_)
                           if (std::regex_search(lines_[cursor_], start)) found = lines_[cursor_];
                       return found.has_value();
                   },
                   ms)
                   ? found
                   : std::nullopt;
    }
    std::optional<std::string> Ask(const std::string& command, const std::string& pattern)
    {
        Say(command);
        return Expect(pattern);
    }
    // The answer to a "host" or "join": the player id, 0 on failure.
    uint32_t Open(const std::string& command = "")
    {
        if (!command.empty()) Say(command);
        const std::string line = Expect("opened |error ", 15000).value_or("no answer");
        uint32_t id = 0;
        EXPECT_EQ(std::sscanf(line.c_str(), "opened %u", &id), 1) << line;
        return id;
    }
    // Every line so far that starts with prefix, wherever the read position is.
    size_t Count(const std::string& prefix) const
    {
        return std::ranges::count_if(lines_, [&](auto& l) { return l.starts_with(prefix); });
    }
    void Kill()
    {
        proc_.kill();
        proc_.waitForFinished(3000);
    }

private:
    QProcess proc_;
    std::vector<std::string> lines_;
    size_t cursor_ = 0;
};

// The "ID:VALUE" words of a line, in their order.
std::vector<std::pair<uint32_t, std::string>> Pairs(const std::optional<std::string>& line)
{
    std::vector<std::pair<uint32_t, std::string>> out;
    std::istringstream in(line.value_or(""));
    for (std::string word; in >> word;)
        if (const size_t colon = word.find(':'); colon != std::string::npos)
            out.emplace_back(uint32_t(std::stoul(word.substr(0, colon))), word.substr(colon + 1));
    return out;
}

// The ids of the "players" line in listed order.
std::vector<uint32_t> Listed(PlayerProcess& p)
{
    std::vector<uint32_t> ids;
    for (const auto& [id, name] : Pairs(p.Ask("players", "players"))) ids.push_back(id);
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
        EXPECT_TRUE(QTest::qWaitFor([&] { return play.Players().size() == 2; }));
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
    const std::vector<uint8_t> huge((1 << 20) + 1, 1);
    for (int size : {3, 0, int(huge.size())})
        EXPECT_EQ(RaisedText([&] { play.SendMessage(play.LocalPlayer()->ID, huge.data(), size, true); }),
                  "Illegal message form");
    play.SendMessage(play.LocalPlayer()->ID, msg, 4, true);
    QTest::qWait(50);

    play.Close();
    play.Close();
    EXPECT_EQ(events, (std::vector<std::string>{"open", "add Tom", "own hi", "own ", "close"}))
        << "closed once, told once";
    EXPECT_FALSE(play.Opened());
    EXPECT_FALSE(play.IsHost());
    EXPECT_TRUE(play.Players().empty());
    EXPECT_EQ(play.ProviderName(), "") << "closing forgets the provider";

    // Player ids are never 0 and spread over the whole range.
    bool high = false;
    for (int i = 0; i < 40; ++i, play.Close()) {
        Create(play, "wueste", "Tom");
        EXPECT_NE(play.LocalPlayer()->ID, 0u);
        high = high || play.LocalPlayer()->ID > 0x7FFFFFFFu;
    }
    EXPECT_TRUE(high) << "40 ids all below 2^31";
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

// The game's handlers may run the event loop, fail, or close the session.
TEST(SessionLayer, HandlersThatWaitFailOrCloseAreSafe)
{
    HostWithGuest g;
    TDXPlay& play = g.play;
    int inside = 0, deepest = 0, got = 0, own = 0;
    play.OnMessage = [&](TDXPlayPlayer& from, const uint8_t* data, int size) {
        if (&from == play.LocalPlayer()) return void(++own);  // the send to oneself runs inside this handler
        deepest = std::max(deepest, ++inside);
        ++got;
        QTest::qWait(15);  // as the window does when it lets pending messages run
        play.SendMessage(play.LocalPlayer()->ID, data, size, true);
        --inside;
    };
    g.guest.Say("send 0 20");
    EXPECT_TRUE(QTest::qWaitFor([&] { return got == 20; }, 5000));
    EXPECT_EQ(own, 20);
    EXPECT_EQ(deepest, 1) << "the network never enters a running handler again";

    got = 0;
    std::vector<std::string> reported;
    play.OnHandlerError = [&](const std::exception& e) { reported.push_back(e.what()); };
    play.OnMessage = [&](TDXPlayPlayer&, const uint8_t*, int) {
        if (++got == 1) throw EDXPlayError("the game failed on this one");
    };
    g.guest.Say("send 0 5");
    EXPECT_TRUE(QTest::qWaitFor([&] { return got == 5; })) << "what came after the failure is still delivered";
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
    EXPECT_TRUE(QTest::qWaitFor([&] { return got > 0; }));
    QTest::qWait(200);
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
    for (int i = 0; i < 10; ++i, g.play.KeepAlive()) std::this_thread::sleep_for(300ms);
    EXPECT_EQ(got, 0) << "no handler runs inside the work";
    EXPECT_TRUE(QTest::qWaitFor([&] { return got == 20; }));
    QTest::qWait(300);
    EXPECT_EQ(g.play.Players().size(), 2u);
    EXPECT_EQ(g.guest.Count("delete "), 0u);

    // Closing forgets what KeepAlive took in: the next game hears none of it.
    got = 0;
    g.guest.Say("send 0 20");
    for (int i = 0; i < 5; ++i, g.play.KeepAlive()) std::this_thread::sleep_for(100ms);
    g.play.Close();
    Create(g.play, "neu", "Tom");
    QTest::qWait(300);
    EXPECT_EQ(got, 0);
}

// Sends bytes in a datagram of a fresh socket to port on 127.0.0.1, as a
// searching player would; the search reply that comes within ms, if any.
std::optional<SearchReply> Search(uint16_t port, const std::vector<uint8_t>& bytes, int ms = 250)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    uint8_t buf[2048];
    ssize_t n = 0;
    const bool answered = QTest::qWaitFor([&] { return (n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0; }, ms);
    ::close(fd);
    return DecodeSearchReply(buf, answered ? size_t(n) : 0);
}

const char* const kOtherGame = "{11111111-2222-3333-4444-555555555555}";

// A raw ENet client that speaks the session protocol badly.
class Impostor {
public:
    explicit Impostor(uint16_t port) : client_(enet_host_create(nullptr, 1, 2, 0, 0))
    {
        const ENetAddress a{htonl(INADDR_LOOPBACK), port};
        peer_ = enet_host_connect(client_, &a, 2, 0);
    }
    ~Impostor() { enet_host_destroy(client_); }
    void Send(const std::vector<uint8_t>& bytes, uint8_t channel = 0)
    {
        ENetPacket* p = enet_packet_create(bytes.data(), bytes.size(), ENET_PACKET_FLAG_RELIABLE);
        if (enet_peer_send(peer_, channel, p) != 0) enet_packet_destroy(p);
        enet_host_flush(client_);
    }
    // Takes in what arrived; whether it is connected.
    bool Service()
    {
        for (ENetEvent ev; enet_host_service(client_, &ev, 0) > 0;) {
            connected = connected || ev.type == ENET_EVENT_TYPE_CONNECT;
            if (ev.type != ENET_EVENT_TYPE_RECEIVE) continue;
            if (auto m = Decode(ev.packet->data, ev.packet->dataLength)) answers.push_back(*m);
            enet_packet_destroy(ev.packet);
        }
        return connected;
    }
    std::vector<Message> answers;  // decoded
    bool connected = false;

private:
    ENetHost* client_;
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

    std::mt19937 rng(1234);
    for (int i = 0; i < 2000; ++i) {
        std::vector<uint8_t> junk(rng() % 1400);
        for (auto& b : junk) b = uint8_t(rng());
        if (i % 5 == 0 && junk.size() >= 4) std::copy_n("DBSQ", 4, junk.begin());
        Search(play.Port(), junk, i % 100 == 0 ? 5 : 0);
    }
    const auto app = *ParseGuid(play.GUID);
    const auto query = EncodeSearchQuery({app, 99});
    EXPECT_FALSE(Search(play.Port(), std::vector<uint8_t>(query.begin(), query.end() - 1))) << "a cut query";
    EXPECT_FALSE(Search(play.Port(), EncodeSearchQuery({*ParseGuid(kOtherGame), 98}))) << "another game's";
    // The session's instance is no secret: any search reply carries it.
    const auto found = Search(play.Port(), query);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->nonce, 99u);
    EXPECT_EQ(found->name, "wueste");
    EXPECT_EQ(found->players, 2);

    Impostor bad(play.Port());
    ASSERT_TRUE(QTest::qWaitFor([&] { return bad.Service(); }));
    const uint8_t game[] = {1, 0, 0, 0, 'x'};
    // Speaking before joining and claiming to be the guest; host-only records
    // from someone who is not the host; nonsense.
    for (const auto& [bytes, channel] : std::vector<std::pair<std::vector<uint8_t>, uint8_t>>{
             {EncodeUser(game, sizeof game), 0},
             {EncodeHello({app, found->instance, guestId, "Gast"}), 0},
             {EncodeUser(game, sizeof game), 1},
             {EncodeAnnounce({{777, 1, 0x7F000001, 1, "Geist"}}), 0},
             {EncodeWelcome({5, 0, 6, 0, {}, "", {}}), 0},
             {{0xFF, 0xFF}, 0},
             {{}, 0},
             {{2}, 0}})
        bad.Send(bytes, channel);
    // A join for another game is refused with the reason.
    bad.Send(EncodeJoin({*ParseGuid(kOtherGame), {}, "x"}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return bad.Service(), !bad.answers.empty(); }));
    EXPECT_EQ(bad.answers.size(), 1u);
    EXPECT_EQ(bad.answers[0].kind, Kind::Refuse);
    EXPECT_EQ(bad.answers[0].refuse.reason, RefuseReason::WrongGame);
    EXPECT_GT(play.DroppedMessages(), 0u);

    g.guest.Say("send 0 3");
    EXPECT_TRUE(QTest::qWaitFor([&] { return events.size() >= 3; }));
    QTest::qWait(100);
    EXPECT_EQ(events, std::vector<std::string>(3, "msg Gast")) << "the real guest is still heard as itself";

    // A leaver is still listed during its own delete event.
    play.OnDeletePlayer = [&](TDXPlayPlayer& p) {
        events.push_back(std::to_string(p.ID) + " of " + std::to_string(play.Players().size()));
        EXPECT_EQ(play.Players()[1], &p);
    };
    g.guest.Say("leave");
    EXPECT_TRUE(QTest::qWaitFor([&] { return play.Players().size() == 1; }));
    EXPECT_EQ(events.back(), std::to_string(guestId) + " of 2");
}

TEST(SessionLayer, AFloodOfJoinersFillsTheGameAndEveryOtherIsTurnedAway)
{
    TDXPlay play;
    play.MaxPlayers = 4;
    Create(play, "klein", "Tom");
    const auto query = EncodeSearchQuery({*ParseGuid(play.GUID), 1});
    const auto found = Search(play.Port(), query);
    ASSERT_TRUE(found);
    const auto join = EncodeJoin({*ParseGuid(play.GUID), found->instance, "Masse"});

    // More joiners than the game has connections for: each sends its join
    // the moment it is connected; the turned-away make room for the rest.
    std::vector<std::unique_ptr<Impostor>> crowd;
    for (int i = 0; i < 40; ++i) crowd.push_back(std::make_unique<Impostor>(play.Port()));
    std::vector<bool> sent(crowd.size(), false);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            size_t answered = 0;
            for (size_t i = 0; i < crowd.size(); ++i) {
                if (crowd[i]->Service() && !sent[i]) crowd[i]->Send(join);
                sent[i] = crowd[i]->connected;
                answered += !crowd[i]->answers.empty();
            }
            return answered == crowd.size();
        },
        20000))
        << std::count(sent.begin(), sent.end(), true) << " joiners connected";

    int welcomed = 0, full = 0;
    for (auto& c : crowd)
        for (const auto& m : c->answers) {
            welcomed += m.kind == Kind::Welcome;
            full += m.kind == Kind::Refuse && m.refuse.reason == RefuseReason::Full;
        }
    EXPECT_EQ(welcomed, 3);
    EXPECT_EQ(full, 37);
    std::set<uint32_t> ids;
    for (TDXPlayPlayer* p : play.Players()) ids.insert(p->ID);
    EXPECT_EQ(ids.size(), 4u);
    EXPECT_FALSE(Search(play.Port(), query)) << "a full game is not offered";
}

// A host and count-1 joiners of the game "rennen", each joined after the
// previous one is in.
struct Game {
    std::vector<std::unique_ptr<PlayerProcess>> procs;
    std::vector<uint32_t> ids;

    bool Start(int count)
    {
        for (int i = 0; i < count; ++i) {
            procs.push_back(std::make_unique<PlayerProcess>());
            ids.push_back(procs.back()->Open((i == 0 ? "host rennen p" : "join rennen p") + std::to_string(i)));
        }
        return std::count(ids.begin(), ids.end(), 0u) == 0 && WaitForCount(count);
    }
    // Until every program lists count players.
    bool WaitForCount(size_t count)
    {
        for (auto& p : procs)
            if (!QTest::qWaitFor([&] { return Listed(*p).size() == count; }, 10000)) return false;
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
    for (size_t i = 1; i < 10; ++i) g.ids.push_back(g.procs[i]->Open());
    const std::set<uint32_t> idSet(g.ids.begin(), g.ids.end());
    ASSERT_EQ(idSet.size(), 10u) << "ids are unique";
    ASSERT_TRUE(g.WaitForCount(10));

    // ...and the eleventh is turned away once it is full.
    eleventh->Say("join rennen p10");
    EXPECT_EQ(eleventh->Expect("opened|error", 15000), "error Session rennen cannot be opened");
    EXPECT_EQ(eleventh->Ask("players", "players"), "players 0");

    QTest::qWait(300);
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

TEST(SessionGame, MessagesArriveOnceAndInOrderAndTheEarliestLeftTakesOverFromAVanishedHost)
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
    g.ids.push_back(g.procs.back()->Open());

    // The four that were there from the start (the newcomer missed some);
    // one's own messages never come back.
    for (size_t i = 0; i < 4; ++i) {
        std::vector<std::pair<uint32_t, std::string>> expected;
        for (size_t j = 0; j < g.procs.size(); ++j)
            if (j != i)
                expected.emplace_back(g.ids[j], j == 2 ? "10200" : j == 4 ? "50" : (j == 1 && i == 3) ? "230" : "200");
        std::sort(expected.begin(), expected.end());
        std::optional<std::string> last;
        EXPECT_TRUE(QTest::qWaitFor([&] { return Pairs(last = g.procs[i]->Ask("stats", "stats")) == expected; }, 60000))
            << i << ": " << last.value_or("no answer");
        EXPECT_EQ(g.procs[i]->Expect("faults"), "faults 0");
        EXPECT_EQ(g.procs[i]->Count("delete "), 0u) << i << ": nobody was dropped meanwhile";
    }
    // Car states go unreliably: some may be lost, but they come, in order,
    // each at most once.
    for (size_t i = 0; i < 4; ++i) g.procs[i]->Say("send 0 50 80 u");
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return Pairs(g.procs[i]->Ask("stats", "unreliable")).size() == 3; }, 5000))
            << i;
        QTest::qWait(100);
        for (const auto& [id, n] : Pairs(g.procs[i]->Ask("stats", "unreliable")))
            EXPECT_LE(std::stoi(n), 50) << i << " from " << id;
        EXPECT_EQ(g.procs[i]->Expect("faults"), "faults 0");
    }

    // Leavers and vanished players are deleted, and the earliest left takes over.
    g.procs[1]->Say("leave");
    for (size_t i : {0, 2, 3, 4}) EXPECT_TRUE(g.procs[i]->Expect(g.Deleted(1), 3000)) << i;
    // The host vanishes without a word: noticed when it has been silent for
    // 2.5 s; five seconds is the bound we promise.
    g.procs[0]->Kill();
    for (size_t i : {2, 3, 4}) EXPECT_TRUE(g.procs[i]->Expect(g.Deleted(0), 5000)) << i;
    // The earliest joiner still present takes over, and only it hears so.
    EXPECT_TRUE(g.procs[2]->Expect("host " + std::to_string(g.ids[2]), 3000));
    QTest::qWait(300);
    EXPECT_EQ(g.procs[2]->Count("host "), 1u);
    for (size_t i : {3, 4}) EXPECT_EQ(g.procs[i]->Count("host "), 0u) << i;

    // The new host answers the search and lets a newcomer in.
    PlayerProcess late;
    EXPECT_EQ(late.Ask("search", "sessions"), "sessions 1");
    EXPECT_EQ(late.Expect("session "), "session rennen");
    const uint32_t lateId = late.Open("join rennen neu");
    for (size_t i : {2, 3}) EXPECT_TRUE(g.procs[i]->Expect("add " + std::to_string(lateId) + " neu", 5000)) << i;
    EXPECT_EQ(Listed(late), (std::vector<uint32_t>{lateId, g.ids[2], g.ids[3], g.ids[4]}));
}

// The join page's search: every game of this application, the address
// asked for only when nothing presets it; and a join whose game ended after
// the search.
TEST(SessionSearch, FindsEveryGameOfThisApplicationAndAsksForTheAddressOnlyWhenNothingPresetsIt)
{
    TDXPlay play, stranger;
    play.SetProviderName(DPSPNAME_TCPIP);
    EXPECT_TRUE(play.Sessions().empty()) << "none runs";
    PlayerProcess first, second, other(QStringList{kOtherGame});
    first.Open("host erstes pa");
    second.Open("host zweites pb");
    other.Open("host fremdes po");
    int asked = 0;
    std::string answer = "127.0.0.1";
    bool go = true;
    play.OnAskAddress = [&](std::string& address) {
        ++asked;
        address = answer;
        return go;
    };
    const auto found = [&] {
        play.GetSessions();
        const auto& names = play.Sessions();  // searches again when the last was cancelled
        return std::set<std::string>(names.begin(), names.end());
    };
    const std::set<std::string> both{"erstes", "zweites"};
    EXPECT_EQ(found(), both);
    EXPECT_EQ(asked, 0) << "DUNEBOLT_SEARCH_ADDRESS presets it";
    unsetenv("DUNEBOLT_SEARCH_ADDRESS");
    EXPECT_EQ(found(), both);
    EXPECT_EQ(asked, 1);
    go = false;  // the player cancels: nothing found, nothing raised
    EXPECT_TRUE(found().empty());
    EXPECT_EQ(asked, 3) << "a cancelled search counts as not done";
    // An empty answer under CI searches this machine, never the network.
    go = true;
    answer.clear();
    EXPECT_EQ(found(), both);
    setenv("DUNEBOLT_SEARCH_ADDRESS", "127.0.0.1", 1);

    // Players of the other application find only its game.
    stranger.GUID = kOtherGame;
    stranger.SetProviderName(DPSPNAME_TCPIP);
    EXPECT_EQ(stranger.Sessions(), std::vector<std::string>{"fremdes"});

    first.Kill();
    EXPECT_EQ(RaisedText([&] { play.JoinSession("erstes", "gast"); }), "Session erstes cannot be opened");
    EXPECT_FALSE(play.Opened());
    EXPECT_EQ(play.LocalPlayer(), nullptr);
    EXPECT_TRUE(play.Players().empty());
    Create(play, "neu", "gast");
    EXPECT_TRUE(play.IsHost()) << "the layer is still usable";
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

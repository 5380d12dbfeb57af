// The send procedures over a real session: this test program hosts a game on
// 127.0.0.1 and starts itself a second time as a joining player, which
// prints every message it receives; the host compares those bytes with the
// records' encodings and checks its own copies arrive inside the send.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "net/u_multiplayer.h"
#include "platform/dxplay/dxplay.h"
#include "race/racestate.h"
#include "race/spiel.h"

using namespace u_multiplayer;

namespace {

std::string Hex(const uint8_t* data, int size)
{
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < size; ++i) {
        s.push_back(digits[data[i] >> 4]);
        s.push_back(digits[data[i] & 15]);
    }
    return s;
}

template <class C>
std::string Hex(const C& bytes)
{
    return Hex(bytes.data(), static_cast<int>(bytes.size()));
}

// The joining player: prints "joined <id>", then "msg <from> <hex>" per
// message; answers "sende-auto" with its car state and "sende-tor" with
// "updatemygoal" and then the chat line "tor gesendet"; ends on "ende".
int RunJoiner(const std::string& session)
{
    TDXPlay play;
    play.OnMessage = [&](TDXPlayPlayer& from, const uint8_t* data, int size) {
        std::cout << "msg " << from.ID << " " << Hex(data, size) << std::endl;
        TTextMsg t;
        if (!DecodeText(std::span(data, static_cast<size_t>(size)), t)) return;
        if (t.Text == "ende") QCoreApplication::exit(0);
        if (t.Text == "sende-auto") {
            spiel::TPlayerRec& me = spiel::PlayerTable[0];
            me.Steer = 0.25f;
            me.Heading = 2.0f;
            me.Pos = {-500, 42, 777};
            me.Move = {1, 0, -1};
            SendCarState();
        }
        if (t.Text == "sende-tor") {
            SendText(CmdUpdateMyGoal, KindCommand, 0, false);
            SendText("tor gesendet", KindChat, 0, false);
        }
    };
    try {
        play.SetProviderName(DPSPNAME_TCPIP);
        play.GetSessions();
        play.JoinSession(session, "Gast");
    } catch (const std::exception& e) {
        std::cout << "error " << e.what() << std::endl;
        return 2;
    }
    AttachSession(&play);
    std::cout << "joined " << play.LocalPlayer()->ID << std::endl;
    QTimer::singleShot(20000, [] { QCoreApplication::exit(3); });
    return QCoreApplication::exec();
}

std::string SelfPath;

class TJoiner {
public:
    explicit TJoiner(const std::string& session)
    {
        QObject::connect(&proc_, &QProcess::readyReadStandardOutput, [this] {
            buffer_ += proc_.readAllStandardOutput().toStdString();
            size_t nl;
            while ((nl = buffer_.find('\n')) != std::string::npos) {
                lines_.push_back(buffer_.substr(0, nl));
                buffer_.erase(0, nl + 1);
            }
        });
        proc_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        proc_.start(QString::fromStdString(SelfPath), {"--joiner", QString::fromStdString(session)});
    }
    ~TJoiner()
    {
        if (proc_.state() != QProcess::NotRunning && !proc_.waitForFinished(3000)) {
            proc_.kill();
            proc_.waitForFinished(3000);
        }
    }
    // Waits (running the event loop) until a line starting with prefix has
    // arrived after the last one taken.
    std::optional<std::string> Next(const std::string& prefix, int ms = 15000)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < until) {
            for (size_t i = cursor_; i < lines_.size(); ++i)
                if (lines_[i].rfind(prefix, 0) == 0) {
                    cursor_ = i + 1;
                    return lines_[i];
                }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            proc_.waitForReadyRead(5);
        }
        return std::nullopt;
    }
    // Exited by itself with status 0. The event loop keeps running while we
    // wait: the session sends what was queued (the "ende" that lets the
    // joiner end) only from there.
    bool Finished(int ms)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (proc_.state() != QProcess::NotRunning) {
            if (std::chrono::steady_clock::now() >= until) return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            proc_.waitForFinished(5);
        }
        return proc_.exitStatus() == QProcess::NormalExit && proc_.exitCode() == 0;
    }

private:
    QProcess proc_;
    std::string buffer_;
    std::vector<std::string> lines_;
    size_t cursor_ = 0;
};

}  // namespace

TEST(Sends, EveryRecordArrivesAsEncodedAndOwnCopiesInsideTheSend)
{
    TDXPlay host;
    std::vector<std::string> own;
    host.OnMessage = [&](TDXPlayPlayer& from, const uint8_t* data, int size) {
        own.push_back(std::to_string(from.ID) + " " + Hex(data, size));
    };
    const std::string session = "sends" + std::to_string(QCoreApplication::applicationPid());
    host.SetProviderName(DPSPNAME_TCPIP);
    host.CreateSession(session, "Host");
    AttachSession(&host);
    ASSERT_TRUE(SessionOpen());
    const uint32_t hostId = LocalPlayerId();
    ASSERT_NE(hostId, 0u);

    TJoiner joiner(session);
    const auto joined = joiner.Next("joined ");
    ASSERT_TRUE(joined) << "the second program did not join";
    const uint32_t guestId = static_cast<uint32_t>(std::stoul(joined->substr(7)));
    const std::string from = "msg " + std::to_string(hostId) + " ";

    SendText(Utf8ToWire("hallo Grüße"), KindChat, 0, false);
    EXPECT_TRUE(own.empty()) << "a message to all never reaches its sender";
    EXPECT_EQ(joiner.Next("msg "), from + Hex(EncodeText(KindChat, "hallo Gr\xFC\xDF" "e")));

    SendText(CmdNextTor, KindCommand, guestId, true);
    ASSERT_EQ(own.size(), 1u) << "the own copy is handled inside the send";
    EXPECT_EQ(own[0], std::to_string(hostId) + " " + Hex(EncodeText(KindCommand, "nexttor")));
    EXPECT_EQ(joiner.Next("msg "), from + Hex(EncodeText(KindCommand, "nexttor")));

    SendSetPosition({1.5f, -2, 3}, 1, guestId);
    EXPECT_EQ(joiner.Next("msg "), from + Hex(EncodeSetPosition({{1.5f, -2, 3}, 1})));

    SendStartPosition({4, 5, 6}, guestId);
    ASSERT_EQ(own.size(), 2u);
    EXPECT_EQ(own[1], std::to_string(hostId) + " " + Hex(EncodeStartPosition({{4, 5, 6}, guestId})));
    EXPECT_EQ(joiner.Next("msg "), from + Hex(EncodeStartPosition({{4, 5, 6}, guestId})));

    spiel::PlayerTable[0].Heading = 0.75f;
    spiel::PlayerTable[0].Pos = {100, 200, 300};
    SendCarState();
    EXPECT_EQ(own.size(), 2u);
    EXPECT_EQ(joiner.Next("msg "), from + Hex(EncodeCarState(CarStateOfLocalCar())));

    SendText("ende", KindCommand, guestId, false);
    EXPECT_TRUE(joiner.Next("msg " + std::to_string(hostId) + " "));
    EXPECT_TRUE(joiner.Finished(10000));

    // Closed again: nothing goes out, and nothing comes back to us.
    host.Close();
    EXPECT_FALSE(SessionOpen());
    SendText("nexttor", KindCommand, hostId, true);
    SendStartPosition({1, 1, 1}, hostId);
    EXPECT_EQ(own.size(), 2u);
    DetachSession();
}

namespace {

// What the window would show; the dispatcher's calls in order.
struct TWindowSeen : IMessageWindow {
    std::vector<std::string> Calls;
    void ChatLine(const std::string& line) override { Calls.push_back("chat " + line); }
    void HostAnnounced(uint32_t hostId) override { Calls.push_back("host " + std::to_string(hostId)); }
    void LobbyStatus(const std::string& laps) override { Calls.push_back("laps " + laps); }
    void RaceAnnounced() override { Calls.push_back("go phase " + std::to_string(spiel::GamePhase)); }
    void LockedOut() override { Calls.push_back("locked phase " + std::to_string(spiel::GamePhase)); }
    void PlayerReady(const TDXPlayPlayer& sender) override { Calls.push_back("ready " + sender.Name); }
    void RaceBegins() override { Calls.push_back("begins"); }
    void RaceAborted() override { Calls.push_back("aborted phase " + std::to_string(spiel::GamePhase)); }
    void StartMusic() override { Calls.push_back("music"); }
    std::string Last() const { return Calls.empty() ? "" : Calls.back(); }
};

// A game with this program as its only player, every message going
// through the dispatcher as the window's message event passes it on.
class Dispatcher : public ::testing::Test {
protected:
    void SetUp() override
    {
        spiel::PlayerTable = {};
        spiel::GateOrder = {0, 1, 2, 3, 4};
        spiel::ResetRaceGlobals();
        spiel::GamePhase = spiel::PhaseMenu;
        host.OnMessage = [&](TDXPlayPlayer& from, const uint8_t* data, int size) { HandleMessage(from, data, size); };
        host.SetProviderName(DPSPNAME_TCPIP);
        host.CreateSession("dispatch" + std::to_string(QCoreApplication::applicationPid()), "Tom");
        AttachSession(&host);
        MessageWindow = &window;
        me = LocalPlayerId();
        spiel::PlayerTable[0].Id = me;
    }
    void TearDown() override
    {
        MessageWindow = nullptr;
        host.Close();
        DetachSession();
    }
    void Command(const std::string& text) { SendText(text, KindCommand, me, false); }
    template <class C>
    void ToSelf(const C& bytes)
    {
        host.SendMessage(me, bytes.data(), static_cast<int>(bytes.size()), true);
    }
    TDXPlay host;
    TWindowSeen window;
    uint32_t me = 0;
};

}  // namespace

TEST_F(Dispatcher, CommandsChangeTheRaceStateAndTellTheWindow)
{
    SendText("hallo", KindChat, 0, true);
    EXPECT_EQ(window.Last(), "chat Tom: hallo");
    SendText(Utf8ToWire("Grüß dich"), KindChat, me, false);
    EXPECT_EQ(window.Last(), "chat Tom: Grüß dich");

    Command("host:4000000001");
    EXPECT_EQ(window.Last(), "host 4000000001");
    Command("lobbystatus:12");
    EXPECT_EQ(window.Last(), "laps 12");

    Command("go!");
    EXPECT_EQ(spiel::GamePhase, spiel::PhaseStartAnnounced);
    EXPECT_EQ(window.Last(), "go phase 1");
    Command("torliste:31402");
    EXPECT_EQ(spiel::GateOrder, (std::array<uint32_t, 5>{3, 1, 4, 0, 2}));

    Command("bereitschaft");  // a prefix match
    EXPECT_EQ(window.Last(), "ready Tom");

    // Sides left over from a race before are replaced by this race's.
    spiel::PlayerTable[0].GateSide.fill(12345.0f);
    Command("los jetzt");
    EXPECT_EQ(window.Last(), "begins");
    EXPECT_NE(spiel::PlayerTable[0].GateSide[0], 12345.0f);
    EXPECT_EQ(spiel::GamePhase, spiel::PhaseRacing);
    EXPECT_EQ(spiel::ControlsLocked, 1);

    Command("spielbereit");
    Command("spielbereit!");  // whole-text only: nothing
    Command("spielbereit");   // once per player and race
    EXPECT_EQ(spiel::PlayReadyCount, 1);
    Command("losfahren");
    EXPECT_EQ(spiel::StartClock, 0.0f);
    EXPECT_EQ(window.Last(), "music");

    spiel::GateTable[3].Pos = {10, 20, 30};
    spiel::GateTable[1].Pos = {-7, 8, 9};
    Command("nexttor");
    EXPECT_EQ(spiel::PlayerTable[0].NextGate, 1);
    EXPECT_EQ(spiel::PlayerTable[0].GatesPassed, 1);
    EXPECT_EQ(spiel::GoalPos, (D3DVECTOR{-7, 108, 9}));
    // The host has counted already: its own "updatemygoal" changes nothing.
    Command("updatemygoal");
    EXPECT_EQ(spiel::PlayerTable[0].GatesPassed, 1);

    const size_t calls = window.Calls.size();
    Command("kannst mitspielen");  // the window's own filter's, not ours
    Command("Go!");
    Command("");
    EXPECT_EQ(window.Calls.size(), calls);

    Command("spiel abbrechen");
    EXPECT_EQ(spiel::GamePhase, spiel::PhaseMenu);
    EXPECT_EQ(window.Last(), "aborted phase 0");

    Command("abort");
    EXPECT_EQ(spiel::GamePhase, spiel::PhaseLockedOut);
    EXPECT_EQ(window.Last(), "locked phase 3");
}

TEST_F(Dispatcher, PositionRecordsAndMalformedMessages)
{
    spiel::PlayerTable[0].Speed = 55;
    ToSelf(EncodeSetPosition({{1, 2, 3}, 0}));
    EXPECT_EQ(spiel::PlayerTable[0].Pos, (D3DVECTOR{1, 2, 3}));
    EXPECT_EQ(spiel::PlayerTable[0].Speed, 55.0f);
    ToSelf(EncodeSetPosition({{4, 5, 6}, 1}));
    EXPECT_EQ(spiel::PlayerTable[0].Pos, (D3DVECTOR{4, 5, 6}));
    EXPECT_EQ(spiel::PlayerTable[0].Speed, 0.0f);

    // One session player: only record 0 can take a start position.
    SendStartPosition({7, 8, 9}, me);
    EXPECT_EQ(spiel::PlayerTable[0].Pos, (D3DVECTOR{7, 8, 9}));
    ToSelf(EncodeStartPosition({{1, 1, 1}, 999}));
    EXPECT_EQ(spiel::PlayerTable[1].Id, 0u);
    EXPECT_EQ(spiel::PlayerTable[0].Pos, (D3DVECTOR{7, 8, 9}));

    // Alone in the session: car states are dropped.
    ToSelf(EncodeCarState({}));
    EXPECT_EQ(spiel::ActiveRecordCount(), 1);

    const uint64_t dropped = DroppedMessages;
    const D3DVECTOR before = spiel::PlayerTable[0].Pos;
    const std::array<uint8_t, 4> kindOnly{3, 0, 0, 0};
    ToSelf(kindOnly);
    auto shortSet = EncodeSetPosition({{9, 9, 9}, 1});
    ToSelf(std::span(shortSet).first(19));
    ToSelf(EncodeSetPosition({{NAN, 0, 0}, 0}));
    ToSelf(EncodeStartPosition({{0, INFINITY, 0}, me}));
    ToSelf(std::array<uint8_t, 5>{2, 0, 0, 0, 9});  // text header cut short
    Command("torliste:99999");
    Command("host:-5");
    EXPECT_EQ(DroppedMessages, dropped + 7);
    EXPECT_EQ(spiel::PlayerTable[0].Pos, before);
    EXPECT_EQ(spiel::GateOrder, (std::array<uint32_t, 5>{0, 1, 2, 3, 4}));
    EXPECT_TRUE(window.Calls.empty());

    // Unused kinds are ignored, not counted.
    ToSelf(std::array<uint8_t, 8>{5, 0, 0, 0, 1, 2, 3, 4});
    ToSelf(std::array<uint8_t, 4>{0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(DroppedMessages, dropped + 7);

    // With the session closed the dispatcher does nothing.
    host.Close();
    const TDXPlayPlayer stranger{42, "x", true};
    const auto go = EncodeText(KindCommand, "go!");
    spiel::GamePhase = spiel::PhaseMenu;
    HandleMessage(stranger, go.data(), static_cast<int>(go.size()));
    EXPECT_EQ(spiel::GamePhase, spiel::PhaseMenu);
}

TEST_F(Dispatcher, OnlyTheHostSteersTheRaceAndPlacesStayInTheWorld)
{
    // Another player's host commands and positions are dropped and counted.
    const TDXPlayPlayer stranger{12345, "Fremd", true};
    auto from = [&](uint32_t, const auto& bytes, const TDXPlayPlayer& sender) {
        HandleMessage(sender, bytes.data(), static_cast<int>(bytes.size()));
    };
    const uint64_t dropped = DroppedMessages;
    spiel::PlayerTable[0].Pos = {5, 5, 5};
    for (const char* c : {"go!", "lobbystatus:7", "torliste:43210", "abort", "los jetzt", "losfahren", "nexttor",
                          "spiel abbrechen", "host:1"})
        from(0, EncodeText(KindCommand, c), stranger);
    from(0, EncodeSetPosition({{1, 1, 1}, 1}), stranger);
    from(0, EncodeStartPosition({{1, 1, 1}, me}), stranger);
    EXPECT_EQ(DroppedMessages, dropped + 11);
    EXPECT_EQ(spiel::GamePhase, spiel::PhaseMenu);
    EXPECT_EQ(spiel::GateOrder, (std::array<uint32_t, 5>{0, 1, 2, 3, 4}));
    EXPECT_EQ(spiel::PlayerTable[0].Pos, (D3DVECTOR{5, 5, 5}));
    EXPECT_EQ(spiel::PlayerTable[0].NextGate, 0);
    EXPECT_TRUE(window.Calls.empty());
    // What any player may say still counts.
    from(0, EncodeText(KindChat, "hi"), stranger);
    EXPECT_EQ(window.Last(), "chat Fremd: hi");
    from(0, EncodeText(KindCommand, "bereit"), stranger);
    EXPECT_EQ(window.Last(), "ready Fremd");

    // The host's own: laps are a number 1 … 20, places lie in the world.
    window.Calls.clear();
    for (const char* laps : {"lobbystatus:0", "lobbystatus:21", "lobbystatus:x", "lobbystatus:"})
        Command(laps);
    ToSelf(EncodeSetPosition({{2e38f, 0, 0}, 1}));
    ToSelf(EncodeSetPosition({{0, 0, -14000}, 1}));
    ToSelf(EncodeStartPosition({{0, 20000, 0}, me}));
    EXPECT_EQ(DroppedMessages, dropped + 11 + 7);
    EXPECT_TRUE(window.Calls.empty());
    EXPECT_EQ(spiel::PlayerTable[0].Pos, (D3DVECTOR{5, 5, 5}));
    Command("lobbystatus:20");
    EXPECT_EQ(window.Last(), "laps 20");
    ToSelf(EncodeSetPosition({{12800, 1275, -12800}, 0}));
    EXPECT_EQ(spiel::PlayerTable[0].Pos, (D3DVECTOR{12800, 1275, -12800}));
}

TEST(DispatcherTwoPrograms, CarStatesClaimARecordAndTheHostIgnoresGoalUpdates)
{
    spiel::PlayerTable = {};
    TDXPlay host;
    host.OnMessage = [&](TDXPlayPlayer& from, const uint8_t* data, int size) { HandleMessage(from, data, size); };
    const std::string session = "claims" + std::to_string(QCoreApplication::applicationPid());
    host.SetProviderName(DPSPNAME_TCPIP);
    host.CreateSession(session, "Host");
    AttachSession(&host);
    spiel::PlayerTable[0].Id = LocalPlayerId();

    TJoiner joiner(session);
    const auto joined = joiner.Next("joined ");
    ASSERT_TRUE(joined);
    const uint32_t guestId = static_cast<uint32_t>(std::stoul(joined->substr(7)));

    SendText("sende-auto", KindCommand, guestId, false);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (spiel::FindRecord(guestId, 1) < 0 && std::chrono::steady_clock::now() < until)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const int r = spiel::FindRecord(guestId, 1);
    ASSERT_EQ(r, 1) << "the guest's car state claims the first free record";
    EXPECT_EQ(spiel::PlayerTable[1].InUse, 1);
    EXPECT_EQ(spiel::PlayerTable[1].Pos, (D3DVECTOR{-500, 42, 777}));
    EXPECT_EQ(spiel::PlayerTable[1].Move, (D3DVECTOR{1, 0, -1}));
    EXPECT_EQ(spiel::PlayerTable[1].Steer, 0.25f);
    EXPECT_EQ(spiel::PlayerTable[1].Heading, 2.0f);

    // The host counts the guest's gates itself; the guest's "updatemygoal"
    // does not count them again. The chat line after it on the same ordered
    // channel shows it has been handled.
    TWindowSeen window;
    MessageWindow = &window;
    SendText("sende-tor", KindCommand, guestId, false);
    const auto chatUntil = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (window.Calls.empty() && std::chrono::steady_clock::now() < chatUntil)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    EXPECT_EQ(window.Last(), "chat Gast: tor gesendet");
    EXPECT_EQ(spiel::PlayerTable[1].GatesPassed, 0);
    MessageWindow = nullptr;
    SendText("ende", KindCommand, guestId, false);
    EXPECT_TRUE(joiner.Finished(10000));
    host.Close();
    DetachSession();
}

int main(int argc, char** argv)
{
    // Searches ask this machine only, and never broadcast.
    setenv("DUNEBOLT_SEARCH_ADDRESS", "127.0.0.1", 1);
    setenv("CI", "1", 1);
    QCoreApplication app(argc, argv);
    SelfPath = QCoreApplication::applicationFilePath().toStdString();
    if (argc >= 3 && std::string(argv[1]) == "--joiner") return RunJoiner(argv[2]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

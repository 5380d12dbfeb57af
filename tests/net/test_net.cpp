// The game's messages: the records' bytes, the commands and the dispatcher,
// over real sessions on 127.0.0.1. For the test between two programs this
// program starts itself a second time as a joining player, which prints
// every message it receives.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <iostream>

#include "net/u_multiplayer.h"
#include "race/racestate.h"
#include "race/spiel.h"

using namespace u_multiplayer;
using Bytes = std::vector<uint8_t>;

namespace {

template <class C>
std::string Hex(const C& bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()))
        .toHex()
        .toStdString();
}

// Every field its own value, none zero.
const TCarStateMsg GuestCar{0.5f, 0.25f, 3.5f, -0.125f, 1.5f, 0.0625f, {-500, 42, 777}, {1, 2, -3}};

// The local car's state becomes m, and is sent.
void SendLocalCar(const TCarStateMsg& m)
{
    spiel::TPlayerRec& r = spiel::PlayerTable[0];
    std::tie(r.Spare, r.Steer, r.WheelAngle, r.Pitch, r.Heading, r.Roll, r.Pos, r.Move) =
        std::tie(m.Spare, m.Steer, m.WheelAngle, m.Pitch, m.Heading, m.Roll, m.Pos, m.Move);
    SendCarState();
}

}  // namespace

TEST(Records, BytesInTheirOrderAndBackAgain)
{
    const auto car = EncodeCarState(GuestCar);
    const auto set = EncodeSetPosition({{1.5f, -2, 3}, 7});
    const auto start = EncodeStartPosition({{-100, 50.25f, 8000}, 0xFEDCBA98u});
    // The kind, then each float's four bytes little-endian, worked out by hand.
    EXPECT_EQ(Hex(car),
              "000000000000003f0000803e00006040000000be0000c03f0000803d0000fac30000284200404244"
              "0000803f00000040000040c0");
    EXPECT_EQ(Hex(set), "030000000000c03f000000c00000404007000000");
    EXPECT_EQ(Hex(start), "040000000000c8c2000049420000fa4598badcfe");
    // Decoded and encoded again: the same bytes. A byte short, or another
    // kind: refused.
    TCarStateMsg c;
    TSetPositionMsg s;
    TStartPositionMsg p;
    ASSERT_TRUE(DecodeCarState(car, c) && DecodeSetPosition(set, s) && DecodeStartPosition(start, p));
    EXPECT_EQ(Hex(EncodeCarState(c)) + Hex(EncodeSetPosition(s)) + Hex(EncodeStartPosition(p)),
              Hex(car) + Hex(set) + Hex(start));
    EXPECT_FALSE(DecodeCarState(std::span(car).first(51), c) || DecodeCarState(set, c));
    EXPECT_FALSE(DecodeStartPosition(std::span(start).first(19), p) || DecodeStartPosition(set, p));
}

TEST(Records, TextIsLengthPrefixedWithTwoBytesPadding)
{
    // Before any session: no player, and nothing to let back in.
    EXPECT_EQ(std::make_tuple(LocalPlayerId(), LetsBackIn(nullptr, 8)), std::make_tuple(0u, false));
    EXPECT_EQ(EncodeText(KindChat, "hallo"), (Bytes{1, 0, 0, 0, 5, 0, 'h', 'a', 'l', 'l', 'o', 0, 0}));
    const Bytes huge = EncodeText(KindCommand, std::string(70000, 'y'));  // cut at 65535 bytes
    EXPECT_EQ(Bytes(huge.begin(), huge.begin() + 6), (Bytes{2, 0, 0, 0, 0xFF, 0xFF}));
    EXPECT_EQ(huge.size(), 65535u + 8u);
    // A length beyond what came is read to the end of what came.
    TTextMsg m;
    ASSERT_TRUE(DecodeText(Bytes{1, 0, 0, 0, 200, 0, 'g', 'o'}, m));
    EXPECT_EQ(std::make_pair(m.Text, m.Kind), std::make_pair(std::string("go"), KindChat));
}

TEST(Records, TheWindowsUtf8AndTheWiresCodePage1252)
{
    const std::pair<const char*, const char*> cases[] = {
        {"abc", "abc"},
        {"ÄÖÜäöüß", "\xC4\xD6\xDC\xE4\xF6\xFC\xDF"},
        {"„Tor“ – €", "\x84Tor\x93 \x96 \x80"},
        {"Šœ™", "\x8A\x9C\x99"},
    };
    for (const auto& [utf8, wire] : cases) {
        EXPECT_EQ(Utf8ToWire(utf8), wire) << utf8;
        EXPECT_EQ(WireToUtf8(wire), utf8) << utf8;
    }
    // Outside the code page, or not UTF-8: one '?' per character or bad byte.
    const std::pair<const char*, const char*> outside[] = {
        {"日本", "??"},
        {"a😀b", "a?b"},
        {"a\377b", "a?b"},
        {"\xC3", "?"},
        {"\xC0\xAF", "??"},
        {"\xED\xA0\x80", "???"},
        {"\xF4\x90\x80\x80", "????"},
        {"\360\237\230d", "???d"},
    };
    for (const auto& [utf8, wire] : outside) EXPECT_EQ(Utf8ToWire(utf8), wire) << wire;
    EXPECT_EQ(WireToUtf8("\x81\x8D"), "??");  // no character in the code page
    std::string all;
    for (int c = 1; c < 256; ++c)
        if (c != 0x81 && c != 0x8D && c != 0x8F && c != 0x90 && c != 0x9D) all.push_back(static_cast<char>(c));
    EXPECT_EQ(Utf8ToWire(WireToUtf8(all)), all);
}

namespace {

std::string SelfPath;

// The joining player: prints "joined <id>", then "msg <from> <hex>" for
// every message; answers "sende-auto" with three car states that are not
// finite and then its own, "sende-tor" with "updatemygoal" and the chat
// line "tor gesendet"; ends when the host leaves.
int RunJoiner(const std::string& session)
{
    TDXPlay play;
    play.OnMessage = [&](TDXPlayPlayer& from, const uint8_t* data, int size) {
        const std::span bytes(data, static_cast<size_t>(size));
        std::cout << "msg " << from.ID << " " << Hex(bytes) << std::endl;
        TTextMsg t;
        if (DecodeText(bytes, t) && t.Text == "sende-auto") {
            for (int k = 0; k < 3; ++k) {
                TCarStateMsg bad = GuestCar;
                *std::array{&bad.Pos.x, &bad.Move.z, &bad.Pitch}[k] = NAN;
                play.SendMessage(0, EncodeCarState(bad).data(), CarStateSize, false);
            }
            SendLocalCar(GuestCar);
        } else if (t.Text == "sende-tor") {
            SendText(CmdUpdateMyGoal, KindCommand, 0, false);
            SendText("tor gesendet", KindChat, 0, false);
        }
    };
    play.OnDeletePlayer = [](TDXPlayPlayer&) { QCoreApplication::exit(0); };
    play.SetProviderName(DPSPNAME_TCPIP);
    play.JoinSession(session, "Gast");  // a failure ends the program with its text on stderr
    AttachSession(&play);
    std::cout << "joined " << play.LocalPlayer()->ID << std::endl;
    QTimer::singleShot(20000, [] { QCoreApplication::exit(3); });
    return QCoreApplication::exec();
}

// What the window is told, with the phase at that moment.
struct TWindowSeen : IMessageWindow {
    std::vector<std::string> Calls;
    void Add(const std::string& s) { Calls.push_back(s + " " + std::to_string(spiel::GamePhase)); }
    void ChatLine(const std::string& line) override { Add("chat " + line); }
    void HostAnnounced(uint32_t id) override { Add("host " + std::to_string(id)); }
    void LobbyStatus(const std::string& laps) override { Add("laps " + laps); }
    void RaceAnnounced() override { Add("go"); }
    void LockedOut() override { Add("locked"); }
    void PlayerReady(const TDXPlayPlayer& sender) override { Add("ready " + sender.Name); }
    void RaceBegins() override { Add("begins"); }
    void RaceAborted() override { Add("aborted"); }
    void StartMusic() override { Add("music"); }
};

// This program hosts a game, its messages going through the dispatcher.
class Session : public ::testing::Test {
protected:
    void SetUp() override
    {
        spiel::PlayerTable = {};
        spiel::GateOrder = {0, 1, 2, 3, 4};
        spiel::ResetRaceGlobals();
        spiel::GamePhase = spiel::PhaseMenu;
        host.OnMessage = [](TDXPlayPlayer& from, const uint8_t* data, int size) { HandleMessage(from, data, size); };
        host.SetProviderName(DPSPNAME_TCPIP);
        host.CreateSession(name, "Tom");
        AttachSession(&host);
        MessageWindow = &window;
        me = spiel::PlayerTable[0].Id = LocalPlayerId();
    }
    void TearDown() override
    {
        MessageWindow = nullptr;
        host.Close();  // a joiner ends when the host leaves
        EXPECT_TRUE(joiner.state() == QProcess::NotRunning || joiner.waitForFinished(10000));
        DetachSession();
    }
    // The event loop, where the session works, runs until done() or 10 s.
    static bool Until(const std::function<bool()>& done) { return QTest::qWaitFor(done, 10000); }
    // The joiner's next line that starts with prefix; "" if none comes.
    std::string Next(const std::string& prefix)
    {
        std::string line;
        while (Until([&] { return joiner.canReadLine(); }))
            if ((line = joiner.readLine().trimmed().toStdString()).starts_with(prefix)) return line;
        return "";
    }
    // Commands from this program to itself, in their order.
    template <class... T>
    void Command(const T&... texts)
    {
        (SendText(texts, KindCommand, me, false), ...);
    }
    // Messages to itself, in their order.
    template <class... C>
    void ToSelf(const C&... bytes)
    {
        (host.SendMessage(me, bytes.data(), static_cast<int>(bytes.size()), true), ...);
    }
    const std::string name = "net" + std::to_string(QCoreApplication::applicationPid());
    TDXPlay host;
    QProcess joiner;
    TWindowSeen window;
    uint32_t me = 0;
};

}  // namespace

TEST_F(Session, BetweenTwoProgramsEveryRecordArrivesAsEncoded)
{
    joiner.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    joiner.start(QString::fromStdString(SelfPath), {"--joiner", QString::fromStdString(name)});
    const std::string joined = Next("joined ");
    ASSERT_FALSE(joined.empty()) << "the second program did not join";
    const uint32_t guest = static_cast<uint32_t>(std::stoul(joined.substr(7)));
    const std::string from = "msg " + std::to_string(me) + " ";

    // A copy to ourselves is handled inside the send; one to all others
    // never comes back.
    SendText(Utf8ToWire("hallo Grüße"), KindChat, 0, false);
    EXPECT_EQ(Next("msg "), from + Hex(EncodeText(KindChat, "hallo Gr\374\337e")));
    SendText("lobbystatus:3", KindCommand, guest, true);
    EXPECT_EQ(window.Calls, std::vector<std::string>{"laps 3 0"});
    EXPECT_EQ(Next("msg "), from + Hex(EncodeText(KindCommand, "lobbystatus:3")));
    SendSetPosition({1.5f, -2, 3}, 1, guest);
    EXPECT_EQ(Next("msg "), from + Hex(EncodeSetPosition({{1.5f, -2, 3}, 1})));
    SendStartPosition({4, 5, 6}, guest);
    EXPECT_EQ(spiel::PlayerTable[1].Pos, (D3DVECTOR{4, 5, 6}));
    EXPECT_EQ(Next("msg "), from + Hex(EncodeStartPosition({{4, 5, 6}, guest})));
    // Past its next gate, a player tells everybody.
    ASSERT_TRUE(spiel::GatePass(0, int(spiel::GateOrder[0])));
    EXPECT_EQ(Next("msg "), from + Hex(EncodeText(KindCommand, "updatemygoal")));

    // Car states, at most one per 25 ms: of two sent at once the second
    // stays home.
    TCarStateMsg a = GuestCar, b = GuestCar, c = GuestCar;
    b.Pos.x = 1;
    c.Pos.x = 2;
    QElapsedTimer t;
    t.start();
    SendLocalCar(a);
    SendLocalCar(b);
    const bool atOnce = t.elapsed() < 20;  // else the machine stalled between the two
    Until([&] { return t.elapsed() > 30; });
    SendLocalCar(c);
    EXPECT_EQ(Next("msg "), from + Hex(EncodeCarState(a)));
    EXPECT_TRUE(!atOnce || Next("msg ") == from + Hex(EncodeCarState(c)));

    // The guest's car state takes its record; its "updatemygoal" does not
    // count a gate again: the host counts them itself. The chat line after
    // it on the same ordered channel shows it has been handled.
    const uint64_t dropped = DroppedMessages;
    SendText("sende-auto", KindCommand, guest, false);
    ASSERT_TRUE(Until([&] { return spiel::PlayerTable[1].InUse == 1; }));
    EXPECT_EQ(DroppedMessages, dropped + 3) << "car states that are not finite";
    const spiel::TPlayerRec& r = spiel::PlayerTable[1];
    const TCarStateMsg seen{r.Spare, r.Steer, r.WheelAngle, r.Pitch, r.Heading, r.Roll, r.Pos, r.Move};
    EXPECT_EQ(Hex(EncodeCarState(seen)), Hex(EncodeCarState(GuestCar)));
    SendText("sende-tor", KindCommand, guest, false);
    EXPECT_TRUE(Until([&] { return window.Calls.size() == 2; }));
    EXPECT_EQ(window.Calls.back(), "chat Gast: tor gesendet 0");
    EXPECT_EQ(std::make_pair(r.GatesPassed, spiel::ActiveRecordCount()), std::make_pair(0, 2));
}

TEST_F(Session, CommandsChangeTheRaceStateAndTellTheWindow)
{
    spiel::PlayerTable[0].GateSide.fill(12345.0f);
    spiel::StartClock = 5;
    track::GateTable[1].Pos = {-7, 8, 9};
    SendText("hallo", KindChat, 0, true);
    SendText(Utf8ToWire("Grüß dich"), KindChat, me, false);
    Command("host:4294967295", "lobbystatus:12", "go!", "torliste:31402", "bereitschaft", "los jetzt", "spielbereit",
            "spielbereit!", "spielbereit", "losfahren", "losfahren ", "nexttor", "updatemygoal", "kannst mitspielen",
            "Go!", "", "spiel abbrechen.", "spiel abbrechen", "abort");
    EXPECT_EQ(window.Calls,
              (std::vector<std::string>{"chat Tom: hallo 0", "chat Tom: Grüß dich 0", "host 4294967295 0", "laps 12 0",
                                        "go 1", "ready Tom 1", "begins 1", "music 4", "aborted 0", "locked 3"}));
    EXPECT_EQ(spiel::GateOrder, (std::array<uint32_t, 5>{3, 1, 4, 0, 2}));
    EXPECT_NE(spiel::PlayerTable[0].GateSide[0], 12345.0f) << "this race's sides recorded at its start";
    // "nexttor" passed the first gate; the host had counted it already.
    EXPECT_EQ(std::make_tuple(spiel::ControlsLocked, spiel::PlayReadyCount, spiel::StartClock,
                              spiel::PlayerTable[0].NextGate, spiel::PlayerTable[0].GatesPassed),
              std::make_tuple(uint8_t{1}, 1, 0.0f, 1, 1));
    EXPECT_EQ(spiel::GoalPos, (D3DVECTOR{-7, 108, 9}));
}

TEST_F(Session, PositionsAndMalformedMessagesWhenAlone)
{
    EXPECT_EQ(SessionPlayerName(me), "Tom");
    // Locked out of a running race, only its end lets a player back in.
    const std::pair<Bytes, bool> backIn[] = {
        {EncodeText(KindCommand, "spiel abbrechen"), true},
        {EncodeText(KindCommand, "kannst mitspielen"), true},
        {EncodeText(KindChat, "kannst mitspielen"), false},
        {EncodeText(KindCommand, "go!"), false},
        {Bytes{2, 0, 0}, false},
        {Bytes{2, 0, 0, 0}, false},  // a command without its text
    };
    for (const auto& [bytes, back] : backIn) EXPECT_EQ(LetsBackIn(bytes.data(), int(bytes.size())), back) << Hex(bytes);

    spiel::PlayerTable[0].Speed = 55;
    ToSelf(EncodeSetPosition({{1, 2, 3}, 0}));
    EXPECT_EQ(std::make_pair(spiel::PlayerTable[0].Pos, spiel::PlayerTable[0].Speed),
              std::make_pair(D3DVECTOR{1, 2, 3}, 55.0f));
    ToSelf(EncodeSetPosition({{4, 5, 6}, 1}));
    EXPECT_EQ(spiel::PlayerTable[0].Speed, 0.0f);
    // Alone in the session: only record 0 takes a start position, and car
    // states are dropped.
    SendStartPosition({7, 8, 9}, me);
    ToSelf(EncodeStartPosition({{1, 1, 1}, 999}), EncodeCarState(GuestCar));
    EXPECT_EQ(std::make_pair(spiel::PlayerTable[0].Pos, spiel::ActiveRecordCount()),
              std::make_pair(D3DVECTOR{7, 8, 9}, 1));

    const uint64_t dropped = DroppedMessages;
    const auto set = EncodeSetPosition({{9, 9, 9}, 1});
    // The last, a text whose header is cut short.
    ToSelf(std::span(set).first(19), std::array<uint8_t, 4>{3, 0, 0, 0}, EncodeSetPosition({{NAN, 0, 0}, 0}),
           EncodeStartPosition({{0, INFINITY, 0}, me}), EncodeStartPosition({{0, 0, 0}, 0}),
           std::array<uint8_t, 5>{2, 0, 0, 0, 9});
    Command("torliste:3140", "torliste:31495", "torliste:31442", "host:", "host:-5", "host:4294967296",
            "host:12345678901");
    // Unused kinds are ignored, not counted.
    ToSelf(std::array<uint8_t, 8>{5, 0, 0, 0, 1, 2, 3, 4}, std::array<uint8_t, 4>{0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(DroppedMessages, dropped + 13);
    EXPECT_EQ(spiel::PlayerTable[0].Pos, (D3DVECTOR{7, 8, 9}));
    EXPECT_EQ(spiel::GateOrder, (std::array<uint32_t, 5>{0, 1, 2, 3, 4}));
    EXPECT_TRUE(window.Calls.empty());

    // With the session closed the dispatcher does nothing.
    host.Close();
    const auto go = EncodeText(KindCommand, "go!");
    HandleMessage(TDXPlayPlayer{42, "x", true}, go.data(), static_cast<int>(go.size()));
    EXPECT_EQ(spiel::GamePhase, spiel::PhaseMenu);
}

TEST_F(Session, OnlyTheHostSteersTheRaceAndPlacesStayInTheWorld)
{
    // Another player's host commands and positions are dropped and counted.
    const TDXPlayPlayer stranger{12345, "Fremd", true};
    auto from = [&](const auto&... bytes) {
        (HandleMessage(stranger, bytes.data(), static_cast<int>(bytes.size())), ...);
    };
    const uint64_t dropped = DroppedMessages;
    spiel::PlayerTable[0].Pos = {5, 5, 5};
    for (const char* c : {"go!", "lobbystatus:7", "torliste:43210", "abort", "los jetzt", "losfahren", "nexttor",
                          "spiel abbrechen", "host:1"})
        from(EncodeText(KindCommand, c));
    from(EncodeSetPosition({{1, 1, 1}, 1}), EncodeStartPosition({{1, 1, 1}, me}));
    EXPECT_EQ(std::make_tuple(DroppedMessages, spiel::GamePhase, spiel::PlayerTable[0].NextGate),
              std::make_tuple(dropped + 11, spiel::PhaseMenu, 0));
    EXPECT_EQ(spiel::GateOrder, (std::array<uint32_t, 5>{0, 1, 2, 3, 4}));
    EXPECT_EQ(spiel::PlayerTable[0].Pos, (D3DVECTOR{5, 5, 5}));
    // What any player may say still counts.
    from(EncodeText(KindChat, "hi"), EncodeText(KindCommand, "bereit"));
    EXPECT_EQ(window.Calls, (std::vector<std::string>{"chat Fremd: hi 0", "ready Fremd 0"}));

    // The host's own: laps are a number 1 … 20, places lie in the world.
    window.Calls.clear();
    Command("lobbystatus:0", "lobbystatus:21", "lobbystatus:x", "lobbystatus:", "lobbystatus:020", "lobbystatus:0A");
    ToSelf(EncodeSetPosition({{2e38f, 0, 0}, 1}), EncodeSetPosition({{0, 0, -14000}, 1}),
           EncodeStartPosition({{0, 20000, 0}, me}));
    EXPECT_EQ(DroppedMessages, dropped + 13 + 7);
    EXPECT_TRUE(window.Calls.empty());
    EXPECT_EQ(spiel::PlayerTable[0].Pos, (D3DVECTOR{5, 5, 5}));
    Command("lobbystatus:20");
    EXPECT_EQ(window.Calls, std::vector<std::string>{"laps 20 0"});
    ToSelf(EncodeSetPosition({{12800, 1275, -12800}, 0}));
    EXPECT_EQ(spiel::PlayerTable[0].Pos, (D3DVECTOR{12800, 1275, -12800}));
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

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "net/u_multiplayer.h"
#include "race/racestate.h"

using namespace u_multiplayer;

namespace {

using Bytes = std::vector<uint8_t>;

template <size_t N>
Bytes ToBytes(const std::array<uint8_t, N>& a)
{
    return Bytes(a.begin(), a.end());
}

// A float's four bytes, little-endian, written out by hand.
Bytes F(float v)
{
    uint32_t u;
    std::memcpy(&u, &v, 4);
    return {uint8_t(u), uint8_t(u >> 8), uint8_t(u >> 16), uint8_t(u >> 24)};
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace

TEST(CarState, FiftyTwoBytesInTheirOrder)
{
    TCarStateMsg m;
    m.Spare = 0;
    m.Steer = 0.25f;
    m.WheelAngle = 3.5f;
    m.Pitch = -0.125f;
    m.Heading = 1.5f;
    m.Roll = 0.0625f;
    m.Pos = {100.5f, -20, 12400};
    m.Move = {1, 2, -3};
    const Bytes b = ToBytes(EncodeCarState(m));
    const Bytes expect = Cat({{0, 0, 0, 0}, F(0), F(0.25f), F(3.5f), F(-0.125f), F(1.5f), F(0.0625f), F(100.5f), F(-20),
                              F(12400), F(1), F(2), F(-3)});
    ASSERT_EQ(b.size(), 52u);
    EXPECT_EQ(b, expect);

    TCarStateMsg back;
    ASSERT_TRUE(DecodeCarState(b, back));
    EXPECT_EQ(back.Steer, 0.25f);
    EXPECT_EQ(back.Roll, 0.0625f);
    EXPECT_EQ(back.Pos, m.Pos);
    EXPECT_EQ(back.Move, m.Move);

    // Short, or of another kind: rejected, the output untouched.
    TCarStateMsg untouched;
    untouched.Steer = 9;
    EXPECT_FALSE(DecodeCarState(std::span(b).first(51), untouched));
    EXPECT_FALSE(DecodeCarState({}, untouched));
    Bytes other = b;
    other[0] = 3;
    EXPECT_FALSE(DecodeCarState(other, untouched));
    EXPECT_EQ(untouched.Steer, 9.0f);
    // Extra bytes after the record are ignored.
    Bytes longer = b;
    longer.push_back(0xEE);
    EXPECT_TRUE(DecodeCarState(longer, back));
}

TEST(CarState, ComesFromRecordZero)
{
    spiel::PlayerTable = {};
    spiel::TPlayerRec& me = spiel::PlayerTable[0];
    me.Steer = 0.5f;
    me.WheelAngle = 1;
    me.Pitch = 2;
    me.Heading = 3;
    me.Roll = 4;
    me.Pos = {5, 6, 7};
    me.Move = {8, 9, 10};
    me.Speed = 99;  // not carried
    const Bytes b = ToBytes(EncodeCarState(CarStateOfLocalCar()));
    EXPECT_EQ(b, Cat({{0, 0, 0, 0}, F(0), F(0.5f), F(1), F(2), F(3), F(4), F(5), F(6), F(7), F(8), F(9), F(10)}));
}

TEST(Text, LengthPrefixedWithTwoBytesPadding)
{
    const Bytes chat = EncodeText(KindChat, "hallo");
    EXPECT_EQ(chat, (Bytes{1, 0, 0, 0, 5, 0, 'h', 'a', 'l', 'l', 'o', 0, 0}));
    // An empty command is a valid 8-byte message.
    const Bytes empty = EncodeText(KindCommand, "");
    EXPECT_EQ(empty, (Bytes{2, 0, 0, 0, 0, 0, 0, 0}));
    TTextMsg m;
    ASSERT_TRUE(DecodeText(empty, m));
    EXPECT_EQ(m.Kind, KindCommand);
    EXPECT_EQ(m.Text, "");
    EXPECT_EQ(ParseCommand(m.Text), TCommand::None);

    // Umlauts and the euro sign travel as single bytes of the code page.
    const Bytes u = EncodeText(KindChat, Utf8ToWire("Grüße €5"));
    EXPECT_EQ(u, (Bytes{1, 0, 0, 0, 8, 0, 'G', 'r', 0xFC, 0xDF, 'e', ' ', 0x80, '5', 0, 0}));
    ASSERT_TRUE(DecodeText(u, m));
    EXPECT_EQ(WireToUtf8(m.Text), "Grüße €5");

    // A 300-byte text needs both length bytes.
    const Bytes longText = EncodeText(KindCommand, std::string(300, 'x'));
    EXPECT_EQ(longText[4], 300 & 0xFF);
    EXPECT_EQ(longText[5], 300 >> 8);
    ASSERT_TRUE(DecodeText(longText, m));
    EXPECT_EQ(m.Text.size(), 300u);
    // More than 65535 bytes are cut there.
    const Bytes huge = EncodeText(KindChat, std::string(70000, 'y'));
    EXPECT_EQ(huge.size(), 65535u + 8u);
    EXPECT_EQ(GetU16(&huge[4]), 65535);
}

TEST(Text, ShortAndOverlongMessages)
{
    TTextMsg m;
    m.Text = "kept";
    EXPECT_FALSE(DecodeText(Bytes{2, 0, 0, 0, 1}, m));
    EXPECT_FALSE(DecodeText(Bytes{}, m));
    EXPECT_FALSE(DecodeText(Bytes{0, 0, 0, 0, 0, 0, 0, 0}, m));  // a car state's kind
    EXPECT_FALSE(DecodeText(Bytes{7, 0, 0, 0, 0, 0, 0, 0}, m));
    EXPECT_EQ(m.Text, "kept");
    // The length says 200, four bytes came: read up to the end received.
    ASSERT_TRUE(DecodeText(Bytes{2, 0, 0, 0, 200, 0, 'g', 'o', '!', 'x'}, m));
    EXPECT_EQ(m.Text, "go!x");
    // No padding: still the whole text.
    ASSERT_TRUE(DecodeText(Bytes{1, 0, 0, 0, 2, 0, 'h', 'i'}, m));
    EXPECT_EQ(m.Text, "hi");
    EXPECT_EQ(m.Kind, KindChat);
}

TEST(Positions, SetAndStartPositionRecords)
{
    const Bytes set = ToBytes(EncodeSetPosition({{1.5f, -2, 3}, 1}));
    EXPECT_EQ(set, Cat({{3, 0, 0, 0}, F(1.5f), F(-2), F(3), {1, 0, 0, 0}}));
    TSetPositionMsg s;
    ASSERT_TRUE(DecodeSetPosition(set, s));
    EXPECT_EQ(s.Pos, (D3DVECTOR{1.5f, -2, 3}));
    EXPECT_EQ(s.Stop, 1);
    Bytes padded = set;
    padded[17] = 0xAA;  // padding is not significant
    padded[16] = 7;
    ASSERT_TRUE(DecodeSetPosition(padded, s));
    EXPECT_EQ(s.Stop, 7);
    EXPECT_FALSE(DecodeSetPosition(std::span(set).first(19), s));

    const Bytes start = ToBytes(EncodeStartPosition({{-100, 50.25f, 8000}, 0xFEDCBA98u}));
    EXPECT_EQ(start, Cat({{4, 0, 0, 0}, F(-100), F(50.25f), F(8000), {0x98, 0xBA, 0xDC, 0xFE}}));
    TStartPositionMsg p;
    ASSERT_TRUE(DecodeStartPosition(start, p));
    EXPECT_EQ(p.PlayerId, 0xFEDCBA98u);
    EXPECT_EQ(p.Pos, (D3DVECTOR{-100, 50.25f, 8000}));
    EXPECT_FALSE(DecodeStartPosition(std::span(start).first(19), p));
    EXPECT_FALSE(DecodeStartPosition(set, p));
    EXPECT_FALSE(DecodeSetPosition(start, s));

    uint32_t kind = 99;
    EXPECT_FALSE(MessageKind(Bytes{4, 0, 0}, kind));
    EXPECT_EQ(kind, 99u);
    ASSERT_TRUE(MessageKind(Bytes{5, 0, 0, 0}, kind));
    EXPECT_EQ(kind, 5u);
    EXPECT_GE(kind, KindCount);
}

TEST(Commands, RecognisedByPrefixThenWholeText)
{
    EXPECT_EQ(ParseCommand("host:4000000000"), TCommand::Host);
    EXPECT_EQ(ParseCommand("lobbystatus:3"), TCommand::LobbyStatus);
    EXPECT_EQ(ParseCommand("go!"), TCommand::Go);
    EXPECT_EQ(ParseCommand("abort"), TCommand::Abort);
    EXPECT_EQ(ParseCommand("bereit"), TCommand::Bereit);
    EXPECT_EQ(ParseCommand("bereitschaft"), TCommand::Bereit);
    EXPECT_EQ(ParseCommand("los jetzt"), TCommand::LosJetzt);
    EXPECT_EQ(ParseCommand("torliste:31402"), TCommand::Torliste);
    EXPECT_EQ(ParseCommand("nexttor"), TCommand::NextTor);
    EXPECT_EQ(ParseCommand("updatemygoal"), TCommand::UpdateMyGoal);
    EXPECT_EQ(ParseCommand("spiel abbrechen"), TCommand::SpielAbbrechen);
    EXPECT_EQ(ParseCommand("spielbereit"), TCommand::SpielBereit);
    EXPECT_EQ(ParseCommand("losfahren"), TCommand::Losfahren);
    // Whole-text matches take nothing more.
    EXPECT_EQ(ParseCommand("spielbereit!"), TCommand::None);
    EXPECT_EQ(ParseCommand("losfahren "), TCommand::None);
    EXPECT_EQ(ParseCommand("spiel abbrechen."), TCommand::None);
    // Case-sensitive; and "kannst mitspielen" is the lobby window's own.
    EXPECT_EQ(ParseCommand("Go!"), TCommand::None);
    EXPECT_EQ(ParseCommand("kannst mitspielen"), TCommand::None);
    EXPECT_EQ(ParseCommand("hos"), TCommand::None);
    EXPECT_EQ(ParseCommand(""), TCommand::None);
}

TEST(Commands, HostIdGateListAndLaps)
{
    uint32_t id = 0;
    ASSERT_TRUE(ParseHostId("host:4294967295", id));
    EXPECT_EQ(id, 4294967295u);
    ASSERT_TRUE(ParseHostId("host:2147483648", id));
    EXPECT_EQ(id, 2147483648u);
    ASSERT_TRUE(ParseHostId("host:7", id));
    EXPECT_EQ(id, 7u);
    id = 5;
    for (const char* bad : {"host:", "host:4294967296", "host:-1", "host:+3", "host:12x", "host: 3",
                            "host:99999999999", "hostx:3"})
        EXPECT_FALSE(ParseHostId(bad, id)) << bad;
    EXPECT_EQ(id, 5u);

    std::array<uint32_t, 5> order{};
    ASSERT_TRUE(ParseTorliste("torliste:31402", order));
    EXPECT_EQ(order, (std::array<uint32_t, 5>{3, 1, 4, 0, 2}));
    order = {0, 1, 2, 3, 4};
    for (const char* bad : {"torliste:3140", "torliste:31405", "torliste:31442", "torliste:3a402", "torliste:",
                            "torlist:31402"})
        EXPECT_FALSE(ParseTorliste(bad, order)) << bad;
    EXPECT_EQ(order, (std::array<uint32_t, 5>{0, 1, 2, 3, 4}));

    EXPECT_EQ(LobbyStatusText("lobbystatus:12"), "12");
    EXPECT_EQ(LobbyStatusText("lobbystatus:"), "");
    EXPECT_EQ(LobbyStatusText("host:1"), "");
}

TEST(WireText, CodePage1252BothWays)
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
        {"日本", "??"},         {"a😀b", "a?b"},          {"a\xFF" "b", "a?b"},
        {"\xC3", "?"},         {"\xC0\xAF", "??"},     {"\xED\xA0\x80", "???"},
        {"\xF4\x90\x80\x80", "????"},
    };
    for (const auto& [utf8, wire] : outside)
        EXPECT_EQ(Utf8ToWire(utf8), wire) << wire;
    EXPECT_EQ(WireToUtf8("\x81\x8D"), "??");  // no character in the code page
    std::string all;
    for (int c = 1; c < 256; ++c)
        if (c != 0x81 && c != 0x8D && c != 0x8F && c != 0x90 && c != 0x9D) all.push_back(static_cast<char>(c));
    EXPECT_EQ(Utf8ToWire(WireToUtf8(all)), all);
}

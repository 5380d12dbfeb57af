// The session protocol's records: exact bytes, round trips, and refusal of
// everything malformed.
#include "platform/dxplay/dxplay_wire.h"

#include <gtest/gtest.h>

using namespace dxplaywire;

namespace {

const Guid kApp = *ParseGuid("{26665D25-B199-41F7-9FBA-4735ED67C1B1}");
const Guid kInst = *ParseGuid("{00112233-4455-6677-8899-AABBCCDDEEFF}");

WelcomeMsg SampleWelcome() {
    WelcomeMsg w;
    w.yourId = 0xFEDCBA98;
    w.yourSeq = 7;
    w.hostId = 0x80000001;
    w.maxPlayers = 10;
    w.instance = kInst;
    w.sessionName = "Wüstenrennen";
    w.players.push_back({0x80000001, 0, 0, 0, "Host"});
    w.players.push_back({42, 3, 0x7F000001, 47625, "Tom"});
    return w;
}

TEST(WireGuid, ParsesAndFormatsTheApplicationGuidInWindowsByteOrder) {
    const Guid expect{0x25, 0x5D, 0x66, 0x26, 0x99, 0xB1, 0xF7, 0x41,
                      0x9F, 0xBA, 0x47, 0x35, 0xED, 0x67, 0xC1, 0xB1};
    EXPECT_EQ(kApp, expect);
    EXPECT_EQ(FormatGuid(kApp), "{26665D25-B199-41F7-9FBA-4735ED67C1B1}");
    EXPECT_EQ(ParseGuid("26665d25-b199-41f7-9fba-4735ed67c1b1"), kApp);
    EXPECT_FALSE(ParseGuid(""));
    EXPECT_FALSE(ParseGuid("{26665D25-B199-41F7-9FBA-4735ED67C1B1"));
    EXPECT_FALSE(ParseGuid("{26665D25-B199-41F7-9FBA-4735ED67C1BG}"));
    EXPECT_FALSE(ParseGuid("{26665D25+B199-41F7-9FBA-4735ED67C1B1}"));
}

TEST(WireRecords, JoinAndSearchQueryHaveTheirDocumentedBytes) {
    const auto join = EncodeJoin({kApp, kInst, "Ab"});
    ASSERT_EQ(join.size(), 1u + 16 + 16 + 2 + 2);
    EXPECT_EQ(join[0], 1);
    EXPECT_EQ(join[1], 0x25);
    EXPECT_EQ(join[17], 0x33);  // instance Data1, low byte first
    EXPECT_EQ(join[33], 2);
    EXPECT_EQ(join[34], 0);
    EXPECT_EQ(join[35], 'A');
    EXPECT_EQ(join[36], 'b');

    const auto q = EncodeSearchQuery({kApp, 0x01020304});
    ASSERT_EQ(q.size(), 24u);
    EXPECT_EQ(std::string(q.begin(), q.begin() + 4), "DBSQ");
    EXPECT_EQ(q[20], 0x04);
    EXPECT_EQ(q[23], 0x01);

    const auto w = EncodeWelcome(SampleWelcome());
    EXPECT_EQ(w[0], 2);
    EXPECT_EQ(w[1], 0x98);
    EXPECT_EQ(w[4], 0xFE);
    EXPECT_EQ(w[13], 10);
}

TEST(WireRecords, EveryKindSurvivesARoundTrip) {
    const WelcomeMsg w = SampleWelcome();
    auto bytes = EncodeWelcome(w);
    auto m = Decode(bytes.data(), bytes.size());
    ASSERT_TRUE(m);
    ASSERT_EQ(m->kind, Kind::Welcome);
    EXPECT_EQ(m->welcome.yourId, w.yourId);
    EXPECT_EQ(m->welcome.hostId, w.hostId);
    EXPECT_EQ(m->welcome.instance, kInst);
    EXPECT_EQ(m->welcome.sessionName, w.sessionName);
    ASSERT_EQ(m->welcome.players.size(), 2u);
    EXPECT_EQ(m->welcome.players[1].ip, 0x7F000001u);
    EXPECT_EQ(m->welcome.players[1].port, 47625);
    EXPECT_EQ(m->welcome.players[1].name, "Tom");

    bytes = EncodeHello({kApp, kInst, 0xFFFFFFFF, "Eva"});
    m = Decode(bytes.data(), bytes.size());
    ASSERT_TRUE(m);
    EXPECT_EQ(m->kind, Kind::Hello);
    EXPECT_EQ(m->hello.id, 0xFFFFFFFFu);
    EXPECT_EQ(m->hello.name, "Eva");

    bytes = EncodeAnnounce({{9, 4, 0x0A000002, 1234, "Max"}});
    m = Decode(bytes.data(), bytes.size());
    ASSERT_TRUE(m);
    EXPECT_EQ(m->announce.player.seq, 4u);
    EXPECT_EQ(m->announce.player.name, "Max");

    bytes = EncodeRefuse({RefuseReason::Full});
    m = Decode(bytes.data(), bytes.size());
    ASSERT_TRUE(m);
    EXPECT_EQ(m->refuse.reason, RefuseReason::Full);

    bytes = EncodeHelloAck();
    m = Decode(bytes.data(), bytes.size());
    ASSERT_TRUE(m);
    EXPECT_EQ(m->kind, Kind::HelloAck);

    const uint8_t game[] = {2, 0, 0, 0, 'g', 'o', '!'};
    bytes = EncodeUser(game, sizeof game);
    m = Decode(bytes.data(), bytes.size());
    ASSERT_TRUE(m);
    ASSERT_EQ(m->userSize, sizeof game);
    EXPECT_EQ(std::vector<uint8_t>(m->user, m->user + m->userSize), std::vector<uint8_t>(game, game + 7));

    bytes = EncodeSearchReply({kApp, 77, kInst, 10, 3, "Spiel"});
    auto r = DecodeSearchReply(bytes.data(), bytes.size());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->nonce, 77u);
    EXPECT_EQ(r->players, 3);
    EXPECT_EQ(r->name, "Spiel");
    EXPECT_FALSE(DecodeSearchQuery(bytes.data(), bytes.size())) << "a reply is no query";
}

TEST(WireRecords, TruncatedOrExtendedRecordsAreRefused) {
    const std::vector<std::vector<uint8_t>> valid = {
        EncodeWelcome(SampleWelcome()), EncodeJoin({kApp, kInst, "x"}), EncodeHello({kApp, kInst, 5, "y"}),
        EncodeAnnounce({{9, 4, 1, 2, "z"}}), EncodeRefuse({RefuseReason::NotHost})};
    for (const auto& v : valid) {
        for (size_t n = 0; n < v.size(); ++n) EXPECT_FALSE(Decode(v.data(), n)) << "kind " << int(v[0]) << " cut to " << n;
        auto longer = v;
        longer.push_back(0);
        EXPECT_FALSE(Decode(longer.data(), longer.size())) << "kind " << int(v[0]) << " with a trailing byte";
    }
    const auto q = EncodeSearchQuery({kApp, 1});
    for (size_t n = 0; n < q.size(); ++n) EXPECT_FALSE(DecodeSearchQuery(q.data(), n));
}

TEST(WireRecords, ZeroIdsUnknownKindsAndOverlongListsAreRefused) {
    auto hello = EncodeHello({kApp, kInst, 0, "y"});
    EXPECT_FALSE(Decode(hello.data(), hello.size()));
    auto announce = EncodeAnnounce({{0, 1, 1, 1, "z"}});
    EXPECT_FALSE(Decode(announce.data(), announce.size()));
    const uint8_t unknown[] = {0, 1, 2, 3};
    EXPECT_FALSE(Decode(unknown, sizeof unknown));
    const uint8_t kind8[] = {8, 1, 2, 3};
    EXPECT_FALSE(Decode(kind8, sizeof kind8));
    const uint8_t badReason[] = {3, 9};
    EXPECT_FALSE(Decode(badReason, sizeof badReason));
    EXPECT_FALSE(Decode(nullptr, 0));

    WelcomeMsg w = SampleWelcome();
    auto bytes = EncodeWelcome(w);
    // The count byte sits after the session name; claim 65 entries.
    const size_t countAt = 1 + 4 + 4 + 4 + 1 + 16 + 2 + w.sessionName.size();
    bytes[countAt] = 65;
    EXPECT_FALSE(Decode(bytes.data(), bytes.size()));
}

TEST(WireRecords, NamesAreCutTo1023BytesAndTheRestSkipped) {
    const std::string longName(3000, 'n');
    EXPECT_EQ(CutName(longName).size(), kMaxNameBytes);
    EXPECT_EQ(CutName("kurz"), "kurz");

    // Our encoder never sends more than the maximum...
    auto bytes = EncodeHello({kApp, kInst, 5, longName});
    EXPECT_EQ(bytes.size(), 1u + 16 + 16 + 4 + 2 + kMaxNameBytes);

    // ...and a peer's longer text is read, cut, and stepped over.
    std::vector<uint8_t> join = {1};
    join.insert(join.end(), kApp.begin(), kApp.end());
    join.insert(join.end(), kInst.begin(), kInst.end());
    join.push_back(static_cast<uint8_t>(3000 & 0xFF));
    join.push_back(static_cast<uint8_t>(3000 >> 8));
    join.insert(join.end(), longName.begin(), longName.end());
    auto m = Decode(join.data(), join.size());
    ASSERT_TRUE(m);
    EXPECT_EQ(m->join.name, std::string(kMaxNameBytes, 'n'));
    join.pop_back();
    EXPECT_FALSE(Decode(join.data(), join.size())) << "a length past the end";
}

}  // namespace

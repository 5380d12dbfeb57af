// The session protocol's records: their documented bytes, the way back, and
// refusal of everything malformed. Every record is decoded where a read past
// its end faults instead of passing unseen.
#include "platform/dxplay/dxplay_wire.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>
#include <cstring>

using namespace dxplaywire;
using Bytes = std::vector<uint8_t>;

namespace {

const Guid kApp = *ParseGuid("{26665D25-B199-41F7-9FBA-4735ED67C1B1}");
const Guid kInst = *ParseGuid("{00112233-4455-6677-8899-AABBCCDDEEFF}");

// Copies bytes to the end of a readable page that an unreadable one follows.
const uint8_t* AtPageEnd(const Bytes& b)
{
    static const size_t page = size_t(sysconf(_SC_PAGESIZE));
    static uint8_t* const base = [] {
        void* p = mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        mprotect(static_cast<uint8_t*>(p) + 2 * page, page, PROT_NONE);
        return static_cast<uint8_t*>(p);
    }();
    EXPECT_LE(b.size(), 2 * page);
    uint8_t* at = base + 2 * page - b.size();
    if (!b.empty()) std::memcpy(at, b.data(), b.size());
    return at;
}

std::optional<Message> Dec(const Bytes& b) { return Decode(AtPageEnd(b), b.size()); }

// Whatever any of the three decoders makes of the bytes, encoded again;
// empty when none accepts them.
Bytes Again(const Bytes& b)
{
    if (auto q = DecodeSearchQuery(AtPageEnd(b), b.size())) return EncodeSearchQuery(*q);
    if (auto r = DecodeSearchReply(AtPageEnd(b), b.size())) return EncodeSearchReply(*r);
    const auto m = Dec(b);
    if (!m) return {};
    // Every encoder's bytes for the record, by kind.
    const Bytes byKind[] = {{},
                            EncodeJoin(m->join),
                            EncodeWelcome(m->welcome),
                            EncodeRefuse(m->refuse),
                            EncodeHello(m->hello),
                            EncodeHelloAck(),
                            EncodeAnnounce(m->announce),
                            EncodeUser(m->user, m->userSize)};
    return byKind[size_t(m->kind)];
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

const Bytes kAppBytes{0x25, 0x5D, 0x66, 0x26, 0x99, 0xB1, 0xF7, 0x41, 0x9F, 0xBA, 0x47, 0x35, 0xED, 0x67, 0xC1, 0xB1};
const Bytes kInstBytes{0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

WelcomeMsg Welcome(size_t players)
{
    WelcomeMsg w{0xFEDCBA98, 7, 0x80000001, 10, kInst, "W\xC3\xBC", {}};
    for (size_t i = 0; i < players; ++i)
        w.players.push_back({uint32_t(i == 0 ? 0x80000001 : 40 + i), uint32_t(i), 0x7F000001, 47625, "Tom"});
    return w;
}

TEST(WireGuid, ReadsTheApplicationGuidInWindowsByteOrderAndNothingElse)
{
    EXPECT_EQ(Bytes(kApp.begin(), kApp.end()), kAppBytes);
    EXPECT_EQ(Bytes(kInst.begin(), kInst.end()), kInstBytes);
    EXPECT_EQ(FormatGuid(kApp), "{26665D25-B199-41F7-9FBA-4735ED67C1B1}");
    EXPECT_EQ(ParseGuid("26665d25-b199-41f7-9fba-4735ed67c1b1"), kApp);
    for (const char* bad : {"", "{26665D25-B199-41F7-9FBA-4735ED67C1B1", "{26665D25-B199-41F7-9FBA-4735ED67C1BG}",
                            "{26665D25+B199-41F7-9FBA-4735ED67C1B1}", "{26665D25-B19941F7--9FBA-4735ED67C1B1}",
                            "(26665D25-B199-41F7-9FBA-4735ED67C1B1)", "26665D25-B199-41F7-9FBA-4735ED67C1B1}"})
        EXPECT_FALSE(ParseGuid(bad)) << bad;
}

// Each record as its encoder writes it and as the layout comment at the
// encoder documents it; read and written again it is the same, and cut
// short, with a byte more or under the wrong tag it is refused.
TEST(WireRecords, HaveTheirDocumentedBytesAndAreRefusedTruncatedExtendedOrMislabelled)
{
    const uint8_t game[] = {1, 0, 0, 0, 'x'};
    const std::vector<std::pair<Bytes, Bytes>> records = {
        {EncodeJoin({kApp, kInst, "Ab"}), Cat({{1}, kAppBytes, kInstBytes, {2, 0, 'A', 'b'}})},
        {EncodeWelcome(Welcome(2)), Cat({{2, 0x98, 0xBA, 0xDC, 0xFE, 7, 0, 0, 0, 1, 0, 0, 0x80, 10},
                                         kInstBytes,
                                         {3, 0, 'W', 0xC3, 0xBC, 2},
                                         {1, 0, 0, 0x80, 0, 0, 0, 0, 1, 0, 0, 0x7F, 0x09, 0xBA, 3, 0, 'T', 'o', 'm'},
                                         {41, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0x7F, 0x09, 0xBA, 3, 0, 'T', 'o', 'm'}})},
        {EncodeRefuse({RefuseReason::Full}), {3, 1}},
        {EncodeRefuse({RefuseReason::NotHost}), {3, 3}},
        {EncodeHello({kApp, kInst, 0x01020304, "E"}), Cat({{4}, kAppBytes, kInstBytes, {4, 3, 2, 1, 1, 0, 'E'}})},
        {EncodeHelloAck(), {5}},
        {EncodeAnnounce({{9, 4, 0x0A000002, 1234, "M"}}),
         {6, 9, 0, 0, 0, 4, 0, 0, 0, 2, 0, 0, 10, 0xD2, 0x04, 1, 0, 'M'}},
        {EncodeUser(game, sizeof game), {7, 1, 0, 0, 0, 'x'}},
        {EncodeSearchQuery({kApp, 0x01020304}), Cat({{'D', 'B', 'S', 'Q'}, kAppBytes, {4, 3, 2, 1}})},
        {EncodeSearchReply({kApp, 77, kInst, 10, 3, "S"}),
         Cat({{'D', 'B', 'S', 'R'}, kAppBytes, {77, 0, 0, 0}, kInstBytes, {10, 3, 1, 0, 'S'}})},
    };
    for (const auto& [encoded, r] : records) {
        EXPECT_EQ(encoded, r);
        EXPECT_EQ(Again(r), r) << "kind " << int(r[0]);
        if (r[0] == uint8_t(Kind::User)) continue;  // any number of game bytes is a message
        for (size_t n = 0; n < r.size(); ++n)
            EXPECT_EQ(Again(Bytes(r.begin(), r.begin() + n)), Bytes()) << "kind " << int(r[0]) << " cut to " << n;
        EXPECT_EQ(Again(Cat({r, {0}})), Bytes()) << "kind " << int(r[0]) << " with a trailing byte";
    }
    // A search record under the other's tag is neither.
    Bytes query = EncodeSearchQuery({kApp, 1}), reply = EncodeSearchReply({kApp, 2, kInst, 10, 3, "S"});
    std::swap_ranges(query.begin(), query.begin() + 4, reply.begin());
    EXPECT_EQ(Again(query), Bytes());
    EXPECT_EQ(Again(reply), Bytes());
}

TEST(WireRecords, ZeroIdsUnknownKindsAndOverlongListsAreRefused)
{
    WelcomeMsg noId = Welcome(1), noHost = Welcome(1), zeroPlayer = Welcome(2);
    noId.yourId = 0;
    noHost.hostId = 0;
    zeroPlayer.players[1].id = 0;
    // 64 listed players are the most; a 65th is added by hand, as the
    // encoder refuses to write it.
    const Bytes most = EncodeWelcome(Welcome(kMaxListedPlayers));
    const Bytes extra = EncodeAnnounce({{99, 99, 1, 1, "z"}});
    Bytes tooMany = Cat({most, Bytes(extra.begin() + 1, extra.end())});
    tooMany[1 + 4 + 4 + 4 + 1 + 16 + 2 + 3] = uint8_t(kMaxListedPlayers + 1);
    for (const Bytes& bad : {EncodeWelcome(noId), EncodeWelcome(noHost), EncodeWelcome(zeroPlayer), tooMany,
                             EncodeHello({kApp, kInst, 0, "y"}), EncodeAnnounce({{0, 1, 1, 1, "z"}}), Bytes{3, 0},
                             Bytes{3, 4}, Bytes{0, 1, 2, 3}, Bytes{8, 1, 2, 3}, Bytes{0xFF}})
        EXPECT_FALSE(Dec(bad)) << "kind " << int(bad[0]) << ", " << bad.size() << " bytes";
    EXPECT_FALSE(Decode(nullptr, 0));
    ASSERT_TRUE(Dec(most));
    EXPECT_EQ(Dec(most)->welcome.players.size(), kMaxListedPlayers);
}

TEST(WireRecords, NamesAreCutTo1023BytesAndTheRestSkipped)
{
    const std::string longName(3000, 'n');
    EXPECT_EQ(CutName(longName), longName.substr(0, kMaxNameBytes));
    EXPECT_EQ(CutName("kurz"), "kurz");
    // Our encoder never sends more than the most...
    EXPECT_EQ(EncodeHello({kApp, kInst, 5, longName}).size(), 1u + 16 + 16 + 4 + 2 + kMaxNameBytes);
    // ...and a peer's longer text is read, cut, and stepped over.
    Bytes join = Cat({{1}, kAppBytes, kInstBytes, {3000 & 0xFF, 3000 >> 8}, Bytes(longName.begin(), longName.end())});
    auto m = Dec(join);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->join.name, std::string(kMaxNameBytes, 'n'));
    join.pop_back();
    EXPECT_FALSE(Dec(join)) << "a length past the end";
}

}  // namespace

#include "platform/dxplay/dxplay_wire.h"

#include <cassert>
#include <cctype>
#include <cstring>

namespace dxplaywire {
namespace {

// Writing is ours and cannot run out of room; reading is the peer's and
// stops at the first byte that is not there.
class Writer {
public:
    explicit Writer(Kind k) { out_.push_back(static_cast<uint8_t>(k)); }
    Writer() = default;
    void PutU8(uint8_t v) { out_.push_back(v); }
    void PutU16(uint16_t v)
    {
        out_.push_back(static_cast<uint8_t>(v));
        out_.push_back(static_cast<uint8_t>(v >> 8));
    }
    void PutU32(uint32_t v)
    {
        for (int i = 0; i < 4; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void PutBytes(const void* p, size_t n)
    {
        const auto* b = static_cast<const uint8_t*>(p);
        out_.insert(out_.end(), b, b + n);
    }
    void PutGuid(const Guid& g) { PutBytes(g.data(), g.size()); }
    // Text: u16 length, the bytes; cut to kMaxNameBytes so it always fits.
    void PutText(std::string_view s)
    {
        if (s.size() > kMaxNameBytes) s = s.substr(0, kMaxNameBytes);
        PutU16(static_cast<uint16_t>(s.size()));
        PutBytes(s.data(), s.size());
    }
    std::vector<uint8_t> Take() { return std::move(out_); }

private:
    std::vector<uint8_t> out_;
};

class Reader {
public:
    Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    bool ok() const { return ok_; }
    bool AtEnd() const { return ok_ && pos_ == n_; }
    bool Need(size_t k)
    {
        if (!ok_ || n_ - pos_ < k) ok_ = false;
        return ok_;
    }
    uint8_t GetU8()
    {
        if (!Need(1)) return 0;
        return p_[pos_++];
    }
    uint16_t GetU16()
    {
        if (!Need(2)) return 0;
        uint16_t v = static_cast<uint16_t>(p_[pos_] | (p_[pos_ + 1] << 8));
        pos_ += 2;
        return v;
    }
    uint32_t GetU32()
    {
        if (!Need(4)) return 0;
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(p_[pos_ + i]) << (8 * i);
        pos_ += 4;
        return v;
    }
    Guid GetGuid()
    {
        Guid g{};
        if (!Need(g.size())) return g;
        std::memcpy(g.data(), p_ + pos_, g.size());
        pos_ += g.size();
        return g;
    }
    // Text longer than kMaxNameBytes is cut; the rest of it is skipped.
    std::string GetText()
    {
        size_t len = GetU16();
        if (!Need(len)) return {};
        std::string s(reinterpret_cast<const char*>(p_ + pos_), len < kMaxNameBytes ? len : kMaxNameBytes);
        pos_ += len;
        return s;
    }

private:
    const uint8_t* p_;
    size_t n_;
    size_t pos_ = 0;
    bool ok_ = true;
};

// A listed player: id u32, seq u32, ip u32, port u16, name text.
void PutPlayer(Writer& w, const ListedPlayer& p)
{
    w.PutU32(p.id);
    w.PutU32(p.seq);
    w.PutU32(p.ip);
    w.PutU16(p.port);
    w.PutText(p.name);
}

bool GetPlayer(Reader& r, ListedPlayer& p)
{
    p.id = r.GetU32();
    p.seq = r.GetU32();
    p.ip = r.GetU32();
    p.port = r.GetU16();
    p.name = r.GetText();
    return r.ok() && p.id != 0;
}

bool HasTag(const uint8_t* data, size_t size, const std::array<uint8_t, 4>& tag)
{
    return size >= tag.size() && std::memcmp(data, tag.data(), tag.size()) == 0;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

std::optional<Message> Decode(const uint8_t* data, size_t size)
{
    if (data == nullptr || size < 1) return std::nullopt;
    Reader r(data + 1, size - 1);
    Message m;
    switch (data[0]) {
        case static_cast<uint8_t>(Kind::Join):
            m.kind = Kind::Join;
            m.join.app = r.GetGuid();
            m.join.instance = r.GetGuid();
            m.join.name = r.GetText();
            break;
        case static_cast<uint8_t>(Kind::Welcome): {
            m.kind = Kind::Welcome;
            WelcomeMsg& w = m.welcome;
            w.yourId = r.GetU32();
            w.yourSeq = r.GetU32();
            w.hostId = r.GetU32();
            w.maxPlayers = r.GetU8();
            w.instance = r.GetGuid();
            w.sessionName = r.GetText();
            size_t count = r.GetU8();
            if (!r.ok() || w.yourId == 0 || w.hostId == 0 || count > kMaxListedPlayers) return std::nullopt;
            for (size_t i = 0; i < count; ++i) {
                ListedPlayer p;
                if (!GetPlayer(r, p)) return std::nullopt;
                w.players.push_back(std::move(p));
            }
            break;
        }
        case static_cast<uint8_t>(Kind::Refuse): {
            m.kind = Kind::Refuse;
            uint8_t reason = r.GetU8();
            if (reason < 1 || reason > 3) return std::nullopt;
            m.refuse.reason = static_cast<RefuseReason>(reason);
            break;
        }
        case static_cast<uint8_t>(Kind::Hello):
            m.kind = Kind::Hello;
            m.hello.app = r.GetGuid();
            m.hello.instance = r.GetGuid();
            m.hello.id = r.GetU32();
            m.hello.name = r.GetText();
            if (r.ok() && m.hello.id == 0) return std::nullopt;
            break;
        case static_cast<uint8_t>(Kind::HelloAck):
            m.kind = Kind::HelloAck;
            break;
        case static_cast<uint8_t>(Kind::Announce):
            m.kind = Kind::Announce;
            if (!GetPlayer(r, m.announce.player)) return std::nullopt;
            break;
        case static_cast<uint8_t>(Kind::User):
            m.kind = Kind::User;
            m.user = data + 1;
            m.userSize = size - 1;
            return m;
        default:
            return std::nullopt;
    }
    if (!r.AtEnd()) return std::nullopt;
    return m;
}

std::optional<SearchQuery> DecodeSearchQuery(const uint8_t* data, size_t size)
{
    if (data == nullptr || !HasTag(data, size, kSearchQueryTag)) return std::nullopt;
    Reader r(data + 4, size - 4);
    SearchQuery q;
    q.app = r.GetGuid();
    q.nonce = r.GetU32();
    if (!r.AtEnd()) return std::nullopt;
    return q;
}

std::optional<SearchReply> DecodeSearchReply(const uint8_t* data, size_t size)
{
    if (data == nullptr || !HasTag(data, size, kSearchReplyTag)) return std::nullopt;
    Reader r(data + 4, size - 4);
    SearchReply q;
    q.app = r.GetGuid();
    q.nonce = r.GetU32();
    q.instance = r.GetGuid();
    q.maxPlayers = r.GetU8();
    q.players = r.GetU8();
    q.name = r.GetText();
    if (!r.AtEnd()) return std::nullopt;
    return q;
}

// 0: kind 1 | 1: app guid (16) | 17: instance guid (16) | 33: name text
std::vector<uint8_t> EncodeJoin(const JoinMsg& m)
{
    Writer w(Kind::Join);
    w.PutGuid(m.app);
    w.PutGuid(m.instance);
    w.PutText(m.name);
    return w.Take();
}

// 0: kind 2 | 1: your id u32 | 5: your seq u32 | 9: host id u32 |
// 13: max players u8 | 14: instance guid (16) | 30: session name text |
// then: count u8, count × (id u32, seq u32, ip u32, port u16, name text)
std::vector<uint8_t> EncodeWelcome(const WelcomeMsg& m)
{
    assert(m.players.size() <= kMaxListedPlayers);
    Writer w(Kind::Welcome);
    w.PutU32(m.yourId);
    w.PutU32(m.yourSeq);
    w.PutU32(m.hostId);
    w.PutU8(m.maxPlayers);
    w.PutGuid(m.instance);
    w.PutText(m.sessionName);
    w.PutU8(static_cast<uint8_t>(m.players.size()));
    for (const ListedPlayer& p : m.players) PutPlayer(w, p);
    return w.Take();
}

// 0: kind 3 | 1: reason u8
std::vector<uint8_t> EncodeRefuse(const RefuseMsg& m)
{
    Writer w(Kind::Refuse);
    w.PutU8(static_cast<uint8_t>(m.reason));
    return w.Take();
}

// 0: kind 4 | 1: app guid | 17: instance guid | 33: id u32 | 37: name text
std::vector<uint8_t> EncodeHello(const HelloMsg& m)
{
    Writer w(Kind::Hello);
    w.PutGuid(m.app);
    w.PutGuid(m.instance);
    w.PutU32(m.id);
    w.PutText(m.name);
    return w.Take();
}

// 0: kind 5
std::vector<uint8_t> EncodeHelloAck() { return Writer(Kind::HelloAck).Take(); }

// 0: kind 6 | 1: id u32 | 5: seq u32 | 9: ip u32 | 13: port u16 | 15: name text
std::vector<uint8_t> EncodeAnnounce(const AnnounceMsg& m)
{
    Writer w(Kind::Announce);
    PutPlayer(w, m.player);
    return w.Take();
}

// 0: kind 7 | 1: the game's bytes
std::vector<uint8_t> EncodeUser(const void* data, size_t size)
{
    Writer w(Kind::User);
    w.PutBytes(data, size);
    return w.Take();
}

// 0: "DBSQ" | 4: app guid | 20: nonce u32
std::vector<uint8_t> EncodeSearchQuery(const SearchQuery& m)
{
    Writer w;
    w.PutBytes(kSearchQueryTag.data(), kSearchQueryTag.size());
    w.PutGuid(m.app);
    w.PutU32(m.nonce);
    return w.Take();
}

// 0: "DBSR" | 4: app guid | 20: nonce u32 | 24: instance guid |
// 40: max players u8 | 41: players u8 | 42: session name text
std::vector<uint8_t> EncodeSearchReply(const SearchReply& m)
{
    Writer w;
    w.PutBytes(kSearchReplyTag.data(), kSearchReplyTag.size());
    w.PutGuid(m.app);
    w.PutU32(m.nonce);
    w.PutGuid(m.instance);
    w.PutU8(m.maxPlayers);
    w.PutU8(m.players);
    w.PutText(m.name);
    return w.Take();
}

std::optional<Guid> ParseGuid(std::string_view text)
{
    if (text.size() == 38) {
        if (text.front() != '{' || text.back() != '}') return std::nullopt;
        text = text.substr(1, 36);
    }
    if (text.size() != 36) return std::nullopt;
    // Group lengths 8-4-4-4-12; the first three groups are stored reversed.
    uint8_t bytes[16];
    int n = 0;
    for (size_t i = 0; i < text.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        int hi = HexDigit(text[i]);
        int lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        bytes[n++] = static_cast<uint8_t>(hi * 16 + lo);
        i += 2;
    }
    if (n != 16) return std::nullopt;
    Guid g{};
    const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < 16; ++i) g[order[i]] = bytes[i];
    return g;
}

std::string FormatGuid(const Guid& g)
{
    static const char kHex[] = "0123456789ABCDEF";
    const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    std::string s = "{";
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
        uint8_t b = g[order[i]];
        s += kHex[b >> 4];
        s += kHex[b & 15];
    }
    s += '}';
    return s;
}

std::string CutName(std::string_view name)
{
    return std::string(name.substr(0, name.size() < kMaxNameBytes ? name.size() : kMaxNameBytes));
}

}  // namespace dxplaywire

// The session protocol between the players' programs, below the game's own
// messages. Encoders and a pure decoder: nothing here touches a socket, so
// the decoder can be fed arbitrary bytes (the fuzz target does exactly that).
//
// Every session message travels as one ENet packet (or, for the search, one
// raw UDP datagram) and starts with a one-byte kind. Numbers are
// little-endian; text is a u16 length followed by that many bytes, no
// terminator, at most kMaxNameBytes kept on read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dxplaywire {

using Guid = std::array<uint8_t, 16>;

// Player and session names are cut to this many bytes wherever they enter.
constexpr size_t kMaxNameBytes = 1023;
// More entries than this in a player list is a malformed welcome.
constexpr size_t kMaxListedPlayers = 64;

enum class Kind : uint8_t {
    Join = 1,      // joiner -> host: let me in
    Welcome = 2,   // host -> joiner: your id and everyone already present
    Refuse = 3,    // host -> joiner: no (full, wrong game, not the host)
    Hello = 4,     // joiner -> every other player: I am the player the host announced
    HelloAck = 5,  // player -> joiner: you are in my player list now
    Announce = 6,  // host -> every player: a joiner was admitted
    User = 7,      // the game's own message bytes follow
};

// The search travels as raw datagrams to the game port, told apart from
// ENet's traffic by these four-byte tags.
constexpr std::array<uint8_t, 4> kSearchQueryTag{'D', 'B', 'S', 'Q'};
constexpr std::array<uint8_t, 4> kSearchReplyTag{'D', 'B', 'S', 'R'};

enum class RefuseReason : uint8_t { Full = 1, WrongGame = 2, NotHost = 3 };

struct ListedPlayer {
    uint32_t id = 0;
    uint32_t seq = 0;  // admission order; the lowest present takes over as host
    uint32_t ip = 0;   // IPv4 in host byte order; never 0 (refused on receipt)
    uint16_t port = 0;
    std::string name;
};

struct JoinMsg {
    Guid app{};
    Guid instance{};
    std::string name;
};
struct WelcomeMsg {
    uint32_t yourId = 0;
    uint32_t yourSeq = 0;
    uint32_t hostId = 0;
    uint8_t maxPlayers = 0;
    Guid instance{};  // the session, so any player can host it later
    std::string sessionName;
    std::vector<ListedPlayer> players;  // everyone present but the joiner, by seq
};
struct RefuseMsg {
    RefuseReason reason = RefuseReason::Full;
};
struct HelloMsg {
    Guid app{};
    Guid instance{};
    uint32_t id = 0;
    std::string name;
};
struct AnnounceMsg {
    ListedPlayer player;
};

struct SearchQuery {
    Guid app{};
    uint32_t nonce = 0;
};
struct SearchReply {
    Guid app{};
    uint32_t nonce = 0;
    Guid instance{};
    uint8_t maxPlayers = 0;
    uint8_t players = 0;
    std::string name;
};

// One decoded session message. `kind` says which member is filled; `user`
// points into the decoded buffer (the game's bytes after the kind byte).
struct Message {
    Kind kind = Kind::User;
    JoinMsg join;
    WelcomeMsg welcome;
    RefuseMsg refuse;
    HelloMsg hello;
    AnnounceMsg announce;
    const uint8_t* user = nullptr;
    size_t userSize = 0;
};

// Decodes one session message; nullopt for anything malformed (unknown
// kind, truncated, trailing bytes, a zero id, an over-long player list).
std::optional<Message> Decode(const uint8_t* data, size_t size);
std::optional<SearchQuery> DecodeSearchQuery(const uint8_t* data, size_t size);
std::optional<SearchReply> DecodeSearchReply(const uint8_t* data, size_t size);

std::vector<uint8_t> EncodeJoin(const JoinMsg& m);
std::vector<uint8_t> EncodeWelcome(const WelcomeMsg& m);
std::vector<uint8_t> EncodeRefuse(const RefuseMsg& m);
std::vector<uint8_t> EncodeHello(const HelloMsg& m);
std::vector<uint8_t> EncodeHelloAck();
std::vector<uint8_t> EncodeAnnounce(const AnnounceMsg& m);
std::vector<uint8_t> EncodeUser(const void* data, size_t size);
std::vector<uint8_t> EncodeSearchQuery(const SearchQuery& m);
std::vector<uint8_t> EncodeSearchReply(const SearchReply& m);

// "{26665D25-B199-41F7-9FBA-4735ED67C1B1}" <-> 16 bytes (Data1..3 little-
// endian as Windows stores them, then Data4 in order). Parse gives nullopt
// for anything but that exact form (braces optional, hex case-insensitive).
std::optional<Guid> ParseGuid(std::string_view text);
std::string FormatGuid(const Guid& g);

// Cuts a name to kMaxNameBytes.
std::string CutName(std::string_view name);

}  // namespace dxplaywire

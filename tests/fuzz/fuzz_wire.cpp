// libFuzzer target: the session protocol's decoders take any bytes; what
// they accept must encode back to the same bytes.
#include "platform/dxplay/dxplay_wire.h"

#include <cstdlib>
#include <cstring>

using namespace dxplaywire;

namespace {

bool NamesFit(const std::string& s) { return s.size() <= kMaxNameBytes; }

std::vector<uint8_t> Reencode(const Message& m)
{
    switch (m.kind) {
        case Kind::Join:
            return EncodeJoin(m.join);
        case Kind::Welcome:
            return EncodeWelcome(m.welcome);
        case Kind::Refuse:
            return EncodeRefuse(m.refuse);
        case Kind::Hello:
            return EncodeHello(m.hello);
        case Kind::HelloAck:
            return EncodeHelloAck();
        case Kind::Announce:
            return EncodeAnnounce(m.announce);
        case Kind::User:
            return EncodeUser(m.user, m.userSize);
    }
    return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (auto m = Decode(data, size)) {
        if (!NamesFit(m->join.name) || !NamesFit(m->hello.name) || !NamesFit(m->welcome.sessionName) ||
            !NamesFit(m->announce.player.name) || m->welcome.players.size() > kMaxListedPlayers)
            std::abort();
        for (const auto& p : m->welcome.players)
            if (!NamesFit(p.name) || p.id == 0) std::abort();
        if (m->kind == Kind::User && (m->user != data + 1 || m->userSize != size - 1)) std::abort();
        // A text cut on reading does not come back the same; anything else must.
        const std::vector<uint8_t> again = Reencode(*m);
        if (again.size() == size && std::memcmp(again.data(), data, size) != 0) std::abort();
        if (again.size() > size) std::abort();
    }
    if (auto q = DecodeSearchQuery(data, size)) {
        const auto again = EncodeSearchQuery(*q);
        if (again.size() != size || std::memcmp(again.data(), data, size) != 0) std::abort();
    }
    if (auto r = DecodeSearchReply(data, size)) {
        if (!NamesFit(r->name)) std::abort();
        const auto again = EncodeSearchReply(*r);
        if (again.size() > size) std::abort();
    }
    return 0;
}

// libFuzzer target: the game's messages as other programs send them. Each
// input is a run of messages, each behind two bytes: the sender (bits 0-2,
// 0 = no id), whether this program hosts (bit 3) and the session's player
// count (bits 4-7); then the message's length (255: the rest). They go
// through the dispatcher of an open session, the decoders and the filters.
#include "net/u_multiplayer.h"
#include "race/racestate.h"
#include "race/spiel.h"
#include "world/track.h"

using namespace u_multiplayer;

namespace {

struct TQuietWindow final : IMessageWindow {
    void ChatLine(const std::string&) override {}
    void HostAnnounced(uint32_t) override {}
    void LobbyStatus(const std::string&) override {}
    void RaceAnnounced() override {}
    void LockedOut() override {}
    void PlayerReady(const TDXPlayPlayer&) override {}
    void RaceBegins() override {}
    void RaceAborted() override {}
    void StartMusic() override {}
};

uint8_t Flags = 0;  // the current message's header byte

void OpenFakeSession()
{
    static TDXPlay play;  // never opened: the port below answers for it
    static TQuietWindow window;
    DXPlay = &play;
    SessionPort.Opened = [](TDXPlay&) { return true; };
    SessionPort.LocalId = [](TDXPlay&) -> uint32_t { return 1; };
    SessionPort.Send = [](TDXPlay&, uint32_t, const void*, int, bool) {};
    SessionPort.IsHost = [](TDXPlay&) { return (Flags & 8) != 0; };
    SessionPort.PlayerCount = [](TDXPlay&) { return Flags >> 4; };
    SessionPort.HostId = [](TDXPlay&) -> uint32_t { return (Flags & 8) ? 1 : 2; };
    SessionPort.NextHostId = [](TDXPlay&) -> uint32_t { return 3; };
    SessionPort.PlayerName = [](TDXPlay&, uint32_t id) { return "P" + std::to_string(id); };
    MessageWindow = &window;
    track::PlaceGates([](float, float) { return 0.0f; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool opened = (OpenFakeSession(), true);
    (void)opened;
    spiel::PlayerTable = {};
    spiel::GateOrder = {0, 1, 2, 3, 4};
    spiel::ResetRaceGlobals();
    spiel::GamePhase = spiel::PhaseMenu;
    spiel::PlayerTable[0].Id = 1;
    while (size >= 2) {
        Flags = data[0];
        const size_t n = data[1] == 255 ? size - 2 : std::min<size_t>(data[1], size - 2);
        const uint8_t* msg = data + 2;
        const TDXPlayPlayer sender{Flags & 7u, "P" + std::to_string(Flags & 7), true};
        LetsBackIn(msg, static_cast<int>(n));
        TTextMsg text;
        if (DecodeText({msg, n}, text)) {
            uint32_t id;
            std::array<uint32_t, 5> order;
            ParseHostId(text.Text, id);
            ParseTorliste(text.Text, order);
            Utf8ToWire(WireToUtf8(text.Text));
        }
        HandleMessage(sender, msg, static_cast<int>(n));
        data += 2 + n;
        size -= 2 + n;
    }
    return 0;
}

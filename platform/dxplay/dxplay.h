// The session layer: finds, creates, joins and leaves network games and
// exchanges messages between the players' programs. Peer-to-peer over ENet;
// every event reaches the game on the main thread, one at a time.
//
// (Interface agreed between the game and the layer; the implementation is
// the layer's own. Callers rely on the members below.)
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

class EDXPlayError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TDXPlayPlayer {
    uint32_t ID = 0;      // session player id, never 0
    std::string Name;     // at most 1023 bytes
    bool Remote = false;  // a player of another program
};

class TDXPlay {
public:
    TDXPlay();
    ~TDXPlay();
    TDXPlay(const TDXPlay&) = delete;
    TDXPlay& operator=(const TDXPlay&) = delete;

    // True while a session is open (after a successful create or join).
    bool Opened() const;
    // True when this program is the session's host.
    bool IsHost() const;
    // The local player; nullptr while closed.
    TDXPlayPlayer* LocalPlayer() const;
    // The player collection: the local player first, then the remote players.
    const std::vector<TDXPlayPlayer*>& Players() const;

    // Sends size bytes to toId (0 = every other player). To the local
    // player's own id the message event runs at once, inside this call.
    // Does nothing while closed; size < 4 raises "Illegal message form".
    void SendMessage(uint32_t toId, const void* data, int size, bool guaranteed);

    void Close();

    std::function<void(TDXPlayPlayer& player)> OnAddPlayer;
    std::function<void(TDXPlayPlayer& player)> OnDeletePlayer;
    std::function<void(TDXPlayPlayer& from, const uint8_t* data, int size)> OnMessage;
    std::function<void()> OnClose;

    // (Settings, providers, sessions, Open … follow in the layer's own part.)
};

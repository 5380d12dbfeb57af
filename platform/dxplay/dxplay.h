// The session layer: finds, creates, joins and leaves network games and
// exchanges messages between the players' programs. Peer-to-peer over ENet;
// every event reaches the game on the main thread, one at a time.
//
// (Interface agreed between the game and the layer; the implementation is
// the layer's own. Callers rely on the members below.)
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class EDXPlayError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Address parts for the modem provider; kept for the settings' sake, the
// layer offers no modem provider.
struct TDXPlayModemSetting {
    bool Enabled = false;
    std::string PhoneNumber;
    std::string ModemName;
};

// Address parts for the TCP/IP provider. Enabled with a HostName: searches
// ask that machine (no address question). Enabled with a Port: a created
// game takes exactly that port and searches ask only it.
struct TDXPlayTCPIPSetting {
    bool Enabled = false;
    std::string HostName;
    uint16_t Port = 0;
};

// One entry of the provider list.
struct TDXPlayProvider {
    std::string Name;
    std::string GUID;  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
};

// The TCP/IP provider, the only one the layer offers.
inline constexpr const char* DPSPGUID_TCPIP = "{36E95EE0-8577-11CF-960C-0080C7534E82}";
inline constexpr const char* DPSPNAME_TCPIP = "Internet TCP/IP Connection For DirectPlay";

struct TDXPlayPlayer {
    uint32_t ID = 0;      // session player id, never 0
    std::string Name;     // at most 1023 bytes
    bool Remote = false;  // a player of another program
};

// Events need the Qt event loop of the main thread (a QCoreApplication);
// the layer pumps the network from it. Each program listens on the first
// free UDP port of 32 from 47624 (DUNEBOLT_PORT_BASE moves the range, for
// tests), and a search asks every port of the range.
class TDXPlay {
public:
    TDXPlay();
    // Closes without firing OnClose: the owner's handlers may be gone.
    ~TDXPlay();
    TDXPlay(const TDXPlay&) = delete;
    TDXPlay& operator=(const TDXPlay&) = delete;

    // True while a session is open (after a successful create or join).
    bool Opened() const;
    // True when this program is the session's host.
    bool IsHost() const;
    // The session host's player id; 0 while closed.
    uint32_t HostID() const;
    // The player the host role passes to when the host leaves: the earliest
    // admitted player besides the host (possibly the local one); 0 if none.
    uint32_t NextHostID() const;
    // The local player; nullptr while closed.
    TDXPlayPlayer* LocalPlayer() const;
    // The player collection: the local player first, then the remote players.
    const std::vector<TDXPlayPlayer*>& Players() const;

    // Sends size bytes to toId (0 = every other player). To the local
    // player's own id the message event runs at once, inside this call.
    // Does nothing while closed; size < 4 raises "Illegal message form",
    // and so does a message over 1 MiB, which no peer would accept.
    void SendMessage(uint32_t toId, const void* data, int size, bool guaranteed);

    void Close();

    // For long work on the caller's thread, such as a race's world setup:
    // answers the network now, so that no peer times this player out (nor
    // this player them, on acknowledgements left unread), and keeps what
    // arrived for the event loop. No event fires inside.
    void KeepAlive();

    std::function<void(TDXPlayPlayer& player)> OnAddPlayer;
    std::function<void(TDXPlayPlayer& player)> OnDeletePlayer;
    std::function<void(TDXPlayPlayer& from, const uint8_t* data, int size)> OnMessage;
    std::function<void()> OnClose;

    // Settings.
    std::string GUID = "{26665D25-B199-41F7-9FBA-4735ED67C1B1}";  // application GUID
    int MaxPlayers = 10;
    bool Async = true;
    TDXPlayModemSetting ModemSetting;
    TDXPlayTCPIPSetting TCPIPSetting;

    // Providers, in order; built at first use.
    const std::vector<TDXPlayProvider>& Providers();
    // Closes any open session, then connects to the named provider; an
    // empty name only disconnects. Raises "Provider '%s' not found".
    void SetProviderName(const std::string& name);
    const std::string& ProviderName() const { return providerName_; }

    // The names of the running games found by the last search; searches
    // first if none has run since the last search or close.
    const std::vector<std::string>& Sessions();
    // Searches for running games of this GUID; blocks until the search is
    // over. Raises "TDXPlay component is disconnected." without a provider.
    void GetSessions();
    const std::string& SessionName() const { return sessionName_; }

    // Creates (newSession) or joins (by name, from the last search) a game
    // with a local player of that name. Raises EDXPlayError on failure.
    void Open2(bool newSession, const std::string& sessionName, const std::string& playerName);
    void CreateSession(const std::string& sessionName, const std::string& playerName)
    {
        Open2(true, sessionName, playerName);
    }
    void JoinSession(const std::string& sessionName, const std::string& playerName)
    {
        Open2(false, sessionName, playerName);
    }

    // The player with that id; raises "Player's specified ID is not found".
    TDXPlayPlayer& PlayerByID(uint32_t id) const;

    // Asked for the host machine's address when a search starts and neither
    // DUNEBOLT_SEARCH_ADDRESS nor an enabled TCPIPSetting.HostName gives it.
    // Return false to cancel the search; an empty address searches the
    // local network by broadcast, or, while the variable CI is set, only
    // this machine: CI machines never broadcast.
    std::function<bool(std::string& address)> OnAskAddress;
    std::function<void()> OnOpen;
    // This program became the session's host (the host role passed to it).
    std::function<void()> OnHost;
    std::function<void()> OnSessionLost;
    // A handler failed while the layer delivered network events: the batch
    // ended there, what was queued stays for the next round, and the error
    // comes here once the layer is back in order (unset: printed on stderr).
    std::function<void(const std::exception& error)> OnHandlerError;

    // Wire counters for benchmarks and diagnostics.
    uint64_t BytesSent() const;
    uint64_t BytesReceived() const;
    // Session messages dropped as malformed or from a peer not in the game.
    uint64_t DroppedMessages() const;
    // The UDP port this program's game endpoint listens on; 0 while closed.
    uint16_t Port() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
    std::string providerName_;
    std::string sessionName_;
};

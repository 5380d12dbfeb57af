// A scripted player program for the session tests: one real TDXPlay, no
// window. Commands come on stdin, one a line; every session event and every
// answer goes to stdout as one line.
//
//   host SESSION PLAYER      create a game        -> "opened ID HOST" | "error TEXT"
//   search                   list games           -> "sessions N" then "session NAME" × N
//   join SESSION PLAYER      join by name         -> "opened ID HOST" | "error TEXT"
//   players                  the collection       -> "players N ID:NAME ..."
//   ishost                                        -> "ishost 0|1"
//   send TO COUNT [SIZE] [u] messages 0..COUNT-1 to TO (0 = all), guaranteed
//                            unless "u"; SIZE bytes each (at least 12)
//   stats                    per sender counts    -> "stats ID:COUNT ..." "disorder N"
//                            "early N" (messages from a player before its add)
//   echo                     answer every message with the same bytes
//   leave                    close the session    -> "closed"
//   quit                     end the program
//
// DXPLAY_DRIVER_GUID and DXPLAY_DRIVER_MAXPLAYERS change the settings (a
// game of another application, a small game).
//
// Events: "add ID NAME", "delete ID NAME", "host ID", "close", "msg ID SEQ"
// (only with "verbose"). Message bytes: u32 kind 1, u32 sequence, u32 tag,
// then filler; the receiver checks each sender's sequence is 0, 1, 2, ...
#include "platform/dxplay/dxplay.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

void Line(const std::string& s) {
    std::fputs(s.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void PutU32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

class Driver {
public:
    Driver() {
        if (const char* g = std::getenv("DXPLAY_DRIVER_GUID")) play_.GUID = g;
        if (const char* m = std::getenv("DXPLAY_DRIVER_MAXPLAYERS")) play_.MaxPlayers = std::atoi(m);
        play_.OnAddPlayer = [this](TDXPlayPlayer& p) {
            known_.insert(p.ID);
            Line("add " + std::to_string(p.ID) + " " + p.Name);
        };
        play_.OnDeletePlayer = [](TDXPlayPlayer& p) {
            Line("delete " + std::to_string(p.ID) + " " + p.Name);
        };
        play_.OnHost = [this] { Line("host " + std::to_string(play_.LocalPlayer()->ID)); };
        play_.OnClose = [] { Line("close"); };
        play_.OnMessage = [this](TDXPlayPlayer& from, const uint8_t* data, int size) { Message(from, data, size); };
    }

    void Command(const std::string& text) {
        std::istringstream in(text);
        std::string cmd;
        in >> cmd;
        try {
            if (cmd == "host" || cmd == "join") {
                std::string session, player;
                in >> session >> player;
                // A join keeps the provider, and with it the list, of the last search.
                if (cmd == "host" || play_.ProviderName().empty()) play_.SetProviderName(DPSPNAME_TCPIP);
                if (cmd == "host") {
                    play_.CreateSession(session, player);
                } else {
                    play_.JoinSession(session, player);
                }
                for (TDXPlayPlayer* p : play_.Players()) known_.insert(p->ID);
                Line("opened " + std::to_string(play_.LocalPlayer()->ID) + " " + (play_.IsHost() ? "1" : "0"));
            } else if (cmd == "search") {
                play_.SetProviderName(DPSPNAME_TCPIP);
                const auto& list = play_.Sessions();
                Line("sessions " + std::to_string(list.size()));
                for (const auto& s : list) Line("session " + s);
            } else if (cmd == "players") {
                std::string s = "players " + std::to_string(play_.Players().size());
                for (TDXPlayPlayer* p : play_.Players()) s += " " + std::to_string(p->ID) + ":" + p->Name;
                Line(s);
            } else if (cmd == "ishost") {
                Line(std::string("ishost ") + (play_.IsHost() ? "1" : "0"));
            } else if (cmd == "send") {
                uint32_t to = 0;
                int count = 0, size = 12;
                std::string mode;
                in >> to >> count;
                if (!(in >> size)) size = 12;
                in >> mode;
                if (size < 12) size = 12;
                std::vector<uint8_t> msg(static_cast<size_t>(size), 0x5A);
                PutU32(msg, 0, 1);
                for (int i = 0; i < count; ++i) {
                    PutU32(msg, 4, sent_[to]++);
                    PutU32(msg, 8, 0xC0FFEE);
                    play_.SendMessage(to, msg.data(), size, mode != "u");
                }
                Line("sent " + std::to_string(count));
            } else if (cmd == "stats") {
                std::string s = "stats";
                for (const auto& [id, n] : received_) s += " " + std::to_string(id) + ":" + std::to_string(n);
                Line(s);
                Line("disorder " + std::to_string(disorder_));
                Line("early " + std::to_string(early_));
            } else if (cmd == "verbose") {
                verbose_ = true;
            } else if (cmd == "echo") {
                echo_ = true;
            } else if (cmd == "leave") {
                play_.Close();
                Line("closed");
            } else if (cmd == "quit") {
                play_.Close();
                QCoreApplication::exit(0);
            } else if (!cmd.empty()) {
                Line("unknown " + cmd);
            }
        } catch (const EDXPlayError& e) {
            Line(std::string("error ") + e.what());
        }
    }

private:
    void Message(TDXPlayPlayer& from, const uint8_t* data, int size) {
        if (echo_) {
            play_.SendMessage(from.ID, data, size, true);
            return;
        }
        if (size < 12 || GetU32(data) != 1 || GetU32(data + 8) != 0xC0FFEE) {
            ++disorder_;
            return;
        }
        // A player is announced before anything it says.
        if (known_.count(from.ID) == 0) ++early_;
        const uint32_t seq = GetU32(data + 4);
        uint32_t& n = received_[from.ID];
        // Guaranteed messages arrive once each, in order: 0, 1, 2, ...
        if (seq != n) ++disorder_;
        n = seq + 1;
        if (verbose_) Line("msg " + std::to_string(from.ID) + " " + std::to_string(seq));
    }

    TDXPlay play_;
    std::map<uint32_t, uint32_t> sent_;
    std::map<uint32_t, uint32_t> received_;
    std::set<uint32_t> known_;
    uint64_t disorder_ = 0;
    uint64_t early_ = 0;
    bool verbose_ = false;
    bool echo_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Driver driver;
    std::string pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buf[4096];
        ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            // The test is gone: leave like a player closing the game.
            input.setEnabled(false);
            driver.Command("quit");
            return;
        }
        pending.append(buf, static_cast<size_t>(n));
        size_t at;
        while ((at = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, at);
            pending.erase(0, at + 1);
            driver.Command(line);
        }
    });
    return app.exec();
}

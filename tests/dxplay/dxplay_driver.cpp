// A scripted player program for the session tests: one real TDXPlay, no
// window. Commands come on stdin, one a line; every session event and every
// answer goes to stdout as one line.
//
//   host SESSION PLAYER      create a game        -> "opened ID HOST" | "error TEXT"
//   search                   list games           -> "sessions N" then "session NAME" × N
//   join SESSION PLAYER      join by name         -> "opened ID HOST" | "error TEXT"
//   players                  the collection       -> "players N ID:NAME ..."
//   send TO COUNT [SIZE] [u] messages 0..COUNT-1 to TO (0 = all), guaranteed
//                            unless "u"; SIZE bytes each (at least 12)
//   stats                    per sender counts    -> "stats ID:COUNT ..." (guaranteed),
//                            "unreliable ID:COUNT ...", "faults N"
//   echo                     answer every message with the same bytes
//   leave                    close the session    -> "closed"
//
// An application GUID as the first argument makes it a player of another
// application.
//
// Events: "add ID NAME", "delete ID NAME", "host ID", "close". Message bytes:
// u32 stream (1 guaranteed to all, 2 unreliable to all, 3 and 4 the same to
// one player), u32 sequence, u32 tag, filler. Each stream's guaranteed
// sequences must arrive as 0, 1, 2, ...; unreliable ones may miss some but
// never go back. A player is announced before anything it says. "faults"
// counts every exception to these rules.
#include "platform/dxplay/dxplay.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <unistd.h>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kTag = 0xC0FFEE;

void Line(const std::string& s) { std::puts(s.c_str()); }  // stdout is line-buffered

std::string Counts(const char* word, const std::map<uint32_t, uint32_t>& counts)
{
    std::string s = word;
    for (const auto& [id, n] : counts) s += " " + std::to_string(id) + ":" + std::to_string(n);
    return s;
}

class Driver {
public:
    explicit Driver(const char* guid)
    {
        if (guid != nullptr) play_.GUID = guid;
        play_.OnAddPlayer = [this](TDXPlayPlayer& p) {
            known_.insert(p.ID);
            Line("add " + std::to_string(p.ID) + " " + p.Name);
        };
        play_.OnDeletePlayer = [](TDXPlayPlayer& p) { Line("delete " + std::to_string(p.ID) + " " + p.Name); };
        play_.OnHost = [this] { Line("host " + std::to_string(play_.LocalPlayer()->ID)); };
        play_.OnClose = [] { Line("close"); };
        play_.OnMessage = [this](TDXPlayPlayer& from, const uint8_t* data, int size) { Message(from, data, size); };
    }

    void Command(const std::string& text)
    {
        std::istringstream in(text);
        std::string cmd, a, b;
        in >> cmd;
        try {
            if (cmd == "host" || cmd == "join") {
                in >> a >> b;
                // A join keeps the provider, and with it the list, of the last search.
                if (cmd == "host" || play_.ProviderName().empty()) play_.SetProviderName(DPSPNAME_TCPIP);
                play_.Open2(cmd == "host", a, b);
                for (TDXPlayPlayer* p : play_.Players()) known_.insert(p->ID);
                Line("opened " + std::to_string(play_.LocalPlayer()->ID) + " " + (play_.IsHost() ? "1" : "0"));
            } else if (cmd == "search") {
                play_.SetProviderName(DPSPNAME_TCPIP);
                Line("sessions " + std::to_string(play_.Sessions().size()));
                for (const auto& s : play_.Sessions()) Line("session " + s);
            } else if (cmd == "players") {
                std::string s = "players " + std::to_string(play_.Players().size());
                for (TDXPlayPlayer* p : play_.Players()) s += " " + std::to_string(p->ID) + ":" + p->Name;
                Line(s);
            } else if (cmd == "send") {
                uint32_t to = 0;
                int count = 0, size = 12;
                in >> to >> count >> size >> a;
                const bool guaranteed = a != "u";
                std::vector<uint8_t> msg(static_cast<size_t>(std::max(size, 12)), 0x5A);
                const uint32_t stream = (guaranteed ? 1 : 2) + (to != 0 ? 2 : 0);
                for (int i = 0; i < count; ++i) {
                    const uint32_t head[3] = {stream, sent_[stream][to]++, kTag};
                    std::memcpy(msg.data(), head, sizeof head);
                    play_.SendMessage(to, msg.data(), int(msg.size()), guaranteed);
                }
                Line("sent " + std::to_string(count));
            } else if (cmd == "stats") {
                Line(Counts("stats", received_[true]));
                Line(Counts("unreliable", received_[false]));
                Line("faults " + std::to_string(faults_));
            } else if (cmd == "echo") {
                echo_ = true;
            } else if (cmd == "leave") {
                play_.Close();
                Line("closed");
            }
        } catch (const EDXPlayError& e) {
            Line(std::string("error ") + e.what());
        }
    }

private:
    void Message(TDXPlayPlayer& from, const uint8_t* data, int size)
    {
        if (echo_) return play_.SendMessage(from.ID, data, size, true);
        uint32_t head[3] = {};  // stream, sequence, tag
        if (size >= int(sizeof head)) std::memcpy(head, data, sizeof head);
        const uint32_t stream = head[0], seq = head[1];
        if (stream < 1 || stream > 4 || head[2] != kTag) return void(++faults_);
        const bool guaranteed = stream % 2 == 1;
        uint32_t& next = next_[stream][from.ID];
        if ((guaranteed ? seq != next : seq < next) || known_.count(from.ID) == 0) ++faults_;
        next = seq + 1;
        ++received_[guaranteed][from.ID];
    }

    TDXPlay play_;
    // By stream, then by player.
    std::map<uint32_t, std::map<uint32_t, uint32_t>> sent_, next_;
    std::map<bool, std::map<uint32_t, uint32_t>> received_;  // true: guaranteed
    std::set<uint32_t> known_;
    uint64_t faults_ = 0;
    bool echo_ = false;  // the benchmark's round trips
};

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Driver driver(argc > 1 ? argv[1] : nullptr);
    std::string pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buf[4096];
        ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            // The test is gone: leave like a player closing the game.
            input.setEnabled(false);
            driver.Command("leave");
            QCoreApplication::exit(0);
            return;
        }
        pending.append(buf, static_cast<size_t>(n));
        for (size_t at; (at = pending.find('\n')) != std::string::npos; pending.erase(0, at + 1))
            driver.Command(pending.substr(0, at));
    });
    return app.exec();
}

// Figures of the session layer between real programs on 127.0.0.1:
//  - round trip of a guaranteed 52-byte message (median, 99th percentile of 1000)
//  - time until a killed player's delete event
//  - bytes on the wire per second for one car-state stream (52 bytes every
//    25 ms) to nine players, against the bare payload and an idle session
//  - time a search and a join take
// Usage: bench_dxplay   (uses ports from 47850; set DUNEBOLT_PORT_BASE to move)
#include "platform/dxplay/dxplay.h"
#include "bench/dxplay/player_process.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

// Runs the event loop until done() or the time is up.
bool RunUntil(const std::function<bool()>& done, int ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (Clock::now() >= until) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 1);
    }
    return true;
}

void JoinAndRoundTrip() {
    PlayerProcess host;
    if (!host.Ask("host messen wirt", "opened")) {
        std::printf("host did not open\n");
        return;
    }
    host.Say("echo");
    TDXPlay play;
    std::vector<double> search, join;
    for (int i = 0; i < 10; ++i) {
        play.SetProviderName(DPSPNAME_TCPIP);
        auto t0 = Clock::now();
        play.GetSessions();
        auto t1 = Clock::now();
        play.JoinSession("messen", "gast");
        auto t2 = Clock::now();
        search.push_back(Ms(t1 - t0));
        join.push_back(Ms(t2 - t1));
        if (i < 9) {
            play.Close();
            Settle(50);
        }
    }
    std::printf("search (unicast, 32 ports): median %.1f ms\n", Percentile(search, 0.5));
    std::printf("join, 2-player game:        median %.2f ms, max %.2f ms\n", Percentile(join, 0.5),
                Percentile(join, 1.0));

    const uint32_t hostId = play.Players()[1]->ID;
    int got = 0;
    play.OnMessage = [&](TDXPlayPlayer&, const uint8_t*, int) { ++got; };
    std::vector<uint8_t> msg(52, 0x11);
    std::vector<double> rtt;
    for (int i = 0; i < 1000; ++i) {
        const int before = got;
        auto t0 = Clock::now();
        play.SendMessage(hostId, msg.data(), 52, true);
        if (!RunUntil([&] { return got > before; }, 2000)) break;
        rtt.push_back(Ms(Clock::now() - t0));
    }
    if (rtt.empty()) {
        std::printf("round trip: no echo\n");
        return;
    }
    std::printf("round trip, guaranteed 52 B (%zu samples): median %.3f ms, p99 %.3f ms\n", rtt.size(),
                Percentile(rtt, 0.5), Percentile(rtt, 0.99));
}

void KillDetection() {
    TDXPlay play;
    play.SetProviderName(DPSPNAME_TCPIP);
    play.CreateSession("toeten", "wirt");
    std::vector<double> detect;
    for (int i = 0; i < 3; ++i) {
        PlayerProcess victim;
        victim.Say("join toeten opfer");
        if (!victim.Expect("opened", 10000)) continue;
        RunUntil([&] { return play.Players().size() == 2; }, 3000);
        bool deleted = false;
        play.OnDeletePlayer = [&](TDXPlayPlayer&) { deleted = true; };
        auto t0 = Clock::now();
        victim.Kill();
        if (RunUntil([&] { return deleted; }, 10000)) detect.push_back(Ms(Clock::now() - t0));
        RunUntil([&] { return play.Players().size() == 1; }, 1000);
    }
    for (double d : detect) std::printf("killed player deleted after %.0f ms\n", d);
}

void CarStream() {
    TDXPlay play;
    play.SetProviderName(DPSPNAME_TCPIP);
    play.CreateSession("strom", "wirt");
    std::vector<std::unique_ptr<PlayerProcess>> peers;
    for (int i = 0; i < 9; ++i) {
        peers.push_back(std::make_unique<PlayerProcess>());
        peers.back()->Ask("search", "sessions", 10000);
        // Seen from outside the joiner: command in, "opened" out.
        auto t0 = Clock::now();
        peers.back()->Say("join strom p" + std::to_string(i));
        peers.back()->Expect("opened", 10000);
        if (i == 8) std::printf("join as the tenth player (8 others to reach): %.2f ms\n", Ms(Clock::now() - t0));
        RunUntil([&] { return play.Players().size() == static_cast<size_t>(i + 2); }, 3000);
    }
    std::printf("car stream: %zu players\n", play.Players().size());
    const int seconds = 5;
    // Idle first: pings and acks alone.
    uint64_t b0 = play.BytesSent();
    RunUntil([] { return false; }, seconds * 1000);
    const double idle = static_cast<double>(play.BytesSent() - b0) / seconds;

    std::vector<uint8_t> state(52, 0x22);
    b0 = play.BytesSent();
    const uint64_t r0 = play.BytesReceived();
    const auto start = Clock::now();
    int sent = 0;
    while (Clock::now() - start < std::chrono::seconds(seconds)) {
        play.SendMessage(0, state.data(), 52, false);
        ++sent;
        const auto next = start + std::chrono::milliseconds(25 * sent);
        RunUntil([&] { return Clock::now() >= next; }, 30);
    }
    RunUntil([] { return false; }, 50);
    const double secs = std::chrono::duration<double>(Clock::now() - start).count();
    const double wire = static_cast<double>(play.BytesSent() - b0) / secs;
    const double payload = 52.0 * sent * 9 / secs;
    std::printf("car stream to 9: %.0f B/s sent on the wire (payload %.0f B/s, ratio %.2f; idle session %.0f B/s),"
                " %.0f B/s received\n",
                wire, payload, wire / payload, idle, static_cast<double>(play.BytesReceived() - r0) / secs);
}

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("DUNEBOLT_PORT_BASE") == nullptr) setenv("DUNEBOLT_PORT_BASE", "47850", 1);
    setenv("DUNEBOLT_SEARCH_ADDRESS", "127.0.0.1", 1);
    setenv("CI", "1", 1);
    QCoreApplication app(argc, argv);
    JoinAndRoundTrip();
    KillDetection();
    CarStream();
    return 0;
}

// How smoothly another player's car moves on screen. Two programs on
// 127.0.0.1: the sender drives at constant speed along a straight at 60
// frames a second and sends its car state as the game does (at most every
// 25 ms); the receiver handles the states with the game's dispatcher and,
// at 85 frames a second, notes where its race frame would draw that car:
// where the last state put it (the record) and where the remote-car
// smoothing puts it. Printed: the coefficient of variation of the drawn
// speed (displacement over frame time) and the largest frame's speed over
// the mean, with no state lost and with every fifth state lost.
//
//   bench_remotecars
#include <QCoreApplication>
#include <QTimer>

#include <sys/wait.h>
#include <unistd.h>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "net/u_multiplayer.h"
#include "platform/dxplay/dxplay.h"
#include "race/racestate.h"
#include "race/remotecars.h"

namespace {

constexpr double Speed = 1.0;  // world units per millisecond, a car at full speed
constexpr double RunMs = 8000;

// Each side is a process of its own with its own application.
int Argc = 1;
char Name[] = "bench_remotecars";
char* Argv[] = {Name};

// The game on this machine at port, and nowhere else.
void UsePort(TDXPlay& play, uint16_t port)
{
    play.TCPIPSetting = {true, "127.0.0.1", port};
    play.SetProviderName(DPSPNAME_TCPIP);
}

// Drives along x and sends; every lostEvery-th state never leaves (0: none).
int Sender(uint16_t port, int lostEvery)
{
    QCoreApplication app(Argc, Argv);
    TDXPlay play;
    UsePort(play, port);
    play.CreateSession("glide", "sender");
    QTimer frames;
    frames.setTimerType(Qt::PreciseTimer);
    const double start = remotecars::NowMs();
    double lastSend = -1e9;
    int sent = 0;
    QObject::connect(&frames, &QTimer::timeout, [&] {
        const double now = remotecars::NowMs();
        if (now - start > RunMs + 5000) QCoreApplication::quit();
        if (play.Players().size() < 2) return;
        if (now - lastSend < double(u_multiplayer::CarStateIntervalMs)) return;
        lastSend = now;
        u_multiplayer::TCarStateMsg m;
        m.Pos = {float(-8000 + Speed * (now - start)), 0, 0};
        const auto bytes = u_multiplayer::EncodeCarState(m);
        if (lostEvery == 0 || ++sent % lostEvery != 0) play.SendMessage(0, bytes.data(), int(bytes.size()), false);
    });
    frames.start(1000 / 60);
    return app.exec();
}

struct TFigures {
    double Cv = 0, MaxOverMean = 0;
};

TFigures Figures(const std::vector<double>& speeds)
{
    double sum = 0, sq = 0, top = 0;
    for (double v : speeds) sum += v, sq += v * v, top = std::max(top, v);
    const double mean = sum / double(speeds.size());
    return {std::sqrt(std::max(sq / double(speeds.size()) - mean * mean, 0.0)) / mean, top / mean};
}

// Joins, and notes the drawn positions each frame; prints the figures.
void Receiver(uint16_t port, const char* label)
{
    QCoreApplication app(Argc, Argv);
    TDXPlay play;
    UsePort(play, port);
    for (int tries = 0; tries < 50 && play.Sessions().empty(); ++tries) {
        usleep(100000);
        play.GetSessions();
    }
    if (play.Sessions().empty()) {
        std::fprintf(stderr, "no game found at port %u\n", port);
        return;
    }
    play.OnMessage = [](TDXPlayPlayer& from, const uint8_t* data, int size) {
        u_multiplayer::HandleMessage(from, data, size);
    };
    u_multiplayer::AttachSession(&play);
    spiel::PlayerTable = {};
    remotecars::Reset();
    play.JoinSession(play.Sessions().front(), "receiver");

    std::vector<double> raw, smooth;
    double lastT = 0, lastRaw = 0, lastSmooth = 0, firstState = 0;
    QTimer frames;
    frames.setTimerType(Qt::PreciseTimer);
    QObject::connect(&frames, &QTimer::timeout, [&] {
        const double now = remotecars::NowMs();
        const spiel::TPlayerRec& r = spiel::PlayerTable[1];
        if (r.Id == 0) return;
        if (firstState == 0) firstState = now;
        const double x = r.Pos.x, s = remotecars::Drawn(1, {r.Pos}, now).Pos.x;
        // From half a second on: the smoothing has its delay filled.
        if (now - firstState > 500) {
            raw.push_back((x - lastRaw) / (now - lastT));
            smooth.push_back((s - lastSmooth) / (now - lastT));
        }
        lastT = now, lastRaw = x, lastSmooth = s;
        if (now - firstState > RunMs) QCoreApplication::quit();
    });
    frames.start(1000 / 85);
    app.exec();
    const TFigures a = Figures(raw), b = Figures(smooth);
    std::printf(
        "%-22s %6zu frames   drawn at the record: cv %5.1f %%, max/mean %5.2f   smoothed: cv %5.1f %%, "
        "max/mean %5.2f\n",
        label, raw.size(), 100 * a.Cv, a.MaxOverMean, 100 * b.Cv, b.MaxOverMean);
    std::fflush(stdout);
}

}  // namespace

int main()
{
    // Each run in processes of its own: a sender and a receiver.
    for (const auto& [lostEvery, label] : {std::pair{0, "no state lost"}, {5, "every fifth state lost"}}) {
        const uint16_t port = uint16_t(47990 + lostEvery);
        const pid_t sender = fork();
        if (sender == 0) _exit(Sender(port, lostEvery));
        const pid_t receiver = fork();
        if (receiver == 0) {
            Receiver(port, label);
            _exit(0);
        }
        int status = 0;
        waitpid(receiver, &status, 0);
        waitpid(sender, &status, 0);
    }
}

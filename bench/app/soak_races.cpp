// A long session: a host window and its bots (three unless told) race one
// lap after another, each race to its end. After every race it prints the
// host's resident memory, its open descriptors, its live OpenGL objects and
// its bots, and at the end whether any of them grew: memory by more than 10 %
// from race 3, descriptors or OpenGL objects at all. The window then closes
// and must end with status 0 (a sanitized build's leak check fails it).
//
//   xvfb-run -a -s '-screen 0 1024x768x24' build/bench/app/soak_races [RACES [BOTS]]
#include "lobby_program.h"

#include <QApplication>

#include <cstdio>
#include <string>

namespace {

long ResidentKiB(qint64 pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string key; status >> key;)
        if (key == "VmRSS:") {
            long kib = 0;
            status >> kib;
            return kib;
        }
    return -1;
}

long Descriptors(qint64 pid)
{
    const auto dir = std::filesystem::path("/proc") / std::to_string(pid) / "fd";
    return std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator());
}

// Says what the host shows and what its bots printed, to tell a slow start
// from a bot that gave up.
int NoGame(Program& host)
{
    std::printf("no game: the host shows %s\n", QJsonDocument(host.last).toJson(QJsonDocument::Compact).constData());
    for (const QString& line : host.lines) std::printf("  %s\n", qPrintable(line));
    return 2;
}

struct Figures {
    long kib, fds, gl;
};

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const int races = argc > 1 ? std::atoi(argv[1]) : 30;
    const int bots = argc > 2 ? std::atoi(argv[2]) : 3;
    auto host = Start();
    Create(*host, "Tom", "Dauerlauf");
    QStringList players{"[HOST]Tom"};
    // A sanitized window on a busy machine may take a while to open its game.
    if (!host->WaitFor(PlayersAre(players), 60000)) return NoGame(*host);
    host->Say("combo botskill schwer");
    for (int b = 1; b <= bots; ++b) {
        host->Say("click lbothinzu");
        players << "Bot " + QString::number(b);
    }
    if (!host->WaitFor(PlayersAre(players), 60000)) {
        // Said, and the missing bots asked for once more: this run checks
        // long sessions, and a bot's failed join is the bot races' to catch.
        NoGame(*host);
        for (int b = host->Children(); b < bots; ++b) host->Say("click lbothinzu");
        if (!host->WaitFor(PlayersAre(players), 60000)) return NoGame(*host);
    }
    SetLaps(*host, 1);

    std::vector<Figures> after;
    const auto start = Clock::now();
    for (int race = 1; race <= races; ++race) {
        host->Say("click llobbystarten");
        if (!host->WaitFor(Racing, 60000) || !host->WaitFor(ShowsResults, 300000))
            return std::printf("race %d did not end\n", race), 2;
        const QString rows = Rows(host->last).join(", ");
        host->Say("click Label7");
        if (!host->WaitFor([](const QJsonObject& s) { return s["lobby"].toBool() && s["starten"].toBool(); }))
            return std::printf("no lobby after race %d\n", race), 2;
        after.push_back({ResidentKiB(host->Pid()), Descriptors(host->Pid()), host->last["glObjects"].toInteger()});
        std::printf(
            "race %2d at %4lld s: %ld KiB resident, %ld descriptors, %ld OpenGL objects, %d bots; %s\n", race,
            static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count()),
            after.back().kib, after.back().fds, after.back().gl, host->Children(), qPrintable(rows));
        std::fflush(stdout);
    }
    host->Say("close");
    const bool ended = host->Finished(60000) && host->ExitCode() == 0;
    std::printf("the window %s\n", ended ? "ended with status 0" : "did not end with status 0");
    if (after.size() < 3) return ended ? 0 : 1;
    const Figures &third = after[2], &last = after.back();
    const double growth = 100.0 * double(last.kib - third.kib) / double(third.kib);
    std::printf("after race %d against race 3: memory %+.1f %%, descriptors %+ld, OpenGL objects %+ld\n", races, growth,
                last.fds - third.fds, last.gl - third.gl);
    return ended && growth <= 10 && last.fds <= third.fds && last.gl <= third.gl ? 0 : 1;
}

// Races between real programs on 127.0.0.1 under Xvfb: every player is the
// real window in a process of its own, the autopilot at the wheel.
#include "lobby_program.h"

namespace {

double FramesPerSecond(const QJsonObject& s) { return s["frames"].toDouble() / s["frameSeconds"].toDouble(); }

}  // namespace

// A host and a client race a lap; a player who joins during the countdown
// waits for the next race, which Escape ends: a client's for itself alone,
// the host's for everybody.
TEST(Race, ALateJoinerRacesTheNextRaceAndEscapeEndsItForOneOrForAll)
{
    auto anna = Start(), tom = Start();
    Create(*anna, "Anna", "Rennen");
    ASSERT_TRUE(anna->WaitFor(PlayersAre({"[HOST]Anna"})));
    ASSERT_TRUE(Join(*tom, "Tom", "Rennen"));
    ASSERT_TRUE(anna->WaitFor(PlayersAre({"[HOST]Anna", "Tom"})));
    SetLaps(*anna, 1);
    anna->Say("click llobbystarten");

    ASSERT_TRUE(tom->WaitFor(ConsoleHas("ACHTUNG: Das Spiel beginnt in 8 Sekunden")));
    auto ben = Start();
    ASSERT_TRUE(Join(*ben, "Ben", "Rennen"));
    EXPECT_TRUE(ben->WaitFor([](const QJsonObject& s) {
        return s["phase"].toInt() == 3 &&
               s["console"].toString().startsWith("Sorry, aber das Spiel hat bereits begonnen.");
    }));
    for (Program* p : {anna.get(), tom.get()}) ASSERT_TRUE(p->WaitFor(Racing, 40000));
    EXPECT_LT(std::abs(tom->last["startAt"].toDouble() - anna->last["startAt"].toDouble()), 1000);

    QList<QStringList> seen;
    for (Program* p : {anna.get(), tom.get()}) {
        ASSERT_TRUE(p->WaitFor(ShowsResults, 300000)) << "gates " << p->last["gates"].toInt();
        seen << Rows(p->last);
        std::printf("%s: %.1f frames per second, rows %s\n", qPrintable(p->last["name"].toString()),
                    FramesPerSecond(p->last), qPrintable(seen.back().join(", ")));
    }
    ASSERT_GE(seen[0].size(), 1);
    ExpectTheSameFinishers(seen);
    // Each program's times differ by the message delay and a frame, within
    // the display's rounding. The winner's runs from "GO!" to the finish,
    // frame-time scaled, and the race ends ten seconds after it.
    for (int row = 0; row < std::min(seen[0].size(), seen[1].size()); ++row)
        EXPECT_LE(std::abs(RowSeconds(seen[0][row]) - RowSeconds(seen[1][row])), 1) << qPrintable(seen[1][row]);
    EXPECT_NEAR(RowSeconds(seen[0][0]), anna->last["raceTime"].toDouble() - 10, 1.5);
    EXPECT_GT(RowSeconds(seen[0][0]), 20);
    EXPECT_TRUE(ben->WaitFor(ConsoleHas("+++ Du kannste jetzt wieder mitspielen +++")));
    EXPECT_TRUE(anna->WaitFor(PlayersAre({"[HOST]Anna", "Ben", "Tom"})));

    anna->Say("click llobbystarten");
    for (Program* p : {anna.get(), tom.get(), ben.get()}) ASSERT_TRUE(p->WaitFor(Racing, 40000));
    ben->Say("escape");
    ASSERT_TRUE(ben->Finished(10000));
    EXPECT_EQ(ben->ExitCode(), 0);
    QTest::qWait(2000);
    for (Program* p : {anna.get(), tom.get()}) EXPECT_EQ(p->State()["phase"].toInt(), 4);
    anna->Say("escape");
    for (Program* p : {anna.get(), tom.get()})
        EXPECT_TRUE(p->WaitFor([](const QJsonObject& s) {
            return s["phase"].toInt() == 0 && s["lobby"].toBool() && s["width"].toInt() == 640;
        })) << qPrintable(p->last["name"].toString());
}

namespace {

// A host window, two client windows and seven strong bots of the host's: ten
// players in the game "name".
struct TenPlayers {
    std::unique_ptr<Program> host = Start(), tom = Start(), eva = Start();
    QList<Program*> windows{host.get(), tom.get(), eva.get()};
    QStringList bots;

    explicit TenPlayers(const QString& game)
    {
        Create(*host, "Anna", game);
        EXPECT_TRUE(host->WaitFor(PlayersAre({"[HOST]Anna"})));
        EXPECT_TRUE(Join(*tom, "Tom", game));
        EXPECT_TRUE(Join(*eva, "Eva", game));
        host->Say("combo botskill schwer");
        QStringList all{"[HOST]Anna", "Tom", "Eva"};
        for (int b = 1; b <= 7; ++b) {
            host->Say("click lbothinzu");
            bots << "Bot " + QString::number(b);
        }
        for (Program* p : windows) EXPECT_TRUE(p->WaitFor(PlayersAre(all + bots), 30000));
    }
    bool Racing()
    {
        host->Say("click llobbystarten");
        return std::ranges::all_of(windows, [](Program* p) { return p->WaitFor(::Racing, 40000); });
    }
};

}  // namespace

// Three laps with ten players: the same finishers everywhere, nobody frozen,
// and every program ends with status 0.
TEST(Race, TenProgramsRaceThreeLapsAgreeAndEndCleanly)
{
    TenPlayers g("Zehn");
    ASSERT_TRUE(g.Racing());
    QList<QStringList> seen;
    for (Program* p : g.windows) {
        ASSERT_TRUE(p->WaitFor(ShowsResults, 420000))
            << "gates " << p->last["gates"].toInt() << " at " << p->last["where"].toString().toStdString();
        seen << Rows(p->last);
        std::printf("%s: %.1f frames per second, %s\n", qPrintable(p->last["name"].toString()),
                    FramesPerSecond(p->last), qPrintable(Rows(p->last).join(", ")));
        EXPECT_GT(FramesPerSecond(p->last), 5) << "a frozen window";
    }
    for (const QString& bot : g.bots) seen << BotRows(*g.host, bot, 5000);
    ASSERT_GE(seen[0].size(), 1);
    ExpectTheSameFinishers(seen);
    // Leaving the lobby, the host takes its bots along; then every window
    // closes.
    EXPECT_EQ(g.host->Children(), 7);
    g.host->Say("click Label7");
    g.host->Say("click llobbyabbrechen");
    EXPECT_TRUE(QTest::qWaitFor([&] { return g.host->Children() == 0; }, 10000));
    for (Program* p : {g.tom.get(), g.eva.get(), g.host.get()}) {
        p->Say("close");
        ASSERT_TRUE(p->Finished(15000));
        EXPECT_EQ(p->ExitCode(), 0);
    }
    for (const QString& bot : g.bots)
        EXPECT_TRUE(g.host->lines.contains(bot + ": ended with status 0")) << qPrintable(bot);
}

// The host killed mid-race: the others are back in the lobby within 3 s with
// one new host, and the next race runs in the same session.
TEST(Race, TenProgramsLoseTheirHostMidRaceAndRaceOnWithANewOne)
{
    TenPlayers g("Verlust");
    ASSERT_TRUE(g.Racing());
    QTest::qWait(15000);
    g.host->Kill();
    const auto killed = Clock::now();
    auto back = [](const QJsonObject& s) {
        return s["phase"].toInt() == 0 && s["lobby"].toBool() && s["width"].toInt() == 640 && s["chat"].toBool();
    };
    for (Program* p : {g.tom.get(), g.eva.get()}) {
        ASSERT_TRUE(p->WaitFor(back, 20000));
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killed).count();
        std::printf("%s back in the lobby %lld ms after the kill\n", qPrintable(p->last["name"].toString()),
                    static_cast<long long>(ms));
        EXPECT_LE(ms, 3000);
    }
    // The bots went with their host; exactly one of the two leads now.
    Program* next = g.tom->State()["host"].toBool() ? g.tom.get() : g.eva.get();
    Program* other = next == g.tom.get() ? g.eva.get() : g.tom.get();
    ASSERT_TRUE(other->WaitFor([](const QJsonObject& s) { return Players(s).size() == 2; }, 10000));
    EXPECT_TRUE(next->State()["host"].toBool() && next->last["updown"].toBool());
    EXPECT_FALSE(other->State()["host"].toBool());
    SetLaps(*next, 1);
    next->Say("click llobbystarten");
    for (Program* p : {next, other}) ASSERT_TRUE(p->WaitFor(Racing, 40000));
    for (Program* p : {next, other})
        ASSERT_TRUE(p->WaitFor(ShowsResults, 240000)) << "gates " << p->last["gates"].toInt();
    ExpectTheSameFinishers({Rows(next->last), Rows(other->last)});
    EXPECT_GE(Rows(next->last).size(), 1);
}

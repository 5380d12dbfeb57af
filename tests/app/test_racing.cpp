// Races between real programs on 127.0.0.1 under Xvfb: every player is the
// real window in a process of its own, the autopilot at the wheel.
#include "lobby_program.h"

namespace {

// mm:ss as seconds.
int Seconds(const QString& row) { return row.right(5).left(2).toInt() * 60 + row.right(2).toInt(); }

}  // namespace

TEST(Race, AHostAloneRacesOneLapAndSeesItsTime)
{
    auto tom = Start();
    Create(*tom, "Tom", "Allein");
    ASSERT_TRUE(tom->WaitFor(PlayersAre({"[HOST]Tom"})));
    SetLaps(*tom, 1);
    SmallScreen(*tom);
    tom->Say("click llobbystarten");
    ASSERT_TRUE(tom->WaitFor(Racing, 30000)) << "no race after the countdown";
    ASSERT_TRUE(tom->WaitFor(ShowsResults, 240000)) << "gates " << tom->last["gates"].toInt();
    const QStringList rows = Rows(tom->last);
    ASSERT_EQ(rows.size(), 1);
    EXPECT_TRUE(rows[0].startsWith("Tom "));
    // The race time runs from "GO!" to the finish, frame-time scaled.
    EXPECT_NEAR(Seconds(rows[0]), tom->last["raceTime"].toDouble() - 10, 1.5);
    EXPECT_GT(Seconds(rows[0]), 20);
    EXPECT_EQ(tom->last["width"].toInt(), 640);
    std::printf("one lap alone: %s, %.1f frames per second\n", qPrintable(rows[0]),
                tom->last["frames"].toDouble() / tom->last["frameSeconds"].toDouble());
    // The lobby is ready for the next race.
    tom->Say("click Label7");
    EXPECT_TRUE(tom->WaitFor([](const QJsonObject& s) { return s["lobby"].toBool() && s["starten"].toBool(); }));
}

TEST(Race, ThreeProgramsRaceTwoLapsALateJoinerWaitsAndRacesTheNextOne)
{
    auto anna = Start(), tom = Start(), eva = Start();
    Create(*anna, "Anna", "Rennen");
    ASSERT_TRUE(anna->WaitFor(PlayersAre({"[HOST]Anna"})));
    ASSERT_TRUE(Join(*tom, "Tom", "Rennen"));
    ASSERT_TRUE(Join(*eva, "Eva", "Rennen"));
    ASSERT_TRUE(anna->WaitFor(PlayersAre({"[HOST]Anna", "Eva", "Tom"})));
    SetLaps(*anna, 2);
    for (Program* p : {anna.get(), tom.get(), eva.get()}) SmallScreen(*p);
    ASSERT_TRUE(eva->WaitFor([](const QJsonObject& s) { return s["laps"].toString() == "2"; }));
    anna->Say("click llobbystarten");

    // Joining during the countdown: locked out until the race is over.
    ASSERT_TRUE(tom->WaitFor(ConsoleHas("ACHTUNG: Das Spiel beginnt in 8 Sekunden")));
    auto ben = Start();
    ASSERT_TRUE(Join(*ben, "Ben", "Rennen"));
    EXPECT_TRUE(ben->WaitFor([](const QJsonObject& s) {
        return s["phase"].toInt() == 3 &&
               s["console"].toString().startsWith("Sorry, aber das Spiel hat bereits begonnen.");
    }));

    for (Program* p : {anna.get(), tom.get(), eva.get()}) ASSERT_TRUE(p->WaitFor(Racing, 40000));
    QStringList first;
    for (Program* p : {anna.get(), tom.get(), eva.get()}) {
        ASSERT_TRUE(p->WaitFor(ShowsResults, 480000)) << "gates " << p->last["gates"].toInt();
        const QStringList rows = Rows(p->last);
        std::printf("%s: %.1f frames per second, rows %s\n", qPrintable(p->last["name"].toString()),
                    p->last["frames"].toDouble() / p->last["frameSeconds"].toDouble(), qPrintable(rows.join(", ")));
        if (first.isEmpty()) first = rows;
        // The same finishers; each program's times differ by the message
        // delay and a frame, within the display's rounding.
        ASSERT_EQ(rows.size(), first.size());
        for (const QString& row : rows) {
            const QString name = row.section(' ', 0, 0);
            const auto same =
                std::find_if(first.begin(), first.end(), [&](const QString& r) { return r.startsWith(name + " "); });
            ASSERT_NE(same, first.end()) << qPrintable(row);
            EXPECT_LE(std::abs(Seconds(row) - Seconds(*same)), 1) << qPrintable(row);
        }
    }
    EXPECT_GE(first.size(), 1);
    EXPECT_TRUE(ben->WaitFor(ConsoleHas("+++ Du kannste jetzt wieder mitspielen +++")));
    EXPECT_TRUE(anna->WaitFor(PlayersAre({"[HOST]Anna", "Ben", "Eva", "Tom"})));

    // The next race, with the late joiner, in the same session.
    SetLaps(*anna, 1);
    SmallScreen(*ben);
    anna->Say("click llobbystarten");
    for (Program* p : {anna.get(), tom.get(), eva.get(), ben.get()}) ASSERT_TRUE(p->WaitFor(Racing, 40000));
    for (Program* p : {anna.get(), tom.get(), eva.get(), ben.get()})
        EXPECT_TRUE(p->WaitFor(ShowsResults, 480000)) << "gates " << p->last["gates"].toInt();
    EXPECT_GE(Rows(ben->last).size(), 1);
}

TEST(Race, EscapeEndsTheRaceForOneClientOrForEverybodyWithNobodyFrozen)
{
    auto anna = Start(), tom = Start(), eva = Start();
    Create(*anna, "Anna", "Flucht");
    ASSERT_TRUE(anna->WaitFor(PlayersAre({"[HOST]Anna"})));
    ASSERT_TRUE(Join(*tom, "Tom", "Flucht"));
    ASSERT_TRUE(Join(*eva, "Eva", "Flucht"));
    ASSERT_TRUE(anna->WaitFor(PlayersAre({"[HOST]Anna", "Eva", "Tom"})));
    for (Program* p : {anna.get(), tom.get(), eva.get()}) SmallScreen(*p);
    anna->Say("click llobbystarten");
    for (Program* p : {anna.get(), tom.get(), eva.get()})
        ASSERT_TRUE(p->WaitFor([](const QJsonObject& s) { return s["startAt"].toDouble() > 0; }, 40000));
    // The handshake's delays, for the record: the host's wait from its
    // graphics to "los jetzt", each client's start against the host's.
    std::printf("host: graphics ready to \"los jetzt\" %.0f ms; clients start %.0f and %.0f ms after the host\n",
                anna->last["racingAt"].toDouble() - anna->last["readyAt"].toDouble(),
                tom->last["startAt"].toDouble() - anna->last["startAt"].toDouble(),
                eva->last["startAt"].toDouble() - anna->last["startAt"].toDouble());
    EXPECT_LT(std::abs(tom->last["startAt"].toDouble() - anna->last["startAt"].toDouble()), 1000);

    // A client's Escape ends its own program; the race goes on for the rest.
    tom->Say("escape");
    ASSERT_TRUE(tom->Finished(10000));
    EXPECT_EQ(tom->ExitCode(), 0);
    QTest::qWait(2000);
    for (Program* p : {anna.get(), eva.get()}) EXPECT_EQ(p->State()["phase"].toInt(), 4);
    // The host's Escape ends it for everybody: the lobby at 640 × 480.
    anna->Say("escape");
    for (Program* p : {anna.get(), eva.get()})
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
        for (Program* p : windows) SmallScreen(*p);
    }
    bool Racing()
    {
        host->Say("click llobbystarten");
        return std::ranges::all_of(windows, [](Program* p) { return p->WaitFor(::Racing, 40000); });
    }
};

double FramesPerSecond(const QJsonObject& s) { return s["frames"].toDouble() / s["frameSeconds"].toDouble(); }

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
    for (const QString& bot : g.bots) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return BotRows(*g.host, bot).size() == seen[0].size(); }, 5000));
        seen << BotRows(*g.host, bot);
    }
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

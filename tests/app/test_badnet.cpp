// The lobby and races between real programs over a bad network: every
// program, its bots included, has the bad network library preloaded
// (tools/badnet), which loses, delays and reorders the datagrams it sends.
#include "lobby_program.h"

#include <QDir>
#include <QTemporaryDir>

namespace {

// What a program shows, for a failure's message.
std::string Describe(const QJsonObject& s)
{
    return QString("%1: phase %2, gates %3, players %4, longest stall %5 ms (phase %7), console ...%6")
        .arg(s["name"].toString())
        .arg(s["phase"].toInt())
        .arg(s["gates"].toInt())
        .arg(Players(s).join(", "))
        .arg(s["stallMs"].toInt())
        .arg(s["console"].toString().right(300))
        .arg(s["stallPhase"].toInt())
        .toStdString();
}

// The bad network, its counters in a folder of their own (one file a process).
class BadNetwork {
public:
    explicit BadNetwork(const QStringList& settings)
    {
        env_.insert("LD_PRELOAD", BADNET_LIB);
        // Ports away from the other lobby tests', should another run meanwhile.
        env_.insert("DUNEBOLT_PORT_BASE", "48300");
        env_.insert("BADNET_STATS", dir_.filePath("%p"));
        // A sanitizer's runtime would otherwise insist on coming first.
        env_.insert("ASAN_OPTIONS", qEnvironmentVariable("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        for (const QString& s : settings) env_.insert(s.section('=', 0, 0), s.section('=', 1));
    }
    const QProcessEnvironment& Env() const { return env_; }
    QString Path(const QString& name) const { return dir_.filePath(name); }
    // A counter summed over every process that sent anything.
    double Sum(const QString& counter) const
    {
        double sum = 0;
        for (const QString& file : QDir(dir_.path()).entryList(QDir::Files)) {
            std::ifstream f(dir_.filePath(file).toStdString());
            std::string key;
            double v;
            while (f >> key >> v)
                if (key == counter.toStdString()) sum += v;
        }
        return sum;
    }

private:
    QTemporaryDir dir_;
    QProcessEnvironment env_;
};

}  // namespace

// 10 % loss, 100 ms ± 20 ms, and half the datagrams lost for 10 s in the
// middle of the race: the lobby, the race and the host's hand-over work.
TEST(BadNet, TheLobbyARaceThroughABurstOfLossAndTheHandOverWork)
{
    const auto began = Clock::now();
    QTemporaryDir dir;
    const QString burst = dir.filePath("burst");
    BadNetwork net({"BADNET_LOSS=0.1", "BADNET_DELAY_MS=100", "BADNET_JITTER_MS=20", "BADNET_BURST=0:10000:0.5",
                    "BADNET_BURST_FILE=" + burst});
    auto anna = Start(false, net.Env()), tom = Start(false, net.Env());
    const std::vector<Program*> all{anna.get(), tom.get()};
    Create(*anna, "Anna", "Sturm");
    ASSERT_TRUE(anna->WaitFor(PlayersAre({"[HOST]Anna"})));
    const auto [search, join] = Join(*tom, "Tom", "Sturm");
    std::printf("search %.1f s, join %.1f s\n", search, join);
    EXPECT_LT(search, 5);
    EXPECT_GE(join, 0);
    EXPECT_LT(join, 5);
    anna->Say("click lbothinzu");
    anna->Say("click lbothinzu");
    const QStringList everybody{"Bot 1", "Bot 2", "Tom", "[HOST]Anna"};
    // The bots search and join through the same loss: a few resends each.
    for (Program* p : all)
        ASSERT_TRUE(p->WaitFor(PlayersAre(everybody), 40000)) << Describe(p->last) << qPrintable(anna->lines.join("|"));

    // Guaranteed commands: each chat line shows once on every program, in
    // the order it was typed, though two players type at once.
    QStringList typed;
    for (int i = 1; i <= 10; ++i) {
        for (auto [p, name] : {std::pair{anna.get(), "Anna"}, std::pair{tom.get(), "Tom"}}) {
            p->Say(QString("set sendmessage Zeile %1").arg(i));
            p->Say("click sendbutton");
            typed << QString("%1: Zeile %2").arg(name).arg(i);
        }
    }
    for (Program* p : all) {
        const auto allShown = [&](const QJsonObject& s) {
            const QStringList console = s["console"].toString().split('\n');
            return std::ranges::all_of(typed, [&](const QString& l) { return console.contains(l); });
        };
        EXPECT_TRUE(p->WaitFor(allShown, 20000)) << qPrintable(p->last["console"].toString());
        const QStringList console = p->last["console"].toString().split('\n');
        for (const QString from : {"Anna: ", "Tom: "})
            EXPECT_EQ(console.filter(QRegularExpression("^" + from + "Zeile")),
                      typed.filter(QRegularExpression("^" + from)))
                << qPrintable(p->last["name"].toString());
    }
    std::printf("lobby done after %.0f s\n", Seconds(began));

    SetLaps(*anna, 1);
    for (Program* p : all) ASSERT_TRUE(p->WaitFor([](const QJsonObject& s) { return s["laps"].toString() == "1"; }));
    anna->Say("click llobbystarten");
    for (Program* p : all) ASSERT_TRUE(p->WaitFor(Racing, 60000)) << Describe(p->last);

    // The network was as bad as asked until the burst.
    const double sent = net.Sum("sent"), dropped = net.Sum("dropped");
    std::printf("before the burst: %.0f datagrams sent, %.0f lost, %.0f delayed\n", sent, dropped, net.Sum("delayed"));
    EXPECT_GT(sent, 1000);
    EXPECT_NEAR(dropped / sent, 0.1, 0.02);

    // The burst opens a few seconds into the race, for every process alike
    // when the file is written; all the while every player stays in.
    QTest::qWait(3000);
    const auto opened = Clock::now();
    const double sentBefore = net.Sum("sent"), droppedBefore = net.Sum("dropped");
    std::ofstream{burst.toStdString()};
    while (Seconds(opened) < 10) {
        for (Program* p : all) {
            const QJsonObject s = p->State();
            EXPECT_EQ(Players(s), everybody) << Describe(s) << " at " << Seconds(opened) << " s";
            EXPECT_TRUE(Racing(s) || ShowsResults(s)) << Describe(s);
        }
        if (HasFailure()) {
            for (Program* p : all) std::printf("%s\n", Describe(p->State()).c_str());
            break;
        }
        QTest::qWait(500);
    }
    const double burstLoss = (net.Sum("dropped") - droppedBefore) / (net.Sum("sent") - sentBefore);
    std::printf("loss in the burst %.2f\n", burstLoss);
    EXPECT_GT(burstLoss, 0.35);

    // Every window and every bot names the same finishers, each in the order
    // it saw them; nobody was dropped.
    for (Program* p : all) ASSERT_TRUE(p->WaitFor(ShowsResults, 180000)) << Describe(p->last);
    std::printf("race done after %.0f s\n", Seconds(began));
    for (Program* p : all)
        std::printf("%s: longest stall %d ms (phase %d)\n", qPrintable(p->last["name"].toString()),
                    p->last["stallMs"].toInt(), p->last["stallPhase"].toInt());
    QList<QStringList> seen;
    for (Program* p : all) seen << Rows(p->last);
    std::printf("finishers: %s\n", qPrintable(seen[0].join(", ")));
    EXPECT_GE(seen[0].size(), 1);
    // A bot hears of the finish by a guaranteed message: a few resends.
    for (const QString bot : {"Bot 1", "Bot 2"}) seen << BotRows(*anna, bot, 30000);
    ExpectTheSameFinishers(seen);
    for (Program* p : all) p->Say("click Label7");
    for (Program* p : all) EXPECT_TRUE(p->WaitFor(PlayersAre(everybody))) << Describe(p->last);

    // The host leaves, its bots with it: Tom, the earliest joiner, takes
    // over within 5 s.
    const auto left = Clock::now();
    anna->Say("click llobbyabbrechen");
    EXPECT_TRUE(tom->WaitFor(
        [](const QJsonObject& s) { return s["host"].toBool() && ConsoleHas("+++ Neuer Host ist Tom +++")(s); }, 20000));
    EXPECT_LT(Seconds(left), 5);
    std::printf("hand-over %.1f s; %.0f s in all\n", Seconds(left), Seconds(began));
    EXPECT_TRUE(tom->WaitFor(PlayersAre({"[HOST]Tom"}), 20000));
}

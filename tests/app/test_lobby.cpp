// The lobby between real programs on 127.0.0.1: each player is the real
// main window in a process of its own, driven through its widgets.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Loopback only, and ports of the lobby tests' own. asked: no address
// preset, so a search asks the player for it.
QProcessEnvironment PlayerEnvironment(bool asked)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("DUNEBOLT_SEARCH_ADDRESS", "127.0.0.1");
    env.insert("CI", "1");
    env.insert("DUNEBOLT_PORT_BASE", "47900");
    if (asked)
        env.remove("DUNEBOLT_SEARCH_ADDRESS");
    return env;
}

class Program {
public:
    // asked: the search asks the player for the host's address.
    explicit Program(const QString& exe, bool asked = false)
    {
        proc_.setProcessEnvironment(PlayerEnvironment(asked));
        proc_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&proc_, &QProcess::readyReadStandardOutput, [this] { Read(); });
        proc_.start(exe, {});
    }
    ~Program()
    {
        if (proc_.state() == QProcess::NotRunning)
            return;
        proc_.closeWriteChannel();
        if (!proc_.waitForFinished(5000))
            proc_.kill(), proc_.waitForFinished(3000);
    }

    bool Ready() { return Wait([this] { return ready_; }, 20000); }
    void Say(const QString& command)
    {
        proc_.write((command + "\n").toUtf8());
        proc_.waitForBytesWritten(1000);
    }
    // The player's view, asked afresh; empty when the program does not answer.
    QJsonObject State()
    {
        state_ = {};
        Say("state");
        Wait([this] { return !state_.isEmpty(); }, 10000);
        return state_;
    }
    // Waits until the player's view satisfies test; the last view is kept.
    bool WaitFor(const std::function<bool(const QJsonObject&)>& test, int ms = 10000)
    {
        const auto until = Clock::now() + std::chrono::milliseconds(ms);
        while (true) {
            last = State();
            if (!last.isEmpty() && test(last))
                return true;
            if (Clock::now() >= until)
                return false;
            QTest::qWait(50);
        }
    }
    // Waits for a message box with that text; an empty text: any box.
    bool WaitForBox(const QString& text = {})
    {
        return Wait([&] { return text.isEmpty() ? !boxes.isEmpty() : boxes.contains(text); }, 10000);
    }
    void Kill() { ::kill(pid_t(proc_.processId()), SIGKILL), proc_.waitForFinished(3000); }
    bool Finished(int ms) { return proc_.state() == QProcess::NotRunning || proc_.waitForFinished(ms); }
    int ExitCode() const { return proc_.exitCode(); }

    QJsonObject last;
    QStringList boxes;
    int asks = 0;

private:
    bool Wait(const std::function<bool()>& done, int ms)
    {
        const auto until = Clock::now() + std::chrono::milliseconds(ms);
        while (!done()) {
            if (Clock::now() >= until || proc_.state() == QProcess::NotRunning)
                return done();
            QTest::qWait(10);
        }
        return true;
    }
    void Read()
    {
        partial_ += proc_.readAllStandardOutput();
        qsizetype at;
        while ((at = partial_.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(partial_.left(at));
            partial_.remove(0, at + 1);
            if (line == "ready")
                ready_ = true;
            else if (line.startsWith("state "))
                state_ = QJsonDocument::fromJson(line.mid(6).toUtf8()).object();
            else if (line.startsWith("box "))
                boxes << line.mid(4);
            else if (line == "ask")
                ++asks;
        }
    }

    QProcess proc_;
    QByteArray partial_;
    bool ready_ = false;
    QJsonObject state_;
};

std::unique_ptr<Program> Start(bool asked = false)
{
    auto p = std::make_unique<Program>(LOBBY_PLAYER, asked);
    EXPECT_TRUE(p->Ready());
    return p;
}

void Create(Program& p, const QString& name, const QString& game)
{
    p.Say("set nameedit " + name);
    p.Say("set spieledit " + game);
    p.Say("click Label10");
}

// Searches until the game is listed, then joins it.
bool Join(Program& p, const QString& name, const QString& game)
{
    p.Say("set Edit2 " + name);
    for (int tries = 0; tries < 5; ++tries) {
        p.Say("click Label16");
        if (p.WaitFor([&](const QJsonObject& s) { return s["games"].toArray().contains(game); }, 3000))
            break;
    }
    const int row = int(p.last["games"].toArray().toVariantList().indexOf(game));
    if (row < 0)
        return false;
    p.Say("select sessionbox " + QString::number(row));
    p.Say("click Label19");
    return true;
}

QStringList Players(const QJsonObject& s)
{
    QStringList out;
    for (const auto& v : s["players"].toArray())
        out << v.toString();
    out.sort();
    return out;
}

auto PlayersAre(QStringList expected)
{
    expected.sort();
    return [expected](const QJsonObject& s) { return Players(s) == expected; };
}

auto ConsoleHas(const QString& line)
{
    return [line](const QJsonObject& s) { return s["console"].toString().split('\n').contains(line); };
}

// A text command as it goes on the wire, in hex: kind 2, length, text, padding.
QString CommandHex(const QByteArray& text)
{
    QByteArray b;
    b.append("\x02\x00\x00\x00", 4);
    b.append(char(text.size() & 0xFF)).append(char(text.size() >> 8));
    b.append(text).append("\0\0", 2);
    return QString::fromLatin1(b.toHex());
}

}  // namespace

TEST(Lobby, ThreeProgramsCreateJoinChatSetLapsLeaveAndHandOverTheHostRole)
{
    auto anna = Start(), tom = Start(), eva = Start();
    Create(*anna, "Anna", "Wüste");
    ASSERT_TRUE(anna->WaitFor(PlayersAre({"[HOST]Anna"})));
    EXPECT_TRUE(anna->last["starten"].toBool() && anna->last["updown"].toBool());
    ASSERT_TRUE(Join(*tom, "Tom", "Wüste"));
    ASSERT_TRUE(tom->WaitFor(PlayersAre({"[HOST]Anna", "Tom"})));
    ASSERT_TRUE(Join(*eva, "Eva", "Wüste"));
    for (Program* p : {anna.get(), tom.get(), eva.get()}) {
        ASSERT_TRUE(p->WaitFor(PlayersAre({"[HOST]Anna", "Eva", "Tom"})));
        EXPECT_EQ(p->last["lspieler"].toString(), "3");
    }
    EXPECT_FALSE(tom->last["starten"].toBool() || tom->last["updown"].toBool());

    // Chat: every machine shows the line, the sender's own included, and
    // the code page carries "€" and the umlauts.
    tom->Say("set sendmessage hallo");
    tom->Say("click sendbutton");
    eva->Say("set sendmessage Grüße €5");
    eva->Say("click sendbutton");
    for (Program* p : {anna.get(), tom.get(), eva.get()}) {
        EXPECT_TRUE(p->WaitFor(ConsoleHas("Tom: hallo")));
        EXPECT_TRUE(p->WaitFor(ConsoleHas("Eva: Grüße €5")));
    }

    // The host's lap count reaches the clients; it stops at 20.
    anna->Say("click UpDown1/up");
    anna->Say("click UpDown1/up");
    for (Program* p : {tom.get(), eva.get()})
        EXPECT_TRUE(p->WaitFor([](const QJsonObject& s) { return s["laps"].toString() == "5"; }));

    // A forged host command from a client changes nothing elsewhere; a chat
    // line sent after it on the same channel shows it has been handled.
    eva->Say("raw 0 " + CommandHex("lobbystatus:9"));
    eva->Say("raw 0 " + CommandHex("go!"));
    eva->Say("raw 0 " + CommandHex("abort"));
    eva->Say("set sendmessage danach");
    eva->Say("click sendbutton");
    for (Program* p : {anna.get(), tom.get()}) {
        ASSERT_TRUE(p->WaitFor(ConsoleHas("Eva: danach")));
        EXPECT_EQ(p->last["laps"].toString(), "5");
        EXPECT_EQ(p->last["phase"].toInt(), 0);
        EXPECT_TRUE(p->last["chat"].toBool());
    }

    // A client leaves: gone from every list, one player less.
    eva->Say("click llobbyabbrechen");
    for (Program* p : {anna.get(), tom.get()}) {
        EXPECT_TRUE(p->WaitFor(PlayersAre({"[HOST]Anna", "Tom"})));
        EXPECT_EQ(p->last["lspieler"].toString(), "2");
    }
    ASSERT_TRUE(Join(*eva, "Eva", "Wüste"));
    ASSERT_TRUE(eva->WaitFor(PlayersAre({"[HOST]Anna", "Eva", "Tom"})));

    // The host leaves: the earliest joiner takes over, shows the host's
    // controls and announces itself; the others mark it.
    anna->Say("click llobbyabbrechen");
    EXPECT_TRUE(tom->WaitFor([](const QJsonObject& s) {
        return s["starten"].toBool() && s["updown"].toBool() && s["host"].toBool() &&
               ConsoleHas("+++ Neuer Host ist Tom +++")(s);
    }));
    EXPECT_TRUE(eva->WaitFor(PlayersAre({"Eva", "[HOST]Tom"})));
    EXPECT_TRUE(tom->WaitFor(PlayersAre({"Eva", "[HOST]Tom"})));

    // The new host is killed: the last player takes over within 3 s.
    const auto killed = Clock::now();
    tom->Kill();
    EXPECT_TRUE(eva->WaitFor(
        [](const QJsonObject& s) { return s["starten"].toBool() && ConsoleHas("+++ Neuer Host ist Eva +++")(s); },
        3000));
    EXPECT_LT(Clock::now() - killed, std::chrono::seconds(3));
    EXPECT_TRUE(eva->WaitFor(PlayersAre({"[HOST]Eva"})));

    // Closing the window ends the program cleanly.
    eva->Say("close");
    ASSERT_TRUE(eva->Finished(5000));
    EXPECT_EQ(eva->ExitCode(), 0);
}

TEST(Lobby, RefusedNamesAndJoinsGiveTheirMessageAndTheProgramGoesOn)
{
    auto host = Start(), guest = Start(true);
    host->Say("set nameedit    ");
    host->Say("click Label10");
    EXPECT_TRUE(host->WaitForBox("Du mußt schon einen Namen eingeben."));
    Create(*host, "Anna", " ");
    EXPECT_TRUE(host->WaitForBox("Bitte einen Namen für das Spiel eingeben."));
    EXPECT_FALSE(host->State()["lobby"].toBool());

    // The game ends between the search and the join.
    Create(*host, "Anna", "Kurz");
    ASSERT_TRUE(host->WaitFor(PlayersAre({"[HOST]Anna"})));
    guest->Say("set Edit2 Tom");
    guest->Say("click Label16");
    ASSERT_TRUE(guest->WaitFor([](const QJsonObject& s) { return s["games"].toArray().contains("Kurz"); }));
    host->Say("click llobbyabbrechen");
    ASSERT_TRUE(host->WaitFor([](const QJsonObject& s) { return !s["lobby"].toBool(); }));
    guest->Say("select sessionbox 0");
    guest->Say("click Label19");
    EXPECT_TRUE(guest->WaitForBox());
    EXPECT_TRUE(guest->WaitFor([](const QJsonObject& s) { return s["players"].toArray().isEmpty(); }));

    // The program still hosts and joins after the refusals; with no address
    // preset, every search asked the player for it.
    Create(*host, "Anna", "Neu");
    ASSERT_TRUE(Join(*guest, "Tom", "Neu"));
    EXPECT_TRUE(host->WaitFor(PlayersAre({"[HOST]Anna", "Tom"})));
    EXPECT_GE(guest->asks, 2);
    guest->Say("click llobbyabbrechen");

    // Nine more players fill the game; the eleventh, who found it with a
    // place left (a full game is not listed), is refused.
    std::vector<std::unique_ptr<QProcess>> others;
    auto joinOne = [&] {
        auto p = std::make_unique<QProcess>();
        p->setProcessEnvironment(PlayerEnvironment(false));
        p->start(DXPLAY_DRIVER, {});
        p->write(QString("join Neu p%1\n").arg(others.size()).toUtf8());
        others.push_back(std::move(p));
    };
    auto playersAre = [](int n) {
        return [n](const QJsonObject& s) { return s["lspieler"].toString() == QString::number(n); };
    };
    for (int i = 0; i < 8; ++i)
        joinOne();
    ASSERT_TRUE(host->WaitFor(playersAre(9), 20000));
    guest->Say("click Label16");
    ASSERT_TRUE(guest->WaitFor([](const QJsonObject& s) { return s["games"].toArray().contains("Neu"); }));
    joinOne();
    ASSERT_TRUE(host->WaitFor(playersAre(10), 10000));
    guest->boxes.clear();
    guest->Say("select sessionbox 0");
    guest->Say("click Label19");
    EXPECT_TRUE(guest->WaitForBox());
    EXPECT_EQ(host->State()["lspieler"].toString(), "10");
    for (auto& p : others)
        p->closeWriteChannel(), p->waitForFinished(3000);
}

// One player's real program for the tests between programs: the main
// window in a process of its own, driven through its widgets by lines on its
// input (tests/app/lobby_player.cpp), on 127.0.0.1 only.
#pragma once

#include <gtest/gtest.h>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTest>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <vector>

using Clock = std::chrono::steady_clock;

class Program {
public:
    // Loopback only, on the lobby tests' own ports, the autopilot driving.
    // asked: no address preset, so a search asks the player for it. extra:
    // more environment on top.
    explicit Program(const QString& exe, bool asked = false, const QProcessEnvironment& extra = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("CI", "1");
        env.insert("DUNEBOLT_PORT_BASE", "47900");
        env.insert("DUNEBOLT_AUTOPILOT", "1");
        if (asked)
            env.remove("DUNEBOLT_SEARCH_ADDRESS");
        else
            env.insert("DUNEBOLT_SEARCH_ADDRESS", "127.0.0.1");
        env.insert(extra);
        proc_.setProcessEnvironment(env);
        proc_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&proc_, &QProcess::readyReadStandardOutput, [this] { Read(); });
        proc_.start(exe, {});
    }
    ~Program()
    {
        if (proc_.state() == QProcess::NotRunning) return;
        proc_.closeWriteChannel();
        if (!proc_.waitForFinished(5000)) proc_.kill(), proc_.waitForFinished(3000);
    }

    bool Ready()
    {
        return Wait([this] { return ready_; }, 20000);
    }
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
            if (!last.isEmpty() && test(last)) return true;
            if (Clock::now() >= until) return false;
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
    qint64 Pid() const { return proc_.processId(); }
    // The processes this program started that still run.
    int Children() const
    {
        int n = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            std::ifstream stat(entry.path() / "stat");
            std::string pid, name, state;
            qint64 parent = 0;
            // The name is in parentheses and has no spaces for our programs.
            if (stat >> pid >> name >> state >> parent && parent == proc_.processId()) ++n;
        }
        return n;
    }

    QJsonObject last;
    QStringList boxes, lines;
    int asks = 0;

private:
    bool Wait(const std::function<bool()>& done, int ms)
    {
        QTest::qWaitFor([&] { return done() || proc_.state() == QProcess::NotRunning; }, ms);
        return done();
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
            else
                lines << line;  // what its bots print
        }
    }

    QProcess proc_;
    QByteArray partial_;
    bool ready_ = false;
    QJsonObject state_;
};

inline std::unique_ptr<Program> Start(bool asked = false, const QProcessEnvironment& extra = {})
{
    auto p = std::make_unique<Program>(LOBBY_PLAYER, asked, extra);
    EXPECT_TRUE(p->Ready());
    return p;
}

inline void Create(Program& p, const QString& name, const QString& game)
{
    p.Say("set nameedit " + name);
    p.Say("set spieledit " + game);
    p.Say("click Label10");
}

inline double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// Searches (a second a try, 30 s at most) until the game is listed, then
// joins it: the seconds the search took and those until the player saw
// itself in, -1 for a join that failed.
struct TJoin {
    double search = -1, join = -1;
    explicit operator bool() const { return join >= 0; }
};
inline TJoin Join(Program& p, const QString& name, const QString& game)
{
    p.Say("set Edit2 " + name);
    const auto start = Clock::now();
    auto listed = [&](const QJsonObject& s) { return s["games"].toArray().contains(game); };
    do p.Say("click Label16");
    while (!p.WaitFor(listed, 1000) && Seconds(start) < 30);
    TJoin out{Seconds(start)};
    const int row = int(p.last["games"].toArray().toVariantList().indexOf(game));
    if (row < 0) return out;
    const auto joining = Clock::now();
    p.Say("select sessionbox " + QString::number(row));
    p.Say("click Label19");
    if (p.WaitFor([&](const QJsonObject& s) { return s["players"].toArray().contains(name); }, 30000))
        out.join = Seconds(joining);
    return out;
}

inline QStringList Players(const QJsonObject& s)
{
    QStringList out;
    for (const auto& v : s["players"].toArray()) out << v.toString();
    out.sort();
    return out;
}

inline auto PlayersAre(QStringList expected)
{
    expected.sort();
    return [expected](const QJsonObject& s) { return Players(s) == expected; };
}

inline auto ConsoleHas(const QString& line)
{
    return [line](const QJsonObject& s) { return s["console"].toString().split('\n').contains(line); };
}

// A text command as it goes on the wire, in hex: kind 2, length, text, padding.
inline QString CommandHex(const QByteArray& text)
{
    QByteArray b;
    b.append("\x02\x00\x00\x00", 4);
    b.append(char(text.size() & 0xFF)).append(char(text.size() >> 8));
    b.append(text).append("\0\0", 2);
    return QString::fromLatin1(b.toHex());
}

inline auto Racing = [](const QJsonObject& s) { return s["phase"].toInt() == 4; };
inline auto ShowsResults = [](const QJsonObject& s) { return s["results"].toBool() && s["phase"].toInt() == 0; };

inline QStringList Rows(const QJsonObject& s)
{
    QStringList rows;
    for (const auto& v : s["rows"].toArray())
        if (!v.toString().trimmed().isEmpty()) rows << v.toString();
    return rows;
}

// Laps one lower than the lobby's 3, down to 1.
inline void SetLaps(Program& host, int laps)
{
    for (int i = laps; i < 3; ++i) host.Say("click UpDown1/down");
    for (int i = 3; i < laps; ++i) host.Say("click UpDown1/up");
}

// The finishers a bot printed at the end of its race, in order: its lines
// "NAME: PLACE. FINISHER TIME", all written at once. Waits up to ms for them.
inline QStringList BotRows(const Program& host, const QString& bot, int ms)
{
    const auto rows = [&] {
        QStringList out;
        for (const QString& line : host.lines)
            if (line.startsWith(bot + ": ") && line.contains(". ")) out << line.section(". ", 1);
        return out;
    };
    if (QTest::qWaitFor([&] { return !rows().isEmpty(); }, ms)) QTest::qWait(200);  // the rest of the write
    return rows();
}

// A finisher row's time "NAME mm:ss" in seconds.
inline int RowSeconds(const QString& row) { return row.right(5).left(2).toInt() * 60 + row.right(2).toInt(); }

// Every program lists the same finishers, each in the order it saw them
// (rows "NAME mm:ss"). Each program ends the race ten seconds after the
// winner's finish reached it, so one who finishes in the last seconds may
// be in time for some programs and not for others: those are not compared.
inline void ExpectTheSameFinishers(const QList<QStringList>& seen)
{
    QSet<QString> late;
    for (const QStringList& rows : seen)
        for (const QString& row : rows)
            if (RowSeconds(row) >= RowSeconds(rows[0]) + 8) late << row.chopped(6);
    const auto settled = [&](const QStringList& rows) {
        QStringList names;
        for (const QString& row : rows)
            if (!late.contains(row.chopped(6))) names << row.chopped(6);
        names.sort();
        return names.join(", ");
    };
    for (const QStringList& rows : seen) EXPECT_EQ(settled(rows), settled(seen[0])) << qPrintable(rows.join(", "));
}

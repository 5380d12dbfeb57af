// The program started as players start it: a process in its own directory.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

namespace {

// Starts the program with the given environment and waits for its end.
struct ProgramRun {
    int exitCode = -1;
    QString err;
};

ProgramRun RunProgram(const QString& exe, const QProcessEnvironment& env, int timeoutMs)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(exe, {});
    ProgramRun r;
    if (!p.waitForStarted() || !p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitCode();
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

}  // namespace

TEST(Program, WithoutADisplayItSaysGraphicsAreMissingAndEnds)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    const ProgramRun r = RunProgram(DUNEBOLT_EXE, env, 20000);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("Dieses Programm benötigt DirectX ab Version 7.\n\n"
                               "Bitte installieren Sie dieses zuerst, und versuchen sie es erneut."))
        << r.err.toStdString();
}

TEST(Program, WithItsFilesBesideItShowsTheMainWindow)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        GTEST_SKIP() << "needs an X server (the test command runs one with xvfb-run)";

    // A copy of the program in a directory of its own with a copy of its data.
    QTemporaryDir tmp;
    const QString exe = tmp.path() + "/dunebolt";
    ASSERT_TRUE(QFile::copy(DUNEBOLT_EXE, exe));
    QFile::setPermissions(exe, QFile::ExeOwner | QFile::ReadOwner);
    for (const char* file : {"3dobjects/auto1.x",   "3dobjects/himmel.x",  "3dobjects/pfeil.x",
                             "3dobjects/schatten.x", "3dobjects/tor.x",     "musik/musik.mp3",
                             "images/boden1.bmp",   "images/boden2.bmp",   "images/boden3.bmp",
                             "images/cboden.bmp",   "images/cfenster.bmp", "images/chaube.bmp",
                             "images/crad.bmp",     "images/cseite.bmp",   "images/height.bmp",
                             "images/himmel.bmp",   "images/leer.bmp",     "images/lobby.bmp",
                             "images/mainmenu.bmp", "images/rad.bmp",      "images/speed.bmp",
                             "images/time.bmp",     "images/torgitter.bmp", "images/toroben.bmp",
                             "images/tree1.bmp",    "images/tree2.bmp",    "images/tree3.bmp",
                             "images/treemap.bmp",  "images/wasser.bmp",   "images/wasser2.bmp",
                             "images/wasser3.bmp",  "images/wasser4.bmp",  "images/wasser5.bmp",
                             "xa_dsound_output.dll", "xaudio.dll"}) {
        const QString path = tmp.path() + "/" + file;
        QDir().mkpath(QFileInfo(path).path());
        ASSERT_TRUE(QFile::copy(QString(DUNEBOLT_BIN_DIR) + "/" + file, path)) << file;
    }

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "xcb");
    QProcess game;
    game.setProcessEnvironment(env);
    game.start(exe, {});
    ASSERT_TRUE(game.waitForStarted());

    // The window appears on the X server under the game's caption.
    QString geometry;
    for (int i = 0; i < 100 && geometry.isEmpty(); ++i) {
        QProcess find;
        find.start("xdotool", {"search", "--onlyvisible", "--pid", QString::number(game.processId()),
                               "--name", "^Dunebolt", "getwindowgeometry"});
        find.waitForFinished(5000);
        geometry = QString::fromUtf8(find.readAllStandardOutput());
        if (geometry.isEmpty())
            QThread::msleep(100);
    }
    EXPECT_EQ(game.state(), QProcess::Running) << game.readAllStandardError().toStdString();
    EXPECT_TRUE(geometry.contains("Geometry: 640x480")) << geometry.toStdString();
    game.kill();
    game.waitForFinished();
}

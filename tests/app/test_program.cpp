// The program started as players start it: a process in its own directory.
#include "app/datafiles.h"

#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

TEST(Program, WithoutADisplayItSaysGraphicsAreMissingAndEnds)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(DUNEBOLT_EXE, {});
    ASSERT_TRUE(p.waitForFinished(20000));
    const QString err = QString::fromUtf8(p.readAllStandardError());
    EXPECT_EQ(p.exitCode(), 1);
    EXPECT_TRUE(
        err.contains("Dieses Programm benötigt DirectX ab Version 7.\n\n"
                     "Bitte installieren Sie dieses zuerst, und versuchen sie es erneut."))
        << err.toStdString();
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
    for (const QString& file : RequiredDataFiles()) {
        const QString path = tmp.path() + "/" + file;
        QDir().mkpath(QFileInfo(path).path());
        ASSERT_TRUE(QFile::copy(QString(DUNEBOLT_BIN_DIR) + "/" + file, path)) << file.toStdString();
    }

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "xcb");
    QProcess game;
    game.setProcessEnvironment(env);
    game.start(exe, {});
    ASSERT_TRUE(game.waitForStarted());

    // The window appears on the X server under the game's caption (among
    // whatever other windows of the program the search also lists).
    QString geometry;
    for (int i = 0; i < 100 && !geometry.contains("Geometry: 640x480"); ++i) {
        QProcess find;
        find.start("xdotool", {"search", "--onlyvisible", "--pid", QString::number(game.processId()), "--name",
                               "^Dunebolt", "getwindowgeometry", "%@"});
        find.waitForFinished(5000);
        geometry = QString::fromUtf8(find.readAllStandardOutput());
        if (!geometry.contains("Geometry: 640x480")) QThread::msleep(100);
    }
    EXPECT_EQ(game.state(), QProcess::Running) << game.readAllStandardError().toStdString();
    EXPECT_TRUE(geometry.contains("Geometry: 640x480")) << geometry.toStdString();
    game.kill();
    game.waitForFinished();
}

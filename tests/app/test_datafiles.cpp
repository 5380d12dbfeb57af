// The start-up check of the data files beside the program.
#include "app/datafiles.h"
#include "tests/app/qtprint.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

// A program directory holding every required file (empty files will do).
void FillProgramDirectory(const QString& dir)
{
    for (const QString& file : RequiredDataFiles()) {
        const QString path = dir + "/" + file;
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    }
}

}  // namespace

TEST(DataFiles, ThirtyFiveDistinctFilesEndingWithTheMusicModules)
{
    const QStringList& files = RequiredDataFiles();
    ASSERT_EQ(files.size(), 35);
    EXPECT_EQ(QSet<QString>(files.begin(), files.end()).size(), 35);
    EXPECT_EQ(files.first(), "3dobjects/auto1.x");
    EXPECT_EQ(files[5], "musik/musik.mp3");
    EXPECT_EQ(files[33], "xa_dsound_output.dll");
    EXPECT_EQ(files[34], "xaudio.dll");
    for (const QString& f : files)
        EXPECT_FALSE(f.contains('\\')) << f.toStdString();
}

TEST(DataFiles, CheckStopsAtTheFirstMissingFileInOrder)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString base = tmp.path() + "/";
    EXPECT_EQ(FirstMissingDataFile(base), 0);  // empty directory

    FillProgramDirectory(tmp.path());
    EXPECT_EQ(FirstMissingDataFile(base), -1);

    // Only the music module is missing: the check fails at the last entry.
    ASSERT_TRUE(QFile::remove(base + "xaudio.dll"));
    EXPECT_EQ(FirstMissingDataFile(base), 34);

    // Two missing: the earlier one is reported.
    ASSERT_TRUE(QFile::remove(base + "images/height.bmp"));
    EXPECT_EQ(FirstMissingDataFile(base), 14);
}

TEST(DataFiles, ADirectoryNamedLikeAFileCountsAsMissing)
{
    QTemporaryDir tmp;
    FillProgramDirectory(tmp.path());
    const QString base = tmp.path() + "/";
    ASSERT_TRUE(QFile::remove(base + "images/leer.bmp"));
    ASSERT_TRUE(QDir().mkpath(base + "images/leer.bmp"));
    EXPECT_EQ(FirstMissingDataFile(base), 16);
}

TEST(DataFiles, ProgramDirectoryEndsInExactlyOneSeparator)
{
    EXPECT_EQ(ProgramDirectoryOf("/opt/dunebolt/dunebolt"), "/opt/dunebolt/");
    EXPECT_EQ(ProgramDirectoryOf("/dunebolt"), "/");  // at the root
    EXPECT_EQ(ProgramDirectoryOf("/opt/dunebolt/"), "/opt/dunebolt/");
}

// The data files the game needs beside the program, in the order in which
// start-up checks them.
#pragma once

#include <QString>
#include <QStringList>

// The 35 files, relative to the program directory.
const QStringList& RequiredDataFiles();

// The index of the first required file that is not a file under baseDir
// (a directory of that name counts as missing), or -1 when all are there.
int FirstMissingDataFile(const QString& baseDir);

// The program directory of an executable path: everything up to and
// including its last '/', with a '/' appended if it does not end in one.
QString ProgramDirectoryOf(const QString& executablePath);

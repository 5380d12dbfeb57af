#include "app/datafiles.h"

#include <QFileInfo>

const QStringList& RequiredDataFiles()
{
    static const QStringList files = {
        "3dobjects/auto1.x",  "3dobjects/himmel.x",   "3dobjects/pfeil.x",    "3dobjects/schatten.x",
        "3dobjects/tor.x",    "musik/musik.mp3",      "images/boden1.bmp",    "images/boden2.bmp",
        "images/boden3.bmp",  "images/cboden.bmp",    "images/cfenster.bmp",  "images/chaube.bmp",
        "images/crad.bmp",    "images/cseite.bmp",    "images/height.bmp",    "images/himmel.bmp",
        "images/leer.bmp",    "images/lobby.bmp",     "images/mainmenu.bmp",  "images/rad.bmp",
        "images/speed.bmp",   "images/time.bmp",      "images/torgitter.bmp", "images/toroben.bmp",
        "images/tree1.bmp",   "images/tree2.bmp",     "images/tree3.bmp",     "images/treemap.bmp",
        "images/wasser.bmp",  "images/wasser2.bmp",   "images/wasser3.bmp",   "images/wasser4.bmp",
        "images/wasser5.bmp", "xa_dsound_output.dll", "xaudio.dll",
    };
    return files;
}

int FirstMissingDataFile(const QString& baseDir)
{
    const QStringList& files = RequiredDataFiles();
    for (int i = 0; i < files.size(); ++i)
        if (!QFileInfo(baseDir + files[i]).isFile()) return i;
    return -1;
}

QString ProgramDirectoryOf(const QString& executablePath)
{
    QString dir = executablePath.left(executablePath.lastIndexOf('/') + 1);
    if (!dir.endsWith('/')) dir += '/';
    return dir;
}

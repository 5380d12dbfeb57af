// Program entry: checks that the graphics are usable, then runs the main window.
#include "app/presence.h"
#include "app/startscreen.h"
#include "platform/gfx/gfxengine.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>

int main(int argc, char** argv)
{
    // Without a display no message box can be shown either: say it on stderr.
    if (!DisplayAvailable()) {
        std::fprintf(stderr, "%s\n", GraphicsMissingMessage);
        return 1;
    }

    // Every OpenGL view of the program is 3.3 core without a wait for the
    // vertical retrace; set before any window exists.
    GfxSetDefaultSurfaceFormat();

    QApplication app(argc, argv);
    QApplication::setApplicationName("Dunebolt");
    QApplication::setApplicationDisplayName("Dunebolt");

    if (!OpenGL33Available()) {
        QMessageBox box(QMessageBox::NoIcon, "Dunebolt", GraphicsMissingMessage, QMessageBox::Ok);
        box.exec();
        return 1;
    }

    TFStart window;
    if (window.CreateCompleted())
        window.show();
    return app.exec();
}

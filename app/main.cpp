// Program entry: checks that the graphics are usable, then runs the main window.
#include "app/application.h"
#include "app/bot.h"
#include "app/presence.h"
#include "app/startscreen.h"
#include "platform/gfx/gfxengine.h"

#include <QMessageBox>

#include <cstdio>
#include <string_view>

int main(int argc, char** argv)
{
    // A bot needs neither display nor graphics.
    if (argc > 1 && std::string_view(argv[1]) == BotOption) return RunBot(argc, argv);

    // Without a display no message box can be shown either: say it on stderr.
    if (!DisplayAvailable()) {
        std::fprintf(stderr, "%s\n", GraphicsMissingMessage);
        return 1;
    }

    // Every OpenGL view of the program is 3.3 core without a wait for the
    // vertical retrace; set before any window exists.
    GfxSetDefaultSurfaceFormat();

    TApplication app(argc, argv);
    QApplication::setApplicationName("Dunebolt");
    // No display name: the window system would append it to every caption.

    if (!OpenGL33Available()) {
        QMessageBox box(QMessageBox::NoIcon, "Dunebolt", GraphicsMissingMessage, QMessageBox::Ok);
        box.exec();
        return 1;
    }

    TFStart window;
    if (window.CreateCompleted()) window.show();
    return app.exec();
}

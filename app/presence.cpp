#include "app/presence.h"

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QSurfaceFormat>

#include <X11/Xlib.h>

#include <cstdlib>

const char* const GraphicsMissingMessage =
    "Dieses Programm benötigt DirectX ab Version 7.\n\n"
    "Bitte installieren Sie dieses zuerst, und versuchen sie es erneut.";

bool DisplayAvailable()
{
    // Wayland sessions carry their own display; elsewhere the game runs on X11.
    if (std::getenv("WAYLAND_DISPLAY") && !std::getenv("DISPLAY")) return true;
    Display* display = XOpenDisplay(nullptr);
    if (!display) return false;
    XCloseDisplay(display);
    return true;
}

bool OpenGL33Available()
{
    QSurfaceFormat format;
    format.setVersion(3, 3);
    format.setProfile(QSurfaceFormat::CoreProfile);
    QOpenGLContext context;
    context.setFormat(format);
    if (!context.create()) return false;
    const QSurfaceFormat got = context.format();
    if (got.majorVersion() < 3 || (got.majorVersion() == 3 && got.minorVersion() < 3)) return false;
    QOffscreenSurface surface;
    surface.setFormat(context.format());
    surface.create();
    if (!surface.isValid() || !context.makeCurrent(&surface)) return false;
    context.doneCurrent();
    return true;
}

// The race seen in the main window: the window takes the chosen video mode
// while the engine runs and 640 × 480 again after it, the engine's start
// builds the world when a race is about to begin, and its idle event runs
// the race frame.
#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>

#include "app/startscreen.h"
#include "platform/gfx/gfxengine.h"
#include "race/raceframe.h"
#include "race/setupworld.h"

uint8_t WorldSetupPending = 0;

void TFStart::gfxengineBeforeStart()
{
    // A full-screen mode covers the screen and a windowed one renders at
    // the mode's size: the window's 640 × 480 holds only outside races.
    setMinimumSize(0, 0);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    const int selected = gfxengine->SelectedVideoMode();
    const auto& modes = gfxengine->VideoModes();
    if (selected < 0 || size_t(selected) >= modes.size() || !modes[size_t(selected)].Windowed) return;
    const QSize size(modes[size_t(selected)].Width, modes[size_t(selected)].Height);
    FitOnScreen(size);
}

void TFStart::FitOnScreen(QSize clientSize)
{
    // Centred, and never larger than the screen's free area.
    const QRect area = screen() ? screen()->availableGeometry() : QRect(QPoint(0, 0), clientSize);
    clientSize = clientSize.boundedTo(area.size());
    setFixedSize(clientSize);
    move(area.center() - QPoint(clientSize.width() / 2, clientSize.height() / 2));
}

void TFStart::gfxengineAfterStart()
{
    Panel2->move(width() / 2 - Panel2->width() / 2, height() / 2 - Panel2->height() / 2);
    QCoreApplication::processEvents();
    if (WorldSetupPending == 1) {
        WorldSetupPending = 0;
        DXPlay->KeepAlive();
        spiel::SetupWorld(*gfxengine);
    }
    GfxClipper1->Window = this;
    GfxClipper1->Start();
}

void TFStart::gfxengineAfterStop()
{
    FitOnScreen(QSize(640, 480));
    Panel2->move(0, 0);
}

void TFStart::gfxengineIdle(bool& done)
{
    spiel::RaceFrame();
    done = false;
}

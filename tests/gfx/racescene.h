// The race as the window shows it, without the window: the engine's
// components the main window owns (light, water and ground surfaces), the
// game's own world setup, ten named cars on the start grid, the chase camera
// settled behind record 0, and the game's frame and HUD. Test and benchmark
// fixture.
#pragma once

#include <QWidget>
#include <memory>
#include <string>

#include "platform/gfx/gfxengine.h"

class TRaceScene {
public:
    // dataDir: the program directory with images/ and 3dobjects/ (trailing
    // '/').
    TRaceScene(TGfxEngine& engine, QWidget* window, const std::string& dataDir);
    ~TRaceScene();
    // Once the engine has started: the world, the grid and the camera.
    // Throws what the world setup throws.
    void Setup(int cars = 10);
    // One frame: scene and HUD text, not presented; tick drives sky and water.
    void Render(uint32_t tick);

private:
    TGfxEngine& m_engine;
    std::unique_ptr<TGfxSurface> m_water, m_ground;
    std::unique_ptr<TGfxLight> m_light;
};

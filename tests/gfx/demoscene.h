// A fixed view of a race drawn the way the race frame draws it, from the
// generated data of the program directory: the terrain through the
// quadtree, the sky, the water, a car with its wheels and shadow, a gate,
// the trees of the tree map, the three HUD panels and a line of text.
// Test and benchmark fixture; not part of the game.
#pragma once

#include "platform/gfx/D3DEngine.h"
#include "platform/gfx/gfxengine.h"

#include <memory>
#include <string>
#include <vector>

class QWidget;

class TDemoScene {
public:
    // dataDir: the program directory holding images/ and 3dobjects/ (with a
    // trailing '/'); scratchDir: where the quadtree cache may be written.
    TDemoScene(TGfxEngine& engine, QWidget* window, std::string dataDir, std::string scratchDir);
    ~TDemoScene();
    // Once the engine has started (its after-start event). Throws on
    // missing data (EGfxError or the terrain's error).
    void Setup();
    // One frame into the render surface, HUD text included; not presented.
    // tickMs moves the sky and the water as the race's clock would.
    void Render(uint32_t tickMs);
    // The 3D part alone (BeginScene … EndScene), and the text part alone.
    void RenderScene(uint32_t tickMs);
    void RenderText();
    int DrawCalls() const { return m_drawCalls; }

private:
    struct TData;
    TGfxEngine& m_engine;
    std::string m_dataDir, m_scratchDir;
    std::unique_ptr<TGfxSurface> m_water, m_ground;
    std::unique_ptr<TGfxLight> m_light;
    std::unique_ptr<TData> m_d;
    int m_drawCalls = 0;
};

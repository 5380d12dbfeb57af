// One frame of the race drawn into the engine's render surface: the sky that
// travels with the camera, the moving water, the terrain through the
// quadtree, the cars with their shadows, the trees, the gates, the arrow over
// the local car and the HUD panels. The chase camera has set the view.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/d3d/d3dtypes.h"

class TGfxSurface;

namespace render {

// The window's mip-mapped surfaces for the water and the ground.
extern TGfxSurface* WaterSurface;
extern TGfxSurface* GroundSurface;
// Milliseconds for the sky's turn and the water's circle; the system's tick
// count unless a test or benchmark sets its own.
extern std::function<uint32_t()> TickCount;

// How far the render surface exceeds 640 × 480 (may be negative); set every
// frame before the panels, read by the HUD text of the same frame.
extern int32_t HudOffsetX, HudOffsetY;

// Draws nothing while the current engine is not active.
void RenderFrame();
void DrawTrees();
void DrawGates();
// A model at p turned so that its −z axis points at t and its y axis stays
// vertical. With t straight above or below p there is no such turn: the
// matrix of the last call that had one is kept (placed at p).
D3DMATRIX PointAtMatrix(const D3DVECTOR& p, const D3DVECTOR& t);

}  // namespace render

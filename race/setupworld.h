// The world of one race, built at every race start right after the graphics
// engine has started: render states and projection, the ten player records
// with their cars, the terrain with its cell table and quadtree, the models
// of shadow, arrow, gate and sky, the trees and gates of the track, the water
// plane and the three HUD panels. What it builds lives here until the next
// race start replaces it.
#pragma once

#include <array>
#include <memory>

#include "platform/gfx/D3DEngine.h"
#include "platform/gfx/gfxengine.h"
#include "platform/xfile/xfile.h"
#include "world/bsp.h"

namespace spiel {

extern TGeometry ShadowMesh;  // in car space, under every car
extern TGeometry ArrowMesh;
extern TGeometry GateLeftMesh, GateRightMesh, GateTopMesh;
extern TGeometry SkyMesh;
extern std::array<std::unique_ptr<TGfxTexture>, 3> TreeTextures;
extern std::unique_ptr<TGfxTexture> GateGridTexture, GateTopTexture, SkyTexture;
// The water plane, 60000 units square at height 0, its texture repeating
// 30 times; the frame moves it in a small circle.
extern std::array<D3DLVERTEX, 4> WaterQuad;
extern TScreenSprite SpeedPanel, TimePanel, ListPanel;
// How the last setup came by its quadtree (from the cache file or built).
extern bsp::TQuadtreeBuild QuadtreeBuild;

// The part of the world the race's rules need, without drawing: the ten
// player records with their cars (record 0 the local player's), the
// terrain with its cell table, the trees and the gates. baseDir holds
// images/ and 3dobjects/. Raises the model reader's or the bitmaps' errors.
void SetupTrack(const std::string& baseDir);

// Builds the world on engine, which has just started; its BaseDir holds
// images/ and 3dobjects/ and maybe a fitting "quadtree.dat"; otherwise the
// quadtree is read from or written to the player's cache folder.
// Record 0 becomes the local player's (the session's local id). Raises the
// engine's, the model reader's or the bitmaps' errors.
void SetupWorld(TGfxEngine& engine);

// Gives the world's textures back; the window calls it before its engine
// goes, since they belong to that engine.
void ReleaseWorld();

}  // namespace spiel

// Engine functions the game calls directly: the current engine, the fixed
// render states and screen sprites. The quadtree draws its nodes with the
// device (world/bsp.h, DrawQuadtree with one DrawIndexedPrimitive per node).
// Model loading into TGeometry records (LoadXObject, ScaleXObject,
// GetXGeometry) is the model reader's, platform/xfile/xfile.h.
#pragma once

#include "platform/d3d/d3dtypes.h"
#include "platform/gfx/gfxengine.h"

#include <memory>
#include <string>

// Makes engine the one every function below uses and restarts the frame
// clock. Null forgets it.
void SetCurrentEngine(TGfxEngine* engine);
TGfxEngine* CurrentEngine();

// The fixed states of the race: stage 0 texture × diffuse with linear
// filters and mip maps (LOD bias −1.3), the blend-factor alpha of texture
// and texture factor, no dithering and specular, normalised normals, the
// z-buffer, Gouraud, solid, counter-clockwise culling, source alpha /
// inverse source alpha blending.
void SetRenderDefaults();

// A screen rectangle showing one texture: four screen-space vertices in
// strip order top-left, top-right, bottom-left, bottom-right.
struct TScreenSprite {
    D3DTLVERTEX V[4];
    std::shared_ptr<TGfxTexture> Texture;
};
// Makes the sprite's texture from fileName with d3dTRANSPARENTWHITE on the
// current engine and sets the texture coordinates. Raises EGfxError.
void LoadScreenSprite(TScreenSprite& sprite, const std::string& fileName);
// Draws it with its top-left corner at (x, y), the depth test off, blended
// with the opacity when that is below 255.
void DrawScreenSprite(TScreenSprite& sprite, float x, float y, float width, float height, int opacity);

// The textures of the race: ground and water mip levels, the car, the gate,
// the trees and the sky.
#pragma once

#include <vector>

#include "tools/makedata/bitmaps.h"

namespace makedata {

// Mip chains, largest first, each level half the size of the one before.
std::vector<TImage> MakeGroundLevels();  // boden1 … boden3
std::vector<TImage> MakeWaterLevels();   // wasser … wasser5

// The car (named by the model's materials).
TImage MakeCarSide();    // cseite: the flanks, u along the car, v down
TImage MakeCarBonnet();  // chaube: bonnet, deck and roof, seen from above
TImage MakeCarWindow();  // cfenster: the glass
TImage MakeCarFloor();   // cboden: underside, frame and roll cage
TImage MakeTyreTread();  // crad: the running surface, u around the wheel
TImage MakeWheelFace();  // rad: the hub cap with the tyre's flank

// Gate textures: black is the transparent colour.
TImage MakeGateGrid();  // torgitter: the lattice of the posts
TImage MakeGateTop();   // toroben: the banner across the top

// Trees 0 … 2 (tree1 … tree3): white is the transparent colour.
TImage MakeTree(int kind);

// The sky dome: u once around, v from the zenith (0) past the horizon
// (SkyHorizonV) to the dome's lower rim (1).
constexpr float SkyHorizonV = 0.9f;
TImage MakeSky();

}  // namespace makedata

// The five models, as the text of their .x files.
#pragma once

#include <string>

namespace makedata {

// The car: a body frame and the twelve wheel and hub-cap frames, within the
// car box x −70 … 70, y 0 … 125, z −100 … 110 (z forward).
std::string MakeCarModel();
// The sky dome, frame "himmel": scaled by (3000, 1000, 3000) around the
// camera it reaches 22500 out and 8000 up, with its rim below the water.
std::string MakeSkyModel();
// The arrow, frame "pfeil": pointing along +z.
std::string MakeArrowModel();
// The car's shadow, frame "Rechteck01": a flat grid of 81 vertices.
std::string MakeShadowModel();
// The gate, frames "torl", "torr", "toro": scaled by 4 the posts fill
// x ±500 … ±600, z −50 … 50, y 0 … 600, the top bar spans them above.
std::string MakeGateModel();

// Sizes shared with the tests' expectations.
constexpr float SkyRadius = 7.5f;  // before the dome's scale
constexpr float SkyHeight = 8.0f;
constexpr float SkyLowestElevationDeg = -10.0f;

}  // namespace makedata

// The program's icon for the desktop's menus: a lightning bolt striking a
// dune at dusk, in the start picture's colours, drawn at each size the icon
// theme asks for (not scaled from one size, so small ones stay crisp).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace makedata {

// The hicolor theme's usual sizes, in pixels.
inline constexpr std::array<int, 6> IconSizes = {16, 32, 48, 64, 128, 256};

// The bytes of a PNG file of the icon, size × size, with alpha.
std::vector<uint8_t> MakeIconPng(int size);

}  // namespace makedata

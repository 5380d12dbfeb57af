// The data files makedata writes: the one list of them.
#pragma once

#include <array>
#include <string_view>

namespace makedata {

// Paths relative to the program directory, in the order the game's start-up
// check asks for them; it asks for the two music modules, which CMake builds,
// after these. makedata writes exactly these files and fails if it makes one
// that is not here or misses one that is. CMakeLists.txt takes the build's
// outputs from this file's quoted strings: let the paths be its only ones.
inline constexpr auto DataFiles = std::to_array<std::string_view>({
    "3dobjects/auto1.x",
    "3dobjects/himmel.x",
    "3dobjects/pfeil.x",
    "3dobjects/schatten.x",
    "3dobjects/tor.x",
    "musik/musik.mp3",
    "images/boden1.bmp",
    "images/boden2.bmp",
    "images/boden3.bmp",
    "images/cboden.bmp",
    "images/cfenster.bmp",
    "images/chaube.bmp",
    "images/crad.bmp",
    "images/cseite.bmp",
    "images/height.bmp",
    "images/himmel.bmp",
    "images/leer.bmp",
    "images/lobby.bmp",
    "images/mainmenu.bmp",
    "images/rad.bmp",
    "images/speed.bmp",
    "images/time.bmp",
    "images/torgitter.bmp",
    "images/toroben.bmp",
    "images/tree1.bmp",
    "images/tree2.bmp",
    "images/tree3.bmp",
    "images/treemap.bmp",
    "images/wasser.bmp",
    "images/wasser2.bmp",
    "images/wasser3.bmp",
    "images/wasser4.bmp",
    "images/wasser5.bmp",
});

}  // namespace makedata

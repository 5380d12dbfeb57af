// Text on the wire is 8-bit Windows code page 1252 (the German interface's
// characters, "€" and "„" among them); the window works in UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace u_multiplayer {

// Characters outside the code page, and malformed UTF-8 bytes, go out as '?'.
std::string Utf8ToWire(std::string_view utf8);
// The five bytes the code page leaves undefined arrive as '?'.
std::string WireToUtf8(std::string_view wire);

}  // namespace u_multiplayer

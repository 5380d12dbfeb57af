// A small stroke font of our own (capitals, digits, a few signs) for the
// titles and labels painted into the pictures: no system font is involved,
// so the pictures come out the same on every machine.
#pragma once

#include <string_view>

#include "tools/makedata/bitmaps.h"

namespace makedata {

struct TTextStyle {
    float Height = 20;     // cap height in pixels
    float Stroke = 3;      // stroke thickness in pixels
    float Slant = 0;       // x shift per pixel of height (0.2 leans right)
    float Spacing = 1.0f;  // gap between letters, in stroke-grid units
    TColor Color{1, 1, 1};
    bool Antialias = true;
};

// Width in pixels of the text in that style.
float TextWidth(std::string_view text, const TTextStyle& style);
// Paints the text with its top-left corner at (x, y).
void DrawText(TImage& img, float x, float y, std::string_view text, const TTextStyle& style);
// Signed distance (pixels) from (px, py) to the text's strokes: for glows,
// outlines and bevels.
float TextDistance(float px, float py, float x, float y, std::string_view text, const TTextStyle& style);

}  // namespace makedata

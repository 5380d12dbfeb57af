#include "tools/makedata/font.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

namespace makedata {
namespace {

// Glyphs on a 4 × 6 grid, y down; strokes separated by '|', points by ' '.
const char* GlyphStrokes(char c)
{
    switch (std::toupper(static_cast<unsigned char>(c))) {
    case 'A': return "0,6 0,1 1,0 3,0 4,1 4,6|0,3.5 4,3.5";
    case 'B': return "0,6 0,0 3,0 4,1 4,2 3,3 0,3|3,3 4,4 4,5 3,6 0,6";
    case 'C': return "4,0 1,0 0,1 0,5 1,6 4,6";
    case 'D': return "0,0 3,0 4,1 4,5 3,6 0,6 0,0";
    case 'E': return "4,0 0,0 0,6 4,6|0,3 3,3";
    case 'F': return "4,0 0,0 0,6|0,3 3,3";
    case 'G': return "4,1 3,0 1,0 0,1 0,5 1,6 3,6 4,5 4,3.5 2,3.5";
    case 'H': return "0,0 0,6|4,0 4,6|0,3 4,3";
    case 'I': return "2,0 2,6|1,0 3,0|1,6 3,6";
    case 'J': return "4,0 4,5 3,6 1,6 0,5";
    case 'K': return "0,0 0,6|4,0 1,3 0,3|1,3 4,6";
    case 'L': return "0,0 0,6 4,6";
    case 'M': return "0,6 0,0 2,3 4,0 4,6";
    case 'N': return "0,6 0,0 4,6 4,0";
    case 'O': return "1,0 3,0 4,1 4,5 3,6 1,6 0,5 0,1 1,0";
    case 'P': return "0,6 0,0 3,0 4,1 4,2 3,3 0,3";
    case 'Q': return "1,0 3,0 4,1 4,5 3,6 1,6 0,5 0,1 1,0|2.5,4.5 4,6";
    case 'R': return "0,6 0,0 3,0 4,1 4,2 3,3 0,3|2,3 4,6";
    case 'S': return "4,1 3,0 1,0 0,1 0,2 1,3 3,3 4,4 4,5 3,6 1,6 0,5";
    case 'T': return "0,0 4,0|2,0 2,6";
    case 'U': return "0,0 0,5 1,6 3,6 4,5 4,0";
    case 0xDC: return "0,0.6 0,5 1,6 3,6 4,5 4,0.6|1,-0.9 1,-0.7|3,-0.9 3,-0.7";  // Ü in Latin-1
    case 'V': return "0,0 2,6 4,0";
    case 'W': return "0,0 1,6 2,3 3,6 4,0";
    case 'X': return "0,0 4,6|4,0 0,6";
    case 'Y': return "0,0 2,3 4,0|2,3 2,6";
    case 'Z': return "0,0 4,0 0,6 4,6";
    case '0': return "1,0 3,0 4,1 4,5 3,6 1,6 0,5 0,1 1,0";
    case '1': return "1,1 2,0 2,6|1,6 3,6";
    case '2': return "0,1 1,0 3,0 4,1 4,2 0,6 4,6";
    case '3': return "0,1 1,0 3,0 4,1 4,2 3,3 1,3|3,3 4,4 4,5 3,6 1,6 0,5";
    case '4': return "3,6 3,0 0,4 4,4";
    case '5': return "4,0 0,0 0,3 3,3 4,4 4,5 3,6 0,6";
    case '6': return "4,0 1,0 0,1 0,5 1,6 3,6 4,5 4,4 3,3 0,3";
    case '7': return "0,0 4,0 1,6";
    case '8': return "1,0 3,0 4,1 4,2 3,3 1,3 0,2 0,1 1,0|1,3 0,4 0,5 1,6 3,6 4,5 4,4 3,3";
    case '9': return "4,3 1,3 0,2 0,1 1,0 3,0 4,1 4,5 3,6 0,6";
    case ':': return "2,1.4 2,1.6|2,4.4 2,4.6";
    case '.': return "2,5.8 2,6";
    case '-': return "1,3 3,3";
    case '!': return "2,0 2,4|2,5.8 2,6";
    case '/': return "0,6 4,0";
    default: return "";
    }
}

struct TSeg {
    float ax, ay, bx, by;
};

// Pairs that sit closer: an L leaves its upper right open, a T or V or Y
// its lower sides.
float Kerning(char prev, char next)
{
    prev = static_cast<char>(std::toupper(static_cast<unsigned char>(prev)));
    next = static_cast<char>(std::toupper(static_cast<unsigned char>(next)));
    if (prev == 'L' && (next == 'T' || next == 'V' || next == 'Y' || next == 'W'))
        return 1.5f;
    if ((prev == 'T' || prev == 'V' || prev == 'Y') && (next == 'A' || next == 'L' || next == 'J'))
        return 0.8f;
    return 0;
}

float Advance(const TTextStyle& s) { return 4.0f + s.Spacing + 0.5f; }

// The strokes of the text in pixel coordinates.
std::vector<TSeg> Layout(std::string_view text, float x, float y, const TTextStyle& s)
{
    std::vector<TSeg> segs;
    const float unit = s.Height / 6.0f;
    float penX = x;
    char prev = 0;
    for (char c : text) {
        if (prev)
            penX -= Kerning(prev, c) * unit;
        prev = c;
        const char* p = GlyphStrokes(c);
        bool havePrev = false;
        float prevX = 0, prevY = 0;
        while (*p) {
            if (*p == '|') {
                havePrev = false;
                ++p;
                continue;
            }
            char* end = nullptr;
            float gx = std::strtof(p, &end);
            p = end + 1;  // the comma
            float gy = std::strtof(p, &end);
            p = end;
            while (*p == ' ')
                ++p;
            float px = penX + gx * unit + (6.0f - gy) * unit * s.Slant;
            float py = y + gy * unit;
            if (havePrev)
                segs.push_back({prevX, prevY, px, py});
            prevX = px;
            prevY = py;
            havePrev = true;
        }
        penX += Advance(s) * unit;
    }
    return segs;
}

float Distance(const std::vector<TSeg>& segs, float px, float py)
{
    float best = std::numeric_limits<float>::max();
    for (const TSeg& g : segs)
        best = std::min(best, SdSegment(px, py, g.ax, g.ay, g.bx, g.by));
    return best;
}

}  // namespace

float TextWidth(std::string_view text, const TTextStyle& style)
{
    if (text.empty())
        return 0;
    const float unit = style.Height / 6.0f;
    float kern = 0;
    for (size_t i = 1; i < text.size(); ++i)
        kern += Kerning(text[i - 1], text[i]);
    return (static_cast<float>(text.size()) * Advance(style) - kern - style.Spacing - 0.5f) * unit + style.Stroke +
           style.Height * style.Slant;
}

float TextDistance(float px, float py, float x, float y, std::string_view text, const TTextStyle& style)
{
    auto segs = Layout(text, x + style.Stroke / 2, y + style.Stroke / 2, style);
    return Distance(segs, px, py) - style.Stroke / 2;
}

void DrawText(TImage& img, float x, float y, std::string_view text, const TTextStyle& style)
{
    auto segs = Layout(text, x + style.Stroke / 2, y + style.Stroke / 2, style);
    int x0 = std::max(0, static_cast<int>(x) - 2);
    int y0 = std::max(0, static_cast<int>(y) - 2);
    int x1 = std::min(img.Width() - 1, static_cast<int>(x + TextWidth(text, style)) + 2);
    int y1 = std::min(img.Height() - 1, static_cast<int>(y + style.Height + style.Stroke) + 2);
    for (int py = y0; py <= y1; ++py)
        for (int px = x0; px <= x1; ++px) {
            float d = Distance(segs, px + 0.5f, py + 0.5f) - style.Stroke / 2;
            float a = style.Antialias ? Coverage(d) : (d <= 0 ? 1.0f : 0.0f);
            img.Blend(px, py, style.Color, a);
        }
}

}  // namespace makedata

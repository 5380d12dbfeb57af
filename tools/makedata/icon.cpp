#include "tools/makedata/icon.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

#include "tools/makedata/bitmaps.h"

namespace makedata {
namespace {

struct TPoint {
    float x, y;
};

// Signed distance to a closed polygon (negative inside), in its units.
template <size_t N>
float SdPolygon(float px, float py, const std::array<TPoint, N>& v)
{
    float d = (px - v[0].x) * (px - v[0].x) + (py - v[0].y) * (py - v[0].y);
    float sign = 1;
    for (size_t i = 0, j = N - 1; i < N; j = i++) {
        const float ex = v[j].x - v[i].x, ey = v[j].y - v[i].y;
        const float wx = px - v[i].x, wy = py - v[i].y;
        const float t = std::clamp((wx * ex + wy * ey) / (ex * ex + ey * ey), 0.0f, 1.0f);
        const float bx = wx - ex * t, by = wy - ey * t;
        d = std::min(d, bx * bx + by * by);
        const bool above = py >= v[i].y, below = py<v[j].y, left = ex * wy> ey * wx;
        if ((above && below && left) || (!above && !below && !left)) sign = -sign;
    }
    return sign * std::sqrt(d);
}

// The bolt in icon units (0 … 1, y down): it strikes the front dune's crest.
constexpr std::array<TPoint, 7> Bolt = {
    {{0.60f, 0.10f}, {0.29f, 0.53f}, {0.47f, 0.53f}, {0.37f, 0.86f}, {0.74f, 0.40f}, {0.55f, 0.40f}, {0.70f, 0.10f}}};

float BackDune(float u) { return 0.66f - 0.06f * std::sin(u * 5.5f + 0.6f) - 0.03f * std::sin(u * 11.0f); }
float FrontDune(float u)
{
    return 0.84f - 0.12f * std::exp(-(u - 0.40f) * (u - 0.40f) / 0.08f) + 0.02f * std::sin(u * 9.0f);
}

// The colour inside the icon's tile at (u, v); s: pixels per unit, for
// edges one pixel soft at every size.
TColor IconColour(float u, float v, float s)
{
    const TColor top = Rgb(20, 22, 62), mid = Rgb(112, 56, 96), low = Rgb(246, 146, 70);
    TColor c = Mix(Mix(top, mid, SmoothStep(0.0f, 0.45f, v)), low, SmoothStep(0.35f, 0.7f, v));
    // The glow of the strike.
    const float r2 = (u - 0.45f) * (u - 0.45f) + (v - 0.62f) * (v - 0.62f);
    c = Mix(c, Rgb(255, 214, 130), 0.55f * std::exp(-r2 / 0.05f));

    auto layer = [&](TColor colour, float sdUnits) { c = Mix(c, colour, Coverage(sdUnits * s)); };
    layer(Mix(Rgb(168, 88, 82), Rgb(120, 60, 72), SmoothStep(0.6f, 0.95f, v)), BackDune(u) - v);
    // The front dune: lit on the left of its crest, in shade on the right.
    const float crest = 0.40f + (v - FrontDune(0.40f)) * 0.9f;
    const TColor sand = Mix(Rgb(248, 190, 112), Rgb(196, 116, 78), SmoothStep(-0.03f, 0.03f, u - crest));
    layer(Mix(sand, Rgb(170, 92, 70), SmoothStep(0.8f, 1.0f, v)), FrontDune(u) - v);

    // The bolt: a dark rim, so it reads on any backdrop, then its body,
    // white-hot at the top and gold towards the strike.
    const float bolt = SdPolygon(u, v, Bolt);
    layer(Rgb(44, 20, 36), bolt - std::max(0.035f, 1.2f / s));
    layer(Mix(Rgb(255, 248, 196), Rgb(255, 186, 36), SmoothStep(0.1f, 0.8f, v)), bolt);
    return c;
}

void PutU32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

// One PNG chunk: length, type, data, CRC of type and data (big-endian).
void Chunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data)
{
    PutU32(out, static_cast<uint32_t>(data.size()));
    const size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    PutU32(out, static_cast<uint32_t>(crc32(0, out.data() + start, static_cast<uInt>(out.size() - start))));
}

}  // namespace

std::vector<uint8_t> MakeIconPng(int size)
{
    const float s = static_cast<float>(size);
    // Rows of RGBA, each after its filter byte 0 (none).
    std::vector<uint8_t> raw;
    raw.reserve(static_cast<size_t>(size) * (size * 4 + 1));
    for (int y = 0; y < size; ++y) {
        raw.push_back(0);
        for (int x = 0; x < size; ++x) {
            const float u = (x + 0.5f) / s, v = (y + 0.5f) / s;
            // A rounded tile with a small margin, as icon themes draw them.
            const float tile = SdRoundBox(u, v, 0.5f, 0.5f, 0.46f, 0.46f, 0.18f);
            TColor c = IconColour(u, v, s);
            c = Mix(c, Rgb(20, 22, 62), 0.7f * Coverage((std::fabs(tile + 0.5f / s) - 0.5f / s) * s));
            const TPixel p = ToPixel(c);
            raw.insert(raw.end(), {p.r, p.g, p.b, static_cast<uint8_t>(std::lround(255 * Coverage(tile * s)))});
        }
    }
    std::vector<uint8_t> packed(compressBound(static_cast<uLong>(raw.size())));
    uLongf packedSize = static_cast<uLongf>(packed.size());
    if (compress2(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size()), 9) != Z_OK)
        throw std::runtime_error("icon " + std::to_string(size) + ": cannot be compressed");
    packed.resize(packedSize);

    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> header;
    PutU32(header, static_cast<uint32_t>(size));
    PutU32(header, static_cast<uint32_t>(size));
    header.insert(header.end(), {8, 6, 0, 0, 0});  // 8 bits, RGBA, deflate, no filter method, no interlace
    Chunk(png, "IHDR", header);
    Chunk(png, "IDAT", packed);
    Chunk(png, "IEND", {});
    return png;
}

}  // namespace makedata

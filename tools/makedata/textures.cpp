#include "tools/makedata/textures.h"

#include <algorithm>
#include <cmath>

#include "tools/makedata/font.h"

namespace makedata {
namespace {

constexpr float Pi = 3.14159265f;
constexpr TPixel Black{0, 0, 0};

std::vector<TImage> MipChain(TImage top, int levels)
{
    std::vector<TImage> chain;
    chain.push_back(std::move(top));
    while (static_cast<int>(chain.size()) < levels) chain.push_back(Downsample(chain.back()));
    return chain;
}

template <typename F>
void Paint(TImage& img, F&& f)
{
    for (int y = 0; y < img.Height(); ++y)
        for (int x = 0; x < img.Width(); ++x) img.At(x, y) = f(x + 0.5f, y + 0.5f, img.At(x, y));
}

}  // namespace

std::vector<TImage> MakeGroundLevels()
{
    // Wind-rippled sand that tiles: ripples along an integer direction,
    // warped by periodic noise, over darker and lighter drifts.
    constexpr int N = 256;
    TImage img(N, N);
    const TColor sand = Rgb(222, 186, 128), dark = Rgb(198, 160, 108), light = Rgb(240, 212, 160);
    Paint(img, [&](float x, float y, TColor) {
        float u = x / N, v = y / N;
        float drift = Fbm(u * 4, v * 4, 41, 4, 4);
        float warp = (Fbm(u * 3, v * 3, 43, 3, 3) - 0.5f) * 5.0f;
        float ripple = std::sin(2 * Pi * (7 * u + 3 * v) + warp);
        ripple = 0.5f + 0.5f * ripple;
        ripple = ripple * ripple;
        TColor c = Mix(dark, sand, SmoothStep(0.25f, 0.65f, drift));
        c = Mix(c, light, 0.35f * ripple * SmoothStep(0.3f, 0.7f, drift));
        c = Mix(c, dark, 0.25f * (1 - ripple));
        float grain = Hash01(static_cast<int>(x), static_cast<int>(y), 47) - 0.5f;
        return Add(c, {grain * 0.06f, grain * 0.05f, grain * 0.04f});
    });
    // Scattered pebbles, wrapped at the edges so the tile stays seamless.
    TRandom rnd(77);
    for (int i = 0; i < 90; ++i) {
        float cx = rnd.Range(0, N), cy = rnd.Range(0, N), r = rnd.Range(0.8f, 2.2f);
        TColor c = Mix(Rgb(120, 96, 70), Rgb(170, 150, 120), rnd.Uniform());
        for (int dy = -4; dy <= 4; ++dy)
            for (int dx = -4; dx <= 4; ++dx) {
                int px = static_cast<int>(cx) + dx, py = static_cast<int>(cy) + dy;
                float d = SdCircle(px + 0.5f, py + 0.5f, cx, cy, r);
                int wx = (px + N) % N, wy = (py + N) % N;
                img.Blend(wx, wy, c, Coverage(d));
            }
    }
    return MipChain(std::move(img), 3);
}

std::vector<TImage> MakeWaterLevels()
{
    constexpr int N = 256;
    TImage img(N, N);
    const TColor deep = Rgb(22, 84, 128), mid = Rgb(36, 122, 160), crest = Rgb(120, 190, 210);
    Paint(img, [&](float x, float y, TColor) {
        float u = x / N, v = y / N;
        float n = Fbm(u * 4, v * 4, 51, 4, 4);
        // Caustic-like bright lines where a second noise crosses its middle.
        float m = Fbm(u * 6 + n, v * 6 - n, 53, 3, 6);
        float line = 1.0f - std::min(1.0f, std::fabs(m - 0.5f) * 14.0f);
        TColor c = Mix(deep, mid, SmoothStep(0.3f, 0.75f, n));
        return Mix(c, crest, 0.55f * line * line);
    });
    return MipChain(std::move(img), 5);
}

TImage MakeCarSide()
{
    // u runs from the tail (0) to the nose (1), v from the top edge (0) to
    // the sill (1).
    constexpr int W = 256, H = 128;
    TImage img(W, H);
    const TColor paint = Rgb(236, 104, 28), deep = Rgb(170, 58, 14);
    Paint(img, [&](float x, float y, TColor) {
        float v = y / H;
        TColor c = Mix(paint, deep, SmoothStep(0.2f, 1.0f, v));
        float sheen = std::exp(-std::pow((v - 0.18f) * 9.0f, 2.0f));
        c = Mix(c, Rgb(255, 190, 140), 0.35f * sheen);
        float flake = Hash01(static_cast<int>(x), static_cast<int>(y), 61) - 0.5f;
        return Add(c, {flake * 0.03f, flake * 0.02f, flake * 0.02f});
    });
    // Racing stripes along the car.
    FillSoft(img, Rgb(250, 246, 236), [&](float, float y) { return std::fabs(y - 70) - 7; });
    FillSoft(img, Rgb(28, 30, 38), [&](float, float y) { return std::fabs(y - 82) - 3; });
    // Start number roundel.
    FillSoft(img, Rgb(250, 246, 236), [&](float x, float y) { return SdCircle(x, y, 150, 44, 22); });
    FillSoft(img, Rgb(28, 30, 38), [&](float x, float y) { return std::fabs(SdCircle(x, y, 150, 44, 22)) - 1.5f; });
    TTextStyle num;
    num.Height = 26;
    num.Stroke = 5;
    num.Color = Rgb(28, 30, 38);
    DrawText(img, 150 - TextWidth("7", num) / 2, 44 - 15, "7", num);
    TTextStyle brand;
    brand.Height = 9;
    brand.Stroke = 2;
    brand.Slant = 0.25f;
    brand.Color = Rgb(28, 30, 38);
    DrawText(img, 40, 94, "DUNEBOLT", brand);
    // Panel seams and the sill shadow.
    FillSoft(
        img, Rgb(90, 34, 10), [&](float x, float) { return std::fabs(x - 96) - 0.6f; }, 0.8f);
    FillSoft(
        img, Rgb(90, 34, 10), [&](float x, float) { return std::fabs(x - 205) - 0.6f; }, 0.8f);
    FillSoft(
        img, Rgb(40, 20, 12), [&](float, float y) { return 118 - y; }, 0.7f);
    return img;
}

TImage MakeCarBonnet()
{
    // u across the car (0 left, 1 right), v along it (0 nose, 1 tail).
    constexpr int N = 128;
    TImage img(N, N);
    const TColor paint = Rgb(240, 112, 32);
    Paint(img, [&](float x, float y, TColor) {
        float u = x / N;
        TColor c = Mix(paint, Rgb(196, 76, 18), std::pow(std::fabs(u - 0.5f) * 2, 2.0f));
        float flake = Hash01(static_cast<int>(x), static_cast<int>(y), 63) - 0.5f;
        return Add(c, {flake * 0.03f, flake * 0.02f, flake * 0.02f});
    });
    FillSoft(img, Rgb(250, 246, 236), [&](float x, float) { return std::fabs(std::fabs(x - 64) - 12) - 6; });
    FillSoft(img, Rgb(28, 30, 38), [&](float x, float) { return std::fabs(x - 64) - 2.5f; });
    // Air scoop louvres.
    for (int i = 0; i < 5; ++i)
        FillSoft(img, Rgb(40, 26, 20),
                 [&](float x, float y) { return SdRoundBox(x, y, 64, 30 + i * 7.0f, 16, 1.6f, 1.5f); });
    return img;
}

TImage MakeCarWindow()
{
    constexpr int W = 128, H = 64;
    TImage img(W, H);
    Paint(img, [&](float x, float y, TColor) {
        float v = y / H;
        TColor c = Mix(Rgb(70, 110, 150), Rgb(14, 24, 40), SmoothStep(0.0f, 0.9f, v));
        // Two diagonal reflections.
        float s = x + y * 0.9f;
        float streak = std::exp(-std::pow((s - 40) / 6.0f, 2.0f)) + 0.6f * std::exp(-std::pow((s - 62) / 3.0f, 2.0f));
        return Mix(c, Rgb(200, 226, 240), 0.5f * streak);
    });
    FillSoft(img, Rgb(20, 20, 24), [&](float x, float y) { return -SdRoundBox(x, y, 64, 32, 62, 30, 6); });
    return img;
}

TImage MakeCarFloor()
{
    constexpr int N = 64;
    TImage img(N, N);
    Paint(img, [&](float x, float y, TColor) {
        // Chequer plate: raised diagonal lozenges on dark steel.
        float a = std::fmod(x + y, 16.0f), b = std::fmod(x - y + 64.0f, 16.0f);
        float ridge = std::max(0.0f, 1.0f - std::hypot(a - 8, (b - 8) * 0.35f) / 4.0f);
        TColor c = Mix(Rgb(58, 60, 66), Rgb(118, 122, 130), ridge);
        float n = Fbm(x / 16, y / 16, 65, 3, 4);
        return Mix(c, Rgb(40, 38, 36), 0.3f * n);
    });
    return img;
}

TImage MakeTyreTread()
{
    // u around the tyre (tiles), v across it.
    constexpr int N = 64;
    TImage img(N, N, Rgb(34, 33, 32));
    for (int i = 0; i < 8; ++i) {
        float cx = i * 8.0f + 4.0f;
        float off = (i % 2) ? 14 : -14;
        FillSoft(img, Rgb(58, 56, 54), [&](float x, float y) {
            float dx = std::fmod(x - cx + 96.0f, 64.0f) - 32.0f;
            return SdRoundBox(dx, y, 0, 32 + off, 2.6f, 11, 1.5f);
        });
    }
    Paint(img, [&](float x, float y, TColor c) {
        float g = Hash01(static_cast<int>(x), static_cast<int>(y), 67) - 0.5f;
        return Add(c, {g * 0.03f, g * 0.03f, g * 0.03f});
    });
    return img;
}

TImage MakeWheelFace()
{
    // Planar on the wheel's side: the tyre's flank outside, a five-spoke
    // alloy rim inside.
    constexpr int N = 64;
    TImage img(N, N, Rgb(30, 30, 30));
    const float c = 32;
    Paint(img, [&](float x, float y, TColor) {
        float r = std::hypot(x - c, y - c);
        TColor tyre = Mix(Rgb(44, 43, 42), Rgb(26, 26, 26), SmoothStep(26, 32, r));
        return tyre;
    });
    FillSoft(img, Rgb(176, 180, 188), [&](float x, float y) { return SdCircle(x, y, c, c, 20); });
    FillSoft(img, Rgb(52, 54, 60), [&](float x, float y) { return SdCircle(x, y, c, c, 17); });
    for (int s = 0; s < 5; ++s) {
        float a = s * 2 * Pi / 5 - Pi / 2;
        FillSoft(img, Rgb(200, 204, 212), [&](float x, float y) {
            return SdSegment(x, y, c, c, c + 17 * std::cos(a), c + 17 * std::sin(a)) - 2.8f;
        });
    }
    FillSoft(img, Rgb(220, 224, 230), [&](float x, float y) { return SdCircle(x, y, c, c, 6); });
    FillSoft(img, Rgb(236, 104, 28), [&](float x, float y) { return SdCircle(x, y, c, c, 3); });
    return img;
}

TImage MakeGateGrid()
{
    // A truss: two rails and cross braces; the holes are exact black.
    constexpr int N = 64;
    TImage img(N, N, {0, 0, 0});
    const TColor steel = Rgb(210, 60, 40), light = Rgb(236, 232, 220);
    auto rails = [&](float x, float) { return std::min(std::fabs(x - 4.5f) - 4, std::fabs(x - 59.5f) - 4); };
    auto braces = [&](float x, float y) {
        float d = std::min(SdSegment(x, y, 6, 0, 58, 64), SdSegment(x, y, 58, 0, 6, 64));
        d = std::min(d, std::fabs(y - 1.5f) - 0.5f);
        return std::min(d - 2.5f, std::fabs(y - 1.5f) - 2.5f);
    };
    FillHard(img, steel, braces);
    FillHard(img, light, rails);
    // Red bands on the rails every half tile, as on a marker post.
    FillHard(img, steel, [&](float x, float y) { return std::max(rails(x, y), std::fabs(y - 48) - 8); });
    Paint(img, [&](float x, float, TColor c) {
        if (ToPixel(c) == Black) return c;
        float shade = 0.85f + 0.15f * std::cos((x - 32) / 40.0f);
        return Scale(c, shade);
    });
    return img;
}

TImage MakeGateTop()
{
    // The banner across the gate: chequered flags at both ends, the name in
    // the middle, a row of exact-black eyelets along both edges.
    constexpr int W = 256, H = 32;
    TImage img(W, H);
    Paint(img, [&](float, float y, TColor) { return Mix(Rgb(30, 46, 110), Rgb(16, 24, 64), y / H); });
    for (int side = 0; side < 2; ++side)
        for (int cy = 0; cy < 4; ++cy)
            for (int cx = 0; cx < 5; ++cx) {
                bool lightCell = ((cx + cy) % 2) == 0;
                int x0 = side ? (W - 40 + cx * 8) : cx * 8;
                for (int y = 0; y < 8; ++y)
                    for (int x = 0; x < 8; ++x)
                        img.At(x0 + x, 4 + cy * 6 + std::min(y, 5)) = lightCell ? Rgb(240, 240, 232) : Rgb(24, 24, 28);
            }
    TTextStyle t;
    t.Height = 16;
    t.Stroke = 3.2f;
    t.Slant = 0.2f;
    t.Spacing = 1.4f;
    t.Color = Rgb(255, 196, 40);
    const char* name = "DUNEBOLT";
    float w = TextWidth(name, t);
    DrawText(img, (W - w) / 2, 7, name, t);
    for (int x = 6; x < W; x += 12) {
        FillHard(img, {0, 0, 0}, [&](float px, float py) { return SdCircle(px, py, x + 0.5f, 1.5f, 1.2f); });
        FillHard(img, {0, 0, 0}, [&](float px, float py) { return SdCircle(px, py, x + 0.5f, H - 1.5f, 1.2f); });
    }
    // Everything but the eyelets stays visible.
    for (int y = 3; y < H - 3; ++y)
        for (int x = 0; x < W; ++x)
            if (ToPixel(img.At(x, y)) == Black) img.At(x, y) = Rgb(2, 2, 4);
    return img;
}

TImage MakeTree(int kind)
{
    // Binary coverage on exact white, so no pale fringe survives the key.
    constexpr int N = 256;
    TImage img(N, N, {1, 1, 1});
    const uint32_t seed = 300 + static_cast<uint32_t>(kind) * 17;
    if (kind == 0) {
        // Palm: a leaning, ringed trunk and a crown of drooping fronds.
        auto trunkX = [](float t) { return 128 + 22 * t * t; };  // t 0 bottom … 1 top
        for (int y = 0; y < N; ++y)
            for (int x = 0; x < N; ++x) {
                float py = y + 0.5f, px = x + 0.5f;
                float t = (256 - py) / 165.0f;
                if (t < 0 || t > 1) continue;
                float half = 7.5f - 3.0f * t;
                float dx = px - trunkX(t);
                if (std::fabs(dx) <= half) {
                    float ring = 0.5f + 0.5f * std::sin(py * 0.9f);
                    float side = dx / half;
                    TColor c = Mix(Rgb(132, 96, 60), Rgb(88, 62, 40), 0.5f * ring + 0.3f * side);
                    img.At(x, y) = c;
                }
            }
        const float cx = trunkX(1), cy = 255 - 165;
        for (int f = 0; f < 9; ++f) {
            float a = -Pi / 2 + (f - 4) * 0.42f + (Hash01(f, 1, seed) - 0.5f) * 0.2f;
            float len = 70 + 25 * Hash01(f, 2, seed);
            float droop = 0.9f + 0.6f * std::fabs(std::sin(a));
            TColor leaf = Mix(Rgb(46, 118, 40), Rgb(80, 150, 52), Hash01(f, 3, seed));
            for (int s = 0; s <= 60; ++s) {
                float t = s / 60.0f;
                float px = cx + std::cos(a) * len * t;
                float py = cy + std::sin(a) * len * t + droop * 38 * t * t;
                float w = 9.0f * std::sin(Pi * std::min(1.0f, t * 1.15f + 0.05f));
                for (int dy = -12; dy <= 12; ++dy)
                    for (int dx = -12; dx <= 12; ++dx) {
                        int ix = static_cast<int>(px) + dx, iy = static_cast<int>(py) + dy;
                        if (ix < 0 || iy < 0 || ix >= N || iy >= N) continue;
                        float d = std::hypot(ix + 0.5f - px, iy + 0.5f - py);
                        // Serrated leaflets: the width flickers along the frond.
                        float serr = 0.65f + 0.35f * std::fabs(std::sin((t * 40 + dx * 0.3f)));
                        if (d <= w * serr) {
                            bool rib = d < 1.3f;
                            img.At(ix, iy) = rib ? Rgb(160, 170, 80) : Mix(leaf, Rgb(30, 80, 30), d / 12);
                        }
                    }
            }
        }
    } else if (kind == 1) {
        // Acacia: a forked trunk under a wide, flat, clumpy canopy.
        auto trunk = [&](float px, float py) {
            float d = SdSegment(px, py, 128, 256, 124, 170) - 7;
            d = std::min(d, SdSegment(px, py, 124, 172, 92, 118) - 4.5f);
            d = std::min(d, SdSegment(px, py, 125, 172, 168, 112) - 4.5f);
            d = std::min(d, SdSegment(px, py, 126, 200, 146, 150) - 3.5f);
            return d;
        };
        FillHard(img, Rgb(104, 78, 54), trunk);
        for (int y = 0; y < N; ++y)
            for (int x = 0; x < N; ++x) {
                float px = x + 0.5f, py = y + 0.5f;
                float e = std::hypot((px - 128) / 118.0f, (py - 100) / 46.0f);
                float n = Fbm(px / 22, py / 22, seed, 4);
                if (e + (0.5f - n) * 0.55f < 0.78f) {
                    float shade = SmoothStep(60, 140, py) * 0.6f + (0.5f - n) * 0.8f;
                    img.At(x, y) = Mix(Rgb(92, 140, 56), Rgb(34, 74, 30), Clamp01(shade));
                }
            }
    } else {
        // Cypress: a tall flame of dark needles on a short trunk.
        FillHard(img, Rgb(96, 72, 50), [&](float px, float py) { return SdSegment(px, py, 128, 256, 128, 200) - 5; });
        for (int y = 0; y < N; ++y)
            for (int x = 0; x < N; ++x) {
                float px = x + 0.5f, py = y + 0.5f;
                float t = (py - 6) / 230.0f;  // 0 tip … 1 base
                if (t < 0 || t > 1) continue;
                float half = 46 * std::pow(std::sin(Pi * std::min(1.0f, 0.55f + 0.55f * t)), 0.6f) * std::sqrt(t);
                float n = Fbm(px / 9, py / 14, seed, 4);
                if (std::fabs(px - 128) < half * (0.75f + 0.5f * n)) {
                    float shade = (px - 128) / 60.0f + (0.5f - n);
                    img.At(x, y) = Mix(Rgb(60, 104, 52), Rgb(18, 50, 26), Clamp01(0.5f + shade));
                }
            }
    }
    // Every tree colour above is a mix of darker colours, so only the
    // unpainted background is exactly white.
    return img;
}

TImage MakeSky()
{
    constexpr int W = 512, H = 256;
    TImage img(W, H);
    const TColor zenith = Rgb(36, 92, 184), high = Rgb(84, 146, 214), horizon = Rgb(206, 220, 232),
                 below = Rgb(214, 204, 184);
    Paint(img, [&](float x, float y, TColor) {
        float v = y / H, u = x / W;
        TColor c;
        if (v < SkyHorizonV) {
            float e = v / SkyHorizonV;  // 0 zenith … 1 horizon
            c = Mix(zenith, high, SmoothStep(0.0f, 0.6f, e));
            c = Mix(c, horizon, SmoothStep(0.55f, 1.0f, e) * SmoothStep(0.55f, 1.0f, e));
            // Clouds, squeezed towards the horizon as perspective would.
            float stretch = 1.0f + 2.0f * e * e;
            float n = Fbm(u * 6, v * 6 * stretch, 91, 5, 6);
            float cloud =
                SmoothStep(0.52f, 0.72f, n) * SmoothStep(0.05f, 0.35f, e) * (1.0f - SmoothStep(0.9f, 1.0f, e));
            TColor cloudCol = Mix(Rgb(252, 250, 246), Rgb(196, 204, 220), SmoothStep(0.6f, 0.85f, n));
            c = Mix(c, cloudCol, 0.85f * cloud);
        } else {
            c = Mix(horizon, below, SmoothStep(SkyHorizonV, 1.0f, v));
        }
        return c;
    });
    return img;
}

}  // namespace makedata

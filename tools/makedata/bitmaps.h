// Pictures in memory and their 24-bit BMP files, plus the small painting
// kit every generated image uses: colours, deterministic noise, shapes
// drawn through signed distances (so edges are antialiased where wanted
// and hard where a transparent colour key must stay exact).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace makedata {

struct TColor {
    float r = 0, g = 0, b = 0;
};

inline TColor Rgb(int r, int g, int b) { return {r / 255.0f, g / 255.0f, b / 255.0f}; }
TColor Mix(TColor a, TColor b, float t);
TColor Scale(TColor a, float s);
TColor Add(TColor a, TColor b);

// 8-bit channels after rounding and clamping, as they are written.
struct TPixel {
    uint8_t r = 0, g = 0, b = 0;
    bool operator==(const TPixel&) const = default;
};
TPixel ToPixel(TColor c);

// Row 0 is the top row, as a bitmap reader reports it.
class TImage {
public:
    TImage(int width, int height, TColor fill = {});
    int Width() const { return W; }
    int Height() const { return H; }
    TColor& At(int x, int y) { return Px[static_cast<size_t>(y) * W + x]; }
    const TColor& At(int x, int y) const { return Px[static_cast<size_t>(y) * W + x]; }
    // Wraps coordinates: for tiling textures.
    const TColor& Wrapped(int x, int y) const;
    // Bilinear sample at pixel coordinates, wrapping.
    TColor Sample(float x, float y) const;
    // Paints c over the pixel with coverage a (0 … 1).
    void Blend(int x, int y, TColor c, float a);

private:
    int W, H;
    std::vector<TColor> Px;
};

// Half the size by 2 × 2 averaging: the next hand-made mip level.
TImage Downsample(const TImage& src);

// The bytes of a 24-bit uncompressed bottom-up BMP file of the image.
std::vector<uint8_t> EncodeBmp(const TImage& img);

// Deterministic noise. Lattice noise with an optional period (in lattice
// cells; 0 = none) so that textures tile.
float Hash01(int x, int y, uint32_t seed);
float ValueNoise(float x, float y, uint32_t seed, int period = 0);
// Sum of octaves, each twice the frequency and half the amplitude; result
// roughly 0 … 1.
float Fbm(float x, float y, uint32_t seed, int octaves, int period = 0);

// Shapes as signed distances in pixels (negative inside).
float SdRoundBox(float px, float py, float cx, float cy, float hw, float hh, float radius);
float SdSegment(float px, float py, float ax, float ay, float bx, float by);
float SdCircle(float px, float py, float cx, float cy, float radius);
// Coverage of a pixel whose centre has signed distance d: a one-pixel ramp.
float Coverage(float d);
float SmoothStep(float e0, float e1, float x);
float Clamp01(float x);

// Fills a shape given by its signed distance. Hard: a pixel is either the
// colour or left as it is, so textures with a colour key get no blend with
// the key. Soft: blended by the pixel's coverage.
template <typename SD>
void FillHard(TImage& img, TColor c, SD&& sd)
{
    for (int y = 0; y < img.Height(); ++y)
        for (int x = 0; x < img.Width(); ++x)
            if (sd(x + 0.5f, y + 0.5f) <= 0) img.At(x, y) = c;
}

template <typename SD>
void FillSoft(TImage& img, TColor c, SD&& sd, float alpha = 1.0f)
{
    for (int y = 0; y < img.Height(); ++y)
        for (int x = 0; x < img.Width(); ++x) img.Blend(x, y, c, alpha * Coverage(sd(x + 0.5f, y + 0.5f)));
}

// A small fixed-seed generator for layouts that need scattered choices.
class TRandom {
public:
    explicit TRandom(uint32_t seed) : State(seed ? seed : 1u) {}
    uint32_t Next();
    float Uniform();  // 0 ≤ u < 1
    float Range(float lo, float hi) { return lo + (hi - lo) * Uniform(); }

private:
    uint32_t State;
};

}  // namespace makedata

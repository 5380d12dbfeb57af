#include "tools/makedata/bitmaps.h"

#include <algorithm>
#include <cassert>
#include <cmath>

namespace makedata {

TColor Mix(TColor a, TColor b, float t)
{
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}
TColor Scale(TColor a, float s) { return {a.r * s, a.g * s, a.b * s}; }
TColor Add(TColor a, TColor b) { return {a.r + b.r, a.g + b.g, a.b + b.b}; }

namespace {
uint8_t ToByte(float v)
{
    float s = std::round(std::clamp(v, 0.0f, 1.0f) * 255.0f);
    return static_cast<uint8_t>(s);
}

void PutU16(std::vector<uint8_t>& out, uint32_t v)
{
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
}

void PutU32(std::vector<uint8_t>& out, uint32_t v)
{
    PutU16(out, v & 0xFFFF);
    PutU16(out, v >> 16);
}

int Wrap(int v, int n) { return ((v % n) + n) % n; }

float Lerp(float a, float b, float t) { return a + (b - a) * t; }
}  // namespace

TPixel ToPixel(TColor c) { return {ToByte(c.r), ToByte(c.g), ToByte(c.b)}; }

TImage::TImage(int width, int height, TColor fill) : W(width), H(height), Px(static_cast<size_t>(width) * height, fill)
{
    assert(width > 0 && height > 0);
}

const TColor& TImage::Wrapped(int x, int y) const { return At(Wrap(x, W), Wrap(y, H)); }

TColor TImage::Sample(float x, float y) const
{
    float fx = std::floor(x), fy = std::floor(y);
    int ix = static_cast<int>(fx), iy = static_cast<int>(fy);
    float tx = x - fx, ty = y - fy;
    TColor top = Mix(Wrapped(ix, iy), Wrapped(ix + 1, iy), tx);
    TColor bottom = Mix(Wrapped(ix, iy + 1), Wrapped(ix + 1, iy + 1), tx);
    return Mix(top, bottom, ty);
}

void TImage::Blend(int x, int y, TColor c, float a)
{
    if (x < 0 || y < 0 || x >= W || y >= H || a <= 0) return;
    TColor& p = At(x, y);
    p = Mix(p, c, std::min(a, 1.0f));
}

TImage Downsample(const TImage& src)
{
    TImage dst(std::max(1, src.Width() / 2), std::max(1, src.Height() / 2));
    for (int y = 0; y < dst.Height(); ++y)
        for (int x = 0; x < dst.Width(); ++x) {
            TColor s = Add(Add(src.Wrapped(2 * x, 2 * y), src.Wrapped(2 * x + 1, 2 * y)),
                           Add(src.Wrapped(2 * x, 2 * y + 1), src.Wrapped(2 * x + 1, 2 * y + 1)));
            dst.At(x, y) = Scale(s, 0.25f);
        }
    return dst;
}

std::vector<uint8_t> EncodeBmp(const TImage& img)
{
    // BITMAPFILEHEADER (14 bytes) + BITMAPINFOHEADER (40 bytes), then the
    // rows bottom-up, each BGR and padded to a multiple of four bytes.
    const uint32_t rowBytes = (static_cast<uint32_t>(img.Width()) * 3 + 3) & ~3u;
    const uint32_t dataBytes = rowBytes * static_cast<uint32_t>(img.Height());
    const uint32_t offset = 14 + 40;
    std::vector<uint8_t> out;
    out.reserve(offset + dataBytes);
    out.push_back('B');
    out.push_back('M');
    PutU32(out, offset + dataBytes);  // file size
    PutU32(out, 0);                   // reserved
    PutU32(out, offset);              // pixel data offset
    PutU32(out, 40);                  // header size
    PutU32(out, static_cast<uint32_t>(img.Width()));
    PutU32(out, static_cast<uint32_t>(img.Height()));  // positive: bottom-up
    PutU16(out, 1);                                    // planes
    PutU16(out, 24);                                   // bits per pixel
    PutU32(out, 0);                                    // BI_RGB, uncompressed
    PutU32(out, dataBytes);
    PutU32(out, 2835);  // 72 dpi
    PutU32(out, 2835);
    PutU32(out, 0);  // colours used
    PutU32(out, 0);  // important colours
    for (int y = img.Height() - 1; y >= 0; --y) {
        size_t start = out.size();
        for (int x = 0; x < img.Width(); ++x) {
            TPixel p = ToPixel(img.At(x, y));
            out.push_back(p.b);
            out.push_back(p.g);
            out.push_back(p.r);
        }
        while (out.size() - start < rowBytes) out.push_back(0);
    }
    return out;
}

float Hash01(int x, int y, uint32_t seed)
{
    uint32_t h = static_cast<uint32_t>(x) * 0x8DA6B343u ^ static_cast<uint32_t>(y) * 0xD8163841u ^ seed * 0xCB1AB31Fu;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    h *= 0x297A2D39u;
    h ^= h >> 15;
    return static_cast<float>(h >> 8) / 16777216.0f;
}

float ValueNoise(float x, float y, uint32_t seed, int period)
{
    float fx = std::floor(x), fy = std::floor(y);
    int ix = static_cast<int>(fx), iy = static_cast<int>(fy);
    float tx = x - fx, ty = y - fy;
    tx = tx * tx * tx * (tx * (tx * 6 - 15) + 10);
    ty = ty * ty * ty * (ty * (ty * 6 - 15) + 10);
    auto corner = [&](int cx, int cy) {
        if (period > 0) {
            cx = Wrap(cx, period);
            cy = Wrap(cy, period);
        }
        return Hash01(cx, cy, seed);
    };
    float a = Lerp(corner(ix, iy), corner(ix + 1, iy), tx);
    float b = Lerp(corner(ix, iy + 1), corner(ix + 1, iy + 1), tx);
    return Lerp(a, b, ty);
}

float Fbm(float x, float y, uint32_t seed, int octaves, int period)
{
    float sum = 0, amp = 0.5f, norm = 0;
    for (int o = 0; o < octaves; ++o) {
        sum += amp * ValueNoise(x, y, seed + 101u * static_cast<uint32_t>(o), period);
        norm += amp;
        x *= 2;
        y *= 2;
        if (period > 0) period *= 2;
        amp *= 0.5f;
    }
    return sum / norm;
}

float SdRoundBox(float px, float py, float cx, float cy, float hw, float hh, float radius)
{
    float qx = std::fabs(px - cx) - hw + radius;
    float qy = std::fabs(py - cy) - hh + radius;
    float ox = std::max(qx, 0.0f), oy = std::max(qy, 0.0f);
    return std::sqrt(ox * ox + oy * oy) + std::min(std::max(qx, qy), 0.0f) - radius;
}

float SdSegment(float px, float py, float ax, float ay, float bx, float by)
{
    float dx = bx - ax, dy = by - ay;
    float len2 = dx * dx + dy * dy;
    float t = (len2 > 0) ? std::clamp(((px - ax) * dx + (py - ay) * dy) / len2, 0.0f, 1.0f) : 0.0f;
    float ex = px - (ax + t * dx), ey = py - (ay + t * dy);
    return std::sqrt(ex * ex + ey * ey);
}

float SdCircle(float px, float py, float cx, float cy, float radius) { return std::hypot(px - cx, py - cy) - radius; }

float Coverage(float d) { return std::clamp(0.5f - d, 0.0f, 1.0f); }

float Clamp01(float x) { return std::clamp(x, 0.0f, 1.0f); }

float SmoothStep(float e0, float e1, float x)
{
    float t = Clamp01((x - e0) / (e1 - e0));
    return t * t * (3 - 2 * t);
}

uint32_t TRandom::Next()
{
    // xorshift32
    State ^= State << 13;
    State ^= State >> 17;
    State ^= State << 5;
    return State;
}

float TRandom::Uniform() { return static_cast<float>(Next() >> 8) / 16777216.0f; }

}  // namespace makedata

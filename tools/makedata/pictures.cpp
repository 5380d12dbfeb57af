#include "tools/makedata/pictures.h"

#include <algorithm>
#include <cmath>

#include "tools/makedata/font.h"

namespace makedata {
namespace {

const TColor GameBlue = Rgb(65, 114, 180);

// A HUD bar: a slanted end on one side, flush with the screen edge on the
// other; shape edges are hard so the white key stays clean.
TImage HudBar(bool rightAnchored, const char* label, float labelX)
{
    constexpr int W = 221, H = 29;
    TImage img(W, H, {1, 1, 1});
    const float slantEnd = rightAnchored ? 58 : 163;
    auto outer = [&](float x, float y) {
        float e = rightAnchored ? (slantEnd + (H - y) * 0.45f - x) : (x - slantEnd - y * 0.45f);
        return std::max(e, std::fabs(y - 15.5f) - 13.5f);
    };
    auto inner = [&](float x, float y) { return outer(x, y) + 2.5f; };
    FillHard(img, GameBlue, outer);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
            if (inner(x + 0.5f, y + 0.5f) <= 0)
                img.At(x, y) = Mix(Rgb(246, 248, 252), Rgb(204, 218, 236), (y + 0.5f) / H);
    // The label in a blue tab; the game writes the value beside it.
    TTextStyle t;
    t.Height = 10;
    t.Stroke = 2.2f;
    t.Slant = 0.2f;
    t.Spacing = 1.2f;
    t.Color = GameBlue;
    DrawText(img, labelX, 9, label, t);
    FillSoft(img, Rgb(160, 184, 216), [&](float x, float y) {
        float sep = rightAnchored ? 156 : 82;
        return std::max(std::fabs(x - sep) - 0.7f, std::fabs(y - 15) - 9);
    });
    return img;
}

// Dune silhouette heights along x for the backgrounds.
float DuneLine(float x, float base, float amp, float phase)
{
    return base - amp * (0.55f * std::sin(x / 97.0f + phase) + 0.3f * std::sin(x / 41.0f + 2.1f * phase) +
                         0.15f * std::sin(x / 19.0f + 3.7f * phase));
}

void DesertScene(TImage& img, bool night)
{
    const int W = img.Width(), H = img.Height();
    const float horizon = 300;
    const TColor top = night ? Rgb(14, 24, 56) : Rgb(20, 22, 62);
    const TColor mid = night ? Rgb(42, 74, 128) : Rgb(112, 56, 96);
    const TColor low = night ? Rgb(86, 120, 170) : Rgb(246, 146, 70);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            float v = (y + 0.5f) / horizon;
            TColor c = Mix(top, mid, SmoothStep(0.0f, 0.7f, v));
            c = Mix(c, low, SmoothStep(0.55f, 1.0f, v));
            img.At(x, y) = c;
        }
    // Stars high up.
    TRandom rnd(night ? 9 : 5);
    for (int i = 0; i < (night ? 160 : 70); ++i) {
        int x = static_cast<int>(rnd.Range(0, W)), y = static_cast<int>(rnd.Range(0, horizon * 0.55f));
        img.Blend(x, y, {1, 1, 0.9f}, rnd.Range(0.2f, night ? 0.9f : 0.6f) * (1.0f - y / (horizon * 0.55f)));
    }
    // The sun (or moon) low over the dunes, with a glow.
    const float sx = night ? 520 : 118, sy = night ? 110 : 232, sr = night ? 26 : 50;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            float d = std::hypot(x + 0.5f - sx, y + 0.5f - sy);
            float glow = std::exp(-d / (night ? 60.0f : 140.0f));
            img.Blend(x, y, night ? Rgb(200, 220, 255) : Rgb(255, 196, 120), 0.45f * glow);
        }
    FillSoft(img, night ? Rgb(226, 232, 244) : Rgb(255, 222, 150),
             [&](float x, float y) { return SdCircle(x, y, sx, sy, sr); });
    if (!night)
        for (int i = 0; i < 4; ++i)  // bands across the setting sun
            FillSoft(img, Rgb(246, 150, 80), [&](float x, float y) {
                return std::max(SdCircle(x, y, sx, sy, sr + 1), std::fabs(y - (sy + 18 + i * 11.0f)) - (1.0f + i));
            });
    // Three ranges of dunes, far to near, each with a lit crest.
    struct TRange {
        float base, amp, phase;
        TColor body, crest;
    };
    const TRange ranges[3] = {
        {312, 22, 0.7f, night ? Rgb(44, 62, 98) : Rgb(164, 84, 70), night ? Rgb(80, 104, 148) : Rgb(236, 140, 84)},
        {352, 34, 2.3f, night ? Rgb(30, 42, 72) : Rgb(112, 52, 52), night ? Rgb(70, 90, 130) : Rgb(214, 112, 66)},
        {410, 42, 4.1f, night ? Rgb(18, 24, 44) : Rgb(52, 26, 36), night ? Rgb(52, 66, 100) : Rgb(168, 80, 52)},
    };
    for (const TRange& r : ranges)
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                float line = DuneLine(x + 0.5f, r.base, r.amp, r.phase);
                float d = line - (y + 0.5f);
                if (d > 0.5f)
                    continue;
                float depth = Clamp01((y + 0.5f - line) / 60.0f);
                TColor c = Mix(r.crest, r.body, SmoothStep(0.0f, 0.5f, depth));
                img.Blend(x, y, c, Coverage(d));
            }
    // Tyre tracks curving over the nearest dune.
    for (int k = 0; k < 2; ++k)
        FillSoft(img, night ? Rgb(10, 14, 28) : Rgb(34, 16, 24), [&](float x, float y) {
            float ty = 470 - 0.00042f * (x - 120) * (x - 120) + k * 9.0f;
            return std::max(std::fabs(y - ty) - 1.4f, 60 - x);
        }, 0.7f);
}

// A calm, dark, rounded field for the page's own text.
void Panel(TImage& img, float x, float y, float w, float h, float alpha)
{
    FillSoft(img, Rgb(8, 12, 30), [&](float px, float py) { return SdRoundBox(px, py, x + w / 2, y + h / 2, w / 2, h / 2, 10); },
             alpha);
    FillSoft(img, Rgb(150, 176, 220), [&](float px, float py) {
        return std::fabs(SdRoundBox(px, py, x + w / 2, y + h / 2, w / 2, h / 2, 10)) - 0.6f;
    }, 0.5f);
}

void Title(TImage& img, float x, float y, float height)
{
    TTextStyle t;
    t.Height = height;
    t.Stroke = height * 0.17f;
    t.Slant = 0.22f;
    t.Spacing = 1.1f;
    const char* name = "DUNEBOLT";
    // Glow, outline, then a gold face lit from above.
    for (int py = 0; py < img.Height(); ++py)
        for (int px = 0; px < img.Width(); ++px) {
            if (px < x - 30 || px > x + TextWidth(name, t) + 30 || py < y - 30 || py > y + height + 40)
                continue;
            float d = TextDistance(px + 0.5f, py + 0.5f, x, y, name, t);
            img.Blend(px, py, Rgb(255, 150, 60), 0.35f * std::exp(-std::max(d, 0.0f) / 9.0f));
            img.Blend(px, py, Rgb(30, 12, 20), Coverage(d - 3.0f));
            float v = Clamp01((py - y) / height);
            TColor face = Mix(Rgb(255, 238, 150), Rgb(238, 120, 30), v);
            face = Mix(face, Rgb(255, 252, 230), 0.6f * Clamp01(-d / t.Stroke) * (1 - v));
            img.Blend(px, py, face, Coverage(d));
        }
    // A lightning bolt after the name.
    float bx = x + TextWidth(name, t) + 18;
    const float pts[][2] = {{22, 0}, {4, 30}, {16, 30}, {6, 60}, {30, 22}, {18, 22}, {30, 0}};
    auto inside = [&](float px, float py) {
        // Even-odd test of the bolt's outline.
        bool in = false;
        for (int i = 0, j = 6; i < 7; j = i++) {
            float xi = bx + pts[i][0] * height / 60, yi = y + pts[i][1] * height / 60;
            float xj = bx + pts[j][0] * height / 60, yj = y + pts[j][1] * height / 60;
            if (((yi > py) != (yj > py)) && (px < (xj - xi) * (py - yi) / (yj - yi) + xi))
                in = !in;
        }
        return in;
    };
    for (int py = static_cast<int>(y) - 2; py < y + height + 2; ++py)
        for (int px = static_cast<int>(bx) - 2; px < bx + height * 0.6f; ++px) {
            // Four sub-samples for a smooth edge.
            float a = 0;
            for (int s = 0; s < 4; ++s)
                a += inside(px + 0.25f + 0.5f * (s % 2), py + 0.25f + 0.5f * (s / 2)) ? 0.25f : 0.0f;
            img.Blend(px, py, Mix(Rgb(255, 250, 200), Rgb(255, 190, 40), Clamp01((py - y) / height)), a);
        }
}

}  // namespace

TImage MakeSpeedPanel() { return HudBar(true, "TEMPO", 84); }

TImage MakeTimePanel() { return HudBar(false, "ZEIT", 98); }

TImage MakeListPanel()
{
    // Shown at opacity 30 over the scene: a dark box that calms the view
    // behind the white standings text. It has no white, so none of it is
    // keyed out.
    constexpr int W = 153, H = 135;
    TImage img(W, H);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
            img.At(x, y) = Mix(Rgb(20, 36, 72), Rgb(6, 12, 30), (y + 0.5f) / H);
    FillSoft(img, Rgb(150, 180, 230), [&](float x, float y) { return std::fabs(SdRoundBox(x, y, W / 2.0f, H / 2.0f, W / 2.0f - 1, H / 2.0f - 1, 3)) - 0.8f; });
    FillSoft(img, Rgb(120, 150, 210), [&](float x, float y) { return std::max(std::fabs(y - 19) - 0.6f, std::fabs(x - W / 2.0f) - (W / 2.0f - 6)); });
    return img;
}

TImage MakeMainMenu()
{
    TImage img(640, 480);
    DesertScene(img, false);
    Title(img, 40, 26, 58);
    TTextStyle sub;
    sub.Height = 10;
    sub.Stroke = 2;
    sub.Slant = 0.2f;
    sub.Spacing = 1.6f;
    sub.Color = Rgb(255, 214, 170);
    DrawText(img, 46, 98, "NETZWERK-RENNEN IN DEN D\xDCNEN", sub);
    // Quiet fields under the page (title and sub-pages) and the hints.
    Panel(img, 228, 114, 376, 304, 0.55f);
    Panel(img, 16, 288, 193, 129, 0.5f);
    return img;
}

TImage MakeLobby()
{
    TImage img(640, 480);
    DesertScene(img, true);
    // Darken everything evenly so the lobby's controls read well anywhere.
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 640; ++x)
            img.At(x, y) = Mix(img.At(x, y), Rgb(10, 18, 40), 0.35f);
    TTextStyle t;
    t.Height = 14;
    t.Stroke = 2.6f;
    t.Slant = 0.22f;
    t.Spacing = 1.2f;
    t.Color = Rgb(255, 200, 90);
    DrawText(img, 640 - 24 - TextWidth("DUNEBOLT LOBBY", t), 452, "DUNEBOLT LOBBY", t);
    return img;
}

}  // namespace makedata

#include "tools/makedata/models.h"

#include <cmath>
#include <vector>

#include "tools/makedata/mesh.h"

namespace makedata {
namespace {

constexpr float Pi = 3.14159265f;
using TUv = std::array<float, 2>;

TMaterial Textured(const std::string& name, const std::string& texture, float power = 20)
{
    TMaterial m;
    m.Name = name;
    m.Power = power;
    m.Specular = {0.3f, 0.3f, 0.3f};
    m.Texture = texture;
    return m;
}

TMaterial Plain(const std::string& name, float r, float g, float b)
{
    TMaterial m;
    m.Name = name;
    m.Diffuse = {r, g, b, 1};
    return m;
}

// An axis-aligned box with its own material on the top, the sides and the
// bottom; texture coordinates are planar, `uvScale` texture repeats per unit
// (u, v).
struct TBoxMats {
    int top, side, bottom;
};
void Box(TMesh& m, TVec lo, TVec hi, TBoxMats mats, TUv uvScale)
{
    const TVec c = (lo + hi) * 0.5f;
    auto uvX = [&](TVec p) { return TUv{(p.z - lo.z) * uvScale[0], (hi.y - p.y) * uvScale[1]}; };
    auto uvZ = [&](TVec p) { return TUv{(p.x - lo.x) * uvScale[0], (hi.y - p.y) * uvScale[1]}; };
    auto uvY = [&](TVec p) { return TUv{(p.x - lo.x) * uvScale[0], (hi.z - p.z) * uvScale[1]}; };
    auto quad = [&](TVec a, TVec b, TVec d, TVec e, int mat, auto uvf) {
        m.Face({a, b, d, e}, {uvf(a), uvf(b), uvf(d), uvf(e)}, mat, c);
    };
    quad({lo.x, lo.y, lo.z}, {lo.x, hi.y, lo.z}, {lo.x, hi.y, hi.z}, {lo.x, lo.y, hi.z}, mats.side, uvX);
    quad({hi.x, lo.y, lo.z}, {hi.x, hi.y, lo.z}, {hi.x, hi.y, hi.z}, {hi.x, lo.y, hi.z}, mats.side, uvX);
    quad({lo.x, lo.y, lo.z}, {hi.x, lo.y, lo.z}, {hi.x, hi.y, lo.z}, {lo.x, hi.y, lo.z}, mats.side, uvZ);
    quad({lo.x, lo.y, hi.z}, {hi.x, lo.y, hi.z}, {hi.x, hi.y, hi.z}, {lo.x, hi.y, hi.z}, mats.side, uvZ);
    quad({lo.x, hi.y, lo.z}, {hi.x, hi.y, lo.z}, {hi.x, hi.y, hi.z}, {lo.x, hi.y, hi.z}, mats.top, uvY);
    quad({lo.x, lo.y, lo.z}, {hi.x, lo.y, lo.z}, {hi.x, lo.y, hi.z}, {lo.x, lo.y, hi.z}, mats.bottom, uvY);
}

// A hull lofted through convex cross-sections (x, y) at increasing z; each
// face takes the top, side or bottom material by the way it faces.
struct TSection {
    float z;
    std::vector<std::array<float, 2>> pts;
};
struct TLoftMats {
    int top, side, bottom, ends;
    // Planar mapping ranges: sides u along z, v down y; top u across x, v
    // along z.
    float zMin, zMax, yTop, yBottom, xHalf;
};
void Loft(TMesh& m, const std::vector<TSection>& secs, const TLoftMats& mats)
{
    auto centreOf = [](const TSection& s) {
        TVec c{0, 0, s.z};
        for (const auto& p : s.pts) {
            c.x += p[0];
            c.y += p[1];
        }
        c.x /= static_cast<float>(s.pts.size());
        c.y /= static_cast<float>(s.pts.size());
        return c;
    };
    auto uvSide = [&](TVec p) {
        return TUv{(p.z - mats.zMin) / (mats.zMax - mats.zMin), (mats.yTop - p.y) / (mats.yTop - mats.yBottom)};
    };
    auto uvTop = [&](TVec p) {
        return TUv{(p.x + mats.xHalf) / (2 * mats.xHalf), (mats.zMax - p.z) / (mats.zMax - mats.zMin)};
    };
    for (size_t s = 0; s + 1 < secs.size(); ++s) {
        const TSection& a = secs[s];
        const TSection& b = secs[s + 1];
        TVec inside = (centreOf(a) + centreOf(b)) * 0.5f;
        const size_t n = a.pts.size();
        for (size_t k = 0; k < n; ++k) {
            size_t k1 = (k + 1) % n;
            TVec p0{a.pts[k][0], a.pts[k][1], a.z}, p1{a.pts[k1][0], a.pts[k1][1], a.z};
            TVec p2{b.pts[k1][0], b.pts[k1][1], b.z}, p3{b.pts[k][0], b.pts[k][1], b.z};
            TVec nrm = Normalize(Cross(p1 - p0, p3 - p0));
            TVec out = (p0 + p1 + p2 + p3) * 0.25f - inside;
            if (Dot(nrm, out) < 0) nrm = nrm * -1.0f;
            int mat = mats.side;
            bool top = false;
            if (nrm.y > 0.75f) {
                mat = mats.top;
                top = true;
            } else if (nrm.y < -0.6f) {
                mat = mats.bottom;
                top = true;
            }
            // The left flank runs the side picture the other way, so its
            // lettering reads from outside on both sides.
            auto uv = [&](TVec p) {
                if (top) return uvTop(p);
                TUv t = uvSide(p);
                if (nrm.x < 0) t[0] = 1 - t[0];
                return t;
            };
            m.Face({p0, p1, p2, p3}, {uv(p0), uv(p1), uv(p2), uv(p3)}, mat, inside);
        }
    }
    // End caps, fanned from the section centre so any convex section works.
    for (const TSection* s : {&secs.front(), &secs.back()}) {
        TVec c = centreOf(*s);
        TVec inside = c + TVec{0, 0, (s == &secs.front()) ? 1.0f : -1.0f};
        const size_t n = s->pts.size();
        for (size_t k = 0; k < n; ++k) {
            size_t k1 = (k + 1) % n;
            TVec p0{s->pts[k][0], s->pts[k][1], s->z}, p1{s->pts[k1][0], s->pts[k1][1], s->z};
            auto uv = [&](TVec p) {
                return TUv{(p.x + mats.xHalf) / (2 * mats.xHalf), (mats.yTop - p.y) / (mats.yTop - mats.yBottom)};
            };
            m.Face({c, p0, p1}, {uv(c), uv(p0), uv(p1)}, mats.ends, inside);
        }
    }
}

TSection Hex(float z, float b, float s, float t, float yb, float ym, float yt)
{
    return {z, {{-b, yb}, {b, yb}, {s, ym}, {t, yt}, {-t, yt}, {-s, ym}}};
}

TSection Trap(float z, float wb, float wt, float y0, float y1)
{
    return {z, {{-wb, y0}, {wb, y0}, {wt, y1}, {-wt, y1}}};
}

// A wheel frame's matrix as the game sets it at rest: a quarter turn about
// y (the axle, local z, then lies along the car's x), then the position.
std::array<float, 16> WheelMatrix(TVec t) { return {0, 0, -1, 0, 0, 1, 0, 0, 1, 0, 0, 0, t.x, t.y, t.z, 1}; }

constexpr float WheelRadius = 25;
constexpr float WheelHalfWidth = 9;
constexpr int WheelSegments = 20;

TMesh Tyre(const std::string& name)
{
    TMesh m(name);
    int mat = m.Material(Textured("reifen", "crad.bmp", 4));
    // Smooth: shared vertices with radial normals, two per segment edge.
    std::vector<int> front, back;
    for (int i = 0; i <= WheelSegments; ++i) {
        float a = 2 * Pi * i / WheelSegments;
        TVec n{std::cos(a), std::sin(a), 0};
        float u = 3.0f * i / WheelSegments;
        back.push_back(m.Vertex({WheelRadius * n.x, WheelRadius * n.y, -WheelHalfWidth}, n, u, 0));
        front.push_back(m.Vertex({WheelRadius * n.x, WheelRadius * n.y, WheelHalfWidth}, n, u, 1));
    }
    for (int i = 0; i < WheelSegments; ++i) {
        // (back i, back i+1, front i+1, front i): the cross product of the
        // first two edges points away from the axle.
        TVec p0 = m.Vertices[back[i]].Pos, p1 = m.Vertices[back[i + 1]].Pos, p3 = m.Vertices[front[i]].Pos;
        TVec n = Cross(p1 - p0, p3 - p0);
        TVec out = m.Vertices[back[i]].Normal;
        if (Dot(n, out) > 0)
            m.FaceRaw({back[i], back[i + 1], front[i + 1], front[i]}, mat);
        else
            m.FaceRaw({front[i], front[i + 1], back[i + 1], back[i]}, mat);
    }
    return m;
}

// A hub cap on one side (+1: local +z), dished in towards the hub.
TMesh HubCap(const std::string& name, float side)
{
    TMesh m(name);
    int mat = m.Material(Textured("felge", "rad.bmp", 30));
    const float rimZ = side * (WheelHalfWidth + 0.2f), hubZ = side * (WheelHalfWidth - 2.5f);
    const TVec hub{0, 0, hubZ};
    for (int i = 0; i < WheelSegments; ++i) {
        float a0 = 2 * Pi * i / WheelSegments, a1 = 2 * Pi * (i + 1) / WheelSegments;
        float r = WheelRadius - 0.3f;
        TVec p0{r * std::cos(a0), r * std::sin(a0), rimZ}, p1{r * std::cos(a1), r * std::sin(a1), rimZ};
        auto uv = [&](TVec p) { return TUv{0.5f + 0.5f * p.x / WheelRadius, 0.5f - 0.5f * p.y / WheelRadius}; };
        m.Face({hub, p0, p1}, {uv(hub), uv(p0), uv(p1)}, mat, {0, 0, -side * 20});
    }
    return m;
}

}  // namespace

std::string MakeCarModel()
{
    TFrame body;
    body.Name = "karosserie";
    TMesh hull("karosserie_mesh");
    const int side = hull.Material(Textured("lack_seite", "cseite.bmp"));
    const int top = hull.Material(Textured("lack_haube", "chaube.bmp"));
    const int glass = hull.Material(Textured("glas", "cfenster.bmp", 60));
    const int metal = hull.Material(Textured("rahmen", "cboden.bmp", 10));

    // The tub: narrow between the open wheels, a low nose, a raised tail.
    Loft(hull,
         {Hex(-98, 28, 34, 28, 22, 36, 54), Hex(-80, 32, 38, 32, 16, 36, 58), Hex(-40, 32, 38, 33, 14, 36, 56),
          Hex(20, 32, 38, 33, 14, 36, 54), Hex(60, 32, 38, 32, 16, 34, 50), Hex(96, 30, 36, 30, 20, 32, 44),
          Hex(108, 24, 30, 24, 26, 32, 38)},
         {top, side, metal, metal, -100, 110, 58, 14, 40});
    // The cabin: windscreen, roof, rear window.
    Loft(hull,
         {Trap(-54, 30, 22, 56, 60), Trap(-34, 31, 24, 55, 98), Trap(0, 31, 24, 54, 96), Trap(28, 30, 18, 53, 55)},
         {top, glass, metal, glass, -54, 28, 98, 54, 31});
    // Roll bar behind the cabin.
    Box(hull, {-28, 56, -60}, {-22, 106, -55}, {metal, metal, metal}, {1 / 20.0f, 1 / 20.0f});
    Box(hull, {22, 56, -60}, {28, 106, -55}, {metal, metal, metal}, {1 / 20.0f, 1 / 20.0f});
    Box(hull, {-28, 100, -60}, {28, 106, -55}, {metal, metal, metal}, {1 / 20.0f, 1 / 20.0f});
    // Rear wing on two struts.
    Box(hull, {-22, 56, -94}, {-18, 86, -89}, {metal, metal, metal}, {1 / 20.0f, 1 / 20.0f});
    Box(hull, {18, 56, -94}, {22, 86, -89}, {metal, metal, metal}, {1 / 20.0f, 1 / 20.0f});
    Box(hull, {-64, 86, -100}, {64, 91, -80}, {top, metal, metal}, {1 / 128.0f, 1 / 128.0f});
    Box(hull, {-66, 76, -100}, {-62, 94, -80}, {metal, metal, metal}, {1 / 20.0f, 1 / 20.0f});
    Box(hull, {62, 76, -100}, {66, 94, -80}, {metal, metal, metal}, {1 / 20.0f, 1 / 20.0f});
    // Nudge bar and headlights on the nose.
    Box(hull, {-34, 18, 104}, {34, 24, 110}, {metal, metal, metal}, {1 / 20.0f, 1 / 20.0f});
    Box(hull, {-26, 30, 100}, {-14, 37, 108}, {glass, glass, glass}, {1 / 12.0f, 1 / 12.0f});
    Box(hull, {14, 30, 100}, {26, 37, 108}, {glass, glass, glass}, {1 / 12.0f, 1 / 12.0f});
    // Tail lights and twin exhausts under the wing.
    const int lamp = hull.Material(Plain("ruecklicht", 0.9f, 0.08f, 0.05f));
    Box(hull, {-27, 40, -99.5f}, {-17, 47, -96}, {lamp, lamp, lamp}, {1 / 10.0f, 1 / 10.0f});
    Box(hull, {17, 40, -99.5f}, {27, 47, -96}, {lamp, lamp, lamp}, {1 / 10.0f, 1 / 10.0f});
    Box(hull, {-9, 26, -99.5f}, {-3, 32, -90}, {metal, metal, metal}, {1 / 10.0f, 1 / 10.0f});
    Box(hull, {3, 26, -99.5f}, {9, 32, -90}, {metal, metal, metal}, {1 / 10.0f, 1 / 10.0f});
    // Mudguards arching over the four wheels, and their stays.
    const float wheelZ[2] = {70, -64};
    for (float wz : wheelZ)
        for (float sx : {-1.0f, 1.0f}) {
            float x0 = sx < 0 ? -61 : 39, x1 = sx < 0 ? -39 : 61;
            auto sec = [&](float z, float y) { return TSection{z, {{x0, y}, {x1, y}, {x1, y + 3}, {x0, y + 3}}}; };
            Loft(hull, {sec(wz - 34, 34), sec(wz - 20, 52), sec(wz + 20, 52), sec(wz + 34, 34)},
                 {top, side, metal, metal, -100, 110, 58, 14, 70});
            float sx0 = sx < 0 ? -40 : 32, sx1 = sx < 0 ? -32 : 40;
            Box(hull, {sx0, 40, wz - 3}, {sx1, 53, wz + 3}, {metal, metal, metal}, {1 / 20.0f, 1 / 20.0f});
        }
    body.Meshes.push_back(std::move(hull));

    std::vector<TFrame> frames;
    frames.push_back(std::move(body));
    // Wheels 1 and 2 steer: front left and front right; 3 and 4 at the rear.
    const TVec wheelPos[4] = {
        {-50, WheelRadius, 70}, {50, WheelRadius, 70}, {-50, WheelRadius, -64}, {50, WheelRadius, -64}};
    for (int w = 0; w < 4; ++w) {
        const std::string base = "x3ds_rad" + std::to_string(w + 1);
        TFrame wheel;
        wheel.Name = base;
        wheel.Matrix = WheelMatrix(wheelPos[w]);
        wheel.Meshes.push_back(Tyre(base + "_mesh"));
        frames.push_back(std::move(wheel));
        for (int k = 1; k <= 2; ++k) {
            // The caps are frames of their own beside the wheel, each placed
            // like it, so the game turns all three alike.
            TFrame cap;
            cap.Name = base + "kap" + std::to_string(k);
            cap.Matrix = WheelMatrix(wheelPos[w]);
            cap.Meshes.push_back(HubCap(cap.Name + "_mesh", (k == 1) ? 1.0f : -1.0f));
            frames.push_back(std::move(cap));
        }
    }
    return WriteXFile(frames);
}

std::string MakeSkyModel()
{
    TFrame f;
    f.Name = "himmel";
    TMesh m("himmel_mesh");
    TMaterial sky;
    sky.Name = "himmel_material";
    sky.Texture = "himmel.bmp";
    const int mat = m.Material(sky);
    constexpr int Rings = 16, Segments = 32;
    const float lowest = SkyLowestElevationDeg * Pi / 180;
    auto point = [&](int ring, int seg) {
        float phi = Pi / 2 - (Pi / 2 - lowest) * ring / Rings;
        float lambda = 2 * Pi * seg / Segments;
        return TVec{SkyRadius * std::cos(phi) * std::sin(lambda), SkyHeight * std::sin(phi),
                    SkyRadius * std::cos(phi) * std::cos(lambda)};
    };
    // v runs from the zenith (0) to the rim (1); the horizon falls at
    // 90 / (90 − lowest elevation), where the texture puts it.
    auto uv = [&](int ring, int seg) {
        return TUv{static_cast<float>(seg) / Segments, static_cast<float>(ring) / Rings};
    };
    const TVec viewer{0, 1, 0};
    for (int r = 0; r < Rings; ++r)
        for (int s = 0; s < Segments; ++s) {
            if (r == 0) {
                TUv pole{(s + 0.5f) / Segments, 0};
                m.FaceToward({point(0, s), point(1, s + 1), point(1, s)}, {pole, uv(1, s + 1), uv(1, s)}, mat, viewer);
            } else {
                m.FaceToward({point(r, s), point(r, s + 1), point(r + 1, s + 1), point(r + 1, s)},
                             {uv(r, s), uv(r, s + 1), uv(r + 1, s + 1), uv(r + 1, s)}, mat, viewer);
            }
        }
    f.Meshes.push_back(std::move(m));
    return WriteXFile({f});
}

std::string MakeArrowModel()
{
    TFrame f;
    f.Name = "pfeil";
    TMesh m("pfeil_mesh");
    const int mat = m.Material(Plain("pfeil_material", 1, 1, 1));
    const float h = 4;
    // Outline in the ground plane (x, z): a shaft and a head pointing +z.
    const std::array<float, 2> out[7] = {{-7, -30}, {7, -30}, {7, 2}, {20, 2}, {0, 32}, {-20, 2}, {-7, 2}};
    const TVec shaftCentre{0, 0, -14}, headCentre{0, 0, 12};  // inside the two parts
    auto at = [&](int i, float y) { return TVec{out[i][0], y, out[i][1]}; };
    auto uv = [&](TVec p) { return TUv{(p.x + 20) / 40, (32 - p.z) / 62}; };
    for (float y : {h, -h}) {
        TVec inside{0, -y, 0};
        TVec a = at(0, y), b = at(1, y), c = at(2, y), d = at(6, y);
        m.Face({a, b, c, d}, {uv(a), uv(b), uv(c), uv(d)}, mat, inside + shaftCentre);
        TVec e = at(3, y), g = at(4, y), k = at(5, y);
        m.Face({e, g, k}, {uv(e), uv(g), uv(k)}, mat, inside + headCentre);
    }
    for (int i = 0; i < 7; ++i) {
        int j = (i + 1) % 7;
        TVec a = at(i, -h), b = at(j, -h), c = at(j, h), d = at(i, h);
        // The outline runs so that the inside lies to the left of each edge.
        float dx = b.x - a.x, dz = b.z - a.z;
        TVec inside = (a + b) * 0.5f + Normalize({-dz, 0, dx}) * 0.5f;
        m.Face({a, b, c, d}, {uv(a), uv(b), uv(c), uv(d)}, mat, inside);
    }
    f.Meshes.push_back(std::move(m));
    return WriteXFile({f});
}

std::string MakeShadowModel()
{
    TFrame f;
    f.Name = "Rechteck01";
    TMesh m("Rechteck01_mesh");
    const int mat = m.Material(Plain("schatten_material", 0, 0, 0));
    // The game scales by (130, 1, 170) and moves by (−5, 5, 10); this grid
    // then covers x −66 … 66, z −98 … 106 under the car, and its 9 × 9
    // vertices let the shadow follow the ground's bends.
    constexpr int N = 9;
    const float x0 = (-66 + 5) / 130.0f, x1 = (66 + 5) / 130.0f;
    const float z0 = (-98 - 10) / 170.0f, z1 = (106 - 10) / 170.0f;
    std::vector<int> id(N * N);
    for (int i = 0; i < N; ++i)
        for (int j = 0; j < N; ++j) {
            float s = static_cast<float>(i) / (N - 1), t = static_cast<float>(j) / (N - 1);
            // Round the corners a little.
            bool corner = (i == 0 || i == N - 1) && (j == 0 || j == N - 1);
            float cs = corner ? 0.06f * ((i == 0) ? 1 : -1) : 0, ct = corner ? 0.05f * ((j == 0) ? 1 : -1) : 0;
            TVec p{x0 + (x1 - x0) * (s + cs), 0, z0 + (z1 - z0) * (t + ct)};
            id[i * N + j] = m.Vertex(p, {0, 1, 0}, s, 1 - t);
        }
    for (int i = 0; i + 1 < N; ++i)
        for (int j = 0; j + 1 < N; ++j) {
            // Seen from above: (i, j), (i, j+1), (i+1, j+1), (i+1, j) has its
            // cross product pointing up.
            m.FaceRaw({id[i * N + j], id[i * N + j + 1], id[(i + 1) * N + j + 1], id[(i + 1) * N + j]}, mat);
        }
    f.Meshes.push_back(std::move(m));
    return WriteXFile({f});
}

std::string MakeGateModel()
{
    // File units are a quarter of the game's: the game scales by 4.
    auto frame = [](const std::string& name, TVec lo, TVec hi, const std::string& texture, TUv uvScale) {
        TFrame f;
        f.Name = name;
        TMesh m(name + "_mesh");
        int mat = m.Material(Textured(name + "_material", texture, 0));
        Box(m, lo, hi, {mat, mat, mat}, uvScale);
        f.Meshes.push_back(std::move(m));
        return f;
    };
    std::vector<TFrame> frames;
    frames.push_back(frame("torl", {-150, 0, -12.5f}, {-125, 150, 12.5f}, "torgitter.bmp", {1 / 25.0f, 1 / 25.0f}));
    frames.push_back(frame("torr", {125, 0, -12.5f}, {150, 150, 12.5f}, "torgitter.bmp", {1 / 25.0f, 1 / 25.0f}));
    frames.push_back(frame("toro", {-150, 150, -12.5f}, {150, 175, 12.5f}, "toroben.bmp", {1 / 300.0f, 1 / 25.0f}));
    return WriteXFile(frames);
}

}  // namespace makedata

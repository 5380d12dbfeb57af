// The five models, read with the game's own .x reader: frame names, sizes
// at the scales the world setup applies, and faces that wind as front faces
// seen from where they are looked at.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <set>

#include "datafiles.h"
#include "platform/xfile/xfile.h"

using namespace datatest;

namespace {

std::shared_ptr<TXFileModel> Load(const std::string& name)
{
    return TXFileModel::LoadFromFile(BinPath("3dobjects/" + name));
}

// Every triangle of every mesh, in world space with the frames' matrices.
struct TTri {
    D3DVECTOR p[3];
    std::string frame;
};
std::vector<TTri> Triangles(TXFileModel& m, const std::string& onlyFrame = "")
{
    std::vector<TTri> out;
    m.EnumFrames([&](TCD3DFileObject& f, const D3DMATRIX& world) {
        if (!f.Mesh || (!onlyFrame.empty() && f.Name != onlyFrame)) return;
        const auto& v = *f.Mesh->Vertices;
        const auto& idx = *f.Mesh->Indices;
        for (size_t i = 0; i + 2 < idx.size(); i += 3) {
            TTri t;
            for (int k = 0; k < 3; ++k) {
                const D3DVERTEX& s = v[idx[i + k]];
                t.p[k] = TransformVector(MakeVector(s.x, s.y, s.z), world);
            }
            t.frame = f.Name;
            out.push_back(t);
        }
    });
    return out;
}

// Twice the signed volume enclosed by the triangles, times three: positive
// when the front faces (cross product of the first two edges) look outward.
double SignedVolume(const std::vector<TTri>& tris)
{
    double v = 0;
    for (const TTri& t : tris) v += DotProduct(t.p[0], CrossProduct(t.p[1], t.p[2]));
    return v / 6.0;
}

struct TBounds {
    D3DVECTOR lo{1e30f, 1e30f, 1e30f}, hi{-1e30f, -1e30f, -1e30f};
    void Add(D3DVECTOR p)
    {
        lo = MakeVector(std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z));
        hi = MakeVector(std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z));
    }
};
TBounds BoundsOf(const std::vector<TTri>& tris)
{
    TBounds b;
    for (const TTri& t : tris)
        for (const D3DVECTOR& p : t.p) b.Add(p);
    return b;
}

// The triangles of one frame as the world setup takes it: read, scaled,
// with its vertex count.
std::vector<TTri> Geometry(const std::string& file, const char* frame, float sx, float sy, float sz,
                           int* vertexCount = nullptr)
{
    TXObject obj;
    LoadXObject(obj, BinPath("3dobjects/" + file));
    ScaleXObject(obj, sx, sy, sz);
    TGeometry g;
    GetXGeometry(obj, frame, g);
    if (vertexCount) *vertexCount = g.VertexCount;
    std::vector<TTri> out;
    for (int i = 0; i + 2 < g.IndexCount; i += 3) {
        TTri t;
        for (int k = 0; k < 3; ++k) {
            const D3DVERTEX& v = (*g.Vertices)[(*g.Indices)[size_t(i + k)]];
            t.p[k] = MakeVector(v.x, v.y, v.z);
        }
        out.push_back(t);
    }
    return out;
}

const char* WheelFrames[12] = {"x3ds_rad1",     "x3ds_rad1kap1", "x3ds_rad1kap2", "x3ds_rad2",
                               "x3ds_rad2kap1", "x3ds_rad2kap2", "x3ds_rad3",     "x3ds_rad3kap1",
                               "x3ds_rad3kap2", "x3ds_rad4",     "x3ds_rad4kap1", "x3ds_rad4kap2"};

}  // namespace

TEST(Models, CarHasTwelveWheelFramesTurningAboutZSixTexturesAndFitsItsCollisionBox)
{
    auto m = Load("auto1.x");
    for (const char* name : WheelFrames) {
        const TCD3DFileObject* f = m->FindFrame(name);
        ASSERT_TRUE(f && f->Mesh) << name;
        // Round in x and y about the frame's origin, thin along z: the axle.
        TBounds b;
        for (const D3DVERTEX& v : *f->Mesh->Vertices) b.Add(MakeVector(v.x, v.y, v.z));
        EXPECT_NEAR(b.hi.x, -b.lo.x, 0.5f) << name;
        EXPECT_NEAR(b.hi.y, -b.lo.y, 0.5f) << name;
        EXPECT_NEAR(b.hi.x - b.lo.x, b.hi.y - b.lo.y, 1.0f) << name;
        EXPECT_LT(b.hi.z - b.lo.z, 0.5f * (b.hi.x - b.lo.x)) << name;
    }
    std::set<std::string> textures;
    m->EnumFrames([&](TCD3DFileObject& f, const D3DMATRIX&) {
        if (f.Mesh)
            for (const auto& g : f.Mesh->Groups)
                if (g.IndexCount > 0 && !g.Material.TextureFilename.empty())
                    textures.insert(g.Material.TextureFilename);
    });
    EXPECT_EQ(textures,
              (std::set<std::string>{"cboden.bmp", "cfenster.bmp", "chaube.bmp", "crad.bmp", "cseite.bmp", "rad.bmp"}));
    // The car fits its collision box.
    TBounds b = BoundsOf(Triangles(*m));
    EXPECT_TRUE(b.lo.x >= -70 && b.hi.x <= 70 && b.lo.y >= 0 && b.hi.y <= 125 && b.lo.z >= -100 && b.hi.z <= 110);
    // The wheels touch the ground; 1 and 2 (the steered ones) at the front,
    // 1 and 3 on the left.
    for (int w = 0; w < 4; ++w) {
        const TBounds wb = BoundsOf(Triangles(*m, WheelFrames[3 * w]));
        const D3DVECTOR c = (wb.lo + wb.hi) * 0.5f;
        EXPECT_NEAR(wb.lo.y, 0, 0.5f) << w;
        EXPECT_EQ(c.z > 0, w < 2) << w;
        EXPECT_EQ(c.x < 0, w % 2 == 0) << w;
    }
}

TEST(Models, CarAndArrowAndGateFacesLookOutward)
{
    // Seen from outside, every closed part winds as a front face: the
    // enclosed volume counted with the faces' winding is positive.
    auto car = Load("auto1.x");
    EXPECT_GT(SignedVolume(Triangles(*car, "karosserie")), 50000);
    for (const char* name : {"x3ds_rad1", "x3ds_rad4"}) {
        // A tyre with its two caps is closed.
        auto tris = Triangles(*car, name);
        auto k1 = Triangles(*car, std::string(name) + "kap1"), k2 = Triangles(*car, std::string(name) + "kap2");
        tris.insert(tris.end(), k1.begin(), k1.end());
        tris.insert(tris.end(), k2.begin(), k2.end());
        EXPECT_GT(SignedVolume(tris), 1000) << name;
    }
    auto arrow = Load("pfeil.x");
    EXPECT_GT(SignedVolume(Triangles(*arrow)), 1000);
    auto gate = Load("tor.x");
    for (const char* name : {"torl", "torr", "toro"}) EXPECT_GT(SignedVolume(Triangles(*gate, name)), 1000) << name;
    // Normals point the way the faces look.
    for (auto* model : {car.get(), arrow.get(), gate.get()})
        model->EnumFrames([&](TCD3DFileObject& f, const D3DMATRIX&) {
            if (!f.Mesh) return;
            const auto& v = *f.Mesh->Vertices;
            const auto& idx = *f.Mesh->Indices;
            for (size_t i = 0; i + 2 < idx.size(); i += 3) {
                D3DVECTOR p[3], n = MakeVector(0, 0, 0);
                for (int k = 0; k < 3; ++k) {
                    p[k] = MakeVector(v[idx[i + k]].x, v[idx[i + k]].y, v[idx[i + k]].z);
                    n += MakeVector(v[idx[i + k]].nx, v[idx[i + k]].ny, v[idx[i + k]].nz);
                }
                D3DVECTOR face = CrossProduct(p[1] - p[0], p[2] - p[0]);
                if (Magnitude(face) > 1e-3f) ASSERT_GT(DotProduct(face, n), 0) << f.Name << " triangle " << i / 3;
            }
        });
}

TEST(Models, ArrowPointsAlongPlusZ)
{
    auto m = Load("pfeil.x");
    auto tris = Triangles(*m, "pfeil");
    ASSERT_FALSE(tris.empty());
    TBounds b = BoundsOf(tris);
    // Only a point reaches the front: the tip is ahead, along +z.
    float widthNearTip = 0;
    for (const TTri& t : tris)
        for (const D3DVECTOR& p : t.p)
            if (p.z > b.hi.z - 2) widthNearTip = std::max(widthNearTip, std::fabs(p.x));
    EXPECT_LT(widthNearTip, 2);
    EXPECT_GT(b.hi.x - b.lo.x, 20);
}

TEST(Models, ShadowIsAFlatGridUnderTheCar)
{
    int vertices = 0;
    const auto tris = Geometry("schatten.x", "Rechteck01", 130, 1, 170, &vertices);
    // The car draws at most 82 shadow vertices and leaves out a larger mesh.
    EXPECT_TRUE(vertices > 3 && vertices <= 82) << vertices;
    // Placed as the car places it (x − 5, z + 10): flat, under the car box
    // (x ±70, z −100 … 110).
    const TBounds b = BoundsOf(tris);
    EXPECT_EQ(b.lo.y, b.hi.y);
    EXPECT_TRUE(b.lo.x - 5 >= -70 && b.hi.x - 5 <= 70 && b.lo.z + 10 >= -100 && b.hi.z + 10 <= 110);
    // Front faces seen from above.
    for (const TTri& t : tris) EXPECT_GT(CrossProduct(t.p[1] - t.p[0], t.p[2] - t.p[0]).y, 0);
}

TEST(Models, GatePostsFillTheCollisionBoxesAtScaleFour)
{
    auto expectBox = [](const char* frame, D3DVECTOR lo, D3DVECTOR hi) {
        const TBounds b = BoundsOf(Geometry("tor.x", frame, 4, 4, 4));
        EXPECT_LT(Magnitude(b.lo - lo) + Magnitude(b.hi - hi), 0.02f) << frame;
    };
    expectBox("torl", MakeVector(-600, 0, -50), MakeVector(-500, 600, 50));
    expectBox("torr", MakeVector(500, 0, -50), MakeVector(600, 600, 50));
    // The top spans both posts above the opening and stays inside the
    // gate's drawing box (y ≤ 700).
    const TBounds top = BoundsOf(Geometry("tor.x", "toro", 4, 4, 4));
    EXPECT_NEAR(top.lo.x, -600, 0.01f);
    EXPECT_NEAR(top.hi.x, 600, 0.01f);
    EXPECT_TRUE(top.lo.y >= 599.9f && top.hi.y <= 700);
    // The frames carry no transform of their own: the game takes the
    // meshes as they are.
    auto m = Load("tor.x");
    for (const char* name : {"torl", "torr", "toro"}) EXPECT_EQ(m->FindFrame(name)->Matrix, IdentityMatrix()) << name;
}

TEST(Models, SkyDomeEnclosesTheCameraAndStaysInsideTheFarPlane)
{
    const auto tris = Geometry("himmel.x", "himmel", 3000, 1000, 3000);
    ASSERT_FALSE(tris.empty());
    EXPECT_LT(BoundsOf(tris).lo.y, -200) << "the rim reaches below the water line";
    // The dome is centred under the camera; the camera flies at most a
    // little above the highest ground (1275) plus its 300 over the car.
    for (float camY : {0.0f, 500.0f, 1275.0f, 2200.0f}) {
        const D3DVECTOR eye = MakeVector(0, camY, 0);
        for (const TTri& t : tris)
            for (const D3DVECTOR& p : t.p) ASSERT_LT(Magnitude(p - eye), 25000 - 500) << "camera " << camY;
        // Every ray from the camera that looks level or upward meets the
        // dome (Möller–Trumbore), at a distance where the terrain shows.
        for (int az = 0; az < 36; ++az)
            for (float el : {-2, 0, 5, 10, 20, 30, 45, 60, 75, 89}) {
                const float a = az * 0.17453292f + 0.05f, e = el * 0.017453292f;
                const D3DVECTOR dir = MakeVector(std::cos(e) * std::sin(a), std::sin(e), std::cos(e) * std::cos(a));
                float dist = -1;
                for (const TTri& t : tris) {
                    const D3DVECTOR e1 = t.p[1] - t.p[0], e2 = t.p[2] - t.p[0], h = CrossProduct(dir, e2);
                    const float det = DotProduct(e1, h);
                    if (std::fabs(det) < 1e-6f) continue;
                    const D3DVECTOR s = eye - t.p[0], q = CrossProduct(s, e1);
                    const float u = DotProduct(s, h) / det, w = DotProduct(dir, q) / det, d = DotProduct(e2, q) / det;
                    if (u >= 0 && w >= 0 && u + w <= 1 && d > 0) {
                        dist = d;
                        break;
                    }
                }
                EXPECT_GT(dist, 5000) << "camera " << camY << " azimuth " << az << " elevation " << el;
            }
    }
    // Seen from inside, the dome's faces are front faces: their cross
    // products point back towards the camera.
    for (const TTri& t : tris) {
        const D3DVECTOR n = CrossProduct(t.p[1] - t.p[0], t.p[2] - t.p[0]);
        if (Magnitude(n) > 1) {
            ASSERT_LT(DotProduct(n, (t.p[0] + t.p[1] + t.p[2]) * (1.0f / 3) - MakeVector(0, 1000, 0)), 0);
        }
    }
}

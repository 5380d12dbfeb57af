#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "platform/xfile/xfile.h"

namespace {

// Two frames (one nested), a quad and a pentagon, an inline and a referenced
// material with a texture, normals and texture coordinates.
const char* kModel = R"(xof 0303txt 0032
template Dummy { <3D82AB43-62DA-11CF-AB39-0020AF71E433> DWORD x; }
Header { 1; 0; 1; }
// a material named at the top, referenced below
Material Glass {
  0.2;0.4;0.6;0.5;;
  12.0;
  0.1;0.2;0.3;;
  0.0;0.0;0.0;;
  TextureFilename { "cfenster.bmp"; }
}
Frame body {
  FrameTransformMatrix {
    1.0,0.0,0.0,0.0,
    0.0,1.0,0.0,0.0,
    0.0,0.0,1.0,0.0,
    10.0,20.0,30.0,1.0;;
  }
  Mesh bodymesh {
    6;
    0.0;0.0;0.0;, 1.0;0.0;0.0;, 1.0;1.0;0.0;, 0.0;1.0;0.0;, 2.0;0.0;0.0;, 2.0;1.0;0.0;;
    3;
    4;0,1,2,3;,
    5;1,4,5,2,3;,
    2;0,1;;
    MeshNormals {
      1;
      0.0;0.0;-1.0;;
      3;
      4;0,0,0,0;,
      5;0,0,0,0,0;,
      2;0,0;;
    }
    MeshTextureCoords {
      6;
      0.0;0.0;, 1.0;0.0;, 1.0;1.0;, 0.0;1.0;, 0.5;0.5;, 0.25;0.75;;
    }
    MeshMaterialList {
      2;
      3;
      1,0,0;;
      Material {
        1.0;0.0;0.0;1.0;;
        0.0;
        0.0;0.0;0.0;;
        0.0;0.0;0.0;;
      }
      { Glass }
    }
  }
  Frame x3ds_rad1 {
    FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, 1,2,3,1;; }
    Mesh { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3;0,1,2;; }
  }
}
)";

std::string Temp(const std::string& name, const std::string& text)
{
    auto dir = std::filesystem::temp_directory_path() / ("xfile_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    auto p = (dir / name).string();
    std::ofstream(p, std::ios::binary) << text;
    return p;
}

}  // namespace

TEST(XFileReader, ReadsFramesMatricesAndNesting)
{
    auto m = TXFileModel::LoadFromText(kModel, "test.x");
    EXPECT_EQ(m->Root.Name, "D3DFile_Root");
    EXPECT_EQ(m->FindFrame(""), &m->Root);
    ASSERT_EQ(m->Root.Children.size(), 1u);
    auto* body = m->FindFrame("body");
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(body->Parent, &m->Root);
    EXPECT_FLOAT_EQ(body->Matrix._41, 10);
    EXPECT_FLOAT_EQ(body->Matrix._43, 30);
    auto* wheel = m->FindFrame("x3ds_rad1");
    ASSERT_NE(wheel, nullptr);
    EXPECT_EQ(wheel->Parent, body);
    EXPECT_EQ(m->FindFrame("nothing"), nullptr);
    ASSERT_NE(m->FrameMatrix("x3ds_rad1"), nullptr);
    EXPECT_FLOAT_EQ(m->FrameMatrix("x3ds_rad1")->_42, 2);

    // Accumulated matrices: the wheel's own translation, then its parent's.
    std::vector<std::pair<std::string, D3DMATRIX>> seen;
    m->EnumFrames([&](TCD3DFileObject& f, const D3DMATRIX& w) { seen.emplace_back(f.Name, w); });
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].first, "D3DFile_Root");
    EXPECT_EQ(seen[2].first, "x3ds_rad1");
    EXPECT_FLOAT_EQ(seen[2].second._41, 11);
    EXPECT_FLOAT_EQ(seen[2].second._42, 22);
    EXPECT_FLOAT_EQ(seen[2].second._43, 33);
}

TEST(XFileReader, FansPolygonsIntoMaterialGroups)
{
    auto m = TXFileModel::LoadFromText(kModel, "test.x");
    const TXMesh& mesh = *m->FindFrame("body")->Mesh;
    EXPECT_EQ(mesh.Vertices->size(), 6u);
    // Group 0: the pentagon (material 0) = 3 triangles; group 1: the quad
    // (material 1, the referenced glass) = 2 triangles; the 2-corner face is dropped.
    ASSERT_EQ(mesh.Groups.size(), 2u);
    EXPECT_EQ(mesh.Groups[0].FirstIndex, 0);
    EXPECT_EQ(mesh.Groups[0].IndexCount, 9);
    EXPECT_EQ(mesh.Groups[1].FirstIndex, 9);
    EXPECT_EQ(mesh.Groups[1].IndexCount, 6);
    std::vector<uint16_t> expect{1, 4, 5, 1, 5, 2, 1, 2, 3, 0, 1, 2, 0, 2, 3};
    EXPECT_EQ(*mesh.Indices, expect);
    EXPECT_FLOAT_EQ(mesh.Groups[0].Material.Diffuse.r, 1);
    EXPECT_EQ(mesh.Groups[0].Material.TextureFilename, "");
    EXPECT_EQ(mesh.Groups[1].Material.TextureFilename, "cfenster.bmp");
    EXPECT_FLOAT_EQ(mesh.Groups[1].Material.Diffuse.a, 0.5f);
    EXPECT_FLOAT_EQ(mesh.Groups[1].Material.Power, 12);
    EXPECT_FLOAT_EQ(mesh.Groups[1].Material.Specular.g, 0.2f);
    EXPECT_TRUE(mesh.Transparent);
    EXPECT_FLOAT_EQ((*mesh.Vertices)[5].tv, 0.75f);
    EXPECT_FLOAT_EQ((*mesh.Vertices)[3].nz, -1);
    // Without a material list: one white opaque group.
    const TXMesh& wheel = *m->FindFrame("x3ds_rad1")->Mesh;
    ASSERT_EQ(wheel.Groups.size(), 1u);
    EXPECT_EQ(wheel.Groups[0].IndexCount, 3);
    EXPECT_FALSE(wheel.Transparent);
}

TEST(XFileReader, ModelObjectScaleAndSharedGeometry)
{
    std::string path = Temp("model.x", kModel);
    TXObject obj;
    LoadXObject(obj, path);
    EXPECT_EQ(obj.Loaded, 1);
    EXPECT_EQ(obj.Active, 1);
    ScaleXObject(obj, 2, 3, 4);
    TGeometry g;
    GetXGeometry(obj, "body", g);
    EXPECT_EQ(g.VertexCount, 6);
    EXPECT_EQ(g.IndexCount, 15);
    EXPECT_FLOAT_EQ((*g.Vertices)[5].x, 4);
    EXPECT_FLOAT_EQ((*g.Vertices)[5].y, 3);
    EXPECT_FLOAT_EQ((*g.Vertices)[3].nz, -1);  // normals unchanged
    TGeometry root;
    GetXGeometry(obj, "", root);
    EXPECT_EQ(root.IndexCount, 0);
    EXPECT_THROW(GetXGeometry(obj, "missing", root), EXFileError);
    obj = TXObject{};  // the model goes; the geometry stays
    EXPECT_EQ(g.Vertices->size(), 6u);
    EXPECT_EQ((*g.Indices)[14], 3);
    EXPECT_THROW(LoadXObject(obj, "no-such-model.x"), EXFileError);
    EXPECT_EQ(obj.Loaded, 0);
}

TEST(XFileReader, MalformedFilesGiveClearErrors)
{
    auto fails = [](const std::string& text, const std::string& needle) {
        try {
            TXFileModel::LoadFromText(text, "bad.x");
        } catch (const EXFileError& e) {
            std::string what = e.what();
            EXPECT_NE(what.find("bad.x"), std::string::npos) << what;
            EXPECT_NE(what.find(needle), std::string::npos) << what;
            return;
        }
        ADD_FAILURE() << "accepted: " << text;
    };
    const std::string h = "xof 0303txt 0032\n";
    fails("xof 0303bin 0032", "not supported");
    fails("hello world, this is no model", "header");
    fails("xof", "header");
    fails(h + "Mesh { 3; 0;0;0;, 1;0;0;; 1; 3;0,1,2;; }", "whole number");
    fails(h + "Mesh { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3;0,1,7;; }", "out of range");
    fails(h + "Mesh { 4000000000; 0;0;0; }", "vertices");
    fails(h + "Mesh { 60000; 0;0;0; }", "too short");
    fails(h + "Mesh { 1; 0;x;0;; 0; }", "bad number");
    fails(h + "Mesh { 1; 0;1e99;0;; 0; }", "bad number");
    fails(h + "Mesh { 1; 0;-inf;0;; 0; }", "bad number");
    fails(h + "Mesh { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3;0,1,2;; MeshMaterialList { 1; 1; 0;; { Nope } } }",
          "unknown material");
    fails(h + "Mesh { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3;0,1,2;; MeshMaterialList { 17; 1; 0;; } }", "at most 16");
    fails(h + "Mesh { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3;0,1,2;; MeshMaterialList { 1; 1; 3;; } }", "out of range");
    fails(h + "Frame a { Frame b { ", "file ends");
    fails(h + "Frame a {" + std::string(5000, '{'), "nested");
    fails(h + "Material m { 1;1;1;1;; 0; 0;0;0;; 0;0;0;; TextureFilename { \"x.bmp; } }", "unterminated");
}

TEST(XFileReader, MutatedFilesNeverCrash)
{
    std::string good = kModel;
    int accepted = 0, refused = 0;
    for (size_t cut = 0; cut < good.size(); cut += 3) {
        try {
            TXFileModel::LoadFromText(good.substr(0, cut), "cut.x");
            ++accepted;
        } catch (const EXFileError&) {
            ++refused;
        }
    }
    std::mt19937 rng(1234);
    const std::string junk = "{};,\"<>-.e9#/x\n\0";
    for (int i = 0; i < 3000; ++i) {
        std::string s = good;
        int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            size_t at = 16 + rng() % (s.size() - 16);
            switch (rng() % 3) {
            case 0: s[at] = junk[rng() % junk.size()]; break;
            case 1: s.erase(at, 1 + rng() % 8); break;
            default: s.insert(at, std::string(1, junk[rng() % junk.size()])); break;
            }
        }
        try {
            auto m = TXFileModel::LoadFromText(s, "mut.x");
            // Whatever was accepted is consistent: every index names a vertex
            // and the material groups lie within the index array.
            m->EnumFrames([](TCD3DFileObject& f, const D3DMATRIX&) {
                if (!f.Mesh) return;
                for (uint16_t i : *f.Mesh->Indices) ASSERT_LT(i, f.Mesh->Vertices->size());
                ASSERT_LE(f.Mesh->Groups.size(), static_cast<size_t>(MaxMaterialGroups));
                for (const TXMaterialGroup& g : f.Mesh->Groups) {
                    ASSERT_GE(g.FirstIndex, 0);
                    ASSERT_GE(g.IndexCount, 0);
                    ASSERT_LE(static_cast<size_t>(g.FirstIndex) + g.IndexCount, f.Mesh->Indices->size());
                }
            });
            ++accepted;
        } catch (const EXFileError&) {
            ++refused;
        }
    }
    EXPECT_GT(refused, 100);
    EXPECT_GT(accepted, 0);
}

#ifdef DUNEBOLT_BIN_DIR
TEST(XFileReader, ReadsTheGeneratedModels)
{
    const std::string dir = std::string(DUNEBOLT_BIN_DIR) + "/3dobjects/";
    struct Want {
        const char* file;
        std::vector<const char*> frames;
    } wants[] = {
        {"auto1.x", {"x3ds_rad1", "x3ds_rad1kap1", "x3ds_rad1kap2", "x3ds_rad2", "x3ds_rad2kap1", "x3ds_rad2kap2",
                     "x3ds_rad3", "x3ds_rad3kap1", "x3ds_rad3kap2", "x3ds_rad4", "x3ds_rad4kap1", "x3ds_rad4kap2"}},
        {"schatten.x", {"Rechteck01"}},
        {"pfeil.x", {"pfeil"}},
        {"tor.x", {"torl", "torr", "toro"}},
        {"himmel.x", {"himmel"}},
    };
    for (const auto& w : wants) {
        auto m = TXFileModel::LoadFromFile(dir + w.file);
        for (const char* f : w.frames) EXPECT_NE(m->FindFrame(f), nullptr) << w.file << " " << f;
    }
    auto shadow = TXFileModel::LoadFromFile(dir + "schatten.x");
    ASSERT_TRUE(shadow->FindFrame("Rechteck01")->Mesh);
    EXPECT_LE(shadow->FindFrame("Rechteck01")->Mesh->Vertices->size(), 82u);
}
#endif

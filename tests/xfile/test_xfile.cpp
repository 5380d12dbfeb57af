// The .x model reader: frames, matrices and nesting, polygons fanned into
// material groups, the model object read from a real file, and clear errors
// for malformed files, and what a hostile file costs in memory (this program
// counts every allocation). (What a damaged file still yields is the fuzz
// target's: tests/fuzz/fuzz_xfile.cpp.)
#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>

#include "platform/xfile/xfile.h"

namespace {
std::atomic<size_t> liveBytes{0}, peakBytes{0};
}  // namespace

void* operator new(size_t size)
{
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    const size_t now = liveBytes += malloc_usable_size(p);
    size_t peak = peakBytes;
    while (now > peak && !peakBytes.compare_exchange_weak(peak, now)) {}
    return p;
}

// GCC takes the free below for one of memory from the operator new it pairs
// with; both are ours and both are malloc's.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept
{
    if (p == nullptr) return;
    liveBytes -= malloc_usable_size(p);
    std::free(p);
}

void operator delete(void* p, size_t) noexcept { operator delete(p); }

namespace {

// Two frames (one nested, with a reference to the other), a quad and a
// pentagon, an inline and a referenced material with a texture, normals and
// texture coordinates.
const char* kModel = R"(xof 0303txt 0032
template Dummy { <3D82AB43-62DA-11CF-AB39-0020AF71E433> DWORD x; }
Header { 1; 0; 1; }
// a material named at the top, referenced below
Material Glass { 0.2;0.4;0.6;0.5;; 12.0; 0.1;0.2;0.3;; 0.0;0.0;0.0;; TextureFilename { "cfenster.bmp"; } }
Frame body {
  FrameTransformMatrix { 1.0,0.0,0.0,0.0, 0.0,1.0,0.0,0.0, 0.0,0.0,1.0,0.0, +10.0,20.0,30.0,1.0;; }
  Mesh bodymesh {
    6;
    0.0;0.0;0.0;, 1.0;0.0;0.0;, 1.0;1.0;0.0;, 0.0;1.0;0.0;, 2.0;0.0;0.0;, 2.0;1.0;0.0;;
    3;
    4;0,1,2,3;,
    5;1,4,5,2,3;,
    2;0,1;;
    MeshNormals { 1; 0.0;0.0;-1.0;; 3; 4;0,0,0,0;, 5;0,0,0,0,0;, 2;0,0;; }
    MeshTextureCoords { 6; 0.0;0.0;, 1.0;0.0;, 1.0;1.0;, 0.0;1.0;, 0.5;0.5;, 0.25;0.75;; }
    MeshMaterialList {
      2; 3; 1,0,0;;
      Material { 1.0;0.0;0.0;1.0;; 0.0; 0.0;0.0;0.0;; 0.0;0.0;0.0;; }
      { Glass <3D82AB4F-62DA-11CF-AB39-0020AF71E433> }
    }
  }
  Frame x3ds_rad1 {
    { body }
    FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, 1,2,3,1;; }
    Mesh { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3;0,1,2;; }
  }
}
)";

// The model as another editor may write it: tabs between words, CR LF at
// the line ends (the 16-byte header as it is).
std::string WithTabsAndCrLf()
{
    std::string s = std::string(kModel).substr(0, 16);
    for (const char* c = kModel + 16; *c; ++c)
        s += (*c == ' ') ? std::string("\t") : (*c == '\n') ? std::string("\r\n") : std::string(1, *c);
    return s;
}

}  // namespace

TEST(XFileReader, ReadsFramesMatricesAndMaterialGroups)
{
    for (const std::string& text : {std::string(kModel), WithTabsAndCrLf()}) {
        SCOPED_TRACE(text.find('\t') != std::string::npos ? "tabs and CR LF" : "spaces and LF");
        auto m = TXFileModel::LoadFromText(text, "test.x");
        EXPECT_EQ(m->FindFrame(""), &m->Root);
        ASSERT_EQ(m->Root.Children.size(), 1u);
        auto* body = m->FindFrame("body");
        auto* wheel = m->FindFrame("x3ds_rad1");
        ASSERT_TRUE(body && wheel);
        EXPECT_EQ(body->Parent, &m->Root);
        EXPECT_EQ(wheel->Parent, body);
        EXPECT_EQ(m->FindFrame("nothing"), nullptr);
        EXPECT_EQ(m->FrameMatrix("x3ds_rad1"), &wheel->Matrix);
        // Accumulated matrices: the wheel's own translation, then its parent's.
        std::vector<std::pair<std::string, D3DVECTOR>> seen;
        m->EnumFrames([&](TCD3DFileObject& f, const D3DMATRIX& w) { seen.push_back({f.Name, {w._41, w._42, w._43}}); });
        ASSERT_EQ(seen.size(), 3u);
        EXPECT_EQ(seen[0].first, "D3DFile_Root");
        EXPECT_EQ(seen[1].second, (D3DVECTOR{10, 20, 30}));
        EXPECT_EQ(seen[2].second, (D3DVECTOR{11, 22, 33}));

        // Group 0: the pentagon (material 0) fanned into 3 triangles; group
        // 1: the quad (material 1, the referenced glass), 2 triangles; the
        // 2-corner face is dropped.
        const TXMesh& mesh = *body->Mesh;
        EXPECT_EQ(mesh.Vertices->size(), 6u);
        EXPECT_EQ(*mesh.Indices, (std::vector<uint16_t>{1, 4, 5, 1, 5, 2, 1, 2, 3, 0, 1, 2, 0, 2, 3}));
        ASSERT_EQ(mesh.Groups.size(), 2u);
        EXPECT_EQ(std::make_pair(mesh.Groups[0].FirstIndex, mesh.Groups[0].IndexCount), std::make_pair(0, 9));
        EXPECT_EQ(std::make_pair(mesh.Groups[1].FirstIndex, mesh.Groups[1].IndexCount), std::make_pair(9, 6));
        const TXMaterial& red = mesh.Groups[0].Material;
        const TXMaterial& glass = mesh.Groups[1].Material;
        EXPECT_EQ(std::vector<float>({red.Diffuse.r, red.Diffuse.g, red.Diffuse.a}), std::vector<float>({1, 0, 1}));
        EXPECT_EQ(red.TextureFilename, "");
        EXPECT_EQ(glass.TextureFilename, "cfenster.bmp");
        EXPECT_EQ(std::vector<float>({glass.Diffuse.b, glass.Diffuse.a, glass.Power, glass.Specular.g}),
                  std::vector<float>({0.6f, 0.5f, 12, 0.2f}));
        EXPECT_TRUE(mesh.Transparent);
        EXPECT_FLOAT_EQ((*mesh.Vertices)[5].tv, 0.75f);
        EXPECT_FLOAT_EQ((*mesh.Vertices)[3].nz, -1);
        // Without a material list: one white opaque group.
        const TXMesh& wheelMesh = *wheel->Mesh;
        ASSERT_EQ(wheelMesh.Groups.size(), 1u);
        EXPECT_EQ(wheelMesh.Groups[0].IndexCount, 3);
        EXPECT_EQ(wheelMesh.Groups[0].Material.Diffuse.g, 1);
        EXPECT_FALSE(wheelMesh.Transparent);
    }
    // A mesh outside any frame gets a frame of its own, named after it; faces
    // past the end of a material list keep its last entry.
    auto lone = TXFileModel::LoadFromText(std::string(kModel, 16) +
                                              "Material A { 1;1;1;1;; 0; 0;0;0;; 0;0;0;; }\n"
                                              "Mesh lone { 4; 0;0;0;, 1;0;0;, 0;1;0;, 1;1;0;; 2; 3;0,1,2;, 3;1,3,2;; "
                                              "MeshMaterialList { 2; 1; 1;; {A} {A} } }",
                                          "lone.x");
    ASSERT_TRUE(lone->FindFrame("lone") && lone->FindFrame("lone")->Mesh);
    EXPECT_EQ(lone->FindFrame("lone")->Mesh->Groups.at(1).IndexCount, 6);
}

TEST(XFileReader, ModelObjectFromAFileScalesAndSharesItsGeometry)
{
    const auto dir = std::filesystem::temp_directory_path() / ("xfile_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "model.x").string();
    std::ofstream(path, std::ios::binary) << kModel;
    TXObject obj;
    obj.Right = obj.Up = obj.Forward = obj.Position = {5, 5, 5};
    EXPECT_NO_THROW(LoadXObject(obj, path));
    std::filesystem::remove_all(dir);
    ASSERT_EQ(obj.Loaded + obj.Active, 2);
    // The placement starts afresh.
    EXPECT_TRUE((obj.Position == D3DVECTOR{} && obj.Right == D3DVECTOR{1, 0, 0} && obj.Up == D3DVECTOR{0, 1, 0} &&
                 obj.Forward == D3DVECTOR{0, 0, 1}));
    ScaleXObject(obj, 2, 3, 4);
    TGeometry g, root;
    GetXGeometry(obj, "body", g);
    EXPECT_EQ(std::make_pair(g.VertexCount, g.IndexCount), std::make_pair(6, 15));
    EXPECT_EQ(std::vector<float>({(*g.Vertices)[5].x, (*g.Vertices)[5].y, (*g.Vertices)[3].nz}),
              std::vector<float>({4, 3, -1}))
        << "normals unchanged";
    GetXGeometry(obj, "", root);
    EXPECT_EQ(root.IndexCount, 0);
    EXPECT_THROW(GetXGeometry(obj, "missing", root), EXFileError);
    obj = TXObject{};  // the model goes; the geometry stays
    EXPECT_EQ((*g.Indices)[14], 3);
    EXPECT_THROW(LoadXObject(obj, "no-such-model.x"), EXFileError);
    EXPECT_EQ(obj.Loaded, 0);
}

TEST(XFileReader, MalformedFilesGiveClearErrors)
{
    const std::string h = "xof 0303txt 0032\n";
    const std::string tri = h + "Mesh { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3;0,1,2;; ";
    const std::pair<std::string, std::string> cases[] = {
        {"xof 0303bin 0032", "not supported"},
        {"hello world, this is no model", "header"},
        {"xof", "header"},
        {h + "Mesh { 3; 0;0;0;, 1;0;0;; 1; 3;0,1,2;; }", "whole number"},
        {h + "Mesh { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3;0,1,3;; }", "out of range"},
        {h + "Mesh { 4000000000; 0;0;0; }", "vertices"},
        {h + "Mesh { 60000; 0;0;0; }", "too short"},
        {h + "Mesh { 1; 0;x;0;; 0; }", "bad number"},
        {h + "Mesh { 1; 0;1e99;0;; 0; }", "bad number"},
        {h + "Mesh { 1; 0;-inf;0;; 0; }", "bad number"},
        {tri + "MeshMaterialList { 1; 1; 0;; { Nope } } }", "unknown material"},
        {tri + "MeshMaterialList { 1; 1; 0;; { \"Glass\" } } }", "expected a material name"},
        {tri + "MeshMaterialList { 17; 1; 0;; } }", "at most 16"},
        {tri + "MeshMaterialList { 1; 1; 1;; } }", "out of range"},
        {h + "Frame a { Frame b { ", "file ends"},
        {h + "Frame a {" + std::string(5000, '{'), "nested"},
        {h + "Material m { 1;1;1;1;; 0; 0;0;0;; 0;0;0;; TextureFilename { \"x.bmp; } }", "unterminated"},
    };
    for (const auto& [text, needle] : cases) {
        try {
            TXFileModel::LoadFromText(text, "bad.x");
            ADD_FAILURE() << "accepted: " << text;
        } catch (const EXFileError& e) {
            const std::string what = e.what();
            EXPECT_EQ(what.rfind("bad.x", 0), 0u) << what;
            EXPECT_NE(what.find(needle), std::string::npos) << what;
        }
    }
}

// Memory in proportion to what the file can hold, not to how many tokens it
// splits into.
TEST(XFileReader, AHostileFileCostsMemoryInProportionToWhatItCanHold)
{
    const std::string h = "xof 0303txt 0032\n";
    constexpr size_t n = 8 << 20;
    std::string templates = h, faces = h + "Mesh m { 1; 0;0;0;; 4000000;";
    for (size_t i = 0; i < n / 12; ++i) templates += "template a{}";
    for (int i = 0; i < 4000000; ++i) faces += "0;";
    // The most allocated per byte of the file; a face of no corners costs an
    // offset and a material.
    const std::pair<std::string, double> cases[] = {
        {h + std::string(n, '{'), 0.01}, {h + std::string(n, '}'), 0.01}, {templates, 0.01}, {faces + "}", 8.0}};
    for (const auto& [text, costPerByte] : cases) {
        peakBytes = liveBytes.load();
        const size_t before = liveBytes;
        try {
            TXFileModel::LoadFromText(text, "hostile.x");
        } catch (const EXFileError&) {
        }
        EXPECT_LE(peakBytes - before, costPerByte * text.size()) << text.substr(h.size(), 30);
    }
}

// Meshes as the models are built, and their text .x form ("xof 0303txt
// 0032": Frame, FrameTransformMatrix, Mesh, MeshNormals, MeshTextureCoords,
// MeshMaterialList with inline Material and TextureFilename).
//
// Faces are front faces in the game's convention when
// (p1 − p0) × (p2 − p0) points to the viewer's side (clockwise on screen in
// a left-handed system); the builders below orient every face that way
// from a point known to lie behind it.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace makedata {

struct TVec {
    float x = 0, y = 0, z = 0;
};
TVec operator+(TVec a, TVec b);
TVec operator-(TVec a, TVec b);
TVec operator*(TVec a, float s);
float Dot(TVec a, TVec b);
TVec Cross(TVec a, TVec b);
TVec Normalize(TVec a);

struct TMaterial {
    std::string Name;
    std::array<float, 4> Diffuse{1, 1, 1, 1};
    float Power = 0;
    std::array<float, 3> Specular{0, 0, 0};
    std::array<float, 3> Emissive{0, 0, 0};
    std::string Texture;  // "" = none
};

struct TMeshVertex {
    TVec Pos, Normal;
    float u = 0, v = 0;
};

class TMesh {
public:
    explicit TMesh(std::string name) : Name(std::move(name)) {}
    // Index of a material, added on first use.
    int Material(const TMaterial& m);
    int Vertex(TVec pos, TVec normal, float u, float v);
    // A flat polygon (3 or 4 corners, convex) turned to face away from
    // `inside`; normals are the face normal.
    void Face(const std::vector<TVec>& corners, const std::vector<std::array<float, 2>>& uv, int material, TVec inside);
    // The same, turned towards `viewer` instead (the inside of the sky).
    void FaceToward(const std::vector<TVec>& corners, const std::vector<std::array<float, 2>>& uv, int material,
                    TVec viewer);
    // A polygon from vertices already made, in the order given.
    void FaceRaw(const std::vector<int>& vertices, int material);

    std::string Name;
    std::vector<TMeshVertex> Vertices;
    std::vector<std::vector<int>> Faces;
    std::vector<int> FaceMaterials;
    std::vector<TMaterial> Materials;
};

struct TFrame {
    std::string Name;
    // Row-vector matrix, row-major (m[0..3] is the first row).
    std::array<float, 16> Matrix{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    std::vector<TMesh> Meshes;
    std::vector<TFrame> Children;
};

// The whole file: header and the frames, numbers in a fixed format so the
// output is the same on every run.
std::string WriteXFile(const std::vector<TFrame>& frames);

}  // namespace makedata

#include "tools/makedata/mesh.h"

#include <cassert>
#include <cmath>
#include <cstdio>

namespace makedata {

TVec operator+(TVec a, TVec b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
TVec operator-(TVec a, TVec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
TVec operator*(TVec a, float s) { return {a.x * s, a.y * s, a.z * s}; }
float Dot(TVec a, TVec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
TVec Cross(TVec a, TVec b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
TVec Normalize(TVec a)
{
    float l = std::sqrt(Dot(a, a));
    return (l > 0) ? a * (1.0f / l) : TVec{0, 1, 0};
}

int TMesh::Material(const TMaterial& m)
{
    for (size_t i = 0; i < Materials.size(); ++i)
        if (Materials[i].Name == m.Name) return static_cast<int>(i);
    Materials.push_back(m);
    return static_cast<int>(Materials.size()) - 1;
}

int TMesh::Vertex(TVec pos, TVec normal, float u, float v)
{
    Vertices.push_back({pos, normal, u, v});
    return static_cast<int>(Vertices.size()) - 1;
}

void TMesh::FaceToward(const std::vector<TVec>& corners, const std::vector<std::array<float, 2>>& uv, int material,
                       TVec viewer)
{
    // Facing away from the mirror image of the viewer behind the face.
    TVec centre{};
    for (const TVec& c : corners) centre = centre + c;
    centre = centre * (1.0f / static_cast<float>(corners.size()));
    Face(corners, uv, material, centre + (centre - viewer));
}

void TMesh::Face(const std::vector<TVec>& corners, const std::vector<std::array<float, 2>>& uv, int material,
                 TVec inside)
{
    assert(corners.size() >= 3 && corners.size() == uv.size());
    TVec n = Cross(corners[1] - corners[0], corners[2] - corners[0]);
    if (corners.size() == 4) n = n + Cross(corners[2] - corners[0], corners[3] - corners[0]);
    TVec centre{};
    for (const TVec& c : corners) centre = centre + c;
    centre = centre * (1.0f / static_cast<float>(corners.size()));
    bool flip = Dot(n, centre - inside) < 0;
    TVec normal = Normalize(flip ? n * -1.0f : n);
    std::vector<int> ids;
    for (size_t k = 0; k < corners.size(); ++k) {
        size_t i = flip ? corners.size() - 1 - k : k;
        ids.push_back(Vertex(corners[i], normal, uv[i][0], uv[i][1]));
    }
    FaceRaw(ids, material);
}

void TMesh::FaceRaw(const std::vector<int>& vertices, int material)
{
    Faces.push_back(vertices);
    FaceMaterials.push_back(material);
}

namespace {

std::string Num(float v)
{
    if (v == 0) v = 0;  // no "-0.000000"
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6f", static_cast<double>(v));
    return buf;
}

void WriteMesh(std::string& out, const TMesh& m, const std::string& indent)
{
    const std::string in2 = indent + "  ";
    out += indent + "Mesh " + m.Name + " {\n";
    out += in2 + std::to_string(m.Vertices.size()) + ";\n";
    for (size_t i = 0; i < m.Vertices.size(); ++i) {
        const TVec& p = m.Vertices[i].Pos;
        out += in2 + Num(p.x) + ";" + Num(p.y) + ";" + Num(p.z) + ";" + (i + 1 < m.Vertices.size() ? "," : ";") + "\n";
    }
    auto faces = [&](const std::string& ind) {
        out += ind + std::to_string(m.Faces.size()) + ";\n";
        for (size_t f = 0; f < m.Faces.size(); ++f) {
            out += ind + std::to_string(m.Faces[f].size()) + ";";
            for (size_t k = 0; k < m.Faces[f].size(); ++k)
                out += std::to_string(m.Faces[f][k]) + (k + 1 < m.Faces[f].size() ? "," : ";");
            out += (f + 1 < m.Faces.size() ? ",\n" : ";\n");
        }
    };
    faces(in2);

    const std::string in3 = in2 + "  ";
    out += in2 + "MeshNormals {\n";
    out += in3 + std::to_string(m.Vertices.size()) + ";\n";
    for (size_t i = 0; i < m.Vertices.size(); ++i) {
        const TVec& n = m.Vertices[i].Normal;
        out += in3 + Num(n.x) + ";" + Num(n.y) + ";" + Num(n.z) + ";" + (i + 1 < m.Vertices.size() ? "," : ";") + "\n";
    }
    faces(in3);  // one normal per vertex, so the normal faces equal the faces
    out += in2 + "}\n";

    out += in2 + "MeshTextureCoords {\n";
    out += in3 + std::to_string(m.Vertices.size()) + ";\n";
    for (size_t i = 0; i < m.Vertices.size(); ++i)
        out += in3 + Num(m.Vertices[i].u) + ";" + Num(m.Vertices[i].v) + ";" + (i + 1 < m.Vertices.size() ? "," : ";") +
               "\n";
    out += in2 + "}\n";

    out += in2 + "MeshMaterialList {\n";
    out += in3 + std::to_string(m.Materials.size()) + ";\n";
    out += in3 + std::to_string(m.FaceMaterials.size()) + ";\n";
    for (size_t f = 0; f < m.FaceMaterials.size(); ++f)
        out += in3 + std::to_string(m.FaceMaterials[f]) + (f + 1 < m.FaceMaterials.size() ? ",\n" : ";\n");
    const std::string in4 = in3 + "  ";
    for (const TMaterial& mat : m.Materials) {
        out += in3 + "Material " + mat.Name + " {\n";
        out += in4 + Num(mat.Diffuse[0]) + ";" + Num(mat.Diffuse[1]) + ";" + Num(mat.Diffuse[2]) + ";" +
               Num(mat.Diffuse[3]) + ";;\n";
        out += in4 + Num(mat.Power) + ";\n";
        out += in4 + Num(mat.Specular[0]) + ";" + Num(mat.Specular[1]) + ";" + Num(mat.Specular[2]) + ";;\n";
        out += in4 + Num(mat.Emissive[0]) + ";" + Num(mat.Emissive[1]) + ";" + Num(mat.Emissive[2]) + ";;\n";
        if (!mat.Texture.empty())
            out += in4 + "TextureFilename {\n" + in4 + "  \"" + mat.Texture + "\";\n" + in4 + "}\n";
        out += in3 + "}\n";
    }
    out += in2 + "}\n";
    out += indent + "}\n";
}

void WriteFrame(std::string& out, const TFrame& f, const std::string& indent)
{
    const std::string in2 = indent + "  ";
    out += indent + "Frame " + f.Name + " {\n";
    out += in2 + "FrameTransformMatrix {\n" + in2 + "  ";
    for (int i = 0; i < 16; ++i) out += Num(f.Matrix[i]) + (i < 15 ? "," : ";;\n");
    out += in2 + "}\n";
    for (const TMesh& m : f.Meshes) WriteMesh(out, m, in2);
    for (const TFrame& c : f.Children) WriteFrame(out, c, in2);
    out += indent + "}\n";
}

}  // namespace

std::string WriteXFile(const std::vector<TFrame>& frames)
{
    std::string out = "xof 0303txt 0032\n\n";
    for (const TFrame& f : frames) {
        WriteFrame(out, f, "");
        out += "\n";
    }
    return out;
}

}  // namespace makedata

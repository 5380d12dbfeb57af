// The .x model reader: text-format DirectX model files ("xof 0303txt 0032")
// read into a tree of frames under "D3DFile_Root", each frame with its name,
// its local matrix, its children and optionally one mesh. CPU only: the
// graphics engine gives a model its textures and draws it.
//
// Frames, matrices, vertex order and material groups are kept exactly as the
// file has them (left-handed, row-vector matrices, one vertex per file vertex).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/d3d/d3dtypes.h"

// Raised for a model that cannot be found or read; the text names the file
// and what is wrong ("auto1.x: line 12: 40 vertices announced, 38 given").
class EXFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

constexpr int MaxMaterialGroups = 16;
// Indices are 16-bit, so one mesh holds at most this many vertices.
constexpr int MaxMeshVertices = 65536;

struct TXColor {
    float r = 1, g = 1, b = 1, a = 1;
};

// One material of the file: face colour with alpha, specular power, specular
// and emissive colours, and the texture file name ("" = no texture).
struct TXMaterial {
    std::string Name;
    TXColor Diffuse;
    float Power = 0;
    TXColor Specular{0, 0, 0, 1};
    TXColor Emissive{0, 0, 0, 1};
    std::string TextureFilename;
};

// A range of a mesh's index array drawn with one material. The groups of a
// mesh lie one after the other in material order; a group may be empty.
struct TXMaterialGroup {
    TXMaterial Material;
    int32_t FirstIndex = 0;
    int32_t IndexCount = 0;
};

struct TXMesh {
    std::string Name;
    // Shared so that a TGeometry handed out keeps them after the model goes.
    std::shared_ptr<std::vector<D3DVERTEX>> Vertices = std::make_shared<std::vector<D3DVERTEX>>();
    // Triangle list; polygons of n corners are fanned into n − 2 triangles.
    std::shared_ptr<std::vector<uint16_t>> Indices = std::make_shared<std::vector<uint16_t>>();
    std::vector<TXMaterialGroup> Groups;  // at most MaxMaterialGroups
    // Some material has a diffuse alpha below 1 (drawn in the blended pass).
    bool Transparent = false;
};

// One frame of a loaded model.
class TCD3DFileObject {
public:
    std::string Name;
    D3DMATRIX Matrix = IdentityMatrix();  // local: applied before the parent's
    std::unique_ptr<TXMesh> Mesh;         // null for a frame without mesh
    std::vector<std::unique_ptr<TCD3DFileObject>> Children;
    TCD3DFileObject* Parent = nullptr;  // null for the root
};

// A model read from one file.
class TXFileModel {
public:
    // Reads a file (the path as given). Throws EXFileError.
    static std::shared_ptr<TXFileModel> LoadFromFile(const std::string& path);
    // Reads text already in memory; name is used in error texts.
    static std::shared_ptr<TXFileModel> LoadFromText(std::string_view text, const std::string& name);

    std::string FileName;
    TCD3DFileObject Root;  // named "D3DFile_Root", identity matrix

    // First frame of that name in depth-first order (the root first);
    // an empty name gives the root. Null when there is none.
    TCD3DFileObject* FindFrame(std::string_view name);
    const TCD3DFileObject* FindFrame(std::string_view name) const;
    // The local matrix of the named frame; null when there is none.
    D3DMATRIX* FrameMatrix(std::string_view name);

    // Visits every frame depth-first, parents before children, with its
    // accumulated matrix: frame.Matrix × parent's accumulated × … × start.
    using TFrameVisitor = std::function<void(TCD3DFileObject& frame, const D3DMATRIX& world)>;
    void EnumFrames(const TFrameVisitor& visit, const D3DMATRIX& start = IdentityMatrix());

    // Multiplies x, y and z of every vertex of every mesh (normals unchanged).
    void Scale(float sx, float sy, float sz);

    // Room for the graphics engine's resources of this model (textures,
    // buffers); the reader never touches it.
    std::shared_ptr<void> EngineData;
};

// Where models are looked for: the name as given (relative to the working
// directory), then XFileModelDir + name, then XFileProgramDir + XFileModelDir
// + name. XFileProgramDir empty means the directory of the running program.
extern std::string XFileModelDir;    // "3dobjects/"
extern std::string XFileProgramDir;  // "" or a directory with a trailing '/'
// The path that would be read for name; throws EXFileError when none exists.
std::string FindXFile(const std::string& name);

// The mesh of one frame, kept after the model object is released.
struct TGeometry {
    std::shared_ptr<std::vector<uint16_t>> Indices;
    int32_t IndexCount = 0;
    std::shared_ptr<std::vector<D3DVERTEX>> Vertices;
    int32_t VertexCount = 0;
};

// The model object record: flags, the model, its placement.
struct TXObject {
    uint8_t Active = 0;
    uint8_t Loaded = 0;
    std::shared_ptr<TXFileModel> XFile;
    D3DVECTOR Position;
    D3DVECTOR Rotation;
    D3DVECTOR Right{1, 0, 0};
    D3DVECTOR Up{0, 1, 0};
    D3DVECTOR Forward{0, 0, 1};
};

// Forgets a model the record holds, loads fileName (found by FindXFile),
// resets the placement and marks the record loaded and active.
// Throws EXFileError; the record is then left unloaded.
void LoadXObject(TXObject& obj, const std::string& fileName);
// Scales every vertex of the record's model in place.
void ScaleXObject(TXObject& obj, float sx, float sy, float sz);
// The named frame's mesh as shared arrays ("" = the root). A frame without
// mesh gives an empty geometry; a name no frame has raises EXFileError.
void GetXGeometry(const TXObject& obj, const std::string& frameName, TGeometry& out);

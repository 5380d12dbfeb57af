// libFuzzer target: the .x model reader on any text; a model it accepts is
// walked and scaled as the game does with its cars and gates.
#include "platform/xfile/xfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::shared_ptr<TXFileModel> model;
    try {
        model = TXFileModel::LoadFromText({reinterpret_cast<const char*>(data), size}, "fuzz.x");
    } catch (const EXFileError&) {
        return 0;
    }
    // What the engine draws from: every index names a vertex, every group
    // lies inside the index array.
    model->EnumFrames([](TCD3DFileObject& frame, const D3DMATRIX&) {
        if (!frame.Mesh) return;
        const TXMesh& m = *frame.Mesh;
        for (uint16_t i : *m.Indices)
            if (i >= m.Vertices->size()) __builtin_trap();
        for (const TXMaterialGroup& g : m.Groups)
            if (g.FirstIndex < 0 || g.IndexCount < 0 || size_t(g.FirstIndex) + size_t(g.IndexCount) > m.Indices->size())
                __builtin_trap();
    });
    model->Scale(2, 0.5f, -1);
    return 0;
}

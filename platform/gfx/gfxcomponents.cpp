// The engine's child components (surfaces, textures, models, lights and
// clippers) and the drawing of a model's frame tree.
#include "platform/gfx/gfxengine.h"

#include <map>

namespace {

struct TModelTextures {
    uint64_t generation = 0;
    std::map<const TXMesh*, std::vector<TDDSurface*>> groups;
};

void ResolveTextures(TGfxEngine& engine, TXFileModel& model, const std::function<void(std::string&)>& map = nullptr)
{
    auto data = std::static_pointer_cast<TModelTextures>(model.EngineData);
    if (data && data->generation == engine.StartGeneration()) return;
    auto fresh = std::make_shared<TModelTextures>();
    fresh->generation = engine.StartGeneration();
    model.EnumFrames([&](TCD3DFileObject& f, const D3DMATRIX&) {
        if (!f.Mesh) return;
        auto& list = fresh->groups[f.Mesh.get()];
        for (const auto& g : f.Mesh->Groups) {
            std::string name = g.Material.TextureFilename;
            if (map && !name.empty()) map(name);
            list.push_back(name.empty() ? nullptr : engine.TextureByName(name));
        }
    });
    model.EngineData = fresh;
}

void RenderNode(TGfxDevice& dev, TCD3DFileObject& node, const D3DMATRIX& parentWorld, bool transparentPass,
                const TModelTextures& tex)
{
    const D3DMATRIX world = node.Matrix * parentWorld;
    if (node.Mesh && node.Mesh->Transparent == transparentPass) {
        dev.SetTransform(D3DTRANSFORMSTATE_WORLD, world);
        const TXMesh& mesh = *node.Mesh;
        auto it = tex.groups.find(&mesh);
        for (size_t i = 0; i < mesh.Groups.size(); ++i) {
            const TXMaterialGroup& g = mesh.Groups[i];
            if (g.IndexCount <= 0 || g.FirstIndex < 0 ||
                size_t(g.FirstIndex) + size_t(g.IndexCount) > mesh.Indices->size())
                continue;
            dev.SetTexture(0, (it != tex.groups.end() && i < it->second.size()) ? it->second[i] : nullptr);
            D3DMATERIAL7 m;
            const TXMaterial& x = g.Material;
            m.diffuse = {x.Diffuse.r, x.Diffuse.g, x.Diffuse.b, x.Diffuse.a};
            // The file has no ambient colour; the face colour serves, as the
            // DirectX loaders did, so that the unlit side is not black.
            m.ambient = {x.Diffuse.r, x.Diffuse.g, x.Diffuse.b, 1};
            m.specular = {x.Specular.r, x.Specular.g, x.Specular.b, 1};
            m.emissive = {x.Emissive.r, x.Emissive.g, x.Emissive.b, 1};
            m.power = x.Power;
            dev.SetMaterial(m);
            dev.DrawIndexedPrimitive(D3DPT_TRIANGLELIST, D3DFVF_VERTEX, mesh.Vertices->data(),
                                     uint32_t(mesh.Vertices->size()), mesh.Indices->data() + g.FirstIndex,
                                     uint32_t(g.IndexCount));
        }
    }
    for (auto& c : node.Children) RenderNode(dev, *c, world, transparentPass, tex);
}

}  // namespace

D3DCOLORVALUE GfxColorValue(uint32_t c)
{
    return {float(c & 0xFF) / 256.f, float((c >> 8) & 0xFF) / 256.f, float((c >> 16) & 0xFF) / 256.f, 1.f};
}

TGfxComponent::TGfxComponent(TGfxEngine& engine, Kind kind, QObject* owner)
    : m_engine(&engine), m_kind(kind), m_owner(owner)
{
    engine.RegisterComponent(this);
}

TGfxComponent::~TGfxComponent() { m_engine->UnregisterComponent(this); }

TGfxSurface::TGfxSurface(TGfxEngine& engine, QObject* owner) : TGfxComponent(engine, kSurface, owner) {}
TGfxSurface::~TGfxSurface() { Stop(); }

void TGfxSurface::Start()
{
    if (m_active || !m_engine->Active()) return;
    std::string why;
    const int w = (SurfaceDimension == sdExact) ? SpecifiedWidth : 0;
    const int h = (SurfaceDimension == sdExact) ? SpecifiedHeight : 0;
    auto fail = [&](const std::string& file) {
        Stop();
        m_engine->Error("TGfxSurface: cannot create a texture from " + file, why);
    };
    if (SurfaceType == dxstMipMaps) {
        const int s = m_engine->CreateNewSurface(Images, Flags, w, h, &why);
        if (s < 0) fail(Images.empty() ? std::string("an empty image list") : Images[0]);
        m_surfaces.push_back(s);
    } else {
        for (const auto& img : Images) {
            const int s = m_engine->CreateNewSurface({img}, Flags, w, h, &why);
            if (s < 0) fail(img);
            m_surfaces.push_back(s);
        }
    }
    m_active = true;
}

void TGfxSurface::Stop()
{
    for (int s : m_surfaces) m_engine->DestroySurface(s);
    m_surfaces.clear();
    m_active = false;
}

TDDSurface* TGfxSurface::Surface(int i) const
{
    if (i < 0 || size_t(i) >= m_surfaces.size()) return nullptr;
    return m_engine->Surface(m_surfaces[size_t(i)]);
}

TGfxTexture::TGfxTexture(TGfxEngine& engine, QObject* owner) : TGfxComponent(engine, kTexture, owner) {}
TGfxTexture::~TGfxTexture() { Stop(); }

void TGfxTexture::Start()
{
    if (m_active) return;
    if (!m_engine->Active()) m_engine->Error("TGfxTexture: " + Image + ": the engine is not started", "");
    int w = Width, h = Height, bits = Bits;
    if (OnSettingDimension) OnSettingDimension(this, w, h, bits);
    std::string why;
    m_surface = m_engine->CreateNewSurface({Image}, Flags, w, h, &why);
    if (m_surface < 0) m_engine->Error("TGfxTexture: cannot create a texture from " + Image, why);
    m_active = true;
}

void TGfxTexture::Stop()
{
    if (m_surface >= 0) m_engine->DestroySurface(m_surface);
    m_surface = -1;
    m_active = false;
}

TDDSurface* TGfxTexture::Surface() const { return m_engine->Surface(m_surface); }

TGfxXFile::TGfxXFile(TGfxEngine& engine, QObject* owner) : TGfxComponent(engine, kXFile, owner) {}
TGfxXFile::~TGfxXFile() { Stop(); }

void TGfxXFile::SetXFile(const std::string& name)
{
    m_xfile = name;
    if (m_active) {
        Stop();
        Start();
    }
}

void TGfxXFile::Start()
{
    if (m_active) return;
    if (!m_engine->Active()) m_engine->Error("TGfxXFile: " + m_xfile + ": the engine is not started", "");
    const std::string path = m_engine->FindModelFile(m_xfile);
    if (path.empty()) m_engine->Error("TGfxXFile: cannot load " + m_xfile, "File not found");
    try {
        m_model = TXFileModel::LoadFromFile(path);
    } catch (const std::exception& e) {
        m_model.reset();
        m_engine->Error("TGfxXFile: cannot load " + m_xfile, e.what());
    }
    if (AutoLoadResources) {
        ResolveTextures(*m_engine, *m_model, [this](std::string& n) {
            if (OnTextureFilename) OnTextureFilename(this, n);
        });
    }
    m_active = true;
    if (OnFileLoaded) OnFileLoaded(this);
}

void TGfxXFile::Stop()
{
    m_model.reset();
    m_active = false;
}

TCD3DFileObject* TGfxXFile::FindFrame(const std::string& name) const
{
    return m_model ? m_model->FindFrame(name) : nullptr;
}

D3DMATRIX* TGfxXFile::FrameMatrix(const std::string& name) const
{
    return m_model ? m_model->FrameMatrix(name) : nullptr;
}

void TGfxXFile::EnumFrames(const TXFileModel::TFrameVisitor& visit) const
{
    if (m_model) m_model->EnumFrames(visit);
}

void TGfxXFile::Draw() const
{
    if (m_model && m_engine->Active()) GfxDrawXModel(*m_engine, *m_model);
}

void GfxDrawXModel(TGfxEngine& engine, TXFileModel& model)
{
    TGfxDevice* dev = engine.Device();
    if (!dev) return;
    ResolveTextures(engine, model);
    const auto& tex = *std::static_pointer_cast<TModelTextures>(model.EngineData);
    D3DMATERIAL7 mat;
    D3DMATRIX world;
    uint32_t blend = 0, src = 0, dst = 0;
    dev->GetMaterial(mat);
    TDDSurface* stage0 = dev->GetTexture(0);
    dev->GetTransform(D3DTRANSFORMSTATE_WORLD, world);
    dev->GetRenderState(D3DRENDERSTATE_ALPHABLENDENABLE, blend);
    dev->GetRenderState(D3DRENDERSTATE_SRCBLEND, src);
    dev->GetRenderState(D3DRENDERSTATE_DESTBLEND, dst);

    RenderNode(*dev, model.Root, world, false, tex);
    dev->SetRenderState(D3DRENDERSTATE_ALPHABLENDENABLE, 1);
    dev->SetRenderState(D3DRENDERSTATE_SRCBLEND, D3DBLEND_SRCALPHA);
    dev->SetRenderState(D3DRENDERSTATE_DESTBLEND, D3DBLEND_INVSRCALPHA);
    RenderNode(*dev, model.Root, world, true, tex);

    dev->SetRenderState(D3DRENDERSTATE_ALPHABLENDENABLE, blend);
    dev->SetRenderState(D3DRENDERSTATE_SRCBLEND, src);
    dev->SetRenderState(D3DRENDERSTATE_DESTBLEND, dst);
    dev->SetTransform(D3DTRANSFORMSTATE_WORLD, world);
    dev->SetTexture(0, stage0);
    dev->SetMaterial(mat);
}

TGfxLight::TGfxLight(TGfxEngine& engine, QObject* owner) : TGfxComponent(engine, kLight, owner) {}
TGfxLight::~TGfxLight() { Stop(); }

D3DLIGHT7 TGfxLight::Description() const
{
    D3DLIGHT7 l;
    l.dltType = LightType;
    l.dcvDiffuse = GfxColorValue(DiffuseColor);
    l.dcvSpecular = GfxColorValue(SpecularColor);
    l.dcvAmbient = GfxColorValue(AmbientColor);
    l.dvPosition = {PositionX, PositionY, PositionZ};
    l.dvDirection = {DirectionX, DirectionY, DirectionZ};
    l.dvRange = Range;
    l.dvFalloff = FallOff;
    l.dvAttenuation0 = Attenuation0;
    l.dvAttenuation1 = Attenuation1;
    l.dvAttenuation2 = Attenuation2;
    l.dvTheta = Theta;
    l.dvPhi = Phi;
    return l;
}

void TGfxLight::Start()
{
    TGfxDevice* dev = m_engine->Device();
    if (!dev) return;
    if (dev->SetLight(LightIndex, Description()) != D3D_OK)
        m_engine->Error("TGfxLight: light index " + std::to_string(LightIndex) + " out of range",
                        "DDERR_INVALIDPARAMS");
    dev->LightEnable(LightIndex, LightOn);
    m_active = true;
}

void TGfxLight::Stop() { m_active = false; }

TGfxClipper::TGfxClipper(TGfxEngine& engine, QObject* owner) : TGfxComponent(engine, kClipper, owner) {}
TGfxClipper::~TGfxClipper() { Stop(); }
void TGfxClipper::Start() { m_active = m_engine->Active(); }
void TGfxClipper::Stop() { m_active = false; }

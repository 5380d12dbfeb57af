#include "platform/gfx/gfxengine.h"

#include "platform/d3d/frameclock.h"

#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QMessageBox>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFramebufferObject>
#include <QOpenGLFunctions_3_3_Core>
#include <QOpenGLPaintDevice>
#include <QOpenGLVersionFunctionsFactory>
#include <QOpenGLWidget>
#include <QScreen>
#include <QSurfaceFormat>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>

// The view on the output window: a GL widget whose own framebuffer receives
// the presented frames. It keeps its contents between presents.
class TGfxView : public QOpenGLWidget {
public:
    TGfxView(TGfxEngine* engine, QWidget* parent) : QOpenGLWidget(parent), m_engine(engine) {
        QSurfaceFormat fmt = QSurfaceFormat::defaultFormat();
        fmt.setVersion(3, 3);
        fmt.setProfile(QSurfaceFormat::CoreProfile);
        fmt.setSwapInterval(0);
        setFormat(fmt);
        setUpdateBehavior(QOpenGLWidget::PartialUpdate);
        setAttribute(Qt::WA_DeleteOnClose, false);
    }
    QOpenGLFunctions_3_3_Core* GL() const {
        return context() ? QOpenGLVersionFunctionsFactory::get<QOpenGLFunctions_3_3_Core>(context()) : nullptr;
    }

protected:
    void initializeGL() override {}
    void paintGL() override {
        // Qt bound the widget's framebuffer: ours must be bound again.
        m_engine->m_rtBound = false;
        if (m_engine->m_device) m_engine->m_device->InvalidateGLState();
    }
    void resizeGL(int, int) override { paintGL(); }

private:
    TGfxEngine* m_engine;
};

namespace {

std::string ProgramDir() {
    QString dir = QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QString(".");
    return dir.toStdString() + "/";
}

bool Exists(const std::string& p) { return !p.empty() && QFileInfo(QString::fromStdString(p)).isFile(); }

// What really renders here, asked once of a throw-away context.
std::string RendererString() {
    static std::string cached;
    static bool asked = false;
    if (asked) return cached;
    asked = true;
    if (QGuiApplication::platformName() == "offscreen") return cached;
    QOpenGLContext ctx;
    QSurfaceFormat fmt = QSurfaceFormat::defaultFormat();
    fmt.setVersion(3, 3);
    fmt.setProfile(QSurfaceFormat::CoreProfile);
    ctx.setFormat(fmt);
    if (!ctx.create()) return cached;
    QOffscreenSurface surface;
    surface.setFormat(ctx.format());
    surface.create();
    if (!ctx.makeCurrent(&surface)) return cached;
    if (auto* gl = QOpenGLVersionFunctionsFactory::get<QOpenGLFunctions_3_3_Core>(&ctx)) {
        const auto* r = reinterpret_cast<const char*>(gl->glGetString(GL_RENDERER));
        cached = r ? r : "OpenGL";
    }
    ctx.doneCurrent();
    return cached;
}

struct TModelTextures {
    uint64_t generation = 0;
    std::map<const TXMesh*, std::vector<TDDSurface*>> groups;
};

void ResolveTextures(TGfxEngine& engine, TXFileModel& model,
                     const std::function<void(std::string&)>& map = nullptr) {
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
                const TModelTextures& tex) {
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

void GfxSetDefaultSurfaceFormat() {
    QSurfaceFormat fmt;
    fmt.setVersion(3, 3);
    fmt.setProfile(QSurfaceFormat::CoreProfile);
    fmt.setRenderableType(QSurfaceFormat::OpenGL);
    // Frames follow each other as fast as the machine allows.
    fmt.setSwapInterval(0);
    fmt.setDepthBufferSize(0);
    fmt.setStencilBufferSize(0);
    QSurfaceFormat::setDefaultFormat(fmt);
}

D3DCOLORVALUE GfxColorValue(uint32_t c) {
    return {float(c & 0xFF) / 256.f, float((c >> 8) & 0xFF) / 256.f, float((c >> 16) & 0xFF) / 256.f, 1.f};
}

// ---- components ----

TGfxComponent::TGfxComponent(TGfxEngine& engine, Kind kind, QObject* owner)
    : m_engine(&engine), m_kind(kind), m_owner(owner) {
    engine.RegisterComponent(this);
}

TGfxComponent::~TGfxComponent() { m_engine->UnregisterComponent(this); }

TGfxSurface::TGfxSurface(TGfxEngine& engine, QObject* owner) : TGfxComponent(engine, kSurface, owner) {}
TGfxSurface::~TGfxSurface() { Stop(); }

void TGfxSurface::Start() {
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

void TGfxSurface::Stop() {
    for (int s : m_surfaces) m_engine->DestroySurface(s);
    m_surfaces.clear();
    m_active = false;
}

TDDSurface* TGfxSurface::Surface(int i) const {
    if (i < 0 || size_t(i) >= m_surfaces.size()) return nullptr;
    return m_engine->Surface(m_surfaces[size_t(i)]);
}

TGfxTexture::TGfxTexture(TGfxEngine& engine, QObject* owner) : TGfxComponent(engine, kTexture, owner) {}
TGfxTexture::~TGfxTexture() { Stop(); }

void TGfxTexture::Start() {
    if (m_active) return;
    if (!m_engine->Active()) m_engine->Error("TGfxTexture: " + Image + ": the engine is not started", "");
    int w = Width, h = Height, bits = Bits;
    if (OnSettingDimension) OnSettingDimension(this, w, h, bits);
    std::string why;
    m_surface = m_engine->CreateNewSurface({Image}, Flags, w, h, &why);
    if (m_surface < 0) m_engine->Error("TGfxTexture: cannot create a texture from " + Image, why);
    m_active = true;
}

void TGfxTexture::Stop() {
    if (m_surface >= 0) m_engine->DestroySurface(m_surface);
    m_surface = -1;
    m_active = false;
}

TDDSurface* TGfxTexture::Surface() const { return m_engine->Surface(m_surface); }

TGfxXFile::TGfxXFile(TGfxEngine& engine, QObject* owner) : TGfxComponent(engine, kXFile, owner) {}
TGfxXFile::~TGfxXFile() { Stop(); }

void TGfxXFile::SetXFile(const std::string& name) {
    m_xfile = name;
    if (m_active) {
        Stop();
        Start();
    }
}

void TGfxXFile::Start() {
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

void TGfxXFile::Stop() {
    m_model.reset();
    m_active = false;
}

TCD3DFileObject* TGfxXFile::FindFrame(const std::string& name) const {
    return m_model ? m_model->FindFrame(name) : nullptr;
}

D3DMATRIX* TGfxXFile::FrameMatrix(const std::string& name) const {
    return m_model ? m_model->FrameMatrix(name) : nullptr;
}

void TGfxXFile::EnumFrames(const TXFileModel::TFrameVisitor& visit) const {
    if (m_model) m_model->EnumFrames(visit);
}

void TGfxXFile::Draw() const {
    if (m_model && m_engine->Active()) GfxDrawXModel(*m_engine, *m_model);
}

void GfxDrawXModel(TGfxEngine& engine, TXFileModel& model) {
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

D3DLIGHT7 TGfxLight::Description() const {
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

void TGfxLight::Start() {
    TGfxDevice* dev = m_engine->Device();
    if (!dev) return;
    if (dev->SetLight(LightIndex, Description()) != D3D_OK)
        m_engine->Error("TGfxLight: light index " + std::to_string(LightIndex) + " out of range", "DDERR_INVALIDPARAMS");
    dev->LightEnable(LightIndex, LightOn);
    m_active = true;
}

void TGfxLight::Stop() { m_active = false; }

TGfxClipper::TGfxClipper(TGfxEngine& engine, QObject* owner) : TGfxComponent(engine, kClipper, owner) {}
TGfxClipper::~TGfxClipper() { Stop(); }
void TGfxClipper::Start() { m_active = m_engine->Active(); }
void TGfxClipper::Stop() { m_active = false; }

// ---- engine ----

TGfxEngine::TGfxEngine(QWidget* owner) : QObject(owner), OutputControl(owner), m_owner(owner) {
    m_idle = new QTimer(this);
    m_idle->setInterval(0);
    connect(m_idle, &QTimer::timeout, this, [this] { IdleTick(); });
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(app, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState s) {
            if (s == Qt::ApplicationActive) ApplicationActivated();
            else ApplicationDeactivated();
        });
    }
}

TGfxEngine::~TGfxEngine() {
    // The owner may be half destroyed already: no events from here on.
    OnAfterStop = nullptr;
    OnException = nullptr;
    StopAll();
    // Components outliving the engine must not call back into it.
    for (auto* c : m_components) c->m_active = false;
}

void TGfxEngine::RegisterComponent(TGfxComponent* c) { m_components.push_back(c); }

void TGfxEngine::UnregisterComponent(TGfxComponent* c) {
    m_components.erase(std::remove(m_components.begin(), m_components.end(), c), m_components.end());
}

bool TGfxEngine::HasFocus() const { return QGuiApplication::applicationState() == Qt::ApplicationActive; }

QWidget* TGfxEngine::View() const { return m_view; }

std::string TGfxEngine::DriverText(const TGfxDriver& d) { return d.Name + ", " + d.Description; }
std::string TGfxEngine::DeviceText(const TGfxD3DDevice& d) { return d.Name + ", " + d.Description; }
std::string TGfxEngine::VideoModeText(const TGfxVideoMode& m) {
    if (m.Windowed) return "Windowed";
    return std::to_string(m.Width) + " x " + std::to_string(m.Height) + " x " + std::to_string(m.BitsPerPixel);
}
std::string TGfxEngine::ZBufferText(const TGfxZBufferFormat& z) {
    return "Z Buffer Depth:" + std::to_string(z.DepthBits) + ", Stencil Depth:" + std::to_string(z.StencilBits);
}

void TGfxEngine::FillCombo(QComboBox* box, const std::vector<std::string>& texts, int selected) {
    if (!box) return;
    m_filling = true;
    box->clear();
    for (const auto& t : texts) box->addItem(QString::fromStdString(t));
    box->setCurrentIndex(selected);
    m_filling = false;
}

void TGfxEngine::Loaded() {
    auto hook = [this](QComboBox* box, void (TGfxEngine::*set)(int)) {
        if (!box || std::find(m_hooked.begin(), m_hooked.end(), box) != m_hooked.end()) return;
        m_hooked.push_back(box);
        connect(box, &QComboBox::currentIndexChanged, this, [this, set](int i) {
            if (!m_filling && i >= 0) (this->*set)(i);
        });
        connect(box, &QObject::destroyed, this, [this, box] {
            m_hooked.erase(std::remove(m_hooked.begin(), m_hooked.end(), box), m_hooked.end());
        });
    };
    hook(ComboBoxDrivers, &TGfxEngine::SetSelectedDriver);
    hook(ComboBoxD3DDevices, &TGfxEngine::SetSelectedD3DDevice);
    hook(ComboBoxVideoModes, &TGfxEngine::SetSelectedVideoMode);
    hook(ComboBoxZBuffer, &TGfxEngine::SetSelectedZBuffer);
    GetDrivers();
}

void TGfxEngine::GetDrivers() {
    m_drivers.clear();
    const auto screens = QGuiApplication::screens();
    QScreen* primary = QGuiApplication::primaryScreen();
    std::vector<QScreen*> order;
    if (primary) order.push_back(primary);
    for (auto* s : screens)
        if (s != primary) order.push_back(s);
    for (auto* s : order) {
        TGfxDriver d;
        d.Monitor = s;
        // What a player recognises: the X display and the screen's size.
        const QString display = qEnvironmentVariable("DISPLAY");
        QString desc = QString("%1 × %2").arg(s->size().width()).arg(s->size().height());
        if (!s->model().isEmpty()) desc += " (" + s->model() + ")";
        d.Description = desc.toStdString();
        d.Name = ((s == primary && !display.isEmpty()) ? "X display " + display : s->name()).toStdString();
        bool accept = true;
        if (OnAcceptDriver) OnAcceptDriver(this, d, accept);
        if (accept) m_drivers.push_back(d);
    }
    std::vector<std::string> texts;
    for (const auto& d : m_drivers) texts.push_back(DriverText(d));
    m_selDriver = m_drivers.empty() ? -1 : 0;
    FillCombo(ComboBoxDrivers, texts, m_selDriver);
    if (OnUpdateDriver) OnUpdateDriver(this);
    GetVideoModes();
    GetD3DDevices();
}

void TGfxEngine::GetVideoModes() {
    m_modes.clear();
    QScreen* screen = (m_selDriver >= 0) ? m_drivers[size_t(m_selDriver)].Monitor : QGuiApplication::primaryScreen();
    std::vector<TGfxVideoMode> candidates;
    if (screen) {
        const QSize desk = screen->size();
        // An X screen of depth 24 stores 32 bits per pixel.
        const int bits = (screen->depth() == 24) ? 32 : screen->depth();
        if (dxVideoMode != dxvmOnlyFullScreen) candidates.push_back({1, desk.width(), desk.height(), bits});
        if (dxVideoMode != dxvmOnlyWindowed) {
            static const int sizes[][2] = {{320, 200}, {320, 240}, {400, 300}, {512, 384}, {640, 400}, {640, 480},
                                           {800, 600}, {1024, 768}, {1152, 864}, {1280, 720}, {1280, 960},
                                           {1280, 1024}, {1366, 768}, {1440, 900}, {1600, 900}, {1600, 1200},
                                           {1680, 1050}, {1920, 1080}, {1920, 1200}, {2560, 1440}, {3840, 2160}};
            for (const auto& s : sizes) {
                if (s[0] > desk.width() || s[1] > desk.height()) continue;
                for (int bits : {16, 32}) candidates.push_back({0, s[0], s[1], bits});
            }
        }
    }
    for (const auto& m : candidates) {
        bool accept = true;
        if (OnAcceptVideoMode) OnAcceptVideoMode(this, m, accept);
        if (accept) m_modes.push_back(m);
    }
    std::vector<std::string> texts;
    for (const auto& m : m_modes) texts.push_back(VideoModeText(m));
    m_selMode = m_modes.empty() ? -1 : 0;
    FillCombo(ComboBoxVideoModes, texts, m_selMode);
    if (OnUpdateVideoMode) OnUpdateVideoMode(this);
}

void TGfxEngine::GetD3DDevices() {
    m_devices.clear();
    const std::string renderer = RendererString();
    TGfxD3DDevice d;
    d.Name = "OpenGL 3.3 Core";
    d.Description = renderer.empty() ? std::string("no OpenGL renderer found") : renderer;
    d.Hardware = renderer.find("llvmpipe") == std::string::npos && renderer.find("softpipe") == std::string::npos &&
                 renderer.find("swrast") == std::string::npos;
    bool accept = true;
    if (OnAcceptD3DDevice) OnAcceptD3DDevice(this, d, accept);
    if (accept) m_devices.push_back(d);
    std::vector<std::string> texts;
    for (const auto& x : m_devices) texts.push_back(DeviceText(x));
    m_selDevice = m_devices.empty() ? -1 : 0;
    FillCombo(ComboBoxD3DDevices, texts, m_selDevice);
    if (OnUpdateD3DDevice) OnUpdateD3DDevice(this);
    GetZBuffers();
}

void TGfxEngine::GetZBuffers() {
    m_zbuffers.clear();
    static const TGfxZBufferFormat formats[] = {
        {24, 8, GL_DEPTH24_STENCIL8}, {16, 0, GL_DEPTH_COMPONENT16}, {24, 0, GL_DEPTH_COMPONENT24},
        {32, 0, GL_DEPTH_COMPONENT32F}};
    if (m_selDevice >= 0) {
        for (const auto& f : formats) {
            bool accept = true;
            if (OnAcceptZBuffer) OnAcceptZBuffer(this, f, accept);
            if (accept) m_zbuffers.push_back(f);
        }
    }
    std::vector<std::string> texts;
    for (const auto& z : m_zbuffers) texts.push_back(ZBufferText(z));
    m_selZBuffer = m_zbuffers.empty() ? -1 : 0;
    FillCombo(ComboBoxZBuffer, texts, m_selZBuffer);
    if (OnUpdateZBuffer) OnUpdateZBuffer(this);
}

void TGfxEngine::SetSelectedDriver(int i) {
    if (i < 0 || size_t(i) >= m_drivers.size()) return;
    const bool was = m_active;
    if (was) StopAll();
    m_selDriver = i;
    if (ComboBoxDrivers && ComboBoxDrivers->currentIndex() != i) FillCombo(ComboBoxDrivers, [&] {
            std::vector<std::string> t;
            for (const auto& d : m_drivers) t.push_back(DriverText(d));
            return t;
        }(), i);
    GetVideoModes();
    GetD3DDevices();
    if (was) StartAll();
}

void TGfxEngine::SetSelectedVideoMode(int i) {
    if (i < 0 || size_t(i) >= m_modes.size()) return;
    const bool was = m_active;
    if (was) StopAll();
    m_selMode = i;
    if (ComboBoxVideoModes && ComboBoxVideoModes->currentIndex() != i) {
        m_filling = true;
        ComboBoxVideoModes->setCurrentIndex(i);
        m_filling = false;
    }
    if (was) StartAll();
}

void TGfxEngine::SetSelectedD3DDevice(int i) {
    if (i < 0 || size_t(i) >= m_devices.size()) return;
    m_selDevice = i;
    if (ComboBoxD3DDevices && ComboBoxD3DDevices->currentIndex() != i) {
        m_filling = true;
        ComboBoxD3DDevices->setCurrentIndex(i);
        m_filling = false;
    }
    GetZBuffers();
}

void TGfxEngine::SetSelectedZBuffer(int i) {
    if (i < 0 || size_t(i) >= m_zbuffers.size()) return;
    m_selZBuffer = i;
    if (ComboBoxZBuffer && ComboBoxZBuffer->currentIndex() != i) {
        m_filling = true;
        ComboBoxZBuffer->setCurrentIndex(i);
        m_filling = false;
    }
}

bool TGfxEngine::IsFullScreenMode() const {
    return m_selMode >= 0 && size_t(m_selMode) < m_modes.size() && m_modes[size_t(m_selMode)].Windowed == 0;
}

std::string TGfxEngine::ErrorName(unsigned code) {
    switch (code) {
        case 0: return "";
        case GL_INVALID_ENUM: return "GL_INVALID_ENUM";
        case GL_INVALID_VALUE: return "GL_INVALID_VALUE";
        case GL_INVALID_OPERATION: return "GL_INVALID_OPERATION";
        case GL_OUT_OF_MEMORY: return "GL_OUT_OF_MEMORY";
        case GL_INVALID_FRAMEBUFFER_OPERATION: return "GL_INVALID_FRAMEBUFFER_OPERATION";
        case GL_FRAMEBUFFER_INCOMPLETE_ATTACHMENT: return "GL_FRAMEBUFFER_INCOMPLETE_ATTACHMENT";
        case GL_FRAMEBUFFER_INCOMPLETE_MISSING_ATTACHMENT: return "GL_FRAMEBUFFER_INCOMPLETE_MISSING_ATTACHMENT";
        case GL_FRAMEBUFFER_UNSUPPORTED: return "GL_FRAMEBUFFER_UNSUPPORTED";
        case uint32_t(DDERR_INVALIDPARAMS): return "DDERR_INVALIDPARAMS";
        case uint32_t(D3DERR_INVALIDPRIMITIVETYPE): return "D3DERR_INVALIDPRIMITIVETYPE";
        default: return "Unrecognized Error";
    }
}

void TGfxEngine::Error(const std::string& step, const std::string& platformError) {
    m_lastError = step + "\n" + platformError;
    if (LogType != dxlogNone && !LogFile.empty()) {
        std::ofstream log(LogFile, std::ios::app);
        log << m_lastError << "\n";
    }
    if (!ExceptionIgnore) StopAll();
    throw EGfxError(m_lastError);
}

void TGfxEngine::MakeTargetCurrent() {
    if (!m_view || !m_rt) return;
    if (QOpenGLContext::currentContext() != m_view->context()) {
        m_view->makeCurrent();
        m_rtBound = false;
    }
    if (!m_rtBound) {
        m_rt->bind();
        m_rtBound = true;
        if (m_device) m_device->InvalidateGLState();
    }
}

bool TGfxEngine::CreateDepthBuffer(int format) {
    auto* gl = m_view->GL();
    const TGfxZBufferFormat& f = m_zbuffers[size_t(format)];
    m_rt->bind();
    gl->glGenRenderbuffers(1, &m_depth);
    GfxCountGLObjects(1);
    gl->glBindRenderbuffer(GL_RENDERBUFFER, m_depth);
    gl->glRenderbufferStorage(GL_RENDERBUFFER, f.GLFormat, m_renderSize.width(), m_renderSize.height());
    const GLenum attach = f.StencilBits ? GL_DEPTH_STENCIL_ATTACHMENT : GL_DEPTH_ATTACHMENT;
    gl->glFramebufferRenderbuffer(GL_FRAMEBUFFER, attach, GL_RENDERBUFFER, m_depth);
    const bool ok = gl->glGetError() == GL_NO_ERROR && gl->glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
    if (!ok) {
        gl->glFramebufferRenderbuffer(GL_FRAMEBUFFER, attach, GL_RENDERBUFFER, 0);
        gl->glDeleteRenderbuffers(1, &m_depth);
        GfxCountGLObjects(-1);
        m_depth = 0;
    }
    return ok;
}

void TGfxEngine::StartAll() {
    // 1. Already running.
    if (m_active) return;
    if (OnBeforeStart) OnBeforeStart(this);
    QWidget* out = OutputControl ? OutputControl : m_owner;
    if (!out) Error("StartAll: no output window", "");
    if (m_selMode < 0 || size_t(m_selMode) >= m_modes.size()) Error("StartAll: no video mode selected", "");
    if (m_selDevice < 0) Error("StartAll: no OpenGL device", "");
    const TGfxVideoMode mode = m_modes[size_t(m_selMode)];
    const bool fullScreen = mode.Windowed == 0;

    // 2. A full-screen mode makes the window borderless and on top; its
    // bounds are kept for the way back.
    QWidget* win = out->window();
    if (fullScreen) {
        m_savedGeometry = win->geometry();
        m_savedFlags = win->windowFlags();
        m_savedState = win->windowState();
        m_madeFullScreen = true;
        QScreen* screen = (m_selDriver >= 0) ? m_drivers[size_t(m_selDriver)].Monitor : nullptr;
        win->setWindowFlags(m_savedFlags | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
        if (screen) win->setGeometry(screen->geometry());
        win->showFullScreen();
    }

    // 3.-5. The view on the window and the render surface.
    m_view = new TGfxView(this, out);
    // Should the window go first, its GL objects go with its context.
    connect(m_view, &QObject::destroyed, this, [this] {
        m_view = nullptr;
        m_depth = 0;
    });
    m_view->setGeometry(out->rect());
    m_view->show();
    m_view->raise();
    if (!m_view->context()) QCoreApplication::processEvents();
    if (!m_view->context()) Error("StartAll: the output window has no OpenGL view (is it shown?)", "");
    m_view->makeCurrent();
    auto* gl = m_view->GL();
    if (!gl) Error("StartAll: OpenGL 3.3 core is not available", "");
    UpdateOutputRects();
    m_renderSize = fullScreen ? QSize(mode.Width, mode.Height) : out->size();
    if (m_renderSize.isEmpty()) Error("StartAll: the output window has no area", "");
    {
        QOpenGLFramebufferObjectFormat fmt;
        fmt.setAttachment(QOpenGLFramebufferObject::NoAttachment);
        fmt.setInternalTextureFormat(GL_RGBA8);
        m_rt = new QOpenGLFramebufferObject(m_renderSize, fmt);
        GfxCountGLObjects(1);
        if (!m_rt->isValid()) Error("StartAll: cannot create the render surface", ErrorName(gl->glGetError()));
    }
    // 6. The z-buffer: the selected format, else each listed one in turn.
    m_usedZBuffer = -1;
    if (UseZBuffer && !m_zbuffers.empty()) {
        std::vector<int> order;
        if (m_selZBuffer >= 0) order.push_back(m_selZBuffer);
        for (int i = 0; i < int(m_zbuffers.size()); ++i)
            if (i != m_selZBuffer) order.push_back(i);
        for (int i : order)
            if (CreateDepthBuffer(i)) {
                m_usedZBuffer = i;
                break;
            }
        if (m_usedZBuffer < 0) Error("StartAll: cannot create the z-buffer", "GL_FRAMEBUFFER_UNSUPPORTED");
    }
    m_rtBound = false;
    ++m_generation;
    // 7. The device and its viewport.
    m_device = std::make_unique<TGfxDevice>(gl, [this] { MakeTargetCurrent(); });
    if (!m_device->Init()) Error("StartAll: cannot create the device", m_device->ErrorText());
    D3DVIEWPORT7 vp;
    vp.dwWidth = uint32_t(m_renderSize.width());
    vp.dwHeight = uint32_t(m_renderSize.height());
    vp.dvMinZ = vpMinZ;
    vp.dvMaxZ = vpMaxZ;
    m_device->SetViewport(vp);
    m_paintDevice = std::make_unique<QOpenGLPaintDevice>(m_renderSize);
    m_active = true;

    // 9. The window's own components: its clippers (they have no start
    // setting) and the textures, models and surfaces set to start, then the
    // lights.
    const auto comps = m_components;
    for (auto* c : comps)
        if (c->Owner() == m_owner && c->ComponentKind() != TGfxComponent::kLight &&
            (c->AutoStart || c->ComponentKind() == TGfxComponent::kClipper))
            c->Start();
    for (auto* c : comps)
        if (c->Owner() == m_owner && c->ComponentKind() == TGfxComponent::kLight) c->Start();
    // 10. The default material.
    SetMaterial(1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 40);
    // 11.
    StartTime = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    ResetFrameClock();
    if (OnAfterStart) OnAfterStart(this);
    // The handler may have stopped the engine (an error in the world setup).
    if (m_active && IdleEnabled && OnIdle) m_idle->start();
}

void TGfxEngine::ReleaseAll() {
    m_idle->stop();
    ReleaseCanvas();
    if (m_view && m_view->context()) m_view->makeCurrent();
    for (auto* c : m_components) c->Stop();
    for (size_t i = 0; i < m_surfaces.size(); ++i) DestroySurface(int(i));
    m_surfaces.clear();
    m_named.clear();
    m_paintDevice.reset();
    if (m_device) m_device->Release();
    m_device.reset();
    if (m_view && m_view->context()) {
        if (m_depth) {
            m_view->GL()->glDeleteRenderbuffers(1, &m_depth);
            GfxCountGLObjects(-1);
            m_depth = 0;
        }
        if (m_rt) {
            delete m_rt;
            m_rt = nullptr;
            GfxCountGLObjects(-1);
        }
        m_view->doneCurrent();
    }
    if (m_rt) {  // no context left to release it in
        delete m_rt;
        m_rt = nullptr;
        GfxCountGLObjects(-1);
    }
    delete m_view;
    m_view = nullptr;
    m_rtBound = false;
    m_renderSize = QSize();
}

void TGfxEngine::RestoreWindow() {
    if (!m_madeFullScreen) return;
    m_madeFullScreen = false;
    QWidget* out = OutputControl ? OutputControl : m_owner;
    if (!out) return;
    QWidget* win = out->window();
    win->setWindowFlags(m_savedFlags);
    win->setWindowState(m_savedState);
    win->setGeometry(m_savedGeometry);
    win->show();
}

void TGfxEngine::StopAll() {
    const bool was = m_active || m_view;
    ReleaseAll();
    RestoreWindow();
    m_active = false;
    if (was && OnAfterStop) OnAfterStop(this);
}

void TGfxEngine::UpdateOutputRects() {
    QWidget* out = OutputControl ? OutputControl : m_owner;
    if (IsFullScreenMode()) {
        const auto& m = m_modes[size_t(m_selMode)];
        SourceRect = DestRect = QRect(0, 0, m.Width, m.Height);
    } else if (out) {
        SourceRect = QRect(0, 0, out->width(), out->height());
        DestRect = QRect(out->mapToGlobal(QPoint(0, 0)), out->size());
    }
}

void TGfxEngine::ClearRecViewPort(uint32_t c) {
    if (!m_device) return;
    const uint32_t argb = 0xFF000000u | ((c & 0xFF) << 16) | (c & 0xFF00) | ((c >> 16) & 0xFF);
    m_device->Clear(D3DCLEAR_TARGET | ((m_usedZBuffer >= 0) ? uint32_t(D3DCLEAR_ZBUFFER) : 0u), argb, 1.0f);
}

void TGfxEngine::SetMaterial(float dr, float dg, float db, float ar, float ag, float ab, float sr, float sg, float sb,
                             float er, float eg, float eb, float power) {
    SetMaterialAlpha(dr, dg, db, 1, ar, ag, ab, sr, sg, sb, er, eg, eb, power);
}

void TGfxEngine::SetMaterialAlpha(float dr, float dg, float db, float da, float ar, float ag, float ab, float sr,
                                  float sg, float sb, float er, float eg, float eb, float power) {
    if (!m_device) return;
    D3DMATERIAL7 m;
    m.diffuse = {dr, dg, db, da};
    m.ambient = {ar, ag, ab, 1};
    m.specular = {sr, sg, sb, 1};
    m.emissive = {er, eg, eb, 1};
    m.power = power;
    m_device->SetMaterial(m);
}

QPainter* TGfxEngine::Canvas() {
    if (!m_active || !m_paintDevice) return nullptr;
    if (!m_painter.isActive()) {
        MakeTargetCurrent();
        if (m_device) m_device->LeaveGLState();
        m_painter.begin(m_paintDevice.get());
    }
    return &m_painter;
}

void TGfxEngine::ReleaseCanvas() {
    if (!m_painter.isActive()) return;
    m_painter.end();
    // The painter changed GL state behind the device's back.
    m_rtBound = false;
    if (m_device) m_device->InvalidateGLState();
}

void TGfxEngine::Present() {
    if (!m_active) return;
    ReleaseCanvas();
    m_view->makeCurrent();
    auto* gl = m_view->GL();
    const qreal dpr = m_view->devicePixelRatioF();
    const int vw = int(m_view->width() * dpr), vh = int(m_view->height() * dpr);
    gl->glBindFramebuffer(GL_READ_FRAMEBUFFER, m_rt->handle());
    gl->glBindFramebuffer(GL_DRAW_FRAMEBUFFER, m_view->defaultFramebufferObject());
    gl->glDisable(GL_SCISSOR_TEST);
    const bool same = vw == m_renderSize.width() && vh == m_renderSize.height();
    gl->glBlitFramebuffer(0, 0, m_renderSize.width(), m_renderSize.height(), 0, 0, vw, vh, GL_COLOR_BUFFER_BIT,
                          same ? GL_NEAREST : GL_LINEAR);
    // The window shows the frame opaque whatever alpha the scene left.
    gl->glBindFramebuffer(GL_FRAMEBUFFER, m_view->defaultFramebufferObject());
    gl->glColorMask(GL_FALSE, GL_FALSE, GL_FALSE, GL_TRUE);
    gl->glClearColor(0, 0, 0, 1);
    gl->glClear(GL_COLOR_BUFFER_BIT);
    gl->glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    m_rtBound = false;
    if (m_device) m_device->InvalidateGLState();
    m_view->update();
}

QImage TGfxEngine::GrabRenderSurface() {
    if (!m_active) return {};
    ReleaseCanvas();
    MakeTargetCurrent();
    auto* gl = m_view->GL();
    QImage img(m_renderSize, QImage::Format_RGBA8888);
    gl->glPixelStorei(GL_PACK_ALIGNMENT, 4);
    gl->glReadPixels(0, 0, m_renderSize.width(), m_renderSize.height(), GL_RGBA, GL_UNSIGNED_BYTE, img.bits());
    return img.mirrored();
}

int TGfxEngine::CreateNewSurface(const std::vector<std::string>& files, uint32_t flags, int width, int height,
                                 std::string* why) {
    auto fail = [&](const std::string& w) {
        if (why) *why = w;
        return -1;
    };
    if (!m_active || !m_view) return fail("the engine is not started");
    if (files.empty()) return fail("no image");
    std::vector<QImage> levels;
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string path = FindImageFile(files[i]);
        if (path.empty()) return fail("File not found");
        QImage img(QString::fromStdString(path));
        if (img.isNull()) return fail(files[i] + ": not a readable bitmap");
        int w = img.width(), h = img.height();
        if (i == 0) {
            if (width > 0 && height > 0) {
                w = width;
                h = height;
            }
        } else {
            // A mip level must be half the size of the one above it.
            w = std::max(1, levels[0].width() >> i);
            h = std::max(1, levels[0].height() >> i);
        }
        if (w > 8192 || h > 8192) return fail(files[i] + ": " + std::to_string(w) + " x " + std::to_string(h) + " pixels, at most 8192 x 8192");
        if (w != img.width() || h != img.height())
            img = img.scaled(w, h, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        const bool hadAlpha = img.hasAlphaChannel();
        img = img.convertToFormat(QImage::Format_ARGB32);
        if (flags & (d3dTRANSPARENTWHITE | d3dTRANSPARENTBLACK)) {
            const QRgb key = (flags & d3dTRANSPARENTWHITE) ? 0xFFFFFFu : 0u;
            for (int y = 0; y < img.height(); ++y) {
                auto* row = reinterpret_cast<QRgb*>(img.scanLine(y));
                for (int x = 0; x < img.width(); ++x)
                    row[x] = ((row[x] & 0xFFFFFFu) == key) ? (row[x] & 0xFFFFFFu) : (row[x] | 0xFF000000u);
            }
        } else if (!hadAlpha && !(flags & d3dCREATEWITHALPHA)) {
            for (int y = 0; y < img.height(); ++y) {
                auto* row = reinterpret_cast<QRgb*>(img.scanLine(y));
                for (int x = 0; x < img.width(); ++x) row[x] |= 0xFF000000u;
            }
        }
        levels.push_back(std::move(img));
    }
    MakeTargetCurrent();
    auto* gl = m_view->GL();
    auto s = std::make_unique<TDDSurface>();
    gl->glGenTextures(1, &s->tex);
    GfxCountGLObjects(1);
    gl->glActiveTexture(GL_TEXTURE0);
    gl->glBindTexture(GL_TEXTURE_2D, s->tex);
    gl->glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    gl->glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    // Each bitmap becomes its own level: the levels are drawn by hand.
    for (size_t i = 0; i < levels.size(); ++i)
        gl->glTexImage2D(GL_TEXTURE_2D, GLint(i), GL_RGBA8, levels[i].width(), levels[i].height(), 0, GL_BGRA,
                         GL_UNSIGNED_BYTE, levels[i].constBits());
    gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_BASE_LEVEL, 0);
    gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, GLint(levels.size() - 1));
    const GLenum err = gl->glGetError();
    if (m_device) m_device->InvalidateGLState();
    s->width = levels[0].width();
    s->height = levels[0].height();
    s->levels = int(levels.size());
    if (err != GL_NO_ERROR) {
        gl->glDeleteTextures(1, &s->tex);
        GfxCountGLObjects(-1);
        return fail(ErrorName(err));
    }
    for (size_t i = 0; i < m_surfaces.size(); ++i)
        if (!m_surfaces[i]) {
            m_surfaces[i] = std::move(s);
            return int(i);
        }
    m_surfaces.push_back(std::move(s));
    return int(m_surfaces.size() - 1);
}

void TGfxEngine::DestroySurface(int index) {
    if (index < 0 || size_t(index) >= m_surfaces.size() || !m_surfaces[size_t(index)]) return;
    auto& s = m_surfaces[size_t(index)];
    if (m_view && m_view->context()) {
        m_view->makeCurrent();
        m_rtBound = false;
        m_view->GL()->glDeleteTextures(1, &s->tex);
    }
    GfxCountGLObjects(-1);
    if (m_device) {
        for (uint32_t st = 0; st < kStageCount; ++st)
            if (m_device->GetTexture(st) == s.get()) m_device->SetTexture(st, nullptr);
        m_device->InvalidateGLState();
    }
    s.reset();
}

TDDSurface* TGfxEngine::Surface(int index) const {
    if (index < 0 || size_t(index) >= m_surfaces.size()) return nullptr;
    return m_surfaces[size_t(index)].get();
}

int TGfxEngine::SurfaceCount() const {
    return int(std::count_if(m_surfaces.begin(), m_surfaces.end(), [](const auto& s) { return s != nullptr; }));
}

TDDSurface* TGfxEngine::TextureByName(const std::string& name) {
    auto it = m_named.find(name);
    if (it != m_named.end()) return Surface(it->second);
    std::string why;
    const int s = CreateNewSurface({name}, 0, 0, 0, &why);
    if (s < 0) Error("TGfxXFile: cannot create the texture " + name, why);
    m_named[name] = s;
    return Surface(s);
}

std::string TGfxEngine::FindFile(const std::string& name, const std::string& dir) const {
    if (name.empty()) return "";
    if (Exists(name)) return name;
    if (Exists(dir + name)) return dir + name;
    const std::string base = BaseDir.empty() ? ProgramDir() : BaseDir;
    if (Exists(base + dir + name)) return base + dir + name;
    return "";
}

std::string TGfxEngine::FindImageFile(const std::string& name) const { return FindFile(name, PathImages); }
std::string TGfxEngine::FindModelFile(const std::string& name) const { return FindFile(name, Path3DxFiles); }

void TGfxEngine::IdleTick() {
    if (!m_active || !OnIdle) {
        m_idle->stop();
        return;
    }
    try {
        bool done = false;
        MakeTargetCurrent();
        OnIdle(this, done);
        // Done: wait for the next message instead of running again at once.
        if (done && m_active) m_idle->setInterval(1);
        else m_idle->setInterval(0);
    } catch (const std::exception& e) {
        HandleException(e);
    }
}

void TGfxEngine::HandleException(const std::exception& e) {
    if (ExceptionIgnore) return;
    RestoreWindow();
    if (OnException) OnException(this);
    StopAll();
    QMessageBox box(QMessageBox::Critical, "Exception",
                    QString::fromStdString(m_lastError) + "\n" + QString::fromLocal8Bit(e.what()), QMessageBox::Ok,
                    m_owner);
    box.setObjectName("gfxexceptionbox");
    box.exec();
}

void TGfxEngine::ApplicationDeactivated() {
    if (OnDeActivating) OnDeActivating(this);
    m_wasActive = m_active;
    if (m_active && (IsFullScreenMode() || AlwaysStopOnDeActivating)) StopAll();
}

void TGfxEngine::ApplicationActivated() {
    if (OnActivating) OnActivating(this);
    if (!m_active && (AutoStart || m_wasActive)) {
        m_wasActive = false;
        try {
            StartAll();
        } catch (const std::exception& e) {
            HandleException(e);
        }
    }
}

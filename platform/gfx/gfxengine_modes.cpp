// What the engine can run on: the drivers (screens), the OpenGL device,
// the video modes and the z-buffer formats, listed into their combo boxes,
// and the selection among them.
#include "platform/gfx/gfxengine_impl.h"

#include <QComboBox>
#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QScreen>

#include <algorithm>

namespace {

// What really renders here, asked once of a throw-away context.
std::string RendererString()
{
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

}  // namespace

std::string TGfxEngine::DriverText(const TGfxDriver& d) { return d.Name + ", " + d.Description; }
std::string TGfxEngine::DeviceText(const TGfxD3DDevice& d) { return d.Name + ", " + d.Description; }
std::string TGfxEngine::VideoModeText(const TGfxVideoMode& m)
{
    if (m.Windowed) return "Windowed";
    return std::to_string(m.Width) + " x " + std::to_string(m.Height) + " x " + std::to_string(m.BitsPerPixel);
}
std::string TGfxEngine::ZBufferText(const TGfxZBufferFormat& z)
{
    return "Z Buffer Depth:" + std::to_string(z.DepthBits) + ", Stencil Depth:" + std::to_string(z.StencilBits);
}

void TGfxEngine::FillCombo(QComboBox* box, const std::vector<std::string>& texts, int selected)
{
    if (!box) return;
    m_filling = true;
    box->clear();
    for (const auto& t : texts) box->addItem(QString::fromStdString(t));
    box->setCurrentIndex(selected);
    m_filling = false;
}

void TGfxEngine::Loaded()
{
    auto hook = [this](QComboBox* box, void (TGfxEngine::*set)(int)) {
        if (!box || std::find(m_hooked.begin(), m_hooked.end(), box) != m_hooked.end()) return;
        m_hooked.push_back(box);
        connect(box, &QComboBox::currentIndexChanged, this, [this, set](int i) {
            if (!m_filling && i >= 0) (this->*set)(i);
        });
        connect(box, &QObject::destroyed, this,
                [this, box] { m_hooked.erase(std::remove(m_hooked.begin(), m_hooked.end(), box), m_hooked.end()); });
    };
    hook(ComboBoxDrivers, &TGfxEngine::SetSelectedDriver);
    hook(ComboBoxD3DDevices, &TGfxEngine::SetSelectedD3DDevice);
    hook(ComboBoxVideoModes, &TGfxEngine::SetSelectedVideoMode);
    hook(ComboBoxZBuffer, &TGfxEngine::SetSelectedZBuffer);
    GetDrivers();
}

void TGfxEngine::GetDrivers()
{
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

void TGfxEngine::GetVideoModes()
{
    m_modes.clear();
    QScreen* screen = (m_selDriver >= 0) ? m_drivers[size_t(m_selDriver)].Monitor : QGuiApplication::primaryScreen();
    std::vector<TGfxVideoMode> candidates;
    if (screen) {
        const QSize desk = screen->size();
        // An X screen of depth 24 stores 32 bits per pixel.
        const int bits = (screen->depth() == 24) ? 32 : screen->depth();
        if (dxVideoMode != dxvmOnlyFullScreen) candidates.push_back({1, desk.width(), desk.height(), bits});
        if (dxVideoMode != dxvmOnlyWindowed) {
            static const int sizes[][2] = {
                {320, 200},  {320, 240},   {400, 300},   {512, 384},   {640, 400},   {640, 480},   {800, 600},
                {1024, 768}, {1152, 864},  {1280, 720},  {1280, 960},  {1280, 1024}, {1366, 768},  {1440, 900},
                {1600, 900}, {1600, 1200}, {1680, 1050}, {1920, 1080}, {1920, 1200}, {2560, 1440}, {3840, 2160}};
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

void TGfxEngine::GetD3DDevices()
{
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

void TGfxEngine::GetZBuffers()
{
    m_zbuffers.clear();
    static const TGfxZBufferFormat formats[] = {{24, 8, GL_DEPTH24_STENCIL8},
                                                {16, 0, GL_DEPTH_COMPONENT16},
                                                {24, 0, GL_DEPTH_COMPONENT24},
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

void TGfxEngine::SetSelectedDriver(int i)
{
    if (i < 0 || size_t(i) >= m_drivers.size()) return;
    const bool was = m_active;
    if (was) StopAll();
    m_selDriver = i;
    if (ComboBoxDrivers && ComboBoxDrivers->currentIndex() != i)
        FillCombo(
            ComboBoxDrivers,
            [&] {
                std::vector<std::string> t;
                for (const auto& d : m_drivers) t.push_back(DriverText(d));
                return t;
            }(),
            i);
    GetVideoModes();
    GetD3DDevices();
    if (was) StartAll();
}

void TGfxEngine::SetSelectedVideoMode(int i)
{
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

void TGfxEngine::SetSelectedD3DDevice(int i)
{
    if (i < 0 || size_t(i) >= m_devices.size()) return;
    m_selDevice = i;
    if (ComboBoxD3DDevices && ComboBoxD3DDevices->currentIndex() != i) {
        m_filling = true;
        ComboBoxD3DDevices->setCurrentIndex(i);
        m_filling = false;
    }
    GetZBuffers();
}

void TGfxEngine::SetSelectedZBuffer(int i)
{
    if (i < 0 || size_t(i) >= m_zbuffers.size()) return;
    m_selZBuffer = i;
    if (ComboBoxZBuffer && ComboBoxZBuffer->currentIndex() != i) {
        m_filling = true;
        ComboBoxZBuffer->setCurrentIndex(i);
        m_filling = false;
    }
}

bool TGfxEngine::IsFullScreenMode() const
{
    return m_selMode >= 0 && size_t(m_selMode) < m_modes.size() && m_modes[size_t(m_selMode)].Windowed == 0;
}

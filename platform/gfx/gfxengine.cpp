// The engine's life: start and stop of the OpenGL stack on the output
// window, the error routine, the idle loop, focus changes, and the frame's
// way out (the canvas on the render surface and the present).
#include "platform/d3d/frameclock.h"
#include "platform/gfx/gfxengine_impl.h"

#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QImage>
#include <QMessageBox>
#include <QOpenGLContext>
#include <QOpenGLFramebufferObject>
#include <QOpenGLPaintDevice>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <chrono>
#include <fstream>

void GfxSetDefaultSurfaceFormat()
{
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

TGfxEngine::TGfxEngine(QWidget* owner) : QObject(owner), OutputControl(owner), m_owner(owner)
{
    m_idle = new QTimer(this);
    m_idle->setInterval(0);
    connect(m_idle, &QTimer::timeout, this, [this] { IdleTick(); });
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(app, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState s) {
            if (s == Qt::ApplicationActive)
                ApplicationActivated();
            else
                ApplicationDeactivated();
        });
    }
}

TGfxEngine::~TGfxEngine()
{
    // The owner may be half destroyed already: no events from here on.
    OnAfterStop = nullptr;
    OnException = nullptr;
    StopAll();
    // Components outliving the engine must not call back into it.
    for (auto* c : m_components) c->m_active = false;
}

void TGfxEngine::RegisterComponent(TGfxComponent* c) { m_components.push_back(c); }

void TGfxEngine::UnregisterComponent(TGfxComponent* c)
{
    m_components.erase(std::remove(m_components.begin(), m_components.end(), c), m_components.end());
}

bool TGfxEngine::HasFocus() const { return QGuiApplication::applicationState() == Qt::ApplicationActive; }

QWidget* TGfxEngine::View() const { return m_view; }

std::string TGfxEngine::ErrorName(unsigned code)
{
    switch (code) {
        case 0:
            return "";
        case GL_INVALID_ENUM:
            return "GL_INVALID_ENUM";
        case GL_INVALID_VALUE:
            return "GL_INVALID_VALUE";
        case GL_INVALID_OPERATION:
            return "GL_INVALID_OPERATION";
        case GL_OUT_OF_MEMORY:
            return "GL_OUT_OF_MEMORY";
        case GL_INVALID_FRAMEBUFFER_OPERATION:
            return "GL_INVALID_FRAMEBUFFER_OPERATION";
        case GL_FRAMEBUFFER_INCOMPLETE_ATTACHMENT:
            return "GL_FRAMEBUFFER_INCOMPLETE_ATTACHMENT";
        case GL_FRAMEBUFFER_INCOMPLETE_MISSING_ATTACHMENT:
            return "GL_FRAMEBUFFER_INCOMPLETE_MISSING_ATTACHMENT";
        case GL_FRAMEBUFFER_UNSUPPORTED:
            return "GL_FRAMEBUFFER_UNSUPPORTED";
        case uint32_t(DDERR_INVALIDPARAMS):
            return "DDERR_INVALIDPARAMS";
        case uint32_t(D3DERR_INVALIDPRIMITIVETYPE):
            return "D3DERR_INVALIDPRIMITIVETYPE";
        default:
            return "Unrecognized Error";
    }
}

void TGfxEngine::Error(const std::string& step, const std::string& platformError)
{
    m_lastError = step + "\n" + platformError;
    if (LogType != dxlogNone && !LogFile.empty()) {
        std::ofstream log(LogFile, std::ios::app);
        log << m_lastError << "\n";
    }
    if (!ExceptionIgnore) StopAll();
    throw EGfxError(m_lastError);
}

void TGfxEngine::MakeTargetCurrent()
{
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

bool TGfxEngine::CreateDepthBuffer(int format)
{
    auto* gl = m_view->GL();
    const TGfxZBufferFormat& f = m_zbuffers[size_t(format)];
    m_rt->bind();
    gl->glGenRenderbuffers(1, &m_depth);
    GfxCountGLObjects(1);
    gl->glBindRenderbuffer(GL_RENDERBUFFER, m_depth);
    gl->glRenderbufferStorage(GL_RENDERBUFFER, f.GLFormat, m_renderSize.width(), m_renderSize.height());
    const GLenum attach = f.StencilBits ? GL_DEPTH_STENCIL_ATTACHMENT : GL_DEPTH_ATTACHMENT;
    gl->glFramebufferRenderbuffer(GL_FRAMEBUFFER, attach, GL_RENDERBUFFER, m_depth);
    const bool ok =
        gl->glGetError() == GL_NO_ERROR && gl->glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
    if (!ok) {
        gl->glFramebufferRenderbuffer(GL_FRAMEBUFFER, attach, GL_RENDERBUFFER, 0);
        gl->glDeleteRenderbuffers(1, &m_depth);
        GfxCountGLObjects(-1);
        m_depth = 0;
    }
    return ok;
}

void TGfxEngine::StartAll()
{
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
    if (!m_view->makeCurrent()) QCoreApplication::processEvents();
    if (!m_view->makeCurrent()) Error("StartAll: the output window has no OpenGL view (is it shown?)", "");
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

void TGfxEngine::ReleaseAll()
{
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

void TGfxEngine::RestoreWindow()
{
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

void TGfxEngine::StopAll()
{
    const bool was = m_active || m_view;
    ReleaseAll();
    RestoreWindow();
    m_active = false;
    if (was && OnAfterStop) OnAfterStop(this);
}

void TGfxEngine::UpdateOutputRects()
{
    QWidget* out = OutputControl ? OutputControl : m_owner;
    if (IsFullScreenMode()) {
        const auto& m = m_modes[size_t(m_selMode)];
        SourceRect = DestRect = QRect(0, 0, m.Width, m.Height);
    } else if (out) {
        SourceRect = QRect(0, 0, out->width(), out->height());
        DestRect = QRect(out->mapToGlobal(QPoint(0, 0)), out->size());
    }
}

void TGfxEngine::ClearRecViewPort(uint32_t c)
{
    if (!m_device) return;
    const uint32_t argb = 0xFF000000u | ((c & 0xFF) << 16) | (c & 0xFF00) | ((c >> 16) & 0xFF);
    m_device->Clear(D3DCLEAR_TARGET | ((m_usedZBuffer >= 0) ? uint32_t(D3DCLEAR_ZBUFFER) : 0u), argb, 1.0f);
}

void TGfxEngine::SetMaterial(float dr, float dg, float db, float ar, float ag, float ab, float sr, float sg, float sb,
                             float er, float eg, float eb, float power)
{
    SetMaterialAlpha(dr, dg, db, 1, ar, ag, ab, sr, sg, sb, er, eg, eb, power);
}

void TGfxEngine::SetMaterialAlpha(float dr, float dg, float db, float da, float ar, float ag, float ab, float sr,
                                  float sg, float sb, float er, float eg, float eb, float power)
{
    if (!m_device) return;
    D3DMATERIAL7 m;
    m.diffuse = {dr, dg, db, da};
    m.ambient = {ar, ag, ab, 1};
    m.specular = {sr, sg, sb, 1};
    m.emissive = {er, eg, eb, 1};
    m.power = power;
    m_device->SetMaterial(m);
}

QPainter* TGfxEngine::Canvas()
{
    if (!m_active || !m_paintDevice) return nullptr;
    if (!m_painter.isActive()) {
        MakeTargetCurrent();
        if (m_device) m_device->LeaveGLState();
        m_painter.begin(m_paintDevice.get());
    }
    return &m_painter;
}

void TGfxEngine::ReleaseCanvas()
{
    if (!m_painter.isActive()) return;
    m_painter.end();
    // The painter changed GL state behind the device's back.
    m_rtBound = false;
    if (m_device) m_device->InvalidateGLState();
}

void TGfxEngine::Present()
{
    if (!m_active) return;
    ReleaseCanvas();
    ShowLastFrame();
}

void TGfxEngine::ShowLastFrame()
{
    // A frame the painter is still writing is no frame to show.
    if (!m_active || !m_rt || m_painter.isActive()) return;
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
    m_view->Swap();
    m_rtBound = false;
    if (m_device) m_device->InvalidateGLState();
}

QImage TGfxEngine::GrabRenderSurface()
{
    if (!m_active) return {};
    ReleaseCanvas();
    MakeTargetCurrent();
    auto* gl = m_view->GL();
    QImage img(m_renderSize, QImage::Format_RGBA8888);
    gl->glPixelStorei(GL_PACK_ALIGNMENT, 4);
    gl->glReadPixels(0, 0, m_renderSize.width(), m_renderSize.height(), GL_RGBA, GL_UNSIGNED_BYTE, img.bits());
    return img.mirrored();
}

void TGfxEngine::IdleTick()
{
    if (!m_active || !OnIdle) {
        m_idle->stop();
        return;
    }
    try {
        bool done = false;
        MakeTargetCurrent();
        OnIdle(this, done);
        // Done: wait for the next message instead of running again at once.
        if (done && m_active)
            m_idle->setInterval(1);
        else
            m_idle->setInterval(0);
    } catch (const std::exception& e) {
        HandleException(e);
    }
}

void TGfxEngine::HandleException(const std::exception& e)
{
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

void TGfxEngine::ApplicationDeactivated()
{
    if (OnDeActivating) OnDeActivating(this);
    m_wasActive = m_active;
    if (m_active && (IsFullScreenMode() || AlwaysStopOnDeActivating)) StopAll();
}

void TGfxEngine::ApplicationActivated()
{
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

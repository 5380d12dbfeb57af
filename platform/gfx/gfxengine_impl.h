// The engine layer's inside, shared by its source files and by nothing
// else: the view the engine puts on the output window.
//
// Where each part lives:
//   gfxengine.cpp           start, stop, errors, idle, activation, the
//                           render surface's canvas and the present
//   gfxengine_modes.cpp     drivers, devices, video modes and z-buffer
//                           formats: the lists, their combo boxes, selection
//   gfxengine_surfaces.cpp  the surface table and the file search
//   gfxcomponents.cpp       the child components and the model drawing
#pragma once

#include "platform/gfx/gfxengine.h"

#include <QExposeEvent>
#include <QOpenGLContext>
#include <QOpenGLFunctions_3_3_Core>
#include <QOpenGLVersionFunctionsFactory>
#include <QResizeEvent>
#include <QSurfaceFormat>
#include <QWidget>
#include <QWindow>

#include <memory>

// The view on the output window: a native window of its own inside it, with
// its own OpenGL context. A presented frame goes to the screen with one blit
// and a swap; the widgets' compositing, which would draw it once more, never
// sees it. It takes no input: keys and clicks go to the window around it.
class TGfxView : public QWidget {
public:
    TGfxView(TGfxEngine* engine, QWidget* parent) : QWidget(parent)
    {
        QSurfaceFormat fmt = QSurfaceFormat::defaultFormat();
        fmt.setVersion(3, 3);
        fmt.setProfile(QSurfaceFormat::CoreProfile);
        fmt.setSwapInterval(0);
        fmt.setAlphaBufferSize(0);
        m_window = new Surface(engine);
        m_window->setSurfaceType(QSurface::OpenGLSurface);
        m_window->setFormat(fmt);
        m_window->setFlag(Qt::WindowTransparentForInput);
        m_container = QWidget::createWindowContainer(m_window, this);
        m_container->setFocusPolicy(Qt::NoFocus);
        m_container->setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_TransparentForMouseEvents);
        m_context = std::make_unique<QOpenGLContext>();
        m_context->setFormat(fmt);
        if (!m_context->create()) m_context.reset();
    }
    ~TGfxView() override
    {
        if (m_context) m_context->doneCurrent();
        m_context.reset();
    }
    QOpenGLContext* context() const { return m_context.get(); }
    bool makeCurrent() { return m_context && m_context->makeCurrent(m_window); }
    void doneCurrent()
    {
        if (m_context) m_context->doneCurrent();
    }
    GLuint defaultFramebufferObject() const { return m_context ? m_context->defaultFramebufferObject() : 0; }
    QOpenGLFunctions_3_3_Core* GL() const
    {
        return m_context ? QOpenGLVersionFunctionsFactory::get<QOpenGLFunctions_3_3_Core>(m_context.get()) : nullptr;
    }
    // Shows what was blitted to the window's back buffer. A window not on
    // the screen has nothing to show it on.
    void Swap()
    {
        if (m_window->isExposed()) m_context->swapBuffers(m_window);
    }

protected:
    void resizeEvent(QResizeEvent*) override { m_container->setGeometry(rect()); }

private:
    // Shown again (uncovered, mapped): the last frame once more.
    class Surface : public QWindow {
    public:
        explicit Surface(TGfxEngine* engine) : m_engine(engine) {}

    protected:
        void exposeEvent(QExposeEvent*) override
        {
            if (isExposed()) m_engine->ShowLastFrame();
        }

    private:
        TGfxEngine* m_engine;
    };

    Surface* m_window;
    QWidget* m_container;
    std::unique_ptr<QOpenGLContext> m_context;
};

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

#include <QOpenGLFunctions_3_3_Core>
#include <QOpenGLVersionFunctionsFactory>
#include <QOpenGLWidget>
#include <QSurfaceFormat>

// The view on the output window: a GL widget whose own framebuffer receives
// the presented frames. It keeps its contents between presents.
class TGfxView : public QOpenGLWidget {
public:
    TGfxView(TGfxEngine* engine, QWidget* parent) : QOpenGLWidget(parent), m_engine(engine)
    {
        QSurfaceFormat fmt = QSurfaceFormat::defaultFormat();
        fmt.setVersion(3, 3);
        fmt.setProfile(QSurfaceFormat::CoreProfile);
        fmt.setSwapInterval(0);
        setFormat(fmt);
        setUpdateBehavior(QOpenGLWidget::PartialUpdate);
        setAttribute(Qt::WA_DeleteOnClose, false);
    }
    QOpenGLFunctions_3_3_Core* GL() const
    {
        return context() ? QOpenGLVersionFunctionsFactory::get<QOpenGLFunctions_3_3_Core>(context()) : nullptr;
    }

protected:
    void initializeGL() override {}
    void paintGL() override
    {
        // Qt bound the widget's framebuffer: ours must be bound again.
        m_engine->m_rtBound = false;
        if (m_engine->m_device) m_engine->m_device->InvalidateGLState();
    }
    void resizeGL(int, int) override { paintGL(); }

private:
    TGfxEngine* m_engine;
};

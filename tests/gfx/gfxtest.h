// What the graphics tests share: a shown 640 × 480 window with a started
// engine, bitmaps written into a private directory, pixel reading.
#pragma once

#include "platform/gfx/D3DEngine.h"
#include "platform/gfx/gfxengine.h"

#include <gtest/gtest.h>
#include <QColor>
#include <QCoreApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include <memory>
#include <string>

inline void WriteBitmap(const QString& path, const QImage& img) { ASSERT_TRUE(img.save(path, "BMP")); }

inline QImage Solid(int w, int h, QColor c)
{
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(c);
    return img;
}

class GfxWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        win = std::make_unique<QWidget>();
        win->setFixedSize(640, 480);
        win->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(win.get()));
        engine = new TGfxEngine(win.get());
        engine->PathImages = Dir() + "/";
        engine->Path3DxFiles = Dir() + "/";
        engine->Loaded();
    }
    void TearDown() override
    {
        SetCurrentEngine(nullptr);
        delete engine;
        win.reset();
    }
    std::string Dir() const { return dir.path().toStdString(); }
    QString File(const char* name) const { return dir.filePath(name); }
    void Start()
    {
        engine->StartAll();
        ASSERT_TRUE(engine->Active());
        SetCurrentEngine(engine);
    }
    QColor Pixel(int x, int y) { return QColor(engine->GrabRenderSurface().pixel(x, y)); }
    // What the screen shows of the window.
    QColor Shown(int x, int y) { return QColor(win->screen()->grabWindow(win->winId()).toImage().pixel(x, y)); }

    QTemporaryDir dir;
    std::unique_ptr<QWidget> win;
    TGfxEngine* engine = nullptr;
};

// |a − b| ≤ tol for each channel.
inline ::testing::AssertionResult Near(QColor got, int r, int g, int b, int tol = 3)
{
    if (std::abs(got.red() - r) <= tol && std::abs(got.green() - g) <= tol && std::abs(got.blue() - b) <= tol)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got (" << got.red() << ", " << got.green() << ", " << got.blue()
                                         << "), expected (" << r << ", " << g << ", " << b << ") ± " << tol;
}

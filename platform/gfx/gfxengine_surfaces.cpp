// The engine's surface table (textures made from image files, by index and
// by name) and the search for the files of images and models.
#include "platform/gfx/gfxengine_impl.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QImage>

#include <algorithm>

namespace {

std::string ProgramDir()
{
    QString dir = QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QString(".");
    return dir.toStdString() + "/";
}

bool Exists(const std::string& p) { return !p.empty() && QFileInfo(QString::fromStdString(p)).isFile(); }

}  // namespace

int TGfxEngine::CreateNewSurface(const std::vector<std::string>& files, uint32_t flags, int width, int height,
                                 std::string* why)
{
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
        if (w > 8192 || h > 8192)
            return fail(files[i] + ": " + std::to_string(w) + " x " + std::to_string(h) +
                        " pixels, at most 8192 x 8192");
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

void TGfxEngine::DestroySurface(int index)
{
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

TDDSurface* TGfxEngine::Surface(int index) const
{
    if (index < 0 || size_t(index) >= m_surfaces.size()) return nullptr;
    return m_surfaces[size_t(index)].get();
}

int TGfxEngine::SurfaceCount() const
{
    return int(std::count_if(m_surfaces.begin(), m_surfaces.end(), [](const auto& s) { return s != nullptr; }));
}

TDDSurface* TGfxEngine::TextureByName(const std::string& name)
{
    auto it = m_named.find(name);
    if (it != m_named.end()) return Surface(it->second);
    std::string why;
    const int s = CreateNewSurface({name}, 0, 0, 0, &why);
    if (s < 0) Error("TGfxXFile: cannot create the texture " + name, why);
    m_named[name] = s;
    return Surface(s);
}

std::string TGfxEngine::FindFile(const std::string& name, const std::string& dir) const
{
    if (name.empty()) return "";
    if (Exists(name)) return name;
    if (Exists(dir + name)) return dir + name;
    const std::string base = BaseDir.empty() ? ProgramDir() : BaseDir;
    if (Exists(base + dir + name)) return base + dir + name;
    return "";
}

std::string TGfxEngine::FindImageFile(const std::string& name) const { return FindFile(name, PathImages); }
std::string TGfxEngine::FindModelFile(const std::string& name) const { return FindFile(name, Path3DxFiles); }

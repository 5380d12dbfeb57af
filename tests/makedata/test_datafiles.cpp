// Every generated file is there, and the bitmaps have the formats, sizes
// and colour keys the game reads them with.
#include <gtest/gtest.h>

#include <QImage>

#include <algorithm>
#include <cstdint>
#include <filesystem>

#include "datafiles.h"

using namespace datatest;

namespace {

uint32_t U32(const std::vector<unsigned char>& b, size_t at)
{
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
uint16_t U16(const std::vector<unsigned char>& b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }

bool IsBitmap(const std::string& f) { return f.size() > 4 && f.substr(f.size() - 4) == ".bmp"; }

int CountColour(const QImage& img, QRgb c)
{
    int n = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            n += ((img.pixel(x, y) & 0xFFFFFF) == (c & 0xFFFFFF)) ? 1 : 0;
    return n;
}

}  // namespace

TEST(DataFiles, AllThirtyThreeGeneratedFilesExistAsFiles)
{
    ASSERT_EQ(GeneratedFiles.size(), 33u);
    for (const std::string& f : GeneratedFiles) {
        std::filesystem::path p = BinPath(f);
        EXPECT_TRUE(std::filesystem::is_regular_file(p)) << f;
        EXPECT_GT(std::filesystem::file_size(p), 100u) << f;
    }
}

TEST(DataFiles, BitmapsAre24BitUncompressedBottomUpWithConsistentHeaders)
{
    for (const std::string& f : GeneratedFiles) {
        if (!IsBitmap(f))
            continue;
        auto b = ReadBytes(BinPath(f));
        ASSERT_GE(b.size(), 54u) << f;
        EXPECT_EQ(b[0], 'B') << f;
        EXPECT_EQ(b[1], 'M') << f;
        EXPECT_EQ(U32(b, 2), b.size()) << f;
        EXPECT_EQ(U32(b, 10), 54u) << f;
        EXPECT_EQ(U32(b, 14), 40u) << f;
        const int32_t w = static_cast<int32_t>(U32(b, 18)), h = static_cast<int32_t>(U32(b, 22));
        EXPECT_GT(h, 0) << f << ": rows must run bottom-up";
        EXPECT_EQ(U16(b, 26), 1) << f;
        EXPECT_EQ(U16(b, 28), 24) << f;
        EXPECT_EQ(U32(b, 30), 0u) << f;
        const uint32_t row = (static_cast<uint32_t>(w) * 3 + 3) & ~3u;
        EXPECT_EQ(U32(b, 34), row * static_cast<uint32_t>(h)) << f;
        EXPECT_EQ(b.size(), 54u + row * static_cast<uint32_t>(h)) << f;
        QImage img = LoadImage(f);
        ASSERT_FALSE(img.isNull()) << f;
        EXPECT_EQ(img.width(), w) << f;
        EXPECT_EQ(img.height(), h) << f;
    }
}

TEST(DataFiles, HudPanelsAndPagePicturesHaveTheSizesTheyAreDrawnAt)
{
    struct TSize {
        const char* file;
        int w, h;
    };
    for (TSize s : {TSize{"images/speed.bmp", 221, 29}, TSize{"images/time.bmp", 221, 29},
                    TSize{"images/leer.bmp", 153, 135}, TSize{"images/mainmenu.bmp", 640, 480},
                    TSize{"images/lobby.bmp", 640, 480}, TSize{"images/height.bmp", 256, 256},
                    TSize{"images/treemap.bmp", 256, 256}}) {
        QImage img = LoadImage(s.file);
        EXPECT_EQ(img.width(), s.w) << s.file;
        EXPECT_EQ(img.height(), s.h) << s.file;
    }
}

TEST(DataFiles, TreesAreKeyedOnExactWhiteWithoutPaleFringes)
{
    for (const char* f : {"images/tree1.bmp", "images/tree2.bmp", "images/tree3.bmp"}) {
        QImage img = LoadImage(f);
        ASSERT_FALSE(img.isNull()) << f;
        const int total = img.width() * img.height();
        const int keyed = CountColour(img, 0xFFFFFF);
        EXPECT_GT(keyed, total / 3) << f << ": the space around the tree is transparent";
        EXPECT_LT(keyed, total * 19 / 20) << f << ": the tree itself is visible";
        // The corners are open air, the foot of the trunk is solid.
        EXPECT_EQ(img.pixel(0, 0) & 0xFFFFFF, 0xFFFFFFu) << f;
        EXPECT_EQ(img.pixel(img.width() - 1, 0) & 0xFFFFFF, 0xFFFFFFu) << f;
        EXPECT_NE(img.pixel(img.width() / 2, img.height() - 1) & 0xFFFFFF, 0xFFFFFFu) << f;
        // No almost-white texel: it would stay opaque and show as a halo.
        int pale = 0;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x) {
                QRgb p = img.pixel(x, y);
                bool key = (p & 0xFFFFFF) == 0xFFFFFF;
                pale += (!key && qRed(p) > 225 && qGreen(p) > 225 && qBlue(p) > 225) ? 1 : 0;
            }
        EXPECT_EQ(pale, 0) << f;
    }
}

TEST(DataFiles, GateTexturesAreKeyedOnExactBlack)
{
    QImage grid = LoadImage("images/torgitter.bmp");
    QImage top = LoadImage("images/toroben.bmp");
    ASSERT_FALSE(grid.isNull());
    ASSERT_FALSE(top.isNull());
    const int gridKeyed = CountColour(grid, 0x000000);
    // The lattice has holes and bars.
    EXPECT_GT(gridKeyed, grid.width() * grid.height() / 5);
    EXPECT_LT(gridKeyed, grid.width() * grid.height() * 4 / 5);
    // The rails along both edges are solid from top to bottom, so the post
    // outline is never broken.
    for (int y = 0; y < grid.height(); ++y) {
        EXPECT_NE(grid.pixel(2, y) & 0xFFFFFF, 0u) << "row " << y;
        EXPECT_NE(grid.pixel(grid.width() - 3, y) & 0xFFFFFF, 0u) << "row " << y;
    }
    // The banner is solid but for its eyelets along the two edges.
    const int topKeyed = CountColour(top, 0x000000);
    EXPECT_GT(topKeyed, 0);
    for (int y = 4; y < top.height() - 4; ++y)
        for (int x = 0; x < top.width(); ++x)
            ASSERT_NE(top.pixel(x, y) & 0xFFFFFF, 0u) << x << "," << y;
}

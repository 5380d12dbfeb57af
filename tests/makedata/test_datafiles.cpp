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

TEST(DataFiles, BitmapRowsAreStoredBottomUp)
{
    // The first stored row is the picture's last: the tree bitmaps have the
    // trunk at the bottom (stored first) and open sky at the top (stored last).
    auto b = ReadBytes(BinPath("images/tree1.bmp"));
    ASSERT_EQ(b.size(), 54u + 256 * 256 * 3);
    const size_t firstRowMiddle = 54 + 128 * 3, lastRowMiddle = 54 + 255 * 256 * 3 + 128 * 3;
    bool bottomIsWhite = b[firstRowMiddle] == 255 && b[firstRowMiddle + 1] == 255 && b[firstRowMiddle + 2] == 255;
    bool topIsWhite = b[lastRowMiddle] == 255 && b[lastRowMiddle + 1] == 255 && b[lastRowMiddle + 2] == 255;
    EXPECT_FALSE(bottomIsWhite);
    EXPECT_TRUE(topIsWhite);
    QImage img = LoadImage("images/tree1.bmp");
    EXPECT_NE(img.pixel(128, 255) & 0xFFFFFF, 0xFFFFFFu);
    EXPECT_EQ(img.pixel(128, 0) & 0xFFFFFF, 0xFFFFFFu);
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

TEST(DataFiles, TexturesArePowerOfTwoSized)
{
    for (const char* f : {"images/boden1.bmp", "images/wasser.bmp", "images/cboden.bmp", "images/cfenster.bmp",
                          "images/chaube.bmp", "images/crad.bmp", "images/cseite.bmp", "images/rad.bmp",
                          "images/torgitter.bmp", "images/toroben.bmp", "images/tree1.bmp", "images/tree2.bmp",
                          "images/tree3.bmp", "images/himmel.bmp"}) {
        QImage img = LoadImage(f);
        ASSERT_FALSE(img.isNull()) << f;
        EXPECT_EQ(img.width() & (img.width() - 1), 0) << f << " width " << img.width();
        EXPECT_EQ(img.height() & (img.height() - 1), 0) << f << " height " << img.height();
    }
}

TEST(DataFiles, MipLevelsHalveInSizeAndKeepTheLevelAboveAverageColour)
{
    for (const auto& chain : {std::vector<std::string>{"boden1", "boden2", "boden3"},
                              std::vector<std::string>{"wasser", "wasser2", "wasser3", "wasser4", "wasser5"}}) {
        QImage prev = LoadImage("images/" + chain[0] + ".bmp");
        ASSERT_FALSE(prev.isNull());
        for (size_t i = 1; i < chain.size(); ++i) {
            QImage img = LoadImage("images/" + chain[i] + ".bmp");
            ASSERT_FALSE(img.isNull()) << chain[i];
            EXPECT_EQ(img.width() * 2, prev.width()) << chain[i];
            EXPECT_EQ(img.height() * 2, prev.height()) << chain[i];
            // A level is the one above filtered down: pixel (x, y) is close
            // to the mean of the 2 × 2 block it covers.
            int worst = 0;
            for (int y = 0; y < img.height(); ++y)
                for (int x = 0; x < img.width(); ++x) {
                    int sum = 0;
                    for (int k = 0; k < 4; ++k)
                        sum += qGreen(prev.pixel(2 * x + k % 2, 2 * y + k / 2));
                    worst = std::max(worst, std::abs(qGreen(img.pixel(x, y)) - (sum + 2) / 4));
                }
            EXPECT_LE(worst, 1) << chain[i];
            prev = img;
        }
    }
}

TEST(DataFiles, GroundAndWaterTileWithoutSeams)
{
    // The terrain repeats its texture 20 times, the water 30 times: across
    // the wrap the colour changes no more than between inner neighbours.
    for (const char* f : {"images/boden1.bmp", "images/wasser.bmp"}) {
        QImage img = LoadImage(f);
        ASSERT_FALSE(img.isNull()) << f;
        const int w = img.width(), h = img.height();
        auto step = [&](QRgb a, QRgb b) {
            return std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) + std::abs(qBlue(a) - qBlue(b));
        };
        // The step across the wrap, column by column and row by row, is no
        // rougher than the roughest step between two inner neighbours.
        std::vector<double> cols(static_cast<size_t>(w)), rows(static_cast<size_t>(h));
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                cols[static_cast<size_t>(x)] += step(img.pixel(x, y), img.pixel((x + 1) % w, y));
                rows[static_cast<size_t>(y)] += step(img.pixel(x, y), img.pixel(x, (y + 1) % h));
            }
        const double seamX = cols.back(), seamY = rows.back();
        cols.pop_back();
        rows.pop_back();
        EXPECT_LE(seamX, *std::max_element(cols.begin(), cols.end())) << f;
        EXPECT_LE(seamY, *std::max_element(rows.begin(), rows.end())) << f;
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

TEST(DataFiles, HudPanelsKeyWhiteOnlyOutsideTheirShape)
{
    QImage speed = LoadImage("images/speed.bmp");
    QImage time = LoadImage("images/time.bmp");
    ASSERT_FALSE(speed.isNull());
    ASSERT_FALSE(time.isNull());
    // The speed panel sits at the right screen edge, the time panel at the
    // left; the value is written at x 163 (speed) and x 10 (time), 3 below
    // the top, in the panel's light field.
    EXPECT_EQ(speed.pixel(2, 14) & 0xFFFFFF, 0xFFFFFFu);
    EXPECT_NE(speed.pixel(220, 14) & 0xFFFFFF, 0xFFFFFFu);
    EXPECT_EQ(time.pixel(218, 14) & 0xFFFFFF, 0xFFFFFFu);
    EXPECT_NE(time.pixel(0, 14) & 0xFFFFFF, 0xFFFFFFu);
    for (int y = 5; y < 25; ++y) {
        for (int x = 165; x < 215; ++x)
            ASSERT_NE(speed.pixel(x, y) & 0xFFFFFF, 0xFFFFFFu) << x << "," << y;
        for (int x = 10; x < 75; ++x)
            ASSERT_NE(time.pixel(x, y) & 0xFFFFFF, 0xFFFFFFu) << x << "," << y;
    }
    // The value's blue (65, 114, 180) must stand out from the field.
    QRgb field = speed.pixel(190, 14);
    EXPECT_GT(qRed(field) + qGreen(field) + qBlue(field), 3 * 180);
    // The standings box is drawn faintly over the scene: none of it keyed.
    EXPECT_EQ(CountColour(LoadImage("images/leer.bmp"), 0xFFFFFF), 0);
}

TEST(DataFiles, StartPictureKeepsThePageAreasCalm)
{
    QImage img = LoadImage("images/mainmenu.bmp");
    ASSERT_FALSE(img.isNull());
    // Where the page's white text goes, the picture is dark and even: the
    // brightness stays low and varies little between neighbours.
    struct TRect {
        int x, y, w, h;
    };
    for (TRect r : {TRect{240, 122, 353, 287}, TRect{24, 296, 177, 113}}) {
        int maxLuma = 0, maxStep = 0;
        for (int y = r.y; y < r.y + r.h; ++y)
            for (int x = r.x; x < r.x + r.w; ++x) {
                int l = qGray(img.pixel(x, y));
                maxLuma = std::max(maxLuma, l);
                maxStep = std::max(maxStep, std::abs(l - qGray(img.pixel(x + 1, y))));
            }
        EXPECT_LT(maxLuma, 150) << r.x << "," << r.y;
        EXPECT_LT(maxStep, 40) << r.x << "," << r.y;
    }
}

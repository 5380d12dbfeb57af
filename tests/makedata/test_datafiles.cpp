// The generator writes every file of the start-up check and nothing else,
// the same bytes on every run; the bitmaps have the sizes and colour keys
// the game reads them with.
#include <gtest/gtest.h>

#include <QImage>

#include <unistd.h>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "datafiles.h"

using namespace datatest;
namespace fs = std::filesystem;

namespace {

// The texels whose colour (without alpha) passes the test.
int Count(const QImage& img, const std::function<bool(QRgb)>& test)
{
    int n = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) n += test(img.pixel(x, y) & 0xFFFFFF) ? 1 : 0;
    return n;
}

int RunMakedata(const fs::path& out)
{
    const std::string cmd = std::string("\"") + MAKEDATA_EXE + "\" \"" + out.string() + "\" > /dev/null 2>&1";
    return std::system(cmd.c_str());
}

}  // namespace

TEST(Generator, WritesTheFilesOfTheStartUpCheckAsTheBuildDid)
{
    const fs::path out = fs::temp_directory_path() / ("makedata_test_" + std::to_string(::getpid()));
    fs::remove_all(out);
    ASSERT_EQ(RunMakedata(out), 0);
    const std::vector<std::string> files = GeneratedFiles();
    for (const std::string& f : files) {
        const auto x = ReadBytes((out / f).string());
        EXPECT_FALSE(x.empty()) << f;
        // The build's copy came from an earlier run: the bytes repeat.
        EXPECT_EQ(x, ReadBytes(BinPath(f))) << f;
    }
    size_t count = 0;
    for (const auto& e : fs::recursive_directory_iterator(out)) count += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(count, files.size()) << "nothing else is written";
    fs::remove_all(out);

    // A plain file where the output directory should be: the run fails.
    {
        std::ofstream(out.string()) << "x";
    }
    EXPECT_NE(RunMakedata(out), 0);
    fs::remove(out);
}

TEST(DataFiles, BitmapsHaveTheSizesTheyAreDrawnAtAndExactColourKeys)
{
    struct TSize {
        const char* file;
        int w, h;
    };
    for (TSize s :
         {TSize{"images/speed.bmp", 221, 29}, TSize{"images/time.bmp", 221, 29}, TSize{"images/leer.bmp", 153, 135},
          TSize{"images/mainmenu.bmp", 640, 480}, TSize{"images/lobby.bmp", 640, 480},
          TSize{"images/height.bmp", 256, 256}, TSize{"images/treemap.bmp", 256, 256}})
        EXPECT_EQ(LoadImage(s.file).size(), QSize(s.w, s.h)) << s.file;
    // The trees are keyed on exact white, without pale fringes.
    for (const char* f : {"images/tree1.bmp", "images/tree2.bmp", "images/tree3.bmp"}) {
        QImage img = LoadImage(f);
        ASSERT_FALSE(img.isNull()) << f;
        const int total = img.width() * img.height();
        const int keyed = Count(img, [](QRgb c) { return c == 0xFFFFFF; });
        EXPECT_GT(keyed, total / 3) << f << ": the space around the tree is transparent";
        EXPECT_LT(keyed, total * 19 / 20) << f << ": the tree itself is visible";
        // No almost-white texel: it would stay opaque and show as a halo.
        EXPECT_EQ(
            Count(img, [](QRgb c) { return c != 0xFFFFFF && qRed(c) > 225 && qGreen(c) > 225 && qBlue(c) > 225; }), 0)
            << f;
    }
    // The gate lattice is keyed on exact black: holes to see through and
    // bars to see.
    QImage grid = LoadImage("images/torgitter.bmp");
    const int keyed = Count(grid, [](QRgb c) { return c == 0; });
    EXPECT_GT(keyed, grid.width() * grid.height() / 5);
    EXPECT_LT(keyed, grid.width() * grid.height() * 4 / 5);
}

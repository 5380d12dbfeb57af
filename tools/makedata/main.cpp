// makedata OUTDIR: writes the game's data files (bitmaps under images/,
// models under 3dobjects/, the music under musik/) into OUTDIR, the same
// bytes on every run: exactly the files of datafiles.h. Prints what each
// group took.
// makedata --icons OUTDIR: writes the desktop icon at each size as
// OUTDIR/hicolor/NxN/apps/dunebolt.png, for the package.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tools/makedata/bitmaps.h"
#include "tools/makedata/datafiles.h"
#include "tools/makedata/icon.h"
#include "tools/makedata/models.h"
#include "tools/makedata/music.h"
#include "tools/makedata/pictures.h"
#include "tools/makedata/terrain.h"
#include "tools/makedata/textures.h"

namespace fs = std::filesystem;
using namespace makedata;

namespace {

fs::path OutDir;
std::set<std::string, std::less<>> Written;  // the paths of this run so far

void WriteBytes(const std::string& name, const void* data, size_t size)
{
    fs::path path = OutDir / name;
    fs::create_directories(path.parent_path());
    // Written beside and renamed, so an interrupted run leaves no half file.
    fs::path tmp = path;
    tmp += ".part";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        if (!f) throw std::runtime_error(tmp.string() + ": cannot be created");
        f.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
        if (!f) throw std::runtime_error(tmp.string() + ": cannot be written");
    }
    fs::rename(tmp, path);
}

void WriteFile(const std::string& name, const void* data, size_t size)
{
    // What is made and what is listed must not drift apart.
    if (std::find(DataFiles.begin(), DataFiles.end(), name) == DataFiles.end())
        throw std::runtime_error(name + ": made but not in the list of data files");
    if (!Written.insert(name).second) throw std::runtime_error(name + ": made twice");
    WriteBytes(name, data, size);
}

void Bitmap(const std::string& name, const TImage& img)
{
    std::vector<uint8_t> bytes = EncodeBmp(img);
    WriteFile("images/" + name, bytes.data(), bytes.size());
}

void Model(const std::string& name, const std::string& text)
{
    WriteFile("3dobjects/" + name, text.data(), text.size());
}

void Timed(const char* what, const std::function<void()>& step)
{
    auto t0 = std::chrono::steady_clock::now();
    step();
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    std::printf("makedata: %-9s %8.1f ms\n", what, ms);
}

}  // namespace

int main(int argc, char** argv)
{
    const bool icons = argc == 3 && std::string_view(argv[1]) == "--icons";
    if (argc != 2 && !icons) {
        std::fprintf(stderr, "usage: makedata OUTDIR | makedata --icons OUTDIR\n");
        return 2;
    }
    OutDir = argv[argc - 1];
    try {
        if (icons) {
            for (int size : IconSizes) {
                const std::vector<uint8_t> png = MakeIconPng(size);
                const std::string n = std::to_string(size);
                WriteBytes("hicolor/" + n + "x" + n + "/apps/dunebolt.png", png.data(), png.size());
            }
            return 0;
        }
        auto t0 = std::chrono::steady_clock::now();
        Timed("terrain", [] {
            Bitmap("height.bmp", MakeHeightMap());
            Bitmap("treemap.bmp", MakeTreeMap());
        });
        Timed("textures", [] {
            auto ground = MakeGroundLevels();
            for (size_t i = 0; i < ground.size(); ++i) Bitmap("boden" + std::to_string(i + 1) + ".bmp", ground[i]);
            auto water = MakeWaterLevels();
            for (size_t i = 0; i < water.size(); ++i)
                Bitmap(i == 0 ? std::string("wasser.bmp") : "wasser" + std::to_string(i + 1) + ".bmp", water[i]);
            Bitmap("cseite.bmp", MakeCarSide());
            Bitmap("chaube.bmp", MakeCarBonnet());
            Bitmap("cfenster.bmp", MakeCarWindow());
            Bitmap("cboden.bmp", MakeCarFloor());
            Bitmap("crad.bmp", MakeTyreTread());
            Bitmap("rad.bmp", MakeWheelFace());
            Bitmap("torgitter.bmp", MakeGateGrid());
            Bitmap("toroben.bmp", MakeGateTop());
            for (int k = 0; k < 3; ++k) Bitmap("tree" + std::to_string(k + 1) + ".bmp", MakeTree(k));
            Bitmap("himmel.bmp", MakeSky());
        });
        Timed("pictures", [] {
            Bitmap("speed.bmp", MakeSpeedPanel());
            Bitmap("time.bmp", MakeTimePanel());
            Bitmap("leer.bmp", MakeListPanel());
            Bitmap("mainmenu.bmp", MakeMainMenu());
            Bitmap("lobby.bmp", MakeLobby());
        });
        Timed("models", [] {
            Model("auto1.x", MakeCarModel());
            Model("himmel.x", MakeSkyModel());
            Model("pfeil.x", MakeArrowModel());
            Model("schatten.x", MakeShadowModel());
            Model("tor.x", MakeGateModel());
        });
        std::vector<int16_t> pcm;
        Timed("synth", [&] { pcm = SynthesizeMusic(); });
        Timed("mp3", [&] {
            std::vector<uint8_t> mp3 = EncodeMp3(pcm);
            WriteFile("musik/musik.mp3", mp3.data(), mp3.size());
        });
        for (std::string_view f : DataFiles)
            if (Written.find(f) == Written.end()) throw std::runtime_error(std::string(f) + ": listed but not made");
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        std::printf("makedata: total     %8.1f ms\n", ms);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "makedata: %s\n", e.what());
        return 1;
    }
    return 0;
}

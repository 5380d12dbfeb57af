// The generator writes the same bytes every time it runs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <string>

#include "datafiles.h"

using namespace datatest;
namespace fs = std::filesystem;

TEST(Generator, WritesIdenticalFilesOnEveryRun)
{
    const fs::path base = fs::temp_directory_path() / ("makedata_test_" + std::to_string(::getpid()));
    fs::remove_all(base);
    const fs::path a = base / "a", b = base / "b";
    for (const fs::path& dir : {a, b}) {
        std::string cmd = std::string("\"") + MAKEDATA_EXE + "\" \"" + dir.string() + "\" > /dev/null";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    }
    for (const std::string& f : GeneratedFiles) {
        auto x = ReadBytes((a / f).string()), y = ReadBytes((b / f).string());
        ASSERT_FALSE(x.empty()) << f;
        EXPECT_EQ(x, y) << f;
        // The build's own copy came from the same generator.
        EXPECT_EQ(x, ReadBytes(BinPath(f))) << f;
    }
    // Nothing else is written: exactly the 33 files.
    size_t count = 0;
    for (const auto& e : fs::recursive_directory_iterator(a))
        count += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(count, GeneratedFiles.size());
    fs::remove_all(base);
}

TEST(Generator, FailsWithAMessageWhenItCannotWrite)
{
    // A plain file where the output directory should be.
    const fs::path blocker = fs::temp_directory_path() / ("makedata_block_" + std::to_string(::getpid()));
    { std::ofstream(blocker.string()) << "x"; }
    std::string cmd = std::string("\"") + MAKEDATA_EXE + "\" \"" + blocker.string() + "\" > /dev/null 2>&1";
    int rc = std::system(cmd.c_str());
    EXPECT_NE(rc, 0);
    fs::remove(blocker);
}

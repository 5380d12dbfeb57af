// For the readers that take a path: the fuzzer's input written to a file of
// this process's own, rewritten for every input.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

inline std::string FuzzInputFile(const uint8_t* data, size_t size, const std::string& suffix)
{
    static const std::string dir = [] {
        const auto d = std::filesystem::temp_directory_path() / ("dunebolt-fuzz-" + std::to_string(getpid()));
        std::filesystem::create_directories(d);
        return d.string();
    }();
    // Gone again when the fuzzer ends its run (a crash leaves it).
    static const bool removed = std::atexit([] {
                                    std::error_code ec;
                                    std::filesystem::remove_all(dir, ec);
                                }) == 0;
    (void)removed;
    const std::string path = dir + "/input" + suffix;
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), size);
    return path;
}

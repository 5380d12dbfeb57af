// What a hostile model file costs the reader: memory in proportion to what
// the file can hold, not to how many tokens it splits into. This program
// counts every allocation, so it is a file of its own.
#include "platform/xfile/xfile.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<size_t> liveBytes{0};
std::atomic<size_t> peakBytes{0};
}  // namespace

void* operator new(size_t size)
{
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    const size_t now = liveBytes += malloc_usable_size(p);
    size_t peak = peakBytes;
    while (now > peak && !peakBytes.compare_exchange_weak(peak, now)) {}
    return p;
}

// GCC takes the free below for one of memory from the operator new it pairs
// with; both are ours and both are malloc's.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept
{
    if (p == nullptr) return;
    liveBytes -= malloc_usable_size(p);
    std::free(p);
}

void operator delete(void* p, size_t) noexcept { operator delete(p); }

namespace {

TEST(XFileBounds, AHostileFileCostsMemoryInProportionToWhatItCanHold)
{
    const std::string h = "xof 0303txt 0032\n";
    constexpr size_t n = 8 << 20;
    std::string faces = h + "Mesh m { 1; 0;0;0;; 4000000;";
    for (int i = 0; i < 4000000; ++i) faces += "0;";
    faces += "}";
    struct Case {
        std::string text;
        double costPerByte;  // the most allocated per byte of the file
    };
    const Case cases[] = {
        {h + std::string(n, '{'), 0.01},
        {h + std::string(n, '}'), 0.01},
        {[&] {
             std::string s = h;
             for (size_t i = 0; i < n / 12; ++i) s += "template a{}";
             return s;
         }(),
         0.01},
        {faces, 8.0},  // a face of no corners: an offset and a material each
    };
    for (const Case& c : cases) {
        peakBytes = liveBytes.load();
        const size_t before = liveBytes;
        try {
            TXFileModel::LoadFromText(c.text, "hostile.x");
        } catch (const EXFileError&) {
        }
        EXPECT_LE(peakBytes - before, c.costPerByte * c.text.size()) << c.text.substr(h.size(), 30);
    }
}

}  // namespace

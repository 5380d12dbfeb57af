// The music decodes with the library the game plays it with, lasts more
// than two minutes, and joins seamlessly where the game loops it.
#include <gtest/gtest.h>

#include <mpg123.h>

#include <cmath>
#include <vector>

#include "datafiles.h"

using namespace datatest;

namespace {

struct TDecoded {
    long rate = 0;
    int channels = 0;
    off_t announcedFrames = 0;
    std::vector<short> pcm;  // interleaved
};

TDecoded Decode(const std::string& path)
{
    TDecoded out;
    mpg123_handle* h = mpg123_new(nullptr, nullptr);
    EXPECT_NE(h, nullptr);
    if (!h) return out;
    mpg123_param(h, MPG123_FLAGS, MPG123_GAPLESS, 0.0);
    mpg123_format_none(h);
    mpg123_format(h, 44100, MPG123_STEREO, MPG123_ENC_SIGNED_16);
    EXPECT_EQ(mpg123_open(h, path.c_str()), MPG123_OK);
    int enc = 0;
    EXPECT_EQ(mpg123_getformat(h, &out.rate, &out.channels, &enc), MPG123_OK);
    out.announcedFrames = mpg123_length(h);
    std::vector<unsigned char> buf(1 << 16);
    while (true) {
        size_t got = 0;
        int r = mpg123_read(h, buf.data(), buf.size(), &got);
        const short* s = reinterpret_cast<const short*>(buf.data());
        out.pcm.insert(out.pcm.end(), s, s + got / sizeof(short));
        if (r == MPG123_DONE) break;
        if (r != MPG123_OK && r != MPG123_NEW_FORMAT) {
            ADD_FAILURE() << "mpg123_read: " << mpg123_plain_strerror(r);
            break;
        }
    }
    mpg123_close(h);
    mpg123_delete(h);
    return out;
}

const TDecoded& Music()
{
    static TDecoded d = [] {
        mpg123_init();
        return Decode(BinPath("musik/musik.mp3"));
    }();
    return d;
}

}  // namespace

TEST(Music, DecodesAsStereo44kHzOfMoreThanTwoMinutes)
{
    const TDecoded& d = Music();
    EXPECT_EQ(d.rate, 44100);
    EXPECT_EQ(d.channels, 2);
    const double seconds = static_cast<double>(d.pcm.size() / 2) / 44100.0;
    EXPECT_GE(seconds, 120.0);
    EXPECT_LT(seconds, 240.0);
    // The encoder's info header makes the length known before decoding.
    EXPECT_EQ(d.announcedFrames, static_cast<off_t>(d.pcm.size() / 2));
}

TEST(Music, EndJoinsTheLoopPointAt4Point25Percent)
{
    // The game plays on from 4.25 % of the file after its end: what comes
    // just before that point must sound like the file's last second.
    const TDecoded& d = Music();
    const size_t frames = d.pcm.size() / 2;
    ASSERT_GT(frames, 44100u * 10);
    const size_t loop = static_cast<size_t>(std::llround(frames * 0.0425));
    const size_t window = 44100;
    ASSERT_GT(loop, window);
    double diff = 0, signal = 0;
    for (size_t k = 0; k < window * 2; ++k) {
        double a = d.pcm[2 * (frames - window) + k], b = d.pcm[2 * (loop - window) + k];
        diff += (a - b) * (a - b);
        signal += a * a;
    }
    EXPECT_GT(signal, 0);
    EXPECT_LT(std::sqrt(diff / signal), 0.25);
    // And the same stretch compared with a place one bar off is clearly
    // different, so the match above is not an accident of the mix.
    double other = 0;
    const size_t off = 88200;
    for (size_t k = 0; k < window * 2; ++k) {
        double a = d.pcm[2 * (frames - window) + k], b = d.pcm[2 * (loop - window + off) + k];
        other += (a - b) * (a - b);
    }
    EXPECT_GT(std::sqrt(other / signal), 0.5);
}

// The music decodes with the library the game plays it with, lasts more
// than two minutes, and joins seamlessly where the game loops it.
#include <gtest/gtest.h>

#include <mpg123.h>

#include <cmath>
#include <vector>

#include "datafiles.h"

using namespace datatest;

namespace {

// The music as 16-bit stereo frames at 44.1 kHz, gapless, and the length
// the encoder's header announces before any decoding.
struct TDecoded {
    off_t announcedFrames = 0;
    std::vector<short> pcm;  // interleaved
};

const TDecoded& Music()
{
    static const TDecoded d = [] {
        TDecoded out;
        mpg123_init();
        mpg123_handle* h = mpg123_new(nullptr, nullptr);
        mpg123_param(h, MPG123_FLAGS, MPG123_GAPLESS, 0.0);
        mpg123_format_none(h);
        mpg123_format(h, 44100, MPG123_STEREO, MPG123_ENC_SIGNED_16);
        EXPECT_EQ(mpg123_open(h, BinPath("musik/musik.mp3").c_str()), MPG123_OK);
        out.announcedFrames = mpg123_length(h);
        std::vector<short> chunk(1 << 15);
        int r = MPG123_OK;
        while (r == MPG123_OK || r == MPG123_NEW_FORMAT) {
            size_t got = 0;
            r = mpg123_read(h, reinterpret_cast<unsigned char*>(chunk.data()), chunk.size() * sizeof(short), &got);
            out.pcm.insert(out.pcm.end(), chunk.begin(), chunk.begin() + long(got / sizeof(short)));
        }
        EXPECT_EQ(r, MPG123_DONE) << mpg123_plain_strerror(r);
        mpg123_delete(h);
        return out;
    }();
    return d;
}

}  // namespace

TEST(Music, LastsMoreThanTwoMinutesOfAnnouncedLength)
{
    const TDecoded& d = Music();
    const double seconds = static_cast<double>(d.pcm.size() / 2) / 44100.0;
    EXPECT_GE(seconds, 120.0);
    EXPECT_LT(seconds, 240.0);
    // The game's loop point is a fraction of this length.
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
    // Root of the mean squared difference of the last second against the
    // second that ends `offset` frames after the loop point, relative to
    // the signal.
    auto mismatch = [&](size_t offset) {
        double diff = 0, signal = 0;
        for (size_t k = 0; k < window * 2; ++k) {
            const double a = d.pcm[2 * (frames - window) + k], b = d.pcm[2 * (loop - window + offset) + k];
            diff += (a - b) * (a - b);
            signal += a * a;
        }
        return std::sqrt(diff / signal);
    };
    EXPECT_LT(mismatch(0), 0.25);
    // One bar off is clearly different, so the match is not an accident of
    // the mix.
    EXPECT_GT(mismatch(88200), 0.5);
}

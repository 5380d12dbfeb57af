#include "tone_mp3.h"

#include <lame/lame.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

bool WriteToneMp3(const std::string& path, int64_t frames, int channels, int amplitude, bool lameHeader)
{
    std::unique_ptr<lame_global_flags, int (*)(lame_global_flags*)> gf(lame_init(), lame_close);
    if (!gf)
        return false;
    lame_set_num_channels(gf.get(), channels);
    lame_set_in_samplerate(gf.get(), kToneRate);
    lame_set_out_samplerate(gf.get(), kToneRate);
    lame_set_mode(gf.get(), channels == 1 ? MONO : STEREO);
    lame_set_brate(gf.get(), 128);
    lame_set_quality(gf.get(), 5);
    lame_set_bWriteVbrTag(gf.get(), lameHeader ? 1 : 0);
    if (lame_init_params(gf.get()) < 0)
        return false;

    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "wb+"), std::fclose);
    if (!f)
        return false;
    constexpr int64_t kChunk = 4096;
    std::vector<short> pcm(kChunk * 2);
    std::vector<unsigned char> mp3(static_cast<size_t>(1.25 * kChunk + 7200));
    const double step = 2.0 * M_PI * 440.0 / kToneRate;
    for (int64_t done = 0; done < frames;) {
        int n = static_cast<int>(std::min(kChunk, frames - done));
        for (int i = 0; i < n; ++i) {
            auto s = static_cast<short>(std::lround(amplitude * std::sin(step * static_cast<double>(done + i))));
            pcm[static_cast<size_t>(i) * 2] = s;
            pcm[static_cast<size_t>(i) * 2 + 1] = s;
        }
        int bytes = 0;
        if (channels == 1) {
            std::vector<short> mono(static_cast<size_t>(n));
            for (int i = 0; i < n; ++i)
                mono[static_cast<size_t>(i)] = pcm[static_cast<size_t>(i) * 2];
            bytes = lame_encode_buffer(gf.get(), mono.data(), mono.data(), n, mp3.data(), static_cast<int>(mp3.size()));
        } else {
            bytes = lame_encode_buffer_interleaved(gf.get(), pcm.data(), n, mp3.data(), static_cast<int>(mp3.size()));
        }
        if (bytes < 0 || std::fwrite(mp3.data(), 1, static_cast<size_t>(bytes), f.get()) != static_cast<size_t>(bytes))
            return false;
        done += n;
    }
    int bytes = lame_encode_flush(gf.get(), mp3.data(), static_cast<int>(mp3.size()));
    if (bytes < 0 || std::fwrite(mp3.data(), 1, static_cast<size_t>(bytes), f.get()) != static_cast<size_t>(bytes))
        return false;
    if (!lameHeader)
        return std::fclose(f.release()) == 0;
    // The LAME header goes into the first frame, which the encoder left
    // empty for it: it carries the encoder delay and padding.
    std::vector<unsigned char> tag(8192);
    size_t tagBytes = lame_get_lametag_frame(gf.get(), tag.data(), tag.size());
    if (tagBytes == 0 || tagBytes > tag.size())
        return false;
    if (std::fseek(f.get(), 0, SEEK_SET) != 0 || std::fwrite(tag.data(), 1, tagBytes, f.get()) != tagBytes)
        return false;
    return std::fclose(f.release()) == 0;
}

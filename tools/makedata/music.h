// The race music: synthesized here (pads, bass, lead, arpeggio, drums from
// noise) and encoded to MP3 with LAME, stereo 44.1 kHz.
//
// The game starts playback at 3.98 % of the file and, at the end, jumps back
// to 4.25 %. The piece is therefore periodic: from LoopStart on it repeats
// with the loop's length, and the file ends exactly one loop after
// LoopStart, so the jump lands where the music continues.
#pragma once

#include <cstdint>
#include <vector>

namespace makedata {

constexpr int MusicRate = 44100;
constexpr double MusicBpm = 120;
constexpr int MusicLoopBars = 72;  // 144 s of music before it repeats
constexpr double MusicLoopFraction = 0.0425;

struct TMusicLayout {
    int64_t TotalFrames;     // stereo sample frames in the file
    int64_t LoopStartFrame;  // 4.25 % of TotalFrames
    int64_t LoopFrames;      // TotalFrames − LoopStartFrame
};
TMusicLayout MusicLayout();

// Interleaved stereo 16-bit PCM of the whole file.
std::vector<int16_t> SynthesizeMusic();
// The MP3 file: CBR frames with the LAME info header written in front, so
// decoders know the exact length.
std::vector<uint8_t> EncodeMp3(const std::vector<int16_t>& pcm);

}  // namespace makedata

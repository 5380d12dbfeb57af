// Short MP3s made with LAME, with the LAME header that makes the
// decoder's length and seek positions exact.
#pragma once

#include <cstdint>
#include <string>

// A sine tone of frames sample frames at 44100 Hz; peak amplitude in 16-bit
// units. Without the LAME header the decoder knows the length only by
// scanning, and it includes the encoder's delay and padding. Returns false
// when the file cannot be written.
bool WriteToneMp3(const std::string& path, int64_t frames, int channels, int amplitude, bool lameHeader = true);

constexpr int kToneRate = 44100;

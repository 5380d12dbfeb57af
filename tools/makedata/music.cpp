#include "tools/makedata/music.h"

#include <lame/lame.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
#include <string>

namespace makedata {
namespace {

constexpr double Pi = 3.14159265358979323846;
constexpr double BeatSeconds = 60.0 / MusicBpm;
constexpr int BeatsPerBar = 4;
constexpr int SectionBars = 8;

double MidiHz(double note) { return 440.0 * std::pow(2.0, (note - 69.0) / 12.0); }

// Stereo float buffer of the whole file.
struct TMix {
    std::vector<float> L, R;
    explicit TMix(int64_t frames) : L(static_cast<size_t>(frames)), R(static_cast<size_t>(frames)) {}
    int64_t Frames() const { return static_cast<int64_t>(L.size()); }
};

// Deterministic noise for the drums. Each hit has its own, seeded from its
// place in the loop, so every pass through the loop sounds exactly alike.
struct TNoise {
    explicit TNoise(uint32_t seed) : s(seed * 0x9E3779B9u + 0x7F4A7C15u) {}
    uint32_t s;
    float Next()
    {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return static_cast<float>(s) / 2147483648.0f - 1.0f;
    }
};

// One-pole low-pass filter.
struct TLowPass {
    double y = 0;
    double Step(double x, double cutoffHz)
    {
        // w / (1 + w) stands in for 1 − e^−w: close enough for these
        // cutoffs and far cheaper per sample.
        double w = 2.0 * Pi * cutoffHz / MusicRate;
        double a = w / (1.0 + w);
        y += a * (x - y);
        return y;
    }
};

// Band-limited steps (polyBLEP) take the edge off the saw and pulse jumps,
// so high notes do not fold harmonics back as hiss. dt is the phase step
// per sample.
double PolyBlep(double t, double dt)
{
    if (t < dt) {
        t /= dt;
        return t + t - t * t - 1.0;
    }
    if (t > 1.0 - dt) {
        t = (t - 1.0) / dt;
        return t * t + t + t + 1.0;
    }
    return 0.0;
}
double Frac(double x) { return x - std::floor(x); }
double Saw(double phase, double dt)
{
    double t = Frac(phase);
    return 2.0 * t - 1.0 - PolyBlep(t, dt);
}
double Pulse(double phase, double duty, double dt)
{
    double t = Frac(phase);
    return ((t < duty) ? 1.0 : -1.0) + PolyBlep(t, dt) - PolyBlep(Frac(t + 1.0 - duty), dt);
}
double Triangle(double phase) { return 1.0 - 4.0 * std::fabs(phase - std::floor(phase + 0.5)); }

// Writes one sound into the mix from frame `first` (may be negative: the
// tail of the loop before the file begins), `seconds` long, with the stereo
// position pan (−1 … 1); f(t) gives the mono sample at time t after the
// start. Start frames are whole numbers, so the same sound one loop later
// takes exactly the same samples (and the same noise).
template <typename F>
void Render(TMix& mix, int64_t first, double seconds, double gain, double pan, F&& f)
{
    const int64_t length = std::llround(seconds * MusicRate);
    const int64_t last = std::min(first + length, mix.Frames() - 1);
    if (last < 0) return;  // wholly before the file
    const double gl = gain * std::sqrt(0.5 * (1.0 - pan)), gr = gain * std::sqrt(0.5 * (1.0 + pan));
    for (int64_t i = first; i <= last; ++i) {
        double t = static_cast<double>(i - first) / MusicRate;
        double s = f(t);  // evaluated for every sample so filters keep state
        if (i < 0 || i >= mix.Frames()) continue;
        mix.L[static_cast<size_t>(i)] += static_cast<float>(s * gl);
        mix.R[static_cast<size_t>(i)] += static_cast<float>(s * gr);
    }
}

struct TChord {
    int root;                  // bass note
    std::array<int, 3> tones;  // pad voicing
    std::array<int, 4> arp;    // arpeggio notes
};
// Am F C G Am F G E, one bar each, in every section.
const std::array<TChord, 8> Progression{{
    {45, {57, 60, 64}, {69, 72, 76, 72}},
    {41, {57, 60, 65}, {65, 69, 72, 69}},
    {48, {55, 60, 64}, {67, 72, 76, 72}},
    {43, {55, 59, 62}, {67, 71, 74, 71}},
    {45, {57, 60, 64}, {69, 72, 76, 81}},
    {41, {57, 60, 65}, {65, 69, 72, 77}},
    {43, {55, 59, 62}, {67, 71, 74, 79}},
    {40, {56, 59, 64}, {64, 68, 71, 76}},
}};

struct TNote {
    double beat, length;
    int note;
};
// Two lead themes, eight bars each, beats counted from the section start.
std::vector<TNote> Theme(int which)
{
    using Bar = std::vector<std::pair<double, int>>;  // (length in beats, note)
    static const std::array<Bar, 8> a{{
        {{1, 76}, {0.5, 74}, {0.5, 72}, {1, 69}, {1, 72}},
        {{1.5, 69}, {0.5, 72}, {1, 77}, {1, 76}},
        {{1, 79}, {0.5, 76}, {0.5, 74}, {1, 72}, {1, 76}},
        {{2, 74}, {1, 71}, {1, 67}},
        {{0.5, 76}, {0.5, 76}, {1, 79}, {1, 81}, {0.5, 79}, {0.5, 76}},
        {{1, 77}, {0.5, 76}, {0.5, 74}, {1, 72}, {1, 69}},
        {{1, 71}, {1, 74}, {1, 79}, {0.5, 77}, {0.5, 74}},
        {{3, 76}, {0.5, 68}, {0.5, 71}},
    }};
    static const std::array<Bar, 8> b{{
        {{1, 81}, {0.5, 79}, {0.5, 76}, {1, 79}, {1, 81}},
        {{1.5, 84}, {0.5, 81}, {2, 77}},
        {{1, 79}, {1, 76}, {1, 72}, {1, 76}},
        {{1, 74}, {1, 79}, {2, 83}},
        {{0.5, 81}, {0.5, 84}, {0.5, 81}, {0.5, 79}, {2, 76}},
        {{1, 77}, {1, 81}, {1, 84}, {1, 81}},
        {{1.5, 83}, {0.5, 81}, {1, 79}, {1, 74}},
        {{2, 76}, {1, 80}, {1, 83}},
    }};
    const auto& bars = (which == 0) ? a : b;
    std::vector<TNote> notes;
    for (int bar = 0; bar < 8; ++bar) {
        double beat = bar * BeatsPerBar;
        for (const auto& [len, note] : bars[bar]) {
            notes.push_back({beat, len, note});
            beat += len;
        }
    }
    return notes;
}

// What plays in each eight-bar section of the loop.
struct TSection {
    bool kick, snare, hats, bass, pad, arp;
    int lead;   // −1 none, 0 theme A, 1 theme B
    bool fill;  // snare roll in the last bar
    double padCutoff;
};
const std::array<TSection, 9> Arrangement{{
    {false, false, true, false, true, true, -1, false, 900},  // intro: pads and arpeggio
    {true, true, true, true, true, false, -1, false, 1400},   // the groove comes in
    {true, true, true, true, true, false, 0, false, 1600},    // theme A
    {true, true, true, true, true, true, 0, false, 1800},     // theme A with arpeggio
    {false, false, true, true, true, true, -1, false, 700},   // break
    {true, false, true, true, true, true, -1, true, 1200},    // build-up
    {true, true, true, true, true, true, 1, false, 2000},     // theme B
    {true, true, true, true, true, false, 0, false, 1800},    // theme A again
    {true, true, true, true, true, true, -1, true, 1400},     // back towards the start
}};
static_assert(Arrangement.size() * SectionBars == MusicLoopBars);

void Kick(TMix& mix, int64_t at, double gain)
{
    double phase = 0;
    Render(mix, at, 0.45, gain, 0, [&](double t) {
        double f = 45 + 110 * std::exp(-t * 28);
        phase += f / MusicRate;
        return std::sin(2 * Pi * phase) * std::exp(-t * 7.5) + 0.3 * std::exp(-t * 600);
    });
}

void Snare(TMix& mix, int64_t at, double gain, uint32_t seed)
{
    TNoise noise(seed);
    TLowPass lp, hp;
    Render(mix, at, 0.3, gain, 0.1, [&](double t) {
        double n = noise.Next();
        double band = lp.Step(n, 5000) - hp.Step(n, 600);
        return 0.9 * band * std::exp(-t * 16) + 0.5 * std::sin(2 * Pi * 190 * t) * std::exp(-t * 28);
    });
}

void Hat(TMix& mix, int64_t at, double gain, bool open, uint32_t seed)
{
    TNoise noise(seed);
    TLowPass lp;
    Render(mix, at, open ? 0.35 : 0.08, gain, -0.3, [&](double t) {
        double n = noise.Next();
        return (n - lp.Step(n, 7000)) * std::exp(-t * (open ? 11 : 55));
    });
}

void Bass(TMix& mix, int64_t at, double seconds, int note, double gain)
{
    const double f = MidiHz(note), dt = f / MusicRate;
    TLowPass lp1, lp2;
    Render(mix, at, seconds + 0.05, gain, 0, [&](double t) {
        double ph = f * t;
        double raw = 0.6 * Saw(ph, dt) + 0.4 * Pulse(ph, 0.5, dt);
        double cut = 250 + 1400 * std::exp(-t * 14);
        double amp =
            std::min(1.0, t * 400) * std::exp(-t * 2.5) * ((t < seconds) ? 1.0 : std::exp(-(t - seconds) * 80));
        return lp2.Step(lp1.Step(raw, cut), cut * 1.5) * amp + 0.35 * std::sin(2 * Pi * ph) * amp;
    });
}

void Pad(TMix& mix, int64_t at, double seconds, int note, double gain, double pan, double cutoff)
{
    const double f = MidiHz(note);
    const double detune = std::pow(2.0, 0.09 / 12.0), dt = f / MusicRate;
    TLowPass lp;
    const double release = 0.7;
    Render(mix, at, seconds + release, gain, pan, [&](double t) {
        double raw = Saw(f * t * detune, dt * detune) + Saw(f * t / detune + 0.31, dt / detune) +
                     0.5 * Saw(f * 0.5 * t + 0.7, dt * 0.5);
        double amp = std::min(1.0, t / 0.35);
        if (t > seconds) amp *= std::exp(-(t - seconds) / release * 4);
        return lp.Step(raw, cutoff * (1.0 + 0.15 * std::sin(2 * Pi * 0.25 * t))) * amp;
    });
}

void Lead(TMix& mix, int64_t at, double seconds, int note, double gain)
{
    const double f = MidiHz(note);
    TLowPass lp;
    double phase = 0;
    Render(mix, at, seconds + 0.25, gain, 0.15, [&](double t) {
        double vib = (t > 0.15) ? 0.12 * std::sin(2 * Pi * 5.5 * t) * std::min(1.0, (t - 0.15) * 4) : 0;
        // 2^(vib/12) to first order: the vibrato is a fraction of a semitone.
        const double dt = f * (1.0 + vib * 0.057762265) / MusicRate;
        phase += dt;
        double raw = 0.7 * Pulse(phase, 0.3, dt) + 0.5 * Saw(phase * 1.003, dt * 1.003);
        double amp = std::min(1.0, t / 0.012) * (0.72 + 0.28 * std::exp(-t * 9));
        if (t > seconds) amp *= std::exp(-(t - seconds) * 22);
        return lp.Step(raw, 3200) * amp;
    });
}

void Pluck(TMix& mix, int64_t at, int note, double gain, double pan)
{
    const double f = MidiHz(note);
    Render(mix, at, 0.3, gain, pan, [&](double t) {
        return (0.7 * Triangle(f * t) + 0.3 * std::sin(4 * Pi * f * t)) * std::min(1.0, t * 500) * std::exp(-t * 14);
    });
}

// Everything of one pass through the loop, starting at frame `origin`.
void RenderLoop(TMix& lead, TMix& dry, int64_t origin)
{
    const double bar = BeatSeconds * BeatsPerBar;
    // Times within the loop become frames the same way in every pass.
    auto at = [&](double seconds) { return origin + std::llround(seconds * MusicRate); };
    for (size_t s = 0; s < Arrangement.size(); ++s) {
        const TSection& sec = Arrangement[s];
        const double sectionStart = static_cast<double>(s * SectionBars) * bar;
        for (int b = 0; b < SectionBars; ++b) {
            const double t0 = sectionStart + b * bar;
            const TChord& ch = Progression[static_cast<size_t>(b)];
            const bool lastBar = (b == SectionBars - 1);
            if (sec.pad)
                for (int k = 0; k < 3; ++k)
                    Pad(dry, at(t0), bar, ch.tones[static_cast<size_t>(k)], 0.045, -0.6 + 0.6 * k, sec.padCutoff);
            for (int beat = 0; beat < BeatsPerBar; ++beat) {
                const double tb = t0 + beat * BeatSeconds;
                // Each hit its own noise, seeded by its place in the loop.
                const uint32_t seed =
                    8u * static_cast<uint32_t>((s * SectionBars + static_cast<size_t>(b)) * BeatsPerBar +
                                               static_cast<size_t>(beat));
                const bool fillNow = sec.fill && lastBar && beat >= 2;
                if (sec.kick && !fillNow) Kick(dry, at(tb), 0.42);
                if (sec.snare && (beat % 2 == 1) && !fillNow) Snare(dry, at(tb), 0.4, seed + 1);
                if (sec.hats) {
                    Hat(dry, at(tb), 0.09, false, seed + 2);
                    Hat(dry, at(tb + BeatSeconds / 2), 0.16, beat == 3 && (b % 2 == 1), seed + 3);
                }
                if (fillNow)
                    for (int k = 0; k < 4; ++k)
                        Snare(dry, at(tb + k * BeatSeconds / 4), 0.12 + 0.06 * ((beat - 2) * 4 + k),
                              seed + 4 + static_cast<uint32_t>(k));
                if (sec.bass) {
                    // Root, root, octave on the off-beat, fifth before beat 4.
                    const int pattern[8] = {0, 0, 12, 0, 7, 0, 12, 0};
                    for (int e = 0; e < 2; ++e) {
                        int step = beat * 2 + e;
                        Bass(dry, at(tb + e * BeatSeconds / 2), BeatSeconds * 0.42, ch.root + pattern[step], 0.12);
                    }
                }
                if (sec.arp)
                    for (int k = 0; k < 4; ++k) {
                        int idx = (beat * 4 + k) % 4;
                        Pluck(lead, at(tb + k * BeatSeconds / 4), ch.arp[static_cast<size_t>(idx)], 0.075,
                              (k % 2) ? 0.5 : -0.5);
                    }
            }
        }
        if (sec.lead >= 0)
            for (const TNote& n : Theme(sec.lead))
                Lead(lead, at(sectionStart + n.beat * BeatSeconds), n.length * BeatSeconds * 0.92, n.note, 0.14);
    }
}

}  // namespace

TMusicLayout MusicLayout()
{
    const int64_t loop = static_cast<int64_t>(std::llround(MusicLoopBars * BeatsPerBar * BeatSeconds * MusicRate));
    const int64_t total = static_cast<int64_t>(std::llround(static_cast<double>(loop) / (1.0 - MusicLoopFraction)));
    return {total, total - loop, loop};
}

std::vector<int16_t> SynthesizeMusic()
{
    const TMusicLayout layout = MusicLayout();
    TMix dry(layout.TotalFrames), wet(layout.TotalFrames);
    // The pass before the loop start fills the file's first seconds with
    // the loop's ending, as the jump back will play it.
    RenderLoop(wet, dry, layout.LoopStartFrame - layout.LoopFrames);
    RenderLoop(wet, dry, layout.LoopStartFrame);

    // Ping-pong echo of a dotted eighth on the lead and the arpeggio.
    const size_t delay = static_cast<size_t>(std::llround(0.75 * BeatSeconds * MusicRate));
    std::vector<float> dl(delay, 0.0f), dr(delay, 0.0f);
    size_t pos = 0;
    std::vector<int16_t> pcm(static_cast<size_t>(layout.TotalFrames) * 2);
    for (size_t i = 0; i < static_cast<size_t>(layout.TotalFrames); ++i) {
        float el = dl[pos], er = dr[pos];
        dl[pos] = wet.R[i] + er * 0.38f;  // each side feeds the other
        dr[pos] = wet.L[i] + el * 0.38f;
        pos = (pos + 1) % delay;
        double l = dry.L[i] + wet.L[i] + 0.32 * el;
        double r = dry.R[i] + wet.R[i] + 0.32 * er;
        // Gentle saturation keeps peaks under full scale without clipping.
        l = std::tanh(l * 1.3) * 0.93;
        r = std::tanh(r * 1.3) * 0.93;
        pcm[2 * i] = static_cast<int16_t>(std::lround(l * 32767.0));
        pcm[2 * i + 1] = static_cast<int16_t>(std::lround(r * 32767.0));
    }
    return pcm;
}

std::vector<uint8_t> EncodeMp3(const std::vector<int16_t>& pcm)
{
    lame_global_flags* gf = lame_init();
    if (!gf) throw std::runtime_error("musik.mp3: the MP3 encoder cannot be created");
    lame_set_num_channels(gf, 2);
    lame_set_in_samplerate(gf, MusicRate);
    lame_set_out_samplerate(gf, MusicRate);
    lame_set_mode(gf, JOINT_STEREO);
    lame_set_VBR(gf, vbr_off);
    lame_set_brate(gf, 160);
    lame_set_quality(gf, 7);  // fast; the synthetic sound needs no more
    lame_set_bWriteVbrTag(gf, 1);
    lame_set_write_id3tag_automatic(gf, 0);
    if (lame_init_params(gf) < 0) {
        lame_close(gf);
        throw std::runtime_error("musik.mp3: the MP3 encoder rejects its settings");
    }
    std::vector<uint8_t> out;
    const int chunk = 1152 * 64;
    std::vector<unsigned char> buf(static_cast<size_t>(chunk) * 5 / 4 + 7200);
    const size_t frames = pcm.size() / 2;
    for (size_t at = 0; at < frames; at += chunk) {
        int n = static_cast<int>(std::min<size_t>(chunk, frames - at));
        // LAME takes a non-const pointer but does not write through it.
        int got = lame_encode_buffer_interleaved(gf, const_cast<short*>(pcm.data() + 2 * at), n, buf.data(),
                                                 static_cast<int>(buf.size()));
        if (got < 0) {
            lame_close(gf);
            throw std::runtime_error("musik.mp3: encoding failed (" + std::to_string(got) + ")");
        }
        out.insert(out.end(), buf.begin(), buf.begin() + got);
    }
    int got = lame_encode_flush(gf, buf.data(), static_cast<int>(buf.size()));
    if (got < 0) {
        lame_close(gf);
        throw std::runtime_error("musik.mp3: encoding failed at the end (" + std::to_string(got) + ")");
    }
    out.insert(out.end(), buf.begin(), buf.begin() + got);
    // The first frame was kept free for the info header with the exact
    // length and the encoder delay and padding.
    size_t tag = lame_get_lametag_frame(gf, buf.data(), buf.size());
    lame_close(gf);
    if (tag == 0 || tag > buf.size() || tag > out.size())
        throw std::runtime_error("musik.mp3: the encoder gave no info header");
    std::copy(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(tag), out.begin());
    return out;
}

}  // namespace makedata

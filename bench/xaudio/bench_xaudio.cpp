// Prints how the music player behaves in time: opening (with the length
// scan) and seeking as seen from the main thread, compared with decoding the
// whole file straight through libmpg123; how late the end of input arrives
// after the music's own length; how soon Stop takes effect; and the CPU the
// process spends while music plays.
#include "platform/xaudio/xaudioplayer.h"
#include "tone_mp3.h"
#include "xaudio_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <mpg123.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// Runs the event loop without sleeping, so that a round trip is measured to
// the microsecond rather than to the test helper's polling interval.
template <typename Done>
void Spin(Done done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < timeoutMs) QCoreApplication::processEvents();
}

// Sleeps in the event loop until an event comes, as the game's main thread
// does, so that the CPU figure is the player's and not a polling loop's.
template <typename Done>
void Block(Done done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    QTimer wake;
    wake.start(100);  // lets the timeout be noticed
    while (!done() && t.elapsed() < timeoutMs) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Decoding the whole file with libmpg123 alone, as fast as it goes.
double StraightDecodeMs(const std::string& path)
{
    QElapsedTimer t;
    t.start();
    int err = MPG123_OK;
    mpg123_handle* mh = mpg123_new(nullptr, &err);
    if (!mh || mpg123_open(mh, path.c_str()) != MPG123_OK) return -1.0;
    std::vector<unsigned char> buf(16384);
    size_t got = 0;
    int r = MPG123_OK;
    do r = mpg123_read(mh, buf.data(), buf.size(), &got);
    while (r == MPG123_OK || r == MPG123_NEW_FORMAT);
    mpg123_close(mh);
    mpg123_delete(mh);
    return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

struct Playback {
    double endMs = 0;     // Play to end of input
    double stopMs = 0;    // Stop to the stopped state
    double cpuShare = 0;  // process CPU seconds per second of playback
};

Playback MeasurePlayback(const std::string& path, int64_t frames, const char* driver)
{
    setenv("SDL_AUDIODRIVER", driver, 1);
    Playback r;
    TXaudioPlayer p;
    p.Directory = DUNEBOLT_BIN_DIR;
    Recorded rec;
    rec.Attach(p);
    p.OutputModuleRegister("xa_dsound_output.dll");
    p.InputOpen(path);
    Spin([&] { return !rec.positions.empty(); }, 10000);
    p.InputSeek(0, 1);
    QElapsedTimer t;
    double cpu0 = CpuSeconds();
    t.start();
    p.Play();
    Block([&] { return rec.HasState(3); }, 60000);
    r.endMs = static_cast<double>(t.nsecsElapsed()) / 1e6 - 1000.0 * static_cast<double>(frames) / kToneRate;
    r.cpuShare = (CpuSeconds() - cpu0) / (static_cast<double>(t.nsecsElapsed()) / 1e9);

    std::vector<double> stops;
    for (int i = 0; i < 5; ++i) {
        rec.states.clear();
        p.InputSeek(0, 1);
        p.Play();
        Spin([&] { return rec.HasState(1); }, 10000);
        Block([] { return false; }, 200);
        QElapsedTimer s;
        s.start();
        p.Stop();
        Spin([&] { return rec.HasState(0); }, 10000);
        stops.push_back(static_cast<double>(s.nsecsElapsed()) / 1e6);
    }
    r.stopMs = Median(stops);
    return r;
}

// The silence heard where the music loops: the game answers the end of
// input with a seek and Play from the handler. Measured in the PCM that
// SDL's disk driver writes, as the longest run of silent frames between the
// first and the last sound.
double LoopGapMs(const std::string& path, const std::string& raw)
{
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", raw.c_str(), 1);
    int ends = 0;
    {
        TXaudioPlayer p;
        p.Directory = DUNEBOLT_BIN_DIR;
        p.OnNotifyPlayerState = [&](TXaudioPlayer& sender, int state) {
            if (state == 3 && ++ends < 2) {
                sender.InputSeek(425, 10000);
                sender.Play();
            }
        };
        p.OutputModuleRegister("xa_dsound_output.dll");
        p.InputOpen(path);
        p.Play();
        Block([&] { return ends == 2; }, 60000);
    }
    std::FILE* f = std::fopen(raw.c_str(), "rb");
    if (!f) return -1.0;
    std::vector<int16_t> pcm;
    int16_t frame[2];
    while (std::fread(frame, sizeof frame, 1, f) == 1) pcm.push_back(static_cast<int16_t>(frame[0] | frame[1]));
    std::fclose(f);
    size_t first = 0;
    while (first < pcm.size() && pcm[first] == 0) ++first;
    size_t last = pcm.size();
    while (last > first && pcm[last - 1] == 0) --last;
    size_t longest = 0;
    size_t run = 0;
    for (size_t i = first; i < last; ++i) {
        run = (pcm[i] == 0) ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return 1000.0 * static_cast<double>(longest) / kToneRate;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    TempDir dir;
    const int64_t longFrames = 60 * kToneRate;
    const int64_t shortFrames = 3 * kToneRate;
    std::string longMp3 = dir.File("long.mp3");
    std::string shortMp3 = dir.File("short.mp3");
    if (!WriteToneMp3(longMp3, longFrames, 2, 12000) || !WriteToneMp3(shortMp3, shortFrames, 2, 12000)) {
        std::fprintf(stderr, "cannot write the test MP3s under %s\n", dir.path().c_str());
        return 1;
    }

    std::string bareMp3 = dir.File("bare.mp3");
    if (!WriteToneMp3(bareMp3, longFrames, 2, 12000, false)) {
        std::fprintf(stderr, "cannot write the test MP3s under %s\n", dir.path().c_str());
        return 1;
    }

    TXaudioPlayer p;
    p.Directory = DUNEBOLT_BIN_DIR;
    Recorded rec;
    rec.Attach(p);
    // Loading the library, starting the player and loading the output
    // module (with SDL) happen once, before the figures.
    QElapsedTimer t;
    t.start();
    p.OutputModuleRegister("xa_dsound_output.dll");
    p.InputOpen(shortMp3);
    Spin([&] { return !rec.positions.empty(); }, 30000);
    double firstMs = static_cast<double>(t.nsecsElapsed()) / 1e6;
    auto timeOpen = [&](const std::string& path) {
        size_t seen = rec.positions.size();
        t.restart();
        p.InputOpen(path);
        Spin([&] { return rec.positions.size() > seen; }, 30000);
        return static_cast<double>(t.nsecsElapsed()) / 1e6;
    };
    double bareMs = timeOpen(bareMp3);
    double openMs = timeOpen(longMp3);
    std::vector<double> seeks;
    for (int i = 0; i < 50; ++i) {
        size_t seen = rec.positions.size();
        t.restart();
        p.InputSeek((i * 397) % 10000, 10000);
        Spin([&] { return rec.positions.size() > seen; }, 10000);
        seeks.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
    }
    double decodeMs = StraightDecodeMs(longMp3);

    std::printf("music player, 60 s stereo 128 kbit/s MP3, round trips to the main thread\n");
    std::printf("  first use: load, player, output module, open 3 s:  %8.2f ms\n", firstMs);
    std::printf("  open with the LAME header (length from the tag):   %8.2f ms\n", openMs);
    std::printf("  open without it (length by scanning every frame):  %8.2f ms\n", bareMs);
    std::printf(
        "  straight libmpg123 decode of the whole file:       %8.2f ms (tag open/decode ratio %.4f, scan "
        "open/decode %.3f)\n",
        decodeMs, openMs / decodeMs, bareMs / decodeMs);
    std::printf("  seek, round trip (median of 50):                   %8.3f ms\n", Median(seeks));

    for (const char* driver : {"dummy", "dunebolt-no-such-driver"}) {
        Playback r = MeasurePlayback(shortMp3, shortFrames, driver);
        std::printf("playback of 3 s, SDL_AUDIODRIVER=%s%s\n", driver,
                    driver[0] == 'd' && driver[1] == 'u' && driver[2] == 'm' ? "" : " (silent pacer)");
        std::printf("  end of input after the music's length:             %+8.1f ms (ratio to length %.4f)\n", r.endMs,
                    (r.endMs + 3000.0) / 3000.0);
        std::printf("  Stop to the stopped state (median of 5):           %8.2f ms\n", r.stopMs);
        std::printf("  process CPU while playing:                         %8.1f %% of one core\n", 100.0 * r.cpuShare);
    }
    std::printf("looping as the game does (end of input, seek to 4.25 %%, play), SDL_AUDIODRIVER=disk\n");
    std::printf("  longest silence inside the music:                  %8.2f ms\n",
                LoopGapMs(shortMp3, dir.File("loop.raw")));
    return 0;
}

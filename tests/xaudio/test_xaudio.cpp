// The music player driving the real modules of the program directory, and
// variants of the library built from the same source: the game's start-up
// calls, seeking, playing to the end with and without a sound device, the
// volume, stopping, and every failure it names. (Looping from the end-of-input
// handler is the window's, tested with it.)
#include "platform/xaudio/xaudio_api.h"
#include "platform/xaudio/xaudioplayer.h"

#include <gtest/gtest.h>
#include <lame/lame.h>
#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <thread>

namespace {

constexpr int kRate = 44100;
constexpr int kAmplitude = 16000;

// A stereo 440 Hz sine tone of `frames` sample frames as an MP3 made with
// LAME. Its header (the encoder delay and padding), as the game's music has
// one, makes the decoder's length and seek positions exact.
bool WriteTone(const std::string& path, int64_t frames)
{
    std::unique_ptr<lame_global_flags, int (*)(lame_global_flags*)> gf(lame_init(), lame_close);
    lame_set_in_samplerate(gf.get(), kRate);
    lame_set_out_samplerate(gf.get(), kRate);
    lame_set_brate(gf.get(), 128);
    lame_set_bWriteVbrTag(gf.get(), 1);
    if (lame_init_params(gf.get()) < 0) return false;
    std::vector<short> pcm(static_cast<size_t>(frames) * 2);
    for (size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<short>(std::lround(kAmplitude * std::sin(2 * M_PI * 440.0 * double(i / 2) / kRate)));
    std::vector<unsigned char> mp3(static_cast<size_t>(1.25 * double(frames) + 7200));
    int n = lame_encode_buffer_interleaved(gf.get(), pcm.data(), int(frames), mp3.data(), int(mp3.size()));
    if (n < 0) return false;
    const int flushed = lame_encode_flush(gf.get(), mp3.data() + n, int(mp3.size()) - n);
    if (flushed < 0) return false;
    mp3.resize(size_t(n + flushed));
    // The header goes into the first frame, which the encoder left empty for it.
    if (lame_get_lametag_frame(gf.get(), mp3.data(), mp3.size()) == 0) return false;
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(mp3.data()), std::streamsize(mp3.size()));
    return bool(f);
}

// The notifications as they arrive, and whether any came off the main thread.
struct Recorded {
    std::vector<int> states;
    std::vector<std::pair<int64_t, int64_t>> positions;  // frame, length
    std::vector<std::pair<int, int>> errors;             // command, result
    std::vector<std::string> errorTexts;
    bool offMainThread = false;

    void Attach(TXaudioPlayer& p)
    {
        auto check = [this, main = std::this_thread::get_id()] { offMainThread |= std::this_thread::get_id() != main; };
        p.OnNotifyPlayerState = [this, check](TXaudioPlayer&, int s) {
            check();
            states.push_back(s);
        };
        p.OnNotifyInputPosition = [this, check](TXaudioPlayer&, int64_t f, int64_t n) {
            check();
            positions.emplace_back(f, n);
        };
        p.OnNotifyError = [this, check](TXaudioPlayer&, int c, int r, const std::string& t) {
            check();
            errors.emplace_back(c, r);
            errorTexts.push_back(t);
        };
    }
    size_t Count(int state) const { return size_t(std::count(states.begin(), states.end(), state)); }
};

// A file in a directory of the test's own, removed at its end.
std::string In(const QTemporaryDir& dir, const char* name) { return dir.filePath(name).toStdString(); }

// The player set up as the game does at start-up, on the modules of the
// program directory; the input's length, or -1.
int64_t OpenAsTheGame(TXaudioPlayer& p, Recorded& rec, const std::string& mp3)
{
    p.Directory = DUNEBOLT_BIN_DIR;
    rec.Attach(p);
    p.OutputModuleRegister("xa_dsound_output.dll");
    p.SetOutputName("/dev/dsound/0");
    p.InputOpen(mp3);
    if (!QTest::qWaitFor([&] { return !rec.positions.empty() || !rec.errors.empty(); }, 10000) || !rec.errors.empty())
        return -1;
    return rec.positions.front().second;
}

class Music : public ::testing::Test {
protected:
    void SetUp() override { setenv("SDL_AUDIODRIVER", "dummy", 1); }
    void Open(int64_t frames)
    {
        ASSERT_TRUE(WriteTone(mp3, frames));
        length = OpenAsTheGame(player, rec, mp3);
        ASSERT_GE(length, 0) << (rec.errorTexts.empty() ? "no answer" : rec.errorTexts.front());
    }
    int64_t NextPosition()
    {
        const size_t seen = rec.positions.size();
        const bool moved = QTest::qWaitFor([&] { return rec.positions.size() > seen || !rec.errors.empty(); }, 10000);
        return moved && rec.positions.size() > seen ? rec.positions.back().first : -1;
    }
    bool WaitFor(int state, size_t count = 1)
    {
        return QTest::qWaitFor([&] { return rec.Count(state) >= count; }, 10000);
    }

    QTemporaryDir dir;
    std::string mp3 = In(dir, "musik.mp3");
    std::unique_ptr<TXaudioPlayer> owned = std::make_unique<TXaudioPlayer>();
    TXaudioPlayer& player = *owned;
    Recorded rec;
    int64_t length = 0;
};

// The 16-bit stereo PCM a disk-driver play wrote to path, from byte from on.
std::vector<int16_t> ReadPcm(const std::string& path, size_t from)
{
    std::ifstream f(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<int16_t> pcm(bytes.size() > from ? (bytes.size() - from) / 2 : 0);
    std::memcpy(pcm.data(), bytes.data() + from, pcm.size() * 2);
    return pcm;
}

int Peak(const std::vector<int16_t>& pcm, size_t channel)
{
    int peak = 0;
    for (size_t i = channel; i < pcm.size(); i += 2) peak = std::max(peak, std::abs(int(pcm[i])));
    return peak;
}

// The frames that carry sound: all but runs of at least 32 silent frames
// (device buffers around the play, underruns of a loaded machine).
int64_t AudibleFrames(const std::vector<int16_t>& pcm)
{
    int64_t audible = 0, run = 0;
    for (size_t i = 0; i + 1 < pcm.size(); i += 2) {
        if (pcm[i] == 0 && pcm[i + 1] == 0) {
            ++run;
            continue;
        }
        audible += (run < 32) ? run + 1 : 1;
        run = 0;
    }
    return audible;
}

TEST_F(Music, StartUpOpensTheInputAndSeeksToAFractionOfItsLength)
{
    Open(3 * kRate);
    EXPECT_EQ(length, 3 * kRate);
    EXPECT_EQ(rec.positions.front().first, 0);
    const struct {
        long offset, range;
        int64_t frame;
    } seeks[] = {{398, 10000, 3 * kRate * 398 / 10000},
                 {425, 10000, 3 * kRate * 425 / 10000},
                 {0, 1, 0},
                 {1, 1, 3 * kRate},
                 {3, 2, 3 * kRate}};
    for (const auto& s : seeks) {
        player.InputSeek(s.offset, s.range);
        EXPECT_EQ(NextPosition(), s.frame) << s.offset << " / " << s.range;
    }
    // Without a range a seek is refused and the position stays.
    player.InputSeek(5, 0);
    player.InputSeek(-1, 10);
    ASSERT_TRUE(QTest::qWaitFor([&] { return rec.errors.size() == 2; }, 5000));
    for (const auto& e : rec.errors)
        EXPECT_EQ(e, std::make_pair(XA_MSG_COMMAND_INPUT_SEEK, XA_ERROR_INVALID_PARAMETERS));
    EXPECT_EQ(rec.errorTexts[0], "invalid parameters");
    QTest::qWait(200);
    EXPECT_EQ(rec.positions.size(), 6u);
    EXPECT_TRUE(rec.states.empty()) << "the start-up calls play nothing";
}

TEST_F(Music, PlaysToTheEndAtRealTimePaceWithOrWithoutADevice)
{
    ASSERT_TRUE(WriteTone(mp3, kRate / 2));
    // dummy opens a silent device; a driver that does not exist, and ALSA
    // where there is no sound card, open none: playback goes on silently.
    for (const char* driver : {"dummy", "dunebolt-no-such-driver", "alsa"}) {
        setenv("SDL_AUDIODRIVER", driver, 1);
        TXaudioPlayer p;
        Recorded r;
        const int64_t n = OpenAsTheGame(p, r, mp3);
        // As the game starts its music at the race start.
        p.SetOutputVolume(-1, 0, -1);
        p.InputSeek(398, 10000);
        p.SetPlayerEnvironmentInteger("OUTPUT.DIRECTSOUND.WINDOW", 0x1234);
        QElapsedTimer t;
        t.start();
        p.Play();
        ASSERT_TRUE(QTest::qWaitFor([&] { return r.Count(XA_PLAYER_STATE_EOF) > 0; }, 10000)) << driver;
        EXPECT_GE(t.elapsed(), 400 * (10000 - 398) / 10000) << driver << ": decoded, not played";
        EXPECT_EQ(r.states, (std::vector<int>{XA_PLAYER_STATE_PLAYING, XA_PLAYER_STATE_EOF})) << driver;
        EXPECT_EQ(r.positions.back(), std::make_pair(n, n)) << driver;
        EXPECT_TRUE(r.errors.empty()) << driver;
        EXPECT_FALSE(r.offMainThread) << driver;
    }
}

TEST_F(Music, PlaysFromTheSeekPointWithTheLevelsAndBalanceSet)
{
    const std::string raw = In(dir, "out.raw");
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", raw.c_str(), 1);
    Open(kRate / 2);
    // The device stays open from one play to the next: each play's PCM is
    // what the file grew by.
    size_t written = 0;
    auto playOnce = [&](long seek) {
        player.InputSeek(seek, 10000);
        player.Play();
        EXPECT_TRUE(WaitFor(XA_PLAYER_STATE_EOF, rec.Count(XA_PLAYER_STATE_EOF) + 1));
        // The device writes a buffer it took a moment later, on its own
        // thread: read once it has written four more (silence) after the end.
        const auto atEnd = std::filesystem::file_size(raw);
        EXPECT_TRUE(QTest::qWaitFor([&] { return std::filesystem::file_size(raw) >= atEnd + 4 * 1024 * 4; }));
        std::vector<int16_t> pcm = ReadPcm(raw, written);
        written += pcm.size() * 2;
        return pcm;
    };
    // The fade-in starts from PCM level 0: nothing at all is heard.
    player.SetOutputVolume(-1, 0, -1);
    const auto silent = playOnce(0);
    ASSERT_GT(silent.size(), size_t(kRate / 2));
    EXPECT_EQ(Peak(silent, 0) + Peak(silent, 1), 0);

    player.SetOutputVolume(-1, 100, 50);
    const auto half = playOnce(398);
    EXPECT_NEAR(Peak(half, 0), kAmplitude / 2, kAmplitude / 10);
    EXPECT_NEAR(Peak(half, 1), kAmplitude / 2, kAmplitude / 10);
    EXPECT_NEAR(double(AudibleFrames(half)), double(length - length * 398 / 10000), 100.0);

    // Balance fully left; the levels set before stay.
    player.SetOutputVolume(0, -1, -1);
    const auto left = playOnce(0);
    EXPECT_NEAR(Peak(left, 0), kAmplitude / 2, kAmplitude / 10);
    EXPECT_EQ(Peak(left, 1), 0);
    EXPECT_TRUE(rec.errors.empty());
}

TEST_F(Music, StopHaltsBeforeTheEndASeekWhilePlayingGoesOnAndDestroyingEndsTheNotifications)
{
    Open(kRate);
    player.Play();
    ASSERT_TRUE(WaitFor(XA_PLAYER_STATE_PLAYING));
    QTest::qWait(200);
    player.Stop();
    ASSERT_TRUE(WaitFor(XA_PLAYER_STATE_STOPPED));
    QTest::qWait(1200);  // longer than the rest of the tone
    EXPECT_EQ(rec.states, (std::vector<int>{XA_PLAYER_STATE_PLAYING, XA_PLAYER_STATE_STOPPED}));

    // Played again, and sought while it plays (a second race start).
    player.Play();
    ASSERT_TRUE(WaitFor(XA_PLAYER_STATE_PLAYING, 2));
    player.InputSeek(9500, 10000);
    ASSERT_TRUE(WaitFor(XA_PLAYER_STATE_EOF));
    EXPECT_EQ(rec.states.back(), XA_PLAYER_STATE_EOF);
    ASSERT_GE(rec.positions.size(), 3u);
    EXPECT_EQ(rec.positions.end()[-2].first, length * 9500 / 10000);
    EXPECT_EQ(rec.positions.back(), std::make_pair(length, length));

    // Destroyed while it plays: nothing more arrives.
    player.InputSeek(0, 1);
    player.Play();
    ASSERT_TRUE(WaitFor(XA_PLAYER_STATE_PLAYING, 3));
    const size_t states = rec.states.size();
    owned.reset();
    QTest::qWait(300);
    EXPECT_EQ(rec.states.size(), states);
}

std::string ErrorOf(TXaudioPlayer& p, const std::function<void(TXaudioPlayer&)>& op)
{
    try {
        op(p);
    } catch (const EXaudioError& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(XaudioErrors, EveryOperationNamesWhyTheLibraryCannotServe)
{
    QTemporaryDir emptyDir, notALibrary;
    std::ofstream(In(notALibrary, "xaudio.dll")) << "not a shared object\n";
    const std::string empty = emptyDir.path().toStdString(), other = In(emptyDir, "other.dll");
    const std::string variants = XAUDIO_VARIANTS_DIR;
    const struct {
        std::string directory, path, text;
    } cases[] = {
        {empty, "xaudio.dll", "Cannot Load Xaudio DLL (xaudio.dll)"},
        {empty, other, "Cannot Load Xaudio DLL (" + other + ")"},
        {notALibrary.path().toStdString(), "xaudio.dll", "Cannot Load Xaudio DLL (xaudio.dll)"},
        {variants + "/nosymbol", "xaudio.dll", "Cannot Find Symbol control_message_send_IIII in Xaudio DLL"},
        {variants + "/version", "xaudio.dll", "Xaudio DLL API Mismatch\rExpected 3.8, Got 3.7"},
        {variants + "/refuse", "xaudio.dll", "Cannot Start Xaudio Player"},
    };
    // Each operation tries afresh (a half-resolved library was released) and
    // fails the same way.
    const std::function<void(TXaudioPlayer&)> ops[] = {
        [](TXaudioPlayer& p) { p.OutputModuleRegister("xa_dsound_output.dll"); },
        [](TXaudioPlayer& p) { p.SetOutputVolume(-1, 0, -1); },
        [](TXaudioPlayer& p) { p.Play(); },
    };
    for (const auto& c : cases) {
        TXaudioPlayer p;
        p.Directory = c.directory;
        p.XaudioPath = c.path;
        for (const auto& op : ops) EXPECT_EQ(ErrorOf(p, op), c.text) << c.directory << " " << c.path;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

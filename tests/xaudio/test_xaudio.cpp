// The music player driving the real modules of the program directory:
// the game's start-up calls, seeking, playing to the end of the input with
// and without a usable audio device, stopping, and the volume.
#include "platform/xaudio/xaudio_api.h"
#include "platform/xaudio/xaudioplayer.h"
#include "tone_mp3.h"
#include "xaudio_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>

namespace {

constexpr int kAmplitude = 16000;

// A player set up as the game does at start-up, on the modules of the
// program directory, with a tone of the given length as its input.
class Music : public ::testing::Test {
protected:
    void Open(int64_t frames, int channels = 2, bool lameHeader = true)
    {
        ASSERT_FALSE(dir.path().empty());
        mp3 = dir.File("musik.mp3");
        ASSERT_TRUE(WriteToneMp3(mp3, frames, channels, kAmplitude, lameHeader));
        player.Directory = DUNEBOLT_BIN_DIR;
        rec.Attach(player);
        player.OutputModuleRegister("xa_dsound_output.dll");
        player.SetOutputName("/dev/dsound/0");
        player.InputOpen(mp3);
        ASSERT_TRUE(RunEventsUntil([&] { return !rec.positions.empty() || !rec.errors.empty(); }, 10000));
        ASSERT_TRUE(rec.errors.empty()) << rec.errorTexts.front();
        length = rec.positions.front().second;
    }

    // Waits for the next input position report and returns its frame.
    int64_t NextPosition()
    {
        size_t seen = rec.positions.size();
        if (!RunEventsUntil([&] { return rec.positions.size() > seen || !rec.errors.empty(); }, 10000) ||
            rec.positions.size() == seen)
            return -1;
        return rec.positions.back().first;
    }

    TempDir dir;
    std::string mp3;
    TXaudioPlayer player;
    Recorded rec;
    int64_t length = 0;
};

struct Pcm {
    std::vector<int16_t> samples;  // interleaved stereo
    size_t Frames() const { return samples.size() / 2; }
};

// The PCM written to path from byte offset from on.
Pcm ReadPcm(const std::string& path, size_t from = 0)
{
    std::ifstream f(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(from, bytes.size())));
    Pcm p;
    p.samples.resize(bytes.size() / 2);
    for (size_t i = 0; i < p.samples.size(); ++i)
        p.samples[i] = static_cast<int16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                            (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
    return p;
}

int Peak(const Pcm& p, int channel)
{
    int peak = 0;
    for (size_t f = 0; f < p.Frames(); ++f)
        peak = std::max(peak, std::abs(static_cast<int>(p.samples[2 * f + static_cast<size_t>(channel)])));
    return peak;
}

// The frames that carry sound: all but runs of silence of at least 32
// frames (device buffers before the first and after the last write, and any
// underrun of a loaded machine). A tone is never silent that long.
int64_t AudibleFrames(const Pcm& p)
{
    constexpr int64_t kSilentRun = 32;
    int64_t audible = 0;
    int64_t run = 0;
    for (size_t f = 0; f < p.Frames(); ++f) {
        if (p.samples[2 * f] == 0 && p.samples[2 * f + 1] == 0) {
            ++run;
            continue;
        }
        audible += (run < kSilentRun) ? run + 1 : 1;
        run = 0;
    }
    return audible;
}

TEST_F(Music, StartUpCallsOpenTheInputAndPlayNothing)
{
    Open(3 * kToneRate);
    // The LAME header makes the decoder's length exactly what was encoded.
    EXPECT_EQ(length, 3 * kToneRate);
    EXPECT_EQ(rec.positions.front().first, 0);
    RunEventsFor(400);
    EXPECT_TRUE(rec.states.empty());
    EXPECT_TRUE(rec.errors.empty());
    EXPECT_EQ(rec.positions.size(), 1u);
}

TEST_F(Music, SeekLandsAtTheFractionOfTheLength)
{
    Open(3 * kToneRate);
    player.InputSeek(398, 10000);
    EXPECT_EQ(NextPosition(), 3 * kToneRate * 398 / 10000);
    player.InputSeek(425, 10000);
    EXPECT_EQ(NextPosition(), 3 * kToneRate * 425 / 10000);
    player.InputSeek(0, 1);
    EXPECT_EQ(NextPosition(), 0);
    player.InputSeek(1, 1);
    EXPECT_EQ(NextPosition(), length);
    // Past the end is the end.
    player.InputSeek(3, 2);
    EXPECT_EQ(NextPosition(), length);
    EXPECT_TRUE(rec.errors.empty());
}

TEST_F(Music, SeekWithoutARangeIsRefusedAndKeepsThePosition)
{
    Open(kToneRate);
    player.InputSeek(398, 10000);
    ASSERT_EQ(NextPosition(), kToneRate * 398 / 10000);
    player.InputSeek(5, 0);
    player.InputSeek(-1, 10);
    ASSERT_TRUE(RunEventsUntil([&] { return rec.errors.size() == 2; }, 5000));
    EXPECT_EQ(rec.errors[0], std::make_pair(XA_MSG_COMMAND_INPUT_SEEK, XA_ERROR_INVALID_PARAMETERS));
    EXPECT_EQ(rec.errors[1], std::make_pair(XA_MSG_COMMAND_INPUT_SEEK, XA_ERROR_INVALID_PARAMETERS));
    EXPECT_EQ(rec.errorTexts[0], "invalid parameters");
    EXPECT_EQ(rec.positions.size(), 2u);
}

TEST_F(Music, PlayReportsTheEndOfInputOnTheMainThread)
{
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    Open(kToneRate);
    player.SetOutputVolume(-1, 0, -1);
    player.InputSeek(398, 10000);
    player.SetPlayerEnvironmentInteger("OUTPUT.DIRECTSOUND.WINDOW", 0x1234);
    QElapsedTimer t;
    t.start();
    player.Play();
    ASSERT_TRUE(RunEventsUntil([&] { return rec.HasState(XA_PLAYER_STATE_EOF); }, 10000));
    int64_t ms = t.elapsed();
    EXPECT_FALSE(rec.offMainThread);
    EXPECT_EQ(rec.states, (std::vector<int>{XA_PLAYER_STATE_PLAYING, XA_PLAYER_STATE_EOF}));
    EXPECT_TRUE(rec.errors.empty());
    // Decoding reached the last frame.
    EXPECT_EQ(rec.positions.back(), std::make_pair(length, length));
    // It played, rather than decoded as fast as it could.
    EXPECT_GE(ms, 800 * (10000 - 398) / 10000);
}

// Drivers that give no device: one that does not exist at all, ALSA, which
// starts but finds no sound card on machines without one, and SDL's own
// choice, as the game runs. Where a device does open the tone plays, at
// PCM level 0, and the test holds all the same.
class MusicWithoutDevice : public Music, public ::testing::WithParamInterface<const char*> {};

std::string DriverName(const ::testing::TestParamInfo<const char*>& info)
{
    static const char* const names[] = {"Missing", "Alsa", "Default"};
    return names[info.index];
}

TEST_P(MusicWithoutDevice, StillPlaysToTheEndAtRealTimePace)
{
    if (GetParam()[0] != '\0')
        setenv("SDL_AUDIODRIVER", GetParam(), 1);
    else
        unsetenv("SDL_AUDIODRIVER");
    Open(kToneRate);
    player.SetOutputVolume(-1, 0, -1);
    QElapsedTimer t;
    t.start();
    player.Play();
    ASSERT_TRUE(RunEventsUntil([&] { return rec.HasState(XA_PLAYER_STATE_EOF); }, 10000));
    EXPECT_GE(t.elapsed(), 800);
    EXPECT_EQ(rec.states, (std::vector<int>{XA_PLAYER_STATE_PLAYING, XA_PLAYER_STATE_EOF}));
    EXPECT_EQ(rec.positions.back(), std::make_pair(length, length));
    EXPECT_TRUE(rec.errors.empty());
}

INSTANTIATE_TEST_SUITE_P(Drivers, MusicWithoutDevice, ::testing::Values("dunebolt-no-such-driver", "alsa", ""),
                         DriverName);

TEST_F(Music, PlaysFromTheSeekPointToTheEnd)
{
    std::string raw = dir.File("out.raw");
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", raw.c_str(), 1);
    Open(2 * kToneRate);
    player.InputSeek(398, 10000);
    player.Play();
    ASSERT_TRUE(RunEventsUntil([&] { return rec.HasState(XA_PLAYER_STATE_EOF); }, 10000));
    Pcm out = ReadPcm(raw);
    int64_t expected = length - length * 398 / 10000;
    // The tone runs from the seek point to the end.
    EXPECT_NEAR(static_cast<double>(AudibleFrames(out)), static_cast<double>(expected), 100.0);
    EXPECT_GT(Peak(out, 0), kAmplitude * 9 / 10);
}

TEST_F(Music, VolumeScalesLevelsAndBalance)
{
    std::string raw = dir.File("out.raw");
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", raw.c_str(), 1);
    Open(kToneRate / 2);
    // The device stays open from one play to the next: each play's PCM is
    // what the file grew by.
    size_t written = 0;
    auto playOnce = [&] {
        size_t ends = std::count(rec.states.begin(), rec.states.end(), XA_PLAYER_STATE_EOF);
        player.InputSeek(0, 1);
        player.Play();
        EXPECT_TRUE(RunEventsUntil(
            [&] { return static_cast<size_t>(std::count(rec.states.begin(), rec.states.end(), XA_PLAYER_STATE_EOF)) > ends; },
            10000));
        Pcm p = ReadPcm(raw, written);
        written += p.samples.size() * sizeof(int16_t);
        return p;
    };
    // The fade-in starts from PCM level 0: nothing at all is heard.
    player.SetOutputVolume(-1, 0, -1);
    Pcm silent = playOnce();
    ASSERT_GT(silent.Frames(), static_cast<size_t>(kToneRate / 4));
    EXPECT_EQ(Peak(silent, 0), 0);
    EXPECT_EQ(Peak(silent, 1), 0);

    player.SetOutputVolume(-1, 100, 50);
    Pcm half = playOnce();
    EXPECT_NEAR(Peak(half, 0), kAmplitude / 2, kAmplitude / 10);
    EXPECT_NEAR(Peak(half, 1), kAmplitude / 2, kAmplitude / 10);

    // Balance fully left; the levels set before stay.
    player.SetOutputVolume(0, -1, -1);
    Pcm left = playOnce();
    EXPECT_NEAR(Peak(left, 0), kAmplitude / 2, kAmplitude / 10);
    EXPECT_EQ(Peak(left, 1), 0);
    EXPECT_TRUE(rec.errors.empty());
}

TEST_F(Music, StopEndsPlaybackBeforeTheEnd)
{
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    Open(2 * kToneRate);
    player.Play();
    ASSERT_TRUE(RunEventsUntil([&] { return rec.HasState(XA_PLAYER_STATE_PLAYING); }, 10000));
    RunEventsFor(300);
    player.Stop();
    ASSERT_TRUE(RunEventsUntil([&] { return rec.HasState(XA_PLAYER_STATE_STOPPED); }, 5000));
    // Longer than the rest of the tone: the end is never reached.
    RunEventsFor(2500);
    EXPECT_EQ(rec.states, (std::vector<int>{XA_PLAYER_STATE_PLAYING, XA_PLAYER_STATE_STOPPED}));
    // A stopped player plays again when asked.
    player.InputSeek(9000, 10000);
    player.Play();
    ASSERT_TRUE(RunEventsUntil([&] { return rec.HasState(XA_PLAYER_STATE_EOF); }, 10000));
    EXPECT_EQ(rec.positions.back(), std::make_pair(length, length));
}

TEST_F(Music, SeekWhilePlayingGoesOnFromThere)
{
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    Open(3 * kToneRate);
    player.Play();
    ASSERT_TRUE(RunEventsUntil([&] { return rec.HasState(XA_PLAYER_STATE_PLAYING); }, 10000));
    RunEventsFor(200);
    // A second race start seeks again while the music still plays.
    player.InputSeek(9500, 10000);
    ASSERT_TRUE(RunEventsUntil([&] { return rec.HasState(XA_PLAYER_STATE_EOF); }, 10000));
    EXPECT_EQ(rec.states, (std::vector<int>{XA_PLAYER_STATE_PLAYING, XA_PLAYER_STATE_EOF}));
    ASSERT_EQ(rec.positions.size(), 3u);
    EXPECT_EQ(rec.positions[1].first, length * 9500 / 10000);
    EXPECT_EQ(rec.positions[2], std::make_pair(length, length));
}

TEST_F(Music, EndOfInputAnsweredFromTheHandlerLoopsTheMusic)
{
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    Open(kToneRate / 2);
    int ends = 0;
    // As the game does during a race: seek just past the start and play.
    player.OnNotifyPlayerState = [&](TXaudioPlayer& sender, int state) {
        rec.states.push_back(state);
        if (state == XA_PLAYER_STATE_EOF && ++ends < 3) {
            sender.InputSeek(425, 10000);
            sender.Play();
        }
    };
    player.InputSeek(398, 10000);
    player.Play();
    ASSERT_TRUE(RunEventsUntil([&] { return ends == 3; }, 15000));
    EXPECT_EQ(rec.states, (std::vector<int>{1, 3, 1, 3, 1, 3}));
    // Positions: open, seek 3.98 %, end, seek 4.25 %, end, seek 4.25 %, end.
    ASSERT_EQ(rec.positions.size(), 7u);
    EXPECT_EQ(rec.positions[1].first, length * 398 / 10000);
    EXPECT_EQ(rec.positions[3].first, length * 425 / 10000);
    EXPECT_EQ(rec.positions[6].first, length);
}

TEST_F(Music, DestroyingThePlayerWhilePlayingDeliversNothingMore)
{
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    auto p = std::make_unique<TXaudioPlayer>();
    p->Directory = DUNEBOLT_BIN_DIR;
    std::string path = dir.File("tone.mp3");
    ASSERT_TRUE(WriteToneMp3(path, 2 * kToneRate, 2, kAmplitude));
    Recorded r;
    r.Attach(*p);
    p->OutputModuleRegister("xa_dsound_output.dll");
    p->InputOpen(path);
    p->Play();
    ASSERT_TRUE(RunEventsUntil([&] { return r.HasState(XA_PLAYER_STATE_PLAYING); }, 10000));
    p.reset();
    RunEventsFor(300);
    EXPECT_EQ(r.states, (std::vector<int>{XA_PLAYER_STATE_PLAYING}));
}

TEST_F(Music, FileWithoutLameHeaderIsScannedForItsLength)
{
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    Open(kToneRate / 2, 2, false);
    // Whole frames of 1152 samples, the encoder's delay and padding included.
    EXPECT_GE(length, kToneRate / 2);
    EXPECT_EQ(length % 1152, 0);
    player.InputSeek(398, 10000);
    EXPECT_EQ(NextPosition(), length * 398 / 10000);
    player.Play();
    ASSERT_TRUE(RunEventsUntil([&] { return rec.HasState(XA_PLAYER_STATE_EOF); }, 10000));
    EXPECT_EQ(rec.positions.back(), std::make_pair(length, length));
}

TEST_F(Music, PriorityThreeIsTheLibrarysOwnAndOthersAreSent)
{
    player.Directory = DUNEBOLT_BIN_DIR;
    EXPECT_EQ(player.PlayerPriority(), XA_PRIORITY_HIGH);

    TXaudioPlayer low;
    low.Directory = DUNEBOLT_BIN_DIR;
    low.Priority = XA_PRIORITY_LOW;
    EXPECT_EQ(low.PlayerPriority(), XA_PRIORITY_LOW);
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

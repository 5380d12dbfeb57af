// The music player's failures: the wrapper's error texts for a missing
// library, a missing entry point, another API version and a refused player;
// the library's answers to bad control messages and bad input files.
#include "platform/xaudio/xaudio_api.h"
#include "platform/xaudio/xaudioplayer.h"
#include "tone_mp3.h"
#include "xaudio_support.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <fstream>
#include <random>

namespace {

std::string ErrorOf(TXaudioPlayer& p, void (*op)(TXaudioPlayer&))
{
    try {
        op(p);
    } catch (const EXaudioError& e) {
        return e.what();
    }
    return "(no error)";
}

void DoPlay(TXaudioPlayer& p) { p.Play(); }
void DoStop(TXaudioPlayer& p) { p.Stop(); }
void DoRegister(TXaudioPlayer& p) { p.OutputModuleRegister("xa_dsound_output.dll"); }
void DoSeek(TXaudioPlayer& p) { p.InputSeek(398, 10000); }
void DoVolume(TXaudioPlayer& p) { p.SetOutputVolume(-1, 0, -1); }

TEST(XaudioErrors, MissingLibraryIsNamedAndEveryOperationRaises)
{
    TempDir empty;
    TXaudioPlayer p;
    p.Directory = empty.path();
    EXPECT_EQ(ErrorOf(p, DoRegister), "Cannot Load Xaudio DLL (xaudio.dll)");
    EXPECT_EQ(ErrorOf(p, DoPlay), "Cannot Load Xaudio DLL (xaudio.dll)");
    EXPECT_EQ(ErrorOf(p, DoStop), "Cannot Load Xaudio DLL (xaudio.dll)");
    p.XaudioPath = empty.File("other.dll");
    EXPECT_EQ(ErrorOf(p, DoSeek), "Cannot Load Xaudio DLL (" + empty.File("other.dll") + ")");
}

TEST(XaudioErrors, FileThatIsNotALibraryCannotBeLoaded)
{
    TempDir d;
    {
        std::ofstream f(d.File("xaudio.dll"));
        f << "not a shared object\n";
    }
    TXaudioPlayer p;
    p.Directory = d.path();
    EXPECT_EQ(ErrorOf(p, DoPlay), "Cannot Load Xaudio DLL (xaudio.dll)");
}

TEST(XaudioErrors, MissingEntryPointIsNamedEachTime)
{
    TXaudioPlayer p;
    p.Directory = XAUDIO_VARIANTS_DIR "/nosymbol";
    EXPECT_EQ(ErrorOf(p, DoRegister), "Cannot Find Symbol control_message_send_IIII in Xaudio DLL");
    // The library was released: the next operation loads it afresh and
    // fails the same way rather than using a half-resolved library.
    EXPECT_EQ(ErrorOf(p, DoVolume), "Cannot Find Symbol control_message_send_IIII in Xaudio DLL");
}

TEST(XaudioErrors, OtherApiVersionIsReportedWithBothVersions)
{
    TXaudioPlayer p;
    p.Directory = XAUDIO_VARIANTS_DIR "/version";
    EXPECT_EQ(ErrorOf(p, DoRegister), "Xaudio DLL API Mismatch\rExpected 3.8, Got 3.7");
    EXPECT_EQ(ErrorOf(p, DoPlay), "Xaudio DLL API Mismatch\rExpected 3.8, Got 3.7");
}

TEST(XaudioErrors, RefusedPlayerCannotStart)
{
    TXaudioPlayer p;
    p.Directory = XAUDIO_VARIANTS_DIR "/refuse";
    EXPECT_EQ(ErrorOf(p, DoRegister), "Cannot Start Xaudio Player");
}

class XaudioBadInput : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        p.Directory = DUNEBOLT_BIN_DIR;
        rec.Attach(p);
    }
    bool WaitErrors(size_t n)
    {
        return RunEventsUntil([&] { return rec.errors.size() >= n; }, 10000);
    }
    TempDir dir;
    TXaudioPlayer p;
    Recorded rec;
};

TEST_F(XaudioBadInput, MissingOutputModuleIsReportedAndNothingPlays)
{
    std::string mp3 = dir.File("a.mp3");
    ASSERT_TRUE(WriteToneMp3(mp3, kToneRate / 4, 2, 8000));
    p.OutputModuleRegister("no_such_output.dll");
    p.InputOpen(mp3);
    p.Play();
    ASSERT_TRUE(WaitErrors(2));
    EXPECT_EQ(rec.errors[0], std::make_pair(XA_MSG_COMMAND_OUTPUT_MODULE_REGISTER, XA_ERROR_OUTPUT_MODULE));
    EXPECT_EQ(rec.errors[1], std::make_pair(XA_MSG_COMMAND_PLAY, XA_ERROR_OUTPUT_MODULE));
    RunEventsFor(200);
    EXPECT_TRUE(rec.states.empty());
}

TEST_F(XaudioBadInput, MissingOrGarbageInputIsReportedAndPlayRefused)
{
    p.OutputModuleRegister("xa_dsound_output.dll");
    p.InputSeek(398, 10000);
    p.InputOpen(dir.File("none.mp3"));
    ASSERT_TRUE(WaitErrors(2));
    EXPECT_EQ(rec.errors[0], std::make_pair(XA_MSG_COMMAND_INPUT_SEEK, XA_ERROR_NO_INPUT));
    EXPECT_EQ(rec.errors[1], std::make_pair(XA_MSG_COMMAND_INPUT_OPEN, XA_ERROR_OPEN_FAILED));

    std::string junk = dir.File("junk.mp3");
    {
        std::mt19937 rng(7);
        std::ofstream f(junk, std::ios::binary);
        for (int i = 0; i < 65536; ++i)
            f.put(static_cast<char>(rng() & 0xFF));
    }
    p.InputOpen(junk);
    p.Play();
    ASSERT_TRUE(RunEventsUntil([&] { return rec.errors.size() >= 4 || rec.HasState(XA_PLAYER_STATE_EOF); }, 10000));
    // Random bytes may hold something frame-like; either it is refused, or it
    // plays to an end. It never reports playing without an input.
    if (rec.errors.size() >= 4) {
        EXPECT_EQ(rec.errors[2].first, XA_MSG_COMMAND_INPUT_OPEN);
        EXPECT_EQ(rec.errors[3], std::make_pair(XA_MSG_COMMAND_PLAY, XA_ERROR_NO_INPUT));
        EXPECT_TRUE(rec.states.empty());
    }
}

TEST_F(XaudioBadInput, TruncatedFilePlaysWhatItHasToAnEnd)
{
    std::string whole = dir.File("whole.mp3");
    ASSERT_TRUE(WriteToneMp3(whole, kToneRate, 2, 8000));
    std::string cut = dir.File("cut.mp3");
    {
        std::ifstream in(whole, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::ofstream out(cut, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size() / 2 + 17));
    }
    p.OutputModuleRegister("xa_dsound_output.dll");
    p.InputOpen(cut);
    p.InputSeek(398, 10000);
    p.Play();
    ASSERT_TRUE(RunEventsUntil([&] { return rec.HasState(XA_PLAYER_STATE_EOF) || rec.HasState(XA_PLAYER_STATE_STOPPED); },
                               10000));
    ASSERT_FALSE(rec.positions.empty());
    EXPECT_LE(rec.positions.back().first, kToneRate);
}

// The library's own answers, through its entry points directly.
class XaudioLibrary : public ::testing::Test {
protected:
    void SetUp() override
    {
        lib = dlopen(DUNEBOLT_BIN_DIR "/xaudio.dll", RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib, nullptr) << dlerror();
    }
    void TearDown() override
    {
        if (lib)
            dlclose(lib);
    }
    template <typename Fn>
    Fn Get(const char* name)
    {
        return reinterpret_cast<Fn>(dlsym(lib, name));
    }
    void* lib = nullptr;
};

TEST_F(XaudioLibrary, BothModulesLoadWithEveryEntryPoint)
{
    for (const char* name :
         {"player_new", "player_delete", "player_set_priority", "player_get_priority", "xaudio_error_string",
          "xaudio_get_version", "control_message_send_N", "control_message_send_P", "control_message_send_S",
          "control_message_send_SS", "control_message_send_SI", "control_message_send_IPI", "control_message_send_I",
          "control_message_send_II", "control_message_send_III", "control_message_send_IIII",
          "control_win32_params_to_message"})
        EXPECT_NE(dlsym(lib, name), nullptr) << name;
    void* out = dlopen(DUNEBOLT_BIN_DIR "/xa_dsound_output.dll", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(out, nullptr) << dlerror();
    auto query = reinterpret_cast<XA_output_module_query>(dlsym(out, XA_OUTPUT_MODULE_ENTRY));
    ASSERT_NE(query, nullptr);
    XA_OutputModule m{};
    EXPECT_EQ(query(&m, XA_OUTPUT_MODULE_API), XA_SUCCESS);
    EXPECT_NE(m.open, nullptr);
    EXPECT_EQ(query(&m, XA_OUTPUT_MODULE_API + 1), XA_ERROR_NOT_SUPPORTED);
    dlclose(out);

    auto version = Get<XA_xaudio_get_version>("xaudio_get_version");
    EXPECT_EQ((version(XA_API_ID_VERSION) >> 8) & 0xFFFF, (3u << 8) | 8u);
}

TEST_F(XaudioLibrary, BadControlMessagesAreRefused)
{
    auto player_new = Get<XA_player_new>("player_new");
    auto player_delete = Get<XA_player_delete>("player_delete");
    auto send_N = Get<XA_control_message_send_N>("control_message_send_N");
    auto send_S = Get<XA_control_message_send_S>("control_message_send_S");
    auto send_I = Get<XA_control_message_send_I>("control_message_send_I");
    auto set_priority = Get<XA_player_set_priority>("player_set_priority");
    auto to_message = Get<XA_control_win32_params_to_message>("control_win32_params_to_message");
    auto error_string = Get<XA_xaudio_error_string>("xaudio_error_string");

    XA_Player* pl = nullptr;
    ASSERT_EQ(player_new(&pl, nullptr), XA_SUCCESS);
    ASSERT_NE(pl, nullptr);
    EXPECT_EQ(send_N(pl, XA_MSG_COMMAND_PLAY), XA_SUCCESS);  // no input: reported, not fatal
    EXPECT_EQ(send_N(pl, 999), XA_ERROR_NOT_SUPPORTED);
    EXPECT_EQ(send_S(pl, XA_MSG_COMMAND_PLAY, "x"), XA_ERROR_INVALID_PARAMETERS);
    EXPECT_EQ(send_I(pl, XA_MSG_COMMAND_INPUT_SEEK, 3), XA_ERROR_INVALID_PARAMETERS);
    EXPECT_EQ(send_S(pl, XA_MSG_COMMAND_INPUT_OPEN, nullptr), XA_ERROR_INVALID_PARAMETERS);
    EXPECT_EQ(send_N(nullptr, XA_MSG_COMMAND_STOP), XA_ERROR_INVALID_PARAMETERS);
    EXPECT_EQ(set_priority(pl, 9), XA_ERROR_INVALID_PARAMETERS);

    XA_Message m{};
    EXPECT_EQ(to_message(pl, &m, 12345, 0, 0), XA_ERROR_INVALID_PARAMETERS);
    EXPECT_EQ(to_message(pl, &m, XA_MSG_NOTIFY_PLAYER_STATE, 3, 0), XA_SUCCESS);
    EXPECT_EQ(m.code, XA_MSG_NOTIFY_PLAYER_STATE);
    EXPECT_EQ(m.data.player_state.state, 3);
    EXPECT_EQ(to_message(pl, nullptr, XA_MSG_NOTIFY_PLAYER_STATE, 3, 0), XA_ERROR_INVALID_PARAMETERS);
    EXPECT_STREQ(error_string(-12345), "unknown error");
    EXPECT_EQ(player_delete(pl), XA_SUCCESS);
    EXPECT_EQ(player_new(nullptr, nullptr), XA_ERROR_INVALID_PARAMETERS);
}

}  // namespace

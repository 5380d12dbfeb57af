// libFuzzer target: the MP3 library's open and decode of a music file. The
// library's source is compiled in, so its player is driven here without its
// thread, through the same commands, into an output that takes everything.
#include "platform/xaudio/xaudio.cpp"
#include "tests/fuzz/fuzz_file.h"

namespace {

int Output = 0;

XA_OutputModule NullOutput()
{
    XA_OutputModule m{};
    m.open = [](const char*, int, int, char*, size_t) -> void* { return &Output; };
    m.write = [](void*, const int16_t*, size_t frames) { return frames; };
    m.drain = m.flush = m.interrupt = m.close = [](void*) {};
    m.set_environment_integer = [](void*, const char*, long) {};
    return m;
}

Command Cmd(int code, const std::string& s = {}, long i1 = 0, long i2 = 0)
{
    Command c;
    c.code = code;
    c.s1 = s;
    c.i1 = i1;
    c.i2 = i2;
    return c;
}

// Plays until the player leaves the playing state (the end, or an error).
void PlayOut(XA_Player& p)
{
    p.Handle(Cmd(XA_MSG_COMMAND_PLAY));
    while (p.state == XA_PLAYER_STATE_PLAYING) p.DecodeSlice();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool ready = mpg123_init() == MPG123_OK;
    if (!ready) return 0;
    XA_Player p;
    p.om = NullOutput();
    p.haveModule = true;
    p.Handle(Cmd(XA_MSG_COMMAND_INPUT_OPEN, FuzzInputFile(data, size, ".mp3")));
    PlayOut(p);
    // Looped from a third of the way in, as after the player's seek bar.
    p.Handle(Cmd(XA_MSG_COMMAND_INPUT_SEEK, "", 1, 3));
    PlayOut(p);
    p.CloseOutput();
    p.CloseInput();
    return 0;
}

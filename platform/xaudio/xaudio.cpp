// Our MP3 library "xaudio.dll": a player that decodes with libmpg123 on its
// own thread and plays through an output module loaded at run time from the
// library's own directory. Control messages are queued and carried out in
// order on the player's thread; state changes and results come back as
// notifications posted to the caller's target.
//
// Built also, for the wrapper's tests, in variants that lack one entry point
// (XA_OMIT_SEND_IIII), report another API minor version
// (XA_API_MINOR_OVERRIDE) or refuse to create players (XA_REFUSE_PLAYERS).
#include "platform/xaudio/xaudio_api.h"

#include <dlfcn.h>
#include <mpg123.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#define XA_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

#ifdef XA_API_MINOR_OVERRIDE
constexpr unsigned long kApiMinor = XA_API_MINOR_OVERRIDE;
#else
constexpr unsigned long kApiMinor = XA_API_MINOR;
#endif
constexpr unsigned long kApiPatch = 1;
constexpr unsigned long kLibraryVersion = (1ul << 16) | (0ul << 8);

// One slice of decoding: 4608 bytes is one MPEG-1 layer III frame of stereo
// 16-bit PCM; two of them keep the output fed without long blocking.
constexpr size_t kSliceBytes = 2 * 4608;

enum class ArgKind { N, P, S, SS, SI, IPI, I, II, III, IIII };

// The messages the player carries out and the send function each needs.
bool ExpectedKind(int code, ArgKind& kind)
{
    switch (code) {
        case XA_MSG_COMMAND_PLAY:
        case XA_MSG_COMMAND_STOP:
            kind = ArgKind::N;
            return true;
        case XA_MSG_COMMAND_INPUT_SEEK:
            kind = ArgKind::II;
            return true;
        case XA_MSG_COMMAND_INPUT_OPEN:
        case XA_MSG_COMMAND_OUTPUT_MODULE_REGISTER:
        case XA_MSG_SET_OUTPUT_NAME:
            kind = ArgKind::S;
            return true;
        case XA_MSG_SET_PLAYER_ENVIRONMENT_INTEGER:
            kind = ArgKind::SI;
            return true;
        case XA_MSG_SET_OUTPUT_VOLUME:
            kind = ArgKind::III;
            return true;
        default:
            return false;
    }
}

// Messages after which what is queued for output is no longer wanted: the
// player must not sit in a blocked write while they wait.
bool CutsOutput(int code)
{
    return code == XA_MSG_COMMAND_STOP || code == XA_MSG_COMMAND_INPUT_SEEK || code == XA_MSG_COMMAND_INPUT_OPEN;
}

struct Command {
    int code = 0;
    std::string s1;
    long i1 = 0;
    long i2 = 0;
    long i3 = 0;
};

int NiceFor(int priority)
{
    switch (priority) {
        case XA_PRIORITY_LOWEST:
            return 10;
        case XA_PRIORITY_LOW:
            return 5;
        case XA_PRIORITY_NORMAL:
            return 2;
        case XA_PRIORITY_HIGH:
            return 0;
        default:
            return -5;
    }
}

std::string LibraryDirectory()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&LibraryDirectory), &info) == 0 || !info.dli_fname) return ".";
    std::string path = info.dli_fname;
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return path.substr(0, slash);
}

}  // namespace

struct XA_Player {
    XA_NotificationTarget target{};
    std::thread thread;
    std::atomic<int> priority{XA_PRIORITY_HIGH};
    pid_t tid = 0;  // the player thread's, known once player_new returns

    // Shared between the senders and the player thread.
    std::mutex lock;
    std::condition_variable wake;
    std::deque<Command> queue;
    bool quit = false;
    void* out = nullptr;  // the open output; interrupted by senders
    XA_OutputModule om{};

    // Owned by the player thread.
    void* moduleLib = nullptr;
    bool haveModule = false;
    std::string outputName;
    std::map<std::string, long> environment;
    mpg123_handle* mh = nullptr;
    int64_t length = 0;  // frames
    long rate = 0;
    int channels = 0;
    int balance = XA_BALANCE_CENTRE;
    int pcmLevel = XA_VOLUME_MAX;
    int masterLevel = XA_VOLUME_MAX;
    int state = XA_PLAYER_STATE_STOPPED;
    int64_t startFrame = 0;     // input position when decoding (re)started
    int64_t decodedFrames = 0;  // frames decoded since then
    std::vector<int16_t> slice = std::vector<int16_t>(kSliceBytes / sizeof(int16_t));

    void Post(unsigned message, uint64_t wparam, int64_t lparam)
    {
        if (target.post) target.post(target.context, message, wparam, lparam);
    }
    void NotifyState(int s)
    {
        state = s;
        Post(XA_MSG_NOTIFY_PLAYER_STATE, static_cast<uint64_t>(s), 0);
    }
    void NotifyError(int command, int result) { Post(XA_MSG_NOTIFY_ERROR, static_cast<uint64_t>(command), result); }
    void NotifyPosition(int64_t frame) { Post(XA_MSG_NOTIFY_INPUT_POSITION, static_cast<uint64_t>(frame), length); }

    void Run();
    void Handle(const Command& c);
    void DecodeSlice();
    void CloseOutput();
    void CloseInput();
    bool OpenInput(const std::string& path);
    bool LoadModule(const std::string& name);
    void UnloadModule();
    void ApplyVolume(int16_t* pcm, size_t frames) const;
};

void XA_Player::Run()
{
    for (;;) {
        std::deque<Command> batch;
        {
            std::unique_lock<std::mutex> g(lock);
            if (state != XA_PLAYER_STATE_PLAYING) wake.wait(g, [this] { return quit || !queue.empty(); });
            if (quit) break;
            batch.swap(queue);
        }
        for (const Command& c : batch) Handle(c);
        if (state == XA_PLAYER_STATE_PLAYING) DecodeSlice();
    }
    CloseOutput();
    CloseInput();
    UnloadModule();
}

void XA_Player::CloseOutput()
{
    void* o = nullptr;
    {
        std::lock_guard<std::mutex> g(lock);
        o = out;
        out = nullptr;
    }
    if (o) om.close(o);
}

void XA_Player::CloseInput()
{
    if (mh) {
        mpg123_close(mh);
        mpg123_delete(mh);
        mh = nullptr;
    }
    length = 0;
    rate = 0;
    channels = 0;
}

bool XA_Player::OpenInput(const std::string& path)
{
    int err = MPG123_OK;
    mh = mpg123_new(nullptr, &err);
    if (!mh) return false;
    // Fix the output to 16-bit PCM at the file's own rate and channels.
    mpg123_format_none(mh);
    const long* rates = nullptr;
    size_t rateCount = 0;
    mpg123_rates(&rates, &rateCount);
    for (size_t i = 0; i < rateCount; ++i)
        mpg123_format(mh, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
    // Gapless decoding uses the encoder's delay and padding from the LAME
    // header, which makes lengths and seek positions exact.
    mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_GAPLESS | MPG123_QUIET, 0.0);
    int enc = 0;
    if (mpg123_open(mh, path.c_str()) != MPG123_OK || mpg123_getformat(mh, &rate, &channels, &enc) != MPG123_OK ||
        rate <= 0 || channels < 1) {
        CloseInput();
        return false;
    }
    // The encoder's Info tag gives the exact length; without it only a scan
    // of every frame does, which costs about as much as decoding the file.
    long delay = -1;
    if (mpg123_getstate(mh, MPG123_ENC_DELAY, &delay, nullptr) != MPG123_OK || delay < 0) {
        if (mpg123_scan(mh) != MPG123_OK) {
            CloseInput();
            return false;
        }
    }
    off_t len = mpg123_length(mh);
    if (len < 0) {
        CloseInput();
        return false;
    }
    length = static_cast<int64_t>(len);
    return true;
}

bool XA_Player::LoadModule(const std::string& name)
{
    std::string path = name;
    if (name.find('/') == std::string::npos) path = LibraryDirectory() + "/" + name;
    // Never unloaded: the module brings SDL, whose global and per-thread
    // state must not vanish under a running process.
    void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!lib) return false;
    auto query = reinterpret_cast<XA_output_module_query>(dlsym(lib, XA_OUTPUT_MODULE_ENTRY));
    XA_OutputModule m{};
    if (!query || query(&m, XA_OUTPUT_MODULE_API) != XA_SUCCESS || !m.open || !m.write || !m.drain || !m.flush ||
        !m.interrupt || !m.close || !m.set_environment_integer) {
        dlclose(lib);
        return false;
    }
    UnloadModule();
    {
        std::lock_guard<std::mutex> g(lock);
        om = m;
    }
    moduleLib = lib;
    haveModule = true;
    return true;
}

void XA_Player::UnloadModule()
{
    CloseOutput();
    if (moduleLib) dlclose(moduleLib);
    moduleLib = nullptr;
    haveModule = false;
}

void XA_Player::ApplyVolume(int16_t* pcm, size_t frames) const
{
    float gain = static_cast<float>(pcmLevel) * static_cast<float>(masterLevel) / (100.0f * 100.0f);
    float left = gain;
    float right = gain;
    if (channels == 2) {
        left *= std::min(1.0f, static_cast<float>(XA_VOLUME_MAX - balance) / XA_BALANCE_CENTRE);
        right *= std::min(1.0f, static_cast<float>(balance) / XA_BALANCE_CENTRE);
    }
    if (left == 1.0f && right == 1.0f) return;
    for (size_t f = 0; f < frames; ++f) {
        for (int ch = 0; ch < channels; ++ch) {
            float g = (ch == 1) ? right : left;
            int16_t& s = pcm[f * static_cast<size_t>(channels) + static_cast<size_t>(ch)];
            s = static_cast<int16_t>(std::lround(static_cast<float>(s) * g));
        }
    }
}

void XA_Player::Handle(const Command& c)
{
    switch (c.code) {
        case XA_MSG_COMMAND_OUTPUT_MODULE_REGISTER:
            if (!LoadModule(c.s1)) {
                NotifyError(c.code, XA_ERROR_OUTPUT_MODULE);
                return;
            }
            if (state == XA_PLAYER_STATE_PLAYING) NotifyState(XA_PLAYER_STATE_STOPPED);
            return;
        case XA_MSG_SET_OUTPUT_NAME:
            outputName = c.s1;
            return;
        case XA_MSG_COMMAND_INPUT_OPEN:
            CloseOutput();
            CloseInput();
            if (state != XA_PLAYER_STATE_STOPPED) NotifyState(XA_PLAYER_STATE_STOPPED);
            if (!OpenInput(c.s1)) {
                NotifyError(c.code, XA_ERROR_OPEN_FAILED);
                return;
            }
            startFrame = 0;
            decodedFrames = 0;
            NotifyPosition(0);
            return;
        case XA_MSG_COMMAND_INPUT_SEEK: {
            if (!mh) {
                NotifyError(c.code, XA_ERROR_NO_INPUT);
                return;
            }
            long offset = c.i1;
            long range = c.i2;
            if (range <= 0 || offset < 0) {
                NotifyError(c.code, XA_ERROR_INVALID_PARAMETERS);
                return;
            }
            offset = std::min(offset, range);
            // The fraction offset / range of the length, rounded down to a
            // frame; 128 bits keep long files and large ranges exact.
            auto target = static_cast<int64_t>(static_cast<__int128>(length) * offset / range);
            off_t pos = mpg123_seek(mh, static_cast<off_t>(target), SEEK_SET);
            {
                std::lock_guard<std::mutex> g(lock);
                if (out) om.flush(out);
            }
            if (pos < 0) {
                NotifyError(c.code, XA_ERROR_SEEK_FAILED);
                return;
            }
            startFrame = static_cast<int64_t>(pos);
            decodedFrames = 0;
            NotifyPosition(startFrame);
            return;
        }
        case XA_MSG_SET_OUTPUT_VOLUME:
            if (c.i1 >= 0) balance = static_cast<int>(std::min<long>(c.i1, XA_VOLUME_MAX));
            if (c.i2 >= 0) pcmLevel = static_cast<int>(std::min<long>(c.i2, XA_VOLUME_MAX));
            if (c.i3 >= 0) masterLevel = static_cast<int>(std::min<long>(c.i3, XA_VOLUME_MAX));
            return;
        case XA_MSG_SET_PLAYER_ENVIRONMENT_INTEGER: {
            environment[c.s1] = c.i1;
            std::lock_guard<std::mutex> g(lock);
            if (out) om.set_environment_integer(out, c.s1.c_str(), c.i1);
            return;
        }
        case XA_MSG_COMMAND_PLAY: {
            if (state == XA_PLAYER_STATE_PLAYING) return;
            if (!mh) {
                NotifyError(c.code, XA_ERROR_NO_INPUT);
                return;
            }
            if (!haveModule) {
                NotifyError(c.code, XA_ERROR_OUTPUT_MODULE);
                return;
            }
            // After an end of input the output is still open: playing again
            // (the game loops its music) starts without reopening the device.
            if (out) {
                om.flush(out);
                NotifyState(XA_PLAYER_STATE_PLAYING);
                return;
            }
            char why[256] = "";
            void* o = om.open(outputName.c_str(), static_cast<int>(rate), channels, why, sizeof why);
            if (!o) {
                NotifyError(c.code, XA_ERROR_OUTPUT_FAILED);
                return;
            }
            for (const auto& [name, value] : environment) om.set_environment_integer(o, name.c_str(), value);
            {
                std::lock_guard<std::mutex> g(lock);
                out = o;
            }
            NotifyState(XA_PLAYER_STATE_PLAYING);
            return;
        }
        case XA_MSG_COMMAND_STOP:
            CloseOutput();
            if (state != XA_PLAYER_STATE_STOPPED) NotifyState(XA_PLAYER_STATE_STOPPED);
            return;
        default:
            return;
    }
}

void XA_Player::DecodeSlice()
{
    size_t bytes = 0;
    // The decoder writes bytes; the buffer is 16-bit samples, as the format
    // was fixed to.
    int r = mpg123_read(mh, reinterpret_cast<unsigned char*>(slice.data()), slice.size() * sizeof(int16_t), &bytes);
    const size_t frameBytes = sizeof(int16_t) * static_cast<size_t>(channels);
    size_t frames = bytes / frameBytes;
    if (frames > 0) {
        int16_t* pcm = slice.data();
        ApplyVolume(pcm, frames);
        decodedFrames += static_cast<int64_t>(frames);
        om.write(out, pcm, frames);
    }
    if (r == MPG123_OK || r == MPG123_NEW_FORMAT) return;
    if (r == MPG123_DONE) {
        om.drain(out);
        {
            // A stop or seek that cut the drain short is carried out next;
            // the end of the input was not reached as far as the caller is
            // concerned.
            std::lock_guard<std::mutex> g(lock);
            if (quit) return;
            for (const Command& c : queue)
                if (CutsOutput(c.code)) return;
        }
        // The output stays open for a Play that may follow at once; Stop,
        // a new input or the player's end close it.
        NotifyPosition(startFrame + decodedFrames);
        NotifyState(XA_PLAYER_STATE_EOF);
        return;
    }
    // A stream that cannot be decoded further stops rather than reporting an
    // end of input, which the caller would answer by playing it again.
    CloseOutput();
    NotifyError(XA_MSG_COMMAND_PLAY, XA_ERROR_DECODE_FAILED);
    NotifyState(XA_PLAYER_STATE_STOPPED);
}

namespace {

int Enqueue(XA_Player* player, ArgKind kind, Command&& c)
{
    if (!player) return XA_ERROR_INVALID_PARAMETERS;
    ArgKind expected;
    if (!ExpectedKind(c.code, expected)) return XA_ERROR_NOT_SUPPORTED;
    if (expected != kind) return XA_ERROR_INVALID_PARAMETERS;
    try {
        std::lock_guard<std::mutex> g(player->lock);
        if (CutsOutput(c.code) && player->out) player->om.interrupt(player->out);
        player->queue.push_back(std::move(c));
    } catch (const std::bad_alloc&) {
        return XA_ERROR_OUT_OF_MEMORY;
    }
    player->wake.notify_one();
    return XA_SUCCESS;
}

int EnqueueString(XA_Player* player, ArgKind kind, int code, const char* s, long i1)
{
    if (!s) return XA_ERROR_INVALID_PARAMETERS;
    try {
        Command c;
        c.code = code;
        c.s1 = s;
        c.i1 = i1;
        return Enqueue(player, kind, std::move(c));
    } catch (const std::bad_alloc&) {
        return XA_ERROR_OUT_OF_MEMORY;
    }
}

}  // namespace

XA_EXPORT int player_new(XA_Player** player, const XA_NotificationTarget* target)
{
    if (!player) return XA_ERROR_INVALID_PARAMETERS;
    *player = nullptr;
#ifdef XA_REFUSE_PLAYERS
    (void)target;
    return XA_ERROR_THREAD;
#else
    if (mpg123_init() != MPG123_OK) return XA_FAILURE;
    auto* p = new (std::nothrow) XA_Player;
    if (!p) return XA_ERROR_OUT_OF_MEMORY;
    if (target) p->target = *target;
    try {
        // The thread's id is handed back before the player is, so that a
        // priority can be set on it at once.
        std::promise<pid_t> started;
        std::future<pid_t> tid = started.get_future();
        p->thread = std::thread([p, &started] {
            started.set_value(static_cast<pid_t>(syscall(SYS_gettid)));
            p->Run();
        });
        p->tid = tid.get();
    } catch (...) {
        delete p;
        return XA_ERROR_THREAD;
    }
    *player = p;
    return XA_SUCCESS;
#endif
}

XA_EXPORT int player_delete(XA_Player* player)
{
    if (!player) return XA_ERROR_INVALID_PARAMETERS;
    {
        std::lock_guard<std::mutex> g(player->lock);
        player->quit = true;
        if (player->out) player->om.interrupt(player->out);
    }
    player->wake.notify_one();
    if (player->thread.joinable()) player->thread.join();
    delete player;
    return XA_SUCCESS;
}

XA_EXPORT int player_set_priority(XA_Player* player, int priority)
{
    if (!player || priority < XA_PRIORITY_LOWEST || priority > XA_PRIORITY_HIGHEST) return XA_ERROR_INVALID_PARAMETERS;
    // The player thread's nice value.
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(player->tid), NiceFor(priority)) != 0) return XA_FAILURE;
    player->priority = priority;
    return XA_SUCCESS;
}

XA_EXPORT int player_get_priority(XA_Player* player)
{
    if (!player) return XA_ERROR_INVALID_PARAMETERS;
    return player->priority.load();
}

XA_EXPORT const char* xaudio_error_string(int code)
{
    switch (code) {
        case XA_SUCCESS:
            return "success";
        case XA_FAILURE:
            return "failure";
        case XA_ERROR_OUT_OF_MEMORY:
            return "out of memory";
        case XA_ERROR_INVALID_PARAMETERS:
            return "invalid parameters";
        case XA_ERROR_NOT_SUPPORTED:
            return "not supported";
        case XA_ERROR_NO_INPUT:
            return "no input open";
        case XA_ERROR_OPEN_FAILED:
            return "input cannot be opened";
        case XA_ERROR_DECODE_FAILED:
            return "input cannot be decoded";
        case XA_ERROR_SEEK_FAILED:
            return "input seek failed";
        case XA_ERROR_OUTPUT_MODULE:
            return "output module missing or unusable";
        case XA_ERROR_OUTPUT_FAILED:
            return "output cannot be opened";
        case XA_ERROR_THREAD:
            return "player thread cannot be started";
        default:
            return "unknown error";
    }
}

XA_EXPORT unsigned long xaudio_get_version(int which)
{
    switch (which) {
        case XA_API_ID_LIBRARY:
            return kLibraryVersion;
        case XA_API_ID_VERSION:
            return (static_cast<unsigned long>(XA_API_MAJOR) << 16) | (kApiMinor << 8) | kApiPatch;
        default:
            return 0;
    }
}

XA_EXPORT int control_message_send_N(XA_Player* player, int code)
{
    Command c;
    c.code = code;
    return Enqueue(player, ArgKind::N, std::move(c));
}

XA_EXPORT int control_message_send_P(XA_Player* player, int code, const void* /*data*/, unsigned long /*size*/)
{
    Command c;
    c.code = code;
    return Enqueue(player, ArgKind::P, std::move(c));
}

XA_EXPORT int control_message_send_S(XA_Player* player, int code, const char* s)
{
    return EnqueueString(player, ArgKind::S, code, s, 0);
}

XA_EXPORT int control_message_send_SS(XA_Player* player, int code, const char* s1, const char* s2)
{
    if (!s2) return XA_ERROR_INVALID_PARAMETERS;
    return EnqueueString(player, ArgKind::SS, code, s1, 0);
}

XA_EXPORT int control_message_send_SI(XA_Player* player, int code, const char* s, long i)
{
    return EnqueueString(player, ArgKind::SI, code, s, i);
}

XA_EXPORT int control_message_send_IPI(XA_Player* player, int code, long i1, const void* /*p*/, long i2)
{
    Command c;
    c.code = code;
    c.i1 = i1;
    c.i2 = i2;
    return Enqueue(player, ArgKind::IPI, std::move(c));
}

XA_EXPORT int control_message_send_I(XA_Player* player, int code, long i)
{
    Command c;
    c.code = code;
    c.i1 = i;
    return Enqueue(player, ArgKind::I, std::move(c));
}

XA_EXPORT int control_message_send_II(XA_Player* player, int code, long i1, long i2)
{
    Command c;
    c.code = code;
    c.i1 = i1;
    c.i2 = i2;
    return Enqueue(player, ArgKind::II, std::move(c));
}

XA_EXPORT int control_message_send_III(XA_Player* player, int code, long i1, long i2, long i3)
{
    Command c;
    c.code = code;
    c.i1 = i1;
    c.i2 = i2;
    c.i3 = i3;
    return Enqueue(player, ArgKind::III, std::move(c));
}

#ifndef XA_OMIT_SEND_IIII
XA_EXPORT int control_message_send_IIII(XA_Player* player, int code, long i1, long i2, long i3, long /*i4*/)
{
    Command c;
    c.code = code;
    c.i1 = i1;
    c.i2 = i2;
    c.i3 = i3;
    return Enqueue(player, ArgKind::IIII, std::move(c));
}
#endif

XA_EXPORT int control_win32_params_to_message(XA_Player* /*player*/, XA_Message* msg, unsigned int message,
                                              uint64_t wparam, int64_t lparam)
{
    if (!msg) return XA_ERROR_INVALID_PARAMETERS;
    std::memset(msg, 0, sizeof *msg);
    switch (message) {
        case XA_MSG_NOTIFY_PLAYER_STATE:
            msg->code = XA_MSG_NOTIFY_PLAYER_STATE;
            msg->data.player_state.state = static_cast<int>(wparam);
            return XA_SUCCESS;
        case XA_MSG_NOTIFY_INPUT_POSITION:
            msg->code = XA_MSG_NOTIFY_INPUT_POSITION;
            msg->data.input_position.frame = static_cast<int64_t>(wparam);
            msg->data.input_position.length = lparam;
            return XA_SUCCESS;
        case XA_MSG_NOTIFY_ERROR:
            msg->code = XA_MSG_NOTIFY_ERROR;
            msg->data.error.command = static_cast<int>(wparam);
            msg->data.error.result = static_cast<int>(lparam);
            return XA_SUCCESS;
        default:
            return XA_ERROR_INVALID_PARAMETERS;
    }
}

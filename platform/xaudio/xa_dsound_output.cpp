// The output module "xa_dsound_output.dll": plays the player's PCM through
// SDL2 audio. Where no audio device opens (a machine without a sound card,
// a driver that does not exist) it plays silently, paced by the clock, so the
// caller still runs at real-time pace and still reaches the end of its input.
#include "platform/xaudio/xaudio_api.h"

#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// About 190 ms at 44.1 kHz: short enough that a volume change is heard at
// once, long enough to ride over a late decoder slice.
constexpr size_t kQueueFrames = 8192;
constexpr Uint16 kDeviceFrames = 1024;
// How far the silent pacer lets the writer run ahead of the clock.
constexpr auto kPacerLead = std::chrono::milliseconds(100);
// A device whose callback stops pulling for this long is treated as gone;
// playback continues on the silent pacer.
constexpr auto kDeviceStall = std::chrono::seconds(2);

struct Output {
    int rate = 0;
    int channels = 0;
    SDL_AudioDeviceID device = 0;  // 0: silent pacer
    bool sdlStarted = false;

    std::mutex lock;
    std::condition_variable changed;
    bool interrupted = false;

    // Device mode: a ring of interleaved samples filled by write, emptied by
    // the SDL callback.
    std::vector<int16_t> ring;
    size_t ringRead = 0;  // in frames
    size_t ringFill = 0;  // in frames
    Clock::time_point lastPull;

    // Pacer mode: frames written since start, measured against the clock.
    Clock::time_point paceStart;
    uint64_t pacedFrames = 0;
};

void AudioCallback(void* userdata, Uint8* stream, int len)
{
    auto* o = static_cast<Output*>(userdata);
    const size_t frameBytes = sizeof(int16_t) * static_cast<size_t>(o->channels);
    size_t want = static_cast<size_t>(len) / frameBytes;
    {
        std::lock_guard<std::mutex> g(o->lock);
        size_t copied = 0;
        while (copied < want && o->ringFill > 0) {
            size_t run = std::min({want - copied, o->ringFill, kQueueFrames - o->ringRead});
            std::memcpy(stream + copied * frameBytes, o->ring.data() + o->ringRead * o->channels, run * frameBytes);
            o->ringRead = (o->ringRead + run) % kQueueFrames;
            o->ringFill -= run;
            copied += run;
        }
        // An underrun plays silence rather than stale samples.
        if (copied < want) std::memset(stream + copied * frameBytes, 0, (want - copied) * frameBytes);
        o->lastPull = Clock::now();
    }
    o->changed.notify_all();
}

std::chrono::nanoseconds FramesToTime(uint64_t frames, int rate)
{
    return std::chrono::nanoseconds(static_cast<int64_t>(frames * 1000000000ull / static_cast<uint64_t>(rate)));
}

// Called with the lock held: switch a stalled device to the pacer, keeping
// the queued frames' time as the lead.
void FallBackToPacer(Output* o)
{
    o->pacedFrames = o->ringFill;
    o->paceStart = Clock::now();
    o->ringFill = 0;
    SDL_AudioDeviceID dev = o->device;
    o->device = 0;
    // Closing waits for the callback, which takes the lock.
    o->lock.unlock();
    SDL_CloseAudioDevice(dev);
    o->lock.lock();
}

void* OutputOpen(const char* /*name*/, int rate, int channels, char* error, size_t errorSize)
{
    if (rate <= 0 || channels < 1 || channels > 8) {
        if (error && errorSize)
            std::snprintf(error, errorSize, "unsupported format: %d Hz, %d channels", rate, channels);
        return nullptr;
    }
    auto* o = new (std::nothrow) Output;
    if (!o) {
        if (error && errorSize) std::snprintf(error, errorSize, "out of memory");
        return nullptr;
    }
    o->rate = rate;
    o->channels = channels;
    o->ring.assign(kQueueFrames * static_cast<size_t>(channels), 0);
    o->paceStart = Clock::now();

    // The output name ("/dev/dsound/0") names a device of another system;
    // SDL's default device serves. SDL's audio brings up its events, which
    // by default catch SIGINT and SIGTERM to queue a quit event that nobody
    // here reads: the program would then ignore Ctrl+C and kill.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) == 0) {
        o->sdlStarted = true;
        SDL_AudioSpec want{};
        want.freq = rate;
        want.format = AUDIO_S16SYS;
        want.channels = static_cast<Uint8>(channels);
        want.samples = kDeviceFrames;
        want.callback = AudioCallback;
        want.userdata = o;
        SDL_AudioSpec have{};
        o->device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
        if (o->device != 0) {
            o->lastPull = Clock::now();
            SDL_PauseAudioDevice(o->device, 0);
        } else {
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
            o->sdlStarted = false;
        }
    }
    return o;
}

size_t OutputWrite(void* out, const int16_t* pcm, size_t frames)
{
    auto* o = static_cast<Output*>(out);
    std::unique_lock<std::mutex> g(o->lock);
    size_t done = 0;
    while (done < frames && !o->interrupted) {
        if (o->device != 0) {
            if (o->ringFill == kQueueFrames) {
                if (Clock::now() - o->lastPull > kDeviceStall) {
                    FallBackToPacer(o);
                    continue;
                }
                o->changed.wait_for(g, std::chrono::milliseconds(50));
                continue;
            }
            size_t writePos = (o->ringRead + o->ringFill) % kQueueFrames;
            size_t run = std::min({frames - done, kQueueFrames - o->ringFill, kQueueFrames - writePos});
            std::memcpy(o->ring.data() + writePos * o->channels, pcm + done * o->channels,
                        run * sizeof(int16_t) * static_cast<size_t>(o->channels));
            o->ringFill += run;
            done += run;
        } else {
            auto now = Clock::now();
            auto playedUntil = o->paceStart + FramesToTime(o->pacedFrames, o->rate);
            // After a gap (the writer was late) restart the clock instead of
            // racing to catch up.
            if (playedUntil < now) {
                o->paceStart = now;
                o->pacedFrames = 0;
                playedUntil = now;
            }
            if (playedUntil - now > kPacerLead) {
                o->changed.wait_until(g, playedUntil - kPacerLead);
                continue;
            }
            o->pacedFrames += frames - done;
            done = frames;
        }
    }
    return done;
}

void OutputDrain(void* out)
{
    auto* o = static_cast<Output*>(out);
    std::unique_lock<std::mutex> g(o->lock);
    while (!o->interrupted) {
        if (o->device != 0) {
            if (o->ringFill == 0) break;
            if (Clock::now() - o->lastPull > kDeviceStall) {
                FallBackToPacer(o);
                continue;
            }
            o->changed.wait_for(g, std::chrono::milliseconds(50));
        } else {
            auto playedUntil = o->paceStart + FramesToTime(o->pacedFrames, o->rate);
            if (Clock::now() >= playedUntil) break;
            o->changed.wait_until(g, playedUntil);
        }
    }
    if (o->device != 0 && !o->interrupted) {
        // The last callback's buffer is still in the device: give it its
        // time to be heard.
        auto tail = o->lastPull + FramesToTime(kDeviceFrames, o->rate);
        while (!o->interrupted && Clock::now() < tail) o->changed.wait_until(g, tail);
    }
}

void OutputFlush(void* out)
{
    auto* o = static_cast<Output*>(out);
    std::lock_guard<std::mutex> g(o->lock);
    o->ringRead = 0;
    o->ringFill = 0;
    o->pacedFrames = 0;
    o->paceStart = Clock::now();
    o->interrupted = false;
}

void OutputInterrupt(void* out)
{
    auto* o = static_cast<Output*>(out);
    {
        std::lock_guard<std::mutex> g(o->lock);
        o->interrupted = true;
    }
    o->changed.notify_all();
}

void OutputClose(void* out)
{
    auto* o = static_cast<Output*>(out);
    if (!o) return;
    if (o->device != 0) SDL_CloseAudioDevice(o->device);
    if (o->sdlStarted) SDL_QuitSubSystem(SDL_INIT_AUDIO);
    delete o;
}

// "OUTPUT.DIRECTSOUND.WINDOW" ties a DirectSound buffer to a window; SDL
// needs no window, so every name is accepted and ignored.
void OutputSetEnvironmentInteger(void* /*out*/, const char* /*name*/, long /*value*/) {}

}  // namespace

extern "C" __attribute__((visibility("default"))) int xa_output_module_query(XA_OutputModule* module, int apiVersion)
{
    if (!module) return XA_ERROR_INVALID_PARAMETERS;
    if (apiVersion != XA_OUTPUT_MODULE_API) return XA_ERROR_NOT_SUPPORTED;
    module->open = OutputOpen;
    module->write = OutputWrite;
    module->drain = OutputDrain;
    module->flush = OutputFlush;
    module->interrupt = OutputInterrupt;
    module->close = OutputClose;
    module->set_environment_integer = OutputSetEnvironmentInteger;
    return XA_SUCCESS;
}

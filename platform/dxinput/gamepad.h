// Game controllers through SDL2's game controller interface: every connected
// controller drives, with the same four states as the keyboard. Main thread
// only, and one instance at a time: it takes the process's SDL events, of
// which only controllers are of interest (the music module's SDL uses none).
#pragma once

#include "platform/dxinput/dxinput.h"

#include <string>
#include <vector>

struct _SDL_GameController;

class TGamepads {
public:
    // Starts SDL's game controller subsystem (apart from the music's audio
    // subsystem) and opens the controllers already plugged in. Without it
    // (SDL fails to start) no controller is ever seen; stderr says why.
    TGamepads();
    ~TGamepads();
    TGamepads(const TGamepads&) = delete;
    TGamepads& operator=(const TGamepads&) = delete;

    // Takes in controllers plugged in or pulled out since the last call and
    // returns the driving states held on any of them: the left stick or the
    // d-pad steers, the right trigger or A accelerates, the left trigger or
    // B brakes.
    TDXInputStates Poll();

    // The first connected controller's name as of the last Poll; empty
    // when none is connected.
    std::string Name() const;

private:
    void Open(int deviceIndex);
    void Close(int instanceId);

    bool started_ = false;
    std::vector<_SDL_GameController*> open_;
};

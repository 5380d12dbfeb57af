#include "platform/dxinput/gamepad.h"

#include <SDL.h>

#include <algorithm>
#include <iostream>

namespace {

// The car steers and pedals all or nothing: a stick counts past a third of
// its way (a worn stick rests off centre), a trigger past a quarter.
constexpr int StickThreshold = 32767 / 3;
constexpr int TriggerThreshold = 32767 / 4;

bool Held(SDL_GameController* c, SDL_GameControllerButton button)
{
    return SDL_GameControllerGetButton(c, button) != 0;
}

}  // namespace

TGamepads::TGamepads()
{
    // SDL would otherwise turn SIGINT and SIGTERM into quit events nobody
    // reads, and the program could no longer be stopped by them. Controllers
    // are read whichever window has the focus, as the keyboard is.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    SDL_SetHint(SDL_HINT_JOYSTICK_ALLOW_BACKGROUND_EVENTS, "1");
    if (SDL_InitSubSystem(SDL_INIT_GAMECONTROLLER) != 0) {
        std::cerr << "Gamepads: SDL's game controller subsystem does not start: " << SDL_GetError() << '\n';
        return;
    }
    started_ = true;
    // Controllers plugged in before the start: their added events went to
    // whoever started the subsystem first.
    for (int i = 0; i < SDL_NumJoysticks(); ++i) Open(i);
}

TGamepads::~TGamepads()
{
    for (SDL_GameController* c : open_) SDL_GameControllerClose(c);
    if (started_) SDL_QuitSubSystem(SDL_INIT_GAMECONTROLLER);
}

void TGamepads::Open(int deviceIndex)
{
    if (!SDL_IsGameController(deviceIndex)) return;
    const SDL_JoystickID id = SDL_JoystickGetDeviceInstanceID(deviceIndex);
    for (SDL_GameController* c : open_)
        if (SDL_JoystickInstanceID(SDL_GameControllerGetJoystick(c)) == id) return;
    if (SDL_GameController* c = SDL_GameControllerOpen(deviceIndex))
        open_.push_back(c);
    else
        std::cerr << "Gamepads: controller " << deviceIndex << " does not open: " << SDL_GetError() << '\n';
}

void TGamepads::Close(int instanceId)
{
    auto gone = std::find_if(open_.begin(), open_.end(), [instanceId](SDL_GameController* c) {
        return SDL_JoystickInstanceID(SDL_GameControllerGetJoystick(c)) == instanceId;
    });
    if (gone == open_.end()) return;
    SDL_GameControllerClose(*gone);
    open_.erase(gone);
}

TDXInputStates TGamepads::Poll()
{
    TDXInputStates s;
    if (!started_) return s;
    // Polling also brings the controllers' axes and buttons up to date.
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        if (event.type == SDL_CONTROLLERDEVICEADDED) Open(event.cdevice.which);     // a device index
        if (event.type == SDL_CONTROLLERDEVICEREMOVED) Close(event.cdevice.which);  // an instance id
    }
    for (SDL_GameController* c : open_) {
        if (!SDL_GameControllerGetAttached(c)) continue;  // pulled out, its event still to come
        const int steer = SDL_GameControllerGetAxis(c, SDL_CONTROLLER_AXIS_LEFTX);
        if (steer < -StickThreshold || Held(c, SDL_CONTROLLER_BUTTON_DPAD_LEFT)) s.set(StateLeft);
        if (steer > StickThreshold || Held(c, SDL_CONTROLLER_BUTTON_DPAD_RIGHT)) s.set(StateRight);
        if (SDL_GameControllerGetAxis(c, SDL_CONTROLLER_AXIS_TRIGGERRIGHT) > TriggerThreshold ||
            Held(c, SDL_CONTROLLER_BUTTON_A))
            s.set(StateUp);
        if (SDL_GameControllerGetAxis(c, SDL_CONTROLLER_AXIS_TRIGGERLEFT) > TriggerThreshold ||
            Held(c, SDL_CONTROLLER_BUTTON_B))
            s.set(StateDown);
    }
    return s;
}

std::string TGamepads::Name() const
{
    for (SDL_GameController* c : open_)
        if (SDL_GameControllerGetAttached(c)) {
            const char* name = SDL_GameControllerName(c);
            return name ? name : "Gamepad";
        }
    return {};
}

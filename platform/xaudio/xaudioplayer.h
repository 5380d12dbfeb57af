// The music player component: a thin wrapper over our MP3 library
// "xaudio.dll", loaded at run time from the program directory. Every
// operation makes sure the library is loaded and a player exists, then sends
// one control message; the library carries it out on its own thread. Its
// notifications reach the owner on the main (Qt) thread through a hidden
// QObject, so a QCoreApplication must exist before the component is made.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

class EXaudioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TXaudioPlayer {
public:
    // Creates the hidden window; raises "Cannot Create Hidden Window" when
    // there is no QCoreApplication to deliver notifications. Make it on the
    // main thread.
    TXaudioPlayer();
    // Deletes the player (its thread ends, nothing is posted any more), then
    // releases the library.
    ~TXaudioPlayer();
    TXaudioPlayer(const TXaudioPlayer&) = delete;
    TXaudioPlayer& operator=(const TXaudioPlayer&) = delete;

    // Settings, read when the library is first needed.
    // The library file; a bare file name is looked up in Directory.
    std::string XaudioPath = "xaudio.dll";
    // The player's priority (0 lowest .. 4 highest); 3 is the library's own
    // default and is never sent.
    int Priority = 3;
    // Where a bare XaudioPath is found; empty: the directory of the running
    // executable.
    std::string Directory;

    // Operations. Each may raise EXaudioError with one of the texts
    // "Cannot Load Xaudio DLL (<XaudioPath>)",
    // "Cannot Find Symbol <name> in Xaudio DLL",
    // "Xaudio DLL API Mismatch\rExpected 3.8, Got <major>.<minor>",
    // "Cannot Start Xaudio Player". The library's results are ignored.
    void OutputModuleRegister(const std::string& moduleName);  // file name beside xaudio.dll
    void SetOutputName(const std::string& name);
    void InputOpen(const std::string& path);
    // Moves to offset / range of the input's length (398 of 10000: 3.98 %).
    void InputSeek(long offset, long range);
    // Balance 0 (left) .. 50 (centre) .. 100 (right); PCM and master level
    // 0 .. 100; a negative value leaves that setting unchanged.
    void SetOutputVolume(int balance, int pcmLevel, int masterLevel);
    void SetPlayerEnvironmentInteger(const std::string& name, long value);
    void Play();
    void Stop();

    // The player's priority as the library reports it (makes sure the
    // player exists).
    int PlayerPriority();

    // The directory of the running executable, without a trailing '/'.
    static std::string ProgramDirectory();

    // Events, on the main thread. State: 0 stopped, 1 playing, 3 end of
    // input.
    std::function<void(TXaudioPlayer& sender, int state)> OnNotifyPlayerState;
    // The input position in sample frames after an open (0), a seek, and at
    // the end of the input (the frame reached by decoding).
    std::function<void(TXaudioPlayer& sender, int64_t frame, int64_t length)> OnNotifyInputPosition;
    // A control message that could not be carried out: its code, the
    // library's result code and text.
    std::function<void(TXaudioPlayer& sender, int command, int result, const std::string& text)> OnNotifyError;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// The player's choice of driving keys: which key each of the four driving
// states uses, changed on the controls page and kept in a small text file
// between starts. Only the first key of each driving state is the player's;
// the rest of the table stays as the game sets it.
#pragma once

#include "platform/dxinput/dxinput.h"

#include <array>
#include <filesystem>
#include <string>

// The four states the driving step reads, in the order the page lists them.
constexpr std::array<TDXInputState, 4> DrivingStates = {StateUp, StateDown, StateLeft, StateRight};

// $XDG_CONFIG_HOME/dunebolt/keys.conf, else ~/.config/dunebolt/keys.conf.
std::filesystem::path KeyAssignsPath();

// The game's table with the file's keys in place. A missing file gives the
// game's table silently; an unreadable or malformed one gives it too and
// says on stderr what was wrong, with the file and line.
TKeyAssigns ReadKeyAssigns(const std::filesystem::path& file);

// Writes the four driving keys, one line each, creating the folder.
// Returns false and fills error when the file cannot be written.
bool WriteKeyAssigns(const std::filesystem::path& file, const TKeyAssigns& assigns, std::string& error);

// Gives state the key; a driving state that had it takes state's old key,
// so no key ever drives two states.
void AssignKey(TKeyAssigns& assigns, TDXInputState state, int32_t key);

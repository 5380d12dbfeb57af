// A bot: a player of a session that the autopilot drives, run by the host's
// program as a child process without a window and without drawing. It
// joins, races and leaves through the session layer like any client, so a
// program without bots races with one that has them.
#pragma once

#include <string>

// How hard a bot drives: the fastest it goes.
enum class TBotSkill { Beginner = 0, Advanced = 1, Pro = 2 };
float BotTopSpeed(TBotSkill skill);

// The bot's command line: "--bot" NAME PORT SKILL, PORT being the host's
// game port on this machine.
inline constexpr const char* BotOption = "--bot";
// Runs a bot until its session ends, its host's program goes or it is told
// to stop (SIGTERM); the program's exit status.
int RunBot(int argc, char** argv);

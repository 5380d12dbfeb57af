// The start-up check that the graphics the game needs are usable: a display
// can be opened and an OpenGL 3.3 core context created on it.
#pragma once

// Before the application exists: can a display be opened at all?
bool DisplayAvailable();
// With the application: can an OpenGL 3.3 core context be created and made current?
bool OpenGL33Available();

// The message shown when either check fails.
extern const char* const GraphicsMissingMessage;

// Keys that place the cinema screen while it is up: Page Up / Page Down move it farther or
// nearer, Home / End make it larger or smaller, each saved to the INI. Render thread only.
#pragma once

namespace corvane {

// Reads the keys every frame (a key held down acts once); acts only while `screenUp` and the
// game's window has the focus. At most one key a frame; true when a value changed.
bool RunCinemaKeys(bool screenUp);

// One step of the same kind from elsewhere (a held controller or gamepad button), saved and
// logged under `by`. The caller makes sure the screen is up. True when the value changed.
enum class CinemaChange : unsigned char { Farther, Nearer, Larger, Smaller };
bool ChangeCinemaScreen(CinemaChange change, const char* by);

// Forgets the remembered key states (a new session starts with every key up).
void ResetCinemaKeys();

} // namespace corvane

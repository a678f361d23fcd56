// Numpad keys that line the right-eye picture up with the left one while the game runs,
// and the INI write-back of every live-tuned value. Render thread only.
#pragma once

namespace corvane {

// Handles at most one tuning key per frame; true when a live value changed.
bool RunLiveTuning();

// Forgets the remembered key states (a new session starts with every key up).
void ResetLiveTuningKeys();

// Each writes its key to section "VR" of the INI; true when the write succeeded.
bool WriteConvergenceToIni(float value);
bool WriteRightFrameScaleToIni(float value);
bool WriteRightFrameHorizontalOffsetToIni(float value);
bool WriteRightFrameVerticalOffsetToIni(float value);
bool WriteRightFrameRollDegreesToIni(float value);

} // namespace corvane

// The final camera and projection detours written together with the validation's breakpoints:
// one stop of the game's threads at the first device creation instead of one per site. The
// handlers must be set (SetDetourHandler) before the validation runs with this companion.
#pragma once

#include "platform/code_patch.h"

namespace corvane {

[[nodiscard]] const CodeSiteCompanion& GameplayDetourCompanion() noexcept;

} // namespace corvane

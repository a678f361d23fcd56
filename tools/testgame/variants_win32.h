// Variants of the stand-in that change exactly one contract while the game behaves the same:
// an equivalent encoding of one instruction, a routine reached from another call site, or
// one field of the loaded header. Applied on the main thread before anything else runs.
#pragma once

#include "game_world.h"

#include <string>

// Applies the named variant; false (with nothing changed) for an unknown name or a failed
// write. An empty name is the unchanged game.
bool ApplyVariant(const std::string& name, CallVariants& calls, std::string& error);
// One line per variant name.
std::string VariantList();

#include "game/game_bridge.h"

#include <memory>

namespace corvane {
namespace {

// Heap-held so the once-token can be replaced by ResetGameBridge.
std::unique_ptr<GameBridge> g_bridge = std::make_unique<GameBridge>();
GameHostSeam g_seam;

} // namespace

GameBridge& GetGameBridge() {
    return *g_bridge;
}

void SetGameHostSeam(const GameHostSeam& seam) {
    g_seam = seam;
}

const GameHostSeam& GetGameHostSeam() {
    return g_seam;
}

void ResetGameBridge() {
    g_bridge = std::make_unique<GameBridge>();
}

bool ResolveGameAddress(uint64_t rva, uint64_t width, uintptr_t& address) {
    const GameBridge& bridge = GetGameBridge();
    if (!bridge.ExecutableValidated || bridge.GameBase == 0 || width > bridge.GameSizeOfImage ||
        rva > bridge.GameSizeOfImage - width) {
        return false;
    }
    const uintptr_t result = bridge.GameBase + rva;
    if (result < bridge.GameBase) {
        return false;
    }
    address = result;
    return true;
}

} // namespace corvane

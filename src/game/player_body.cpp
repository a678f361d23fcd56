#include "game/player_body.h"

#include "game/executable_validation.h"
#include "game/first_person.h"
#include "game/game_bridge.h"
#include "game/guarded_memory.h"

#include <cmath>
#include <cstring>

namespace corvane {
namespace {

constexpr uint64_t kLowestPlausiblePointer = 0x10000;
constexpr size_t kPlayerObjectProbeSize = 32;
constexpr uint64_t kRegistryActiveSlotOffset = 0x70;
constexpr uint64_t kActorPlayerOffset = 4;
constexpr size_t kActorRecordSize = 0x99;
constexpr uint64_t kBodyAlphaOffset = 0x58;
constexpr uint64_t kBodyAlphaLastByteOffset = 0x5B;
constexpr uint64_t kBodyFlagsOffset = 0x98;

bool BodyFieldsWritable(uint64_t actor) {
    return actor % 4 == 0 && IsAddressWritable(actor + kBodyAlphaOffset) &&
           IsAddressWritable(actor + kBodyAlphaLastByteOffset) && IsAddressWritable(actor + kBodyFlagsOffset);
}

} // namespace

void ForgetBodyOverride() {
    GameBridge& bridge = GetGameBridge();
    bridge.BodyOverridden = false;
    bridge.BodyActor = 0;
    bridge.SavedBodyAlpha = 0;
    bridge.SavedBodyFlags = 0;
}

void RestoreBodyVisibilityOnExit(bool sameActor, uint64_t actor) {
    GameBridge& bridge = GetGameBridge();
    if (sameActor && bridge.BodyOverridden && actor == bridge.BodyActor && BodyFieldsWritable(actor) &&
        RestoreBodyVisibility(actor + kBodyAlphaOffset, actor + kBodyFlagsOffset, bridge.SavedBodyAlpha,
                              bridge.SavedBodyFlags)) {
        CameraLog("Tesh body visibility restored while leaving first person.");
    }
    ForgetBodyOverride();
}

bool ReadPlayerObject(uint64_t& pointer) {
    uint64_t value = 0;
    if (!ReadGameValue(kPlayerObjectRva, value) || value < kLowestPlausiblePointer ||
        !IsRangeReadable(value, kPlayerObjectProbeSize)) {
        return false;
    }
    pointer = value;
    return true;
}

bool ReadActiveActor(uint64_t playerObject, uint64_t& actor) {
    actor = 0;
    uint64_t registry = 0;
    if (!ReadGameValue(kActorRegistryRva, registry) || registry < kLowestPlausiblePointer ||
        registry + kRegistryActiveSlotOffset < registry) {
        return false;
    }
    uint64_t slot = 0;
    if (!ReadGuarded(registry + kRegistryActiveSlotOffset, slot) || slot < kLowestPlausiblePointer) {
        return false;
    }
    uint64_t active = 0;
    if (!ReadGuarded(slot, active) || active < kLowestPlausiblePointer ||
        active + kActorPlayerOffset != playerObject || !IsRangeReadable(active, kActorRecordSize)) {
        return false;
    }
    actor = active;
    return true;
}

bool ApplyPlayerBodyVisibility() {
    if (!IsExecutableValidated()) {
        return false;
    }
    GameBridge& bridge = GetGameBridge();
    if (!bridge.FirstPersonActive.load()) {
        return false;
    }
    uint32_t state = 0;
    if (!ReadGameValue(kCameraStateRva, state) || state != static_cast<uint32_t>(kFirstPersonCameraState)) {
        return false;
    }
    uint64_t player = 0;
    uint64_t actor = 0;
    if (!ReadPlayerObject(player) || player != bridge.EntryPlayerObject || player < kLowestPlausiblePointer ||
        !ReadActiveActor(player, actor) || actor != bridge.EntryActiveActor || actor % 4 != 0) {
        return false;
    }
    uint32_t alphaBits = 0;
    uint8_t flags = 0;
    if (!ReadGuarded(actor + kBodyAlphaOffset, alphaBits) || !ReadGuarded(actor + kBodyFlagsOffset, flags) ||
        !BodyFieldsWritable(actor)) {
        return false;
    }
    float alpha = 0.0f;
    std::memcpy(&alpha, &alphaBits, sizeof(alpha));
    if (!std::isfinite(alpha) || alpha < 0.0f || alpha > 1.0f) {
        return false;
    }
    if (!bridge.BodyOverridden) {
        bridge.SavedBodyFlags = flags;
        bridge.BodyActor = actor;
        bridge.SavedBodyAlpha = alphaBits;
        bridge.BodyOverridden = true;
    } else if (bridge.BodyActor != actor) {
        return false;
    }
    if (!ForceBodyVisible(actor + kBodyAlphaOffset, actor + kBodyFlagsOffset)) {
        return false;
    }
    if (!bridge.BodyVisibleLogged.exchange(true)) {
        CameraLog("Native Tesh body visibility restored for first person.");
    }
    return true;
}

} // namespace corvane

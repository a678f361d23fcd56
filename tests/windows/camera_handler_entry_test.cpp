// The camera handlers entered the way game code enters them: by a call instruction in
// executable memory, under the platform's x64 calling convention. Each handler must find that
// call's return address, recognise the one call site it serves, and hand the register
// arguments on to the game routine unchanged.
#include "core/settings.h"
#include "game/game_bridge.h"
#include "interception/game_detours.h"
#include "platform/win32/os_win32.h"
#include "stereo/final_camera.h"
#include "stereo/projection_override.h"
#include "stereo/stereo_state.h"
#include "vr/vr_presenter.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

namespace corvane {
namespace {

// A call site: reserves the callee's home space, calls the handler through rax and returns.
//   48 83 EC 28        sub rsp, 28h
//   48 B8 <imm64>      mov rax, handler
//   FF D0              call rax        <- returns to entry + 16
//   48 83 C4 28        add rsp, 28h
//   C3                 ret
constexpr size_t kSiteSize = 21;
constexpr size_t kReturnOffset = 16;

struct CallSite {
    uintptr_t entry = 0;
    uintptr_t returnAddress = 0;
};

class CallSites {
public:
    CallSites() {
        block_ =
            static_cast<uint8_t*>(VirtualAlloc(nullptr, 0x1000, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    }
    ~CallSites() {
        if (block_ != nullptr) {
            VirtualFree(block_, 0, MEM_RELEASE);
        }
    }
    CallSites(const CallSites&) = delete;
    CallSites& operator=(const CallSites&) = delete;

    // Writes one site per handler (all sites are made executable together by Seal).
    CallSite Add(uintptr_t handler) {
        uint8_t* site = block_ + used_;
        const uint8_t head[] = {0x48, 0x83, 0xEC, 0x28, 0x48, 0xB8};
        const uint8_t tail[] = {0xFF, 0xD0, 0x48, 0x83, 0xC4, 0x28, 0xC3};
        std::memcpy(site, head, sizeof head);
        std::memcpy(site + sizeof head, &handler, sizeof handler);
        std::memcpy(site + sizeof head + sizeof handler, tail, sizeof tail);
        used_ += 32;
        const auto entry = reinterpret_cast<uintptr_t>(site);
        return {entry, entry + kReturnOffset};
    }
    bool Seal() {
        DWORD old = 0;
        return block_ != nullptr && VirtualProtect(block_, 0x1000, PAGE_EXECUTE_READ, &old) != 0 &&
               FlushInstructionCache(GetCurrentProcess(), block_, used_) != 0;
    }

private:
    uint8_t* block_ = nullptr;
    size_t used_ = 0;
};

static_assert(kSiteSize <= 32);

struct CameraCall {
    const float* eye = nullptr;
    const float* target = nullptr;
    float eyeValue[3] = {};
    float targetValue[3] = {};
    uint32_t arg3 = 0;
};
std::vector<CameraCall> g_cameraCalls;

void GameCamera(float* eye, float* target, uint32_t arg3) {
    CameraCall call;
    call.eye = eye;
    call.target = target;
    std::memcpy(call.eyeValue, eye, sizeof call.eyeValue);
    std::memcpy(call.targetValue, target, sizeof call.targetValue);
    call.arg3 = arg3;
    g_cameraCalls.push_back(call);
}

struct ProjectionCall {
    uint32_t angle = 0;
    float aspect = 0.0f;
    float arg3 = 0.0f;
    float arg4 = 0.0f;
};
std::vector<ProjectionCall> g_projectionCalls;

// The game's routine as the game declares it, with single-precision further arguments.
void GameProjection(uint32_t angle, float aspect, float arg3, float arg4) {
    g_projectionCalls.push_back({angle, aspect, arg3, arg4});
}
using GameProjectionSite = void (*)(uint32_t, float, float, float);

class CameraHandlerEntry : public ::testing::Test {
protected:
    void SetUp() override {
        RecordOwnModule(GetModuleHandleW(nullptr));
        GetSettings() = Settings{};
        GetStereoState().cameraBuildSupported = true;
        GetStereoState().stereoActive = false;
        GetStereoState().stereoRendering = false;
        g_cameraCalls.clear();
        g_projectionCalls.clear();
    }
    void TearDown() override {
        PublishDetour(GameDetour::FinalCamera, 0, 0);
        PublishDetour(GameDetour::Projection, 0, 0);
        GetGameBridge().FirstPersonActive.store(false);
        VrPresenter& presenter = VrPresenter::Instance();
        std::lock_guard<std::mutex> lock(presenter.presenterMutex);
        presenter.Disconnect(0);
    }
};

TEST_F(CameraHandlerEntry, TheFinalCameraHandlerServesItsCallSiteOnly) {
    CallSites sites;
    const CallSite gameplay = sites.Add(reinterpret_cast<uintptr_t>(&OnFinalGameplayCamera));
    const CallSite other = sites.Add(reinterpret_cast<uintptr_t>(&OnFinalGameplayCamera));
    ASSERT_TRUE(sites.Seal());
    PublishDetour(GameDetour::FinalCamera, reinterpret_cast<uintptr_t>(&GameCamera), gameplay.returnAddress);

    // Direct head look with the head turned 90 degrees to the right.
    GetGameBridge().FirstPersonActive.store(true);
    {
        VrPresenter& presenter = VrPresenter::Instance();
        std::lock_guard<std::mutex> lock(presenter.headPoseMutex);
        presenter.headPoseSample = HeadPoseSample{};
        presenter.headPoseSample.valid = true;
        presenter.headPoseSample.referenceEpoch = 3;
        presenter.headPoseSample.relativeOrientation[1] = -std::sqrt(0.5f);
        presenter.headPoseSample.relativeOrientation[3] = std::sqrt(0.5f);
    }

    float eye[3] = {0.0f, 1.0f, 0.0f};
    float target[3] = {0.0f, 1.0f, -10.0f};
    reinterpret_cast<FinalCameraRoutine>(gameplay.entry)(eye, target, 0xA5C3u);
    ASSERT_EQ(1u, g_cameraCalls.size());
    EXPECT_NE(eye, g_cameraCalls[0].eye);
    EXPECT_EQ(0xA5C3u, g_cameraCalls[0].arg3);
    EXPECT_NEAR(10.0f, g_cameraCalls[0].targetValue[0], 1e-4f);
    EXPECT_NEAR(0.0f, g_cameraCalls[0].targetValue[2], 1e-4f);
    EXPECT_EQ(-10.0f, target[2]) << "the game's own target is not written";

    reinterpret_cast<FinalCameraRoutine>(other.entry)(eye, target, 7u);
    ASSERT_EQ(2u, g_cameraCalls.size());
    EXPECT_EQ(eye, g_cameraCalls[1].eye);
    EXPECT_EQ(target, g_cameraCalls[1].target);
    EXPECT_EQ(7u, g_cameraCalls[1].arg3);
}

TEST_F(CameraHandlerEntry, TheProjectionHandlerReplacesAngleAndAspectAtItsCallSiteOnly) {
    {
        VrPresenter& presenter = VrPresenter::Instance();
        std::lock_guard<std::mutex> lock(presenter.presenterMutex);
        ASSERT_TRUE(presenter.EnsureConnected()) << presenter.lastErrorText;
    }
    ProjectionInfo info;
    ASSERT_TRUE(VrPresenter::Instance().GetProjectionInfo(info));
    RenderFrustum expected;
    ASSERT_TRUE(ComputeRenderFrustum(info.commonTanX, info.commonTanY, 1.0f, expected));

    CallSites sites;
    const CallSite gameplay = sites.Add(reinterpret_cast<uintptr_t>(&OnGameplayProjection));
    const CallSite other = sites.Add(reinterpret_cast<uintptr_t>(&OnGameplayProjection));
    ASSERT_TRUE(sites.Seal());
    PublishDetour(GameDetour::Projection, reinterpret_cast<uintptr_t>(&GameProjection),
                  gameplay.returnAddress);

    GetStereoState().projectionHookSeen.store(false);
    GetStereoState().stereoRendering = true; // a first-person frame
    reinterpret_cast<GameProjectionSite>(gameplay.entry)(12000u, 1.5f, 0.25f, 1000.0f);
    ASSERT_EQ(1u, g_projectionCalls.size());
    EXPECT_EQ(expected.angle, g_projectionCalls[0].angle);
    EXPECT_EQ(expected.aspect, g_projectionCalls[0].aspect);
    EXPECT_EQ(0.25f, g_projectionCalls[0].arg3);
    EXPECT_EQ(1000.0f, g_projectionCalls[0].arg4);
    EXPECT_TRUE(GetStereoState().projectionHookSeen.exchange(false));

    reinterpret_cast<GameProjectionSite>(other.entry)(12000u, 1.5f, 0.25f, 1000.0f);
    ASSERT_EQ(2u, g_projectionCalls.size());
    EXPECT_EQ(12000u, g_projectionCalls[1].angle);
    EXPECT_EQ(1.5f, g_projectionCalls[1].aspect);
    EXPECT_EQ(0.25f, g_projectionCalls[1].arg3);
    EXPECT_EQ(1000.0f, g_projectionCalls[1].arg4);
    EXPECT_FALSE(GetStereoState().projectionHookSeen.load());
}

} // namespace
} // namespace corvane

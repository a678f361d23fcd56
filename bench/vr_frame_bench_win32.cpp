// What the program adds to a game frame at 1920 x 1080 on a real Direct3D 11 device and the
// stand-in OpenVR runtime, measured in one run: the whole frame (device idle at its end) with
// and without the Present hook's work (RunFrame before the real Present, AfterPresent after
// it), the time inside those calls against the time inside the game's own calls (clear,
// draws, Present), with hands hidden and shown; and the heap allocations per frame of that
// work in steady state and on the failure paths a player can sit in for minutes: VR
// unavailable, WaitGetPoses failing, eye-target creation failing every frame; and those of a
// log line. Run under Wine; prints a table.
#include "allocation_counter.h"
#include "program/frame_driver.h"
#include "core/log.h"
#include "core/settings.h"
#include "hands/hand_batch.h"
#include "hands/hand_pipeline_win32.h"
#include "platform/win32/os_win32.h"
#include "stereo/stereo_state.h"
#include "vr/vr_presenter.h"
#include "device_slot_override.h"
#include "vr_game_swap_chain.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <algorithm>
#include <vector>

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;

constexpr UINT kWidth = 1920;
constexpr UINT kHeight = 1080;
constexpr int kGameDraws = 200;
constexpr int kWarmUpFrames = 10;
constexpr int kRounds = 8;
constexpr int kFramesPerRound = 20;
constexpr int kFailureFrames = 40;
constexpr int kRetryFrames = 3;
// ID3D11Device::CreateTexture2D.
constexpr int kDeviceCreateTexture2DSlot = 5;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::wstring Beside(const wchar_t* file) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path);
    return directory.substr(0, directory.find_last_of(L"\\/") + 1) + file;
}

// The game's side: a clear and a few hundred small draws, then Present.
class GameFrame {
public:
    bool Create() {
        if (!game.Create(kWidth, kHeight)) {
            std::fprintf(stderr, "%s\n", game.failure.c_str());
            return false;
        }
        std::string failure;
        if (!CreateHandResources(game.device.Get(), objects, failure)) {
            std::fprintf(stderr, "%s\n", failure.c_str());
            return false;
        }
        ComPtr<ID3D11Texture2D> backbuffer;
        game.swapChain->GetBuffer(0, __uuidof(ID3D11Texture2D), reinterpret_cast<void**>(backbuffer.Put()));
        return SUCCEEDED(game.device->CreateRenderTargetView(backbuffer.Get(), nullptr, target.Put()));
    }

    void Draw() {
        ID3D11DeviceContext* context = game.context.Get();
        const float clear[4] = {0.2f, 0.3f, 0.4f, 1.0f};
        context->ClearRenderTargetView(target.Get(), clear);
        ID3D11RenderTargetView* targets[1] = {target.Get()};
        context->OMSetRenderTargets(1, targets, nullptr);
        const D3D11_VIEWPORT viewport{0.0f, 0.0f, static_cast<float>(kWidth), static_cast<float>(kHeight),
                                      0.0f, 1.0f};
        context->RSSetViewports(1, &viewport);
        context->IASetInputLayout(objects.inputLayout.Get());
        context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
        ID3D11Buffer* vertexBuffer = objects.vertexBuffer.Get();
        const UINT stride = kHandVertexStride;
        const UINT offset = 0;
        context->IASetVertexBuffers(0, 1, &vertexBuffer, &stride, &offset);
        context->IASetIndexBuffer(objects.indexBuffer.Get(), DXGI_FORMAT_R16_UINT, 0);
        context->VSSetShader(objects.vertexShader.Get(), nullptr, 0);
        context->PSSetShader(objects.pixelShader.Get(), nullptr, 0);
        context->RSSetState(objects.rasterizerState.Get());
        for (int i = 0; i < kGameDraws; ++i) {
            D3D11_MAPPED_SUBRESOURCE mapped{};
            if (SUCCEEDED(context->Map(vertexBuffer, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped))) {
                const float scale = 0.1f;
                const float x = -0.9f + 1.8f * static_cast<float>(i % 20) / 19.0f;
                const float y = -0.9f + 1.8f * static_cast<float>(i / 20) / 9.0f;
                const Matrix44 matrix{
                    {{scale, 0, 0, x}, {0, scale, 0, y}, {0, 0, scale, 0.5f}, {0, 0, 0, 1}}};
                HandVertex corners[kBoxCorners];
                PlaceBox(matrix, HandColour{0.8f, 0.4f, 0.1f, 1.0f}, corners);
                std::memcpy(mapped.pData, corners, sizeof(corners));
                context->Unmap(vertexBuffer, 0);
            }
            context->DrawIndexed(kHandCubeIndexCount, 0, 0);
        }
    }

    void Present() { game.Present(); }

    vr_test::GameSwapChain game;
    HandResources objects;
    ComPtr<ID3D11RenderTargetView> target;
};

// One configuration's frames.
struct Samples {
    std::vector<double> frameSeconds;    // whole frame, the device idle again at its end
    std::vector<double> gameCallSeconds; // inside the game's calls: clear, draws, Present
    std::vector<double> programSeconds;  // inside RunFrame + AfterPresent
    uint64_t allocations = 0;            // operator new calls inside RunFrame + AfterPresent
    int framesWithAllocations = 0;
    int submitted = 0;
};

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// What the game's camera and projection detours report on every gameplay frame, so the
// frame driver runs AER pairs as in the game.
void ReportGameplayFrame() {
    StereoState& stereo = GetStereoState();
    stereo.eyeCameraApplied.store(true);
    stereo.projectionHookSeen.store(true);
}

bool SubmittedThisFrame() {
    VrPresenter& presenter = VrPresenter::Instance();
    std::lock_guard<std::mutex> lock(presenter.presenterMutex);
    return presenter.submittedThisFrame;
}

// Frames of one configuration, each as the Present hook runs it; each ends with the device
// idle, so the GPU work the program queues (copies, hands) is paid inside the frame that
// queued it.
void RunFrames(GameFrame& game, bool withProgram, ID3D11Query* idle, int count, bool measured,
               Samples& samples) {
    for (int frame = 0; frame < count; ++frame) {
        const Clock::time_point start = Clock::now();
        game.Draw();
        if (withProgram) {
            ReportGameplayFrame();
        }
        const Clock::time_point drawn = Clock::now();
        uint64_t allocationsBefore = testing_support::AllocationCount();
        if (withProgram) {
            RunFrame(game.game.SwapChain());
        }
        uint64_t allocations = testing_support::AllocationCount() - allocationsBefore;
        const Clock::time_point rendered = Clock::now();
        const bool submitted = withProgram && SubmittedThisFrame();
        game.Present();
        const Clock::time_point presented = Clock::now();
        allocationsBefore = testing_support::AllocationCount();
        if (withProgram) {
            VrPresenter::Instance().AfterPresent();
        }
        allocations += testing_support::AllocationCount() - allocationsBefore;
        const Clock::time_point handedOff = Clock::now();
        game.game.context->End(idle);
        while (game.game.context->GetData(idle, nullptr, 0, 0) == S_FALSE) {
            YieldProcessor();
        }
        const Clock::time_point end = Clock::now();
        if (measured) {
            samples.frameSeconds.push_back(Seconds(end - start));
            samples.gameCallSeconds.push_back(Seconds(drawn - start) + Seconds(presented - rendered));
            samples.programSeconds.push_back(Seconds(rendered - drawn) + Seconds(handedOff - presented));
            samples.allocations += allocations;
            samples.framesWithAllocations += allocations != 0 ? 1 : 0;
            samples.submitted += submitted ? 1 : 0;
        }
    }
}

double PerFrame(const Samples& s) {
    return s.frameSeconds.empty() ? 0.0 : static_cast<double>(s.allocations) / s.frameSeconds.size();
}

void ReportTiming(const char* name, const Samples& s, double gameFrame, double gameCalls) {
    const double frame = Median(s.frameSeconds);
    const double program = Median(s.programSeconds);
    std::printf(
        "%-28s frame %7.3f ms (+%5.1f%% of the game's)  in the program's calls %6.3f ms (%5.1f%% of the "
        "game's calls)  submitted %d/%zu\n",
        name, frame * 1e3, gameFrame > 0.0 ? (frame - gameFrame) / gameFrame * 100.0 : 0.0, program * 1e3,
        gameCalls > 0.0 ? program / gameCalls * 100.0 : 0.0, s.submitted, s.frameSeconds.size());
}

void ReportAllocations(const char* name, const Samples& s) {
    std::printf("%-28s allocations %.2f/frame (%d of %zu frames allocated)  submitted %d  median %.3f ms in "
                "the program's calls\n",
                name, PerFrame(s), s.framesWithAllocations, s.frameSeconds.size(), s.submitted,
                Median(s.programSeconds) * 1e3);
}

// Points the stand-in runtime at a new scenario and drops the program's connection, so the
// next frame connects to the runtime as that scenario describes it.
void UseScenario(const std::wstring& path, const char* text) {
    if (std::FILE* file = _wfopen(path.c_str(), L"wb")) {
        std::fputs(text, file);
        std::fclose(file);
    }
    SetEnvironmentVariableW(L"VRSIM_SCENARIO", path.c_str());
    if (const HMODULE runtime = GetModuleHandleW(L"openvr_api.dll")) {
        if (const auto reset = reinterpret_cast<void (*)()>(
                reinterpret_cast<void*>(GetProcAddress(runtime, "VRSim_Reset")))) {
            reset();
        }
    }
    VrPresenter& presenter = VrPresenter::Instance();
    std::lock_guard<std::mutex> lock(presenter.presenterMutex);
    presenter.Disconnect(0);
}

// A failure path: a few frames to get into it (the first attempt fails and starts the
// reconnection wait), then measured frames as the player sits in it, then frames that reach
// the runtime again because the wait is over.
void RunFailure(GameFrame& game, ID3D11Query* idle, Samples& sitting, Samples& retrying) {
    RunFrames(game, true, idle, kWarmUpFrames, false, sitting);
    RunFrames(game, true, idle, kFailureFrames, true, sitting);
    for (int i = 0; i < kRetryFrames; ++i) {
        AdvanceSteadyClockForTests(kReconnectIntervalNs);
        RunFrames(game, true, idle, 1, true, retrying);
    }
}

HRESULT STDMETHODCALLTYPE FailCreateTexture2D(ID3D11Device*, const D3D11_TEXTURE2D_DESC*,
                                              const D3D11_SUBRESOURCE_DATA*, ID3D11Texture2D**) {
    return E_OUTOFMEMORY;
}

int Main() {
    RecordOwnModule(GetModuleHandleW(nullptr));
    // No pair-age limit: this machine renders far below headset rates, and a late eye would
    // turn the steady state into a stream of dropped pairs.
    const std::wstring ini = Beside(L"CorvaneVR.ini");
    if (std::FILE* file = _wfopen(ini.c_str(), L"wb")) {
        std::fputs("[VR]\r\nAERMaxPairIntervalMs=0\r\n", file);
        std::fclose(file);
    }
    // Controllers in front of the headset so the hands are in view; the runtime's call log
    // goes nowhere, so its file writes do not count against the program.
    const std::wstring scenario = Beside(L"bench_scenario.txt");
    const char* const steady =
        "log queries off\ncontroller 1 key 1 -0.1 1.5 -0.35 0 0 0\ncontroller 2 key 1 0.1 "
        "1.5 -0.35 0 0 0\n";
    if (std::FILE* file = _wfopen(scenario.c_str(), L"wb")) {
        std::fputs(steady, file);
        std::fclose(file);
    }
    SetEnvironmentVariableW(L"VRSIM_SCENARIO", scenario.c_str());
    SetEnvironmentVariableW(L"VRSIM_LOG", L"NUL");

    GameFrame game;
    if (!game.Create()) {
        return 1;
    }
    D3D11_QUERY_DESC queryDesc{D3D11_QUERY_EVENT, 0};
    ComPtr<ID3D11Query> idle;
    if (FAILED(game.game.device->CreateQuery(&queryDesc, idle.Put()))) {
        std::fprintf(stderr, "ID3D11Device::CreateQuery failed\n");
        return 1;
    }
    // The first frame reads the INI and connects; everything after it is measured as set here.
    Samples startup;
    RunFrames(game, true, idle.Get(), 1, false, startup);
    if (GetSettings().AERMaxPairIntervalMs != 0) {
        std::fprintf(stderr, "the bench INI was not read\n");
        return 1;
    }

    // Steady state: the three configurations take turns, so a slow stretch of the machine hits
    // all of them.
    Samples alone;
    Samples withoutHands;
    Samples withHands;
    const auto runRound = [&](int frames, bool measured) {
        RunFrames(game, false, idle.Get(), frames, measured, alone);
        GetSettings().VisibleHands = false;
        RunFrames(game, true, idle.Get(), frames, measured, withoutHands);
        GetSettings().VisibleHands = true;
        RunFrames(game, true, idle.Get(), frames, measured, withHands);
    };
    runRound(kWarmUpFrames, false);
    for (int round = 0; round < kRounds; ++round) {
        runRound(kFramesPerRound, true);
    }

    // Failure paths, hands shown.
    Samples unavailable;
    Samples unavailableRetry;
    UseScenario(Beside(L"bench_unavailable.txt"), "runtime_installed no\n");
    RunFailure(game, idle.Get(), unavailable, unavailableRetry);

    Samples waitFailing;
    Samples waitFailingRetry;
    UseScenario(Beside(L"bench_wait_failing.txt"), "log queries off\nwait_error 101 1..\n");
    RunFailure(game, idle.Get(), waitFailing, waitFailingRetry);

    UseScenario(scenario, steady);
    RunFrames(game, true, idle.Get(), kWarmUpFrames, false, startup);
    Samples targetsFailing;
    {
        // Eye textures cannot be made any more: every frame tries again and fails.
        testing_support::DeviceSlotOverride failing(game.game.device.Get(), kDeviceCreateTexture2DSlot,
                                                    reinterpret_cast<void*>(&FailCreateTexture2D));
        {
            VrPresenter& presenter = VrPresenter::Instance();
            std::lock_guard<std::mutex> lock(presenter.presenterMutex);
            presenter.ReleaseEyeTargets();
        }
        RunFrames(game, true, idle.Get(), kWarmUpFrames, false, targetsFailing);
        RunFrames(game, true, idle.Get(), kFailureFrames, true, targetsFailing);
    }

    std::printf("%u x %u, %d game draws per frame, staged AER, %d frames per steady configuration\n", kWidth,
                kHeight, kGameDraws, kRounds * kFramesPerRound);
    const double gameFrame = Median(alone.frameSeconds);
    const double gameCalls = Median(alone.gameCallSeconds);
    ReportTiming("game alone", alone, gameFrame, gameCalls);
    ReportTiming("program, no hands", withoutHands, gameFrame, gameCalls);
    ReportTiming("program, hands", withHands, gameFrame, gameCalls);
    std::printf("\nheap allocations inside RunFrame + AfterPresent\n");
    Samples steadyState = withoutHands;
    steadyState.frameSeconds.insert(steadyState.frameSeconds.end(), withHands.frameSeconds.begin(),
                                    withHands.frameSeconds.end());
    steadyState.programSeconds.insert(steadyState.programSeconds.end(), withHands.programSeconds.begin(),
                                      withHands.programSeconds.end());
    steadyState.allocations += withHands.allocations;
    steadyState.framesWithAllocations += withHands.framesWithAllocations;
    steadyState.submitted += withHands.submitted;
    ReportAllocations("steady state", steadyState);
    ReportAllocations("VR unavailable", unavailable);
    ReportAllocations("WaitGetPoses failing", waitFailing);
    ReportAllocations("eye targets failing", targetsFailing);
    std::printf(
        "frames that retry the connection after the 10 s wait (not per frame: one such frame every 10 s)\n");
    ReportAllocations("  VR unavailable", unavailableRetry);
    ReportAllocations("  WaitGetPoses failing", waitFailingRetry);

    // A line logged on a change of state, by any thread; the first line of the process has
    // already looked the log file up.
    constexpr int kLogLines = 100;
    const uint64_t logAllocationsBefore = testing_support::AllocationCount();
    for (int line = 0; line < kLogLines; ++line) {
        LogMessage("Benchmark line %d of %d: %s %.4f", line, kLogLines, "text", 0.5 * line);
    }
    std::printf("log line                     allocations %.2f/line\n",
                static_cast<double>(testing_support::AllocationCount() - logAllocationsBefore) / kLogLines);
    const std::string error = VrPresenter::Instance().LastError();
    if (!error.empty()) {
        std::printf("last presenter error: %s\n", error.c_str());
    }
    VrPresenter& presenter = VrPresenter::Instance();
    std::lock_guard<std::mutex> lock(presenter.presenterMutex);
    presenter.Disconnect(0);
    return 0;
}

} // namespace
} // namespace corvane

int main() {
    return corvane::Main();
}

// What the presenter adds to a game frame at 1920 x 1080 on a real Direct3D 11 device and the
// stand-in OpenVR runtime, measured in one run: the whole frame (device idle at its end) with
// and without RenderFrame + AfterPresent, the time inside those calls against the time inside
// the game's own calls (clear, draws, Present), with hands hidden and shown, and the heap
// allocations of a steady-state frame. Run under Wine; prints a table.
#include "core/settings.h"
#include "hands/hand_pipeline_win32.h"
#include "platform/win32/os_win32.h"
#include "vr/vr_presenter.h"
#include "vr_game_swap_chain.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <new>
#include <vector>

namespace {

std::atomic<uint64_t> g_allocations{0};

} // namespace

// Every allocation of this program goes through here, so a frame's count is exact.
void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* block = std::malloc(size != 0 ? size : 1)) {
        return block;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete[](void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;

constexpr UINT kWidth = 1920;
constexpr UINT kHeight = 1080;
constexpr int kGameDraws = 200;
constexpr int kWarmUpFrames = 10;
constexpr int kRounds = 8;
constexpr int kFramesPerRound = 20;

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
        ID3D11Buffer* constants = objects.constantBuffer.Get();
        context->VSSetConstantBuffers(0, 1, &constants);
        context->PSSetConstantBuffers(0, 1, &constants);
        context->RSSetState(objects.rasterizerState.Get());
        for (int i = 0; i < kGameDraws; ++i) {
            D3D11_MAPPED_SUBRESOURCE mapped{};
            if (SUCCEEDED(context->Map(constants, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped))) {
                float* values = static_cast<float*>(mapped.pData);
                const float scale = 0.1f;
                const float x = -0.9f + 1.8f * static_cast<float>(i % 20) / 19.0f;
                const float y = -0.9f + 1.8f * static_cast<float>(i / 20) / 9.0f;
                const float matrix[16] = {scale, 0, 0, x, 0, scale, 0, y, 0, 0, scale, 0.5f, 0, 0, 0, 1};
                const float colour[4] = {0.8f, 0.4f, 0.1f, 1.0f};
                std::copy(std::begin(matrix), std::end(matrix), values);
                std::copy(std::begin(colour), std::end(colour), values + 16);
                context->Unmap(constants, 0);
            }
            context->DrawIndexed(kHandCubeIndexCount, 0, 0);
        }
    }

    void Present() { game.Present(); }

    vr_test::GameSwapChain game;
    HandResources objects;
    ComPtr<ID3D11RenderTargetView> target;
};

// One presenter configuration's frames.
struct Samples {
    std::vector<double> frameSeconds;     // whole frame, the device idle again at its end
    std::vector<double> gameCallSeconds;  // inside the game's calls: clear, draws, Present
    std::vector<double> presenterSeconds; // inside RenderFrame + AfterPresent
    uint64_t allocations = 0;             // operator new calls inside RenderFrame + AfterPresent
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

// Frames of one configuration; each ends with the device idle, so the GPU work the presenter
// queues (copies, hands) is paid inside the frame that queued it.
void RunFrames(GameFrame& game, VrPresenter* presenter, ID3D11Query* idle, int count, bool measured,
               Samples& samples) {
    for (int frame = 0; frame < count; ++frame) {
        const Clock::time_point start = Clock::now();
        game.Draw();
        const Clock::time_point drawn = Clock::now();
        uint64_t allocationsBefore = g_allocations.load();
        bool submitted = false;
        if (presenter != nullptr) {
            const uint32_t eye = static_cast<uint32_t>(frame % 2);
            FrameRequest request;
            request.eye = eye;
            request.pairValid = true;
            request.commonProjection = true;
            submitted = presenter->RenderFrame(game.game.SwapChain(), request);
        }
        uint64_t allocations = g_allocations.load() - allocationsBefore;
        const Clock::time_point rendered = Clock::now();
        game.Present();
        const Clock::time_point presented = Clock::now();
        allocationsBefore = g_allocations.load();
        if (presenter != nullptr) {
            presenter->AfterPresent();
        }
        allocations += g_allocations.load() - allocationsBefore;
        const Clock::time_point handedOff = Clock::now();
        game.game.context->End(idle);
        while (game.game.context->GetData(idle, nullptr, 0, 0) == S_FALSE) {
            YieldProcessor();
        }
        const Clock::time_point end = Clock::now();
        if (measured) {
            samples.frameSeconds.push_back(Seconds(end - start));
            samples.gameCallSeconds.push_back(Seconds(drawn - start) + Seconds(presented - rendered));
            samples.presenterSeconds.push_back(Seconds(rendered - drawn) + Seconds(handedOff - presented));
            samples.allocations += allocations;
            samples.framesWithAllocations += allocations != 0 ? 1 : 0;
            samples.submitted += submitted ? 1 : 0;
        }
    }
}

void Report(const char* name, const Samples& s, double gameFrame, double gameCalls) {
    const double frame = Median(s.frameSeconds);
    const double presenter = Median(s.presenterSeconds);
    std::printf(
        "%-20s frame %7.3f ms (+%5.1f%% of the game's)  in presenter calls %6.3f ms (%5.1f%% of the game's "
        "calls)  allocations %.2f/frame (%d frames allocated)  submitted %d/%zu\n",
        name, frame * 1e3, gameFrame > 0.0 ? (frame - gameFrame) / gameFrame * 100.0 : 0.0, presenter * 1e3,
        gameCalls > 0.0 ? presenter / gameCalls * 100.0 : 0.0,
        s.frameSeconds.empty() ? 0.0 : static_cast<double>(s.allocations) / s.frameSeconds.size(),
        s.framesWithAllocations, s.submitted, s.frameSeconds.size());
}

int Main() {
    RecordOwnModule(GetModuleHandleW(nullptr));
    // Controllers in front of the headset so the hands are in view; the runtime's call log
    // goes nowhere, so its file writes do not count against the presenter.
    const std::wstring scenario = Beside(L"bench_scenario.txt");
    if (std::FILE* file = _wfopen(scenario.c_str(), L"wb")) {
        std::fputs("log queries off\ncontroller 1 key 1 -0.1 1.5 -0.35 0 0 0\ncontroller 2 key 1 0.1 1.5 "
                   "-0.35 0 0 0\n",
                   file);
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
    GetSettings() = Settings{};
    // No pair-age limit: this machine renders far below headset rates, and a late eye would
    // turn the steady state into a stream of dropped pairs.
    GetSettings().AERMaxPairIntervalMs = 0;
    VrPresenter presenter;

    // The three configurations take turns, so a slow stretch of the machine hits all of them.
    Samples alone;
    Samples withoutHands;
    Samples withHands;
    const auto runRound = [&](int frames, bool measured) {
        RunFrames(game, nullptr, idle.Get(), frames, measured, alone);
        GetSettings().VisibleHands = false;
        RunFrames(game, &presenter, idle.Get(), frames, measured, withoutHands);
        GetSettings().VisibleHands = true;
        RunFrames(game, &presenter, idle.Get(), frames, measured, withHands);
    };
    runRound(kWarmUpFrames, false);
    for (int round = 0; round < kRounds; ++round) {
        runRound(kFramesPerRound, true);
    }

    std::printf("%u x %u, %d game draws per frame, staged AER, %d frames per configuration\n", kWidth,
                kHeight, kGameDraws, kRounds * kFramesPerRound);
    const double gameFrame = Median(alone.frameSeconds);
    const double gameCalls = Median(alone.gameCallSeconds);
    Report("game alone", alone, gameFrame, gameCalls);
    Report("presenter, no hands", withoutHands, gameFrame, gameCalls);
    Report("presenter, hands", withHands, gameFrame, gameCalls);
    const std::string error = presenter.LastError();
    if (!error.empty()) {
        std::printf("last presenter error: %s\n", error.c_str());
    }
    std::lock_guard<std::mutex> lock(presenter.presenterMutex);
    presenter.Disconnect(0);
    return 0;
}

} // namespace
} // namespace corvane

int main() {
    return corvane::Main();
}

// What the context handlers add to the game's ordinary calls on a real Direct3D 11 device:
// Map/Unmap of a buffer that is neither the camera nor the HUD buffer, Draw, DrawIndexed and
// VSSetConstantBuffers, each timed through the hooked table against a direct call of the real
// entry point the table held before (the unhooked cost), in interleaved rounds of one run;
// and the heap allocations per intercepted call. Run under Wine; prints a table.
#include "allocation_counter.h"
#include "hands/hand_pipeline_win32.h"
#include "interception/context_entries_win32.h"
#include "interception/device_hooks_win32.h"
#include "platform/win32/com_ptr_win32.h"
#include "platform/win32/os_win32.h"
#include "stereo/stereo_device_handlers_win32.h"

#include <d3d11.h>
#include <d3dcompiler.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;

ComPtr<ID3DBlob> CompileShader(const char* source, const char* entry, const char* target) {
    ComPtr<ID3DBlob> code;
    const HMODULE library = HandShaderCompilerLibrary();
    if (library == nullptr) {
        return code;
    }
    const auto compile =
        reinterpret_cast<pD3DCompile>(reinterpret_cast<void*>(GetProcAddress(library, "D3DCompile")));
    if (compile == nullptr || FAILED(compile(source, std::strlen(source), nullptr, nullptr, nullptr, entry,
                                             target, 0, 0, code.Put(), nullptr))) {
        code.Reset();
    }
    return code;
}

bool CreateTestDevice(ComPtr<ID3D11Device>& device, ComPtr<ID3D11DeviceContext>& context) {
    const D3D_FEATURE_LEVEL level = D3D_FEATURE_LEVEL_11_0;
    return SUCCEEDED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, &level, 1,
                                       D3D11_SDK_VERSION, device.Put(), nullptr, context.Put()));
}

constexpr int kRounds = 31;
constexpr int kCallsPerRound = 2000;

constexpr char kShaderSource[] = R"(
cbuffer Constants : register(b3) { float4 tint; };
float4 VSMain(uint id : SV_VertexID) : SV_Position {
    float2 uv = float2((id << 1) & 2, id & 2);
    return float4(uv * float2(2, -2) + float2(-1, 1), 0, 1);
}
float4 PSMain() : SV_Target { return tint; }
)";

struct Scene {
    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> context;
    ComPtr<ID3D11Buffer> constants;
    ComPtr<ID3D11Buffer> indices;
    ComPtr<ID3D11Texture2D> target;
    ComPtr<ID3D11RenderTargetView> view;
    ComPtr<ID3D11VertexShader> vertexShader;
    ComPtr<ID3D11PixelShader> pixelShader;
};

bool Build(Scene& s) {
    if (!CreateTestDevice(s.device, s.context)) {
        return false;
    }
    D3D11_BUFFER_DESC desc{};
    desc.ByteWidth = 64;
    desc.Usage = D3D11_USAGE_DYNAMIC;
    desc.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
    const uint16_t list[3] = {0, 1, 2};
    D3D11_BUFFER_DESC indexDesc{};
    indexDesc.ByteWidth = sizeof list;
    indexDesc.BindFlags = D3D11_BIND_INDEX_BUFFER;
    D3D11_SUBRESOURCE_DATA data{};
    data.pSysMem = list;
    D3D11_TEXTURE2D_DESC texture{};
    texture.Width = 64;
    texture.Height = 64;
    texture.MipLevels = 1;
    texture.ArraySize = 1;
    texture.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    texture.SampleDesc.Count = 1;
    texture.BindFlags = D3D11_BIND_RENDER_TARGET;
    const auto vs = CompileShader(kShaderSource, "VSMain", "vs_5_0");
    const auto ps = CompileShader(kShaderSource, "PSMain", "ps_5_0");
    if (!vs || !ps || FAILED(s.device->CreateBuffer(&desc, nullptr, s.constants.Put())) ||
        FAILED(s.device->CreateBuffer(&indexDesc, &data, s.indices.Put())) ||
        FAILED(s.device->CreateTexture2D(&texture, nullptr, s.target.Put())) ||
        FAILED(s.device->CreateRenderTargetView(s.target.Get(), nullptr, s.view.Put())) ||
        FAILED(s.device->CreateVertexShader(vs->GetBufferPointer(), vs->GetBufferSize(), nullptr,
                                            s.vertexShader.Put())) ||
        FAILED(s.device->CreatePixelShader(ps->GetBufferPointer(), ps->GetBufferSize(), nullptr,
                                           s.pixelShader.Put()))) {
        return false;
    }
    ID3D11RenderTargetView* view = s.view.Get();
    s.context->OMSetRenderTargets(1, &view, nullptr);
    const D3D11_VIEWPORT viewport{0.0f, 0.0f, 64.0f, 64.0f, 0.0f, 1.0f};
    s.context->RSSetViewports(1, &viewport);
    s.context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    s.context->IASetIndexBuffer(s.indices.Get(), DXGI_FORMAT_R16_UINT, 0);
    s.context->VSSetShader(s.vertexShader.Get(), nullptr, 0);
    s.context->PSSetShader(s.pixelShader.Get(), nullptr, 0);
    return true;
}

// The real entry points, called directly: what the unhooked table would run.
struct RealMethods {
    MapEntry map = nullptr;
    UnmapEntry unmap = nullptr;
    DrawEntry draw = nullptr;
    DrawIndexedEntry drawIndexed = nullptr;
    VSSetConstantBuffersEntry bind = nullptr;
};

enum class Call { MapUnmap, Draw, DrawIndexed, Bind, BindFirstTwo, Count };
constexpr const char* kNames[] = {"Map+Unmap", "Draw", "DrawIndexed", "VSSetConstantBuffers",
                                  "VSSetConstantBuffers b0+b1"};

// Lets the device finish what was queued, so no round pays for the one before.
void WaitIdle(Scene& s) {
    D3D11_QUERY_DESC desc{};
    desc.Query = D3D11_QUERY_EVENT;
    ComPtr<ID3D11Query> done;
    if (FAILED(s.device->CreateQuery(&desc, done.Put()))) {
        return;
    }
    s.context->End(done.Get());
    BOOL finished = FALSE;
    while (s.context->GetData(done.Get(), &finished, sizeof finished, 0) == S_FALSE) {
        Sleep(0);
    }
}

double TimeCalls(Scene& s, Call call, const RealMethods* real) {
    ID3D11DeviceContext* c = s.context.Get();
    ID3D11Buffer* buffer = s.constants.Get();
    const auto start = Clock::now();
    for (int i = 0; i < kCallsPerRound; ++i) {
        switch (call) {
        case Call::MapUnmap: {
            D3D11_MAPPED_SUBRESOURCE mapped{};
            if (real != nullptr) {
                if (SUCCEEDED(real->map(c, buffer, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped))) {
                    std::memset(mapped.pData, i & 0xFF, 16);
                    real->unmap(c, buffer, 0);
                }
            } else if (SUCCEEDED(c->Map(buffer, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped))) {
                std::memset(mapped.pData, i & 0xFF, 16);
                c->Unmap(buffer, 0);
            }
            break;
        }
        case Call::Draw:
            real != nullptr ? real->draw(c, 3, 0) : c->Draw(3, 0);
            break;
        case Call::DrawIndexed:
            real != nullptr ? real->drawIndexed(c, 3, 0, 0) : c->DrawIndexed(3, 0, 0);
            break;
        case Call::Bind:
            real != nullptr ? real->bind(c, 3, 1, &buffer) : c->VSSetConstantBuffers(3, 1, &buffer);
            break;
        case Call::BindFirstTwo: {
            // The slots a game binds most, where the pooled candidates are looked for too.
            ID3D11Buffer* const pair[2] = {buffer, buffer};
            real != nullptr ? real->bind(c, 0, 2, pair) : c->VSSetConstantBuffers(0, 2, pair);
            break;
        }
        case Call::Count:
            break;
        }
    }
    const double perCall =
        std::chrono::duration<double, std::micro>(Clock::now() - start).count() / kCallsPerRound;
    WaitIdle(s);
    return perCall;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

int Run() {
    RecordOwnModule(GetModuleHandleW(nullptr));
    RegisterDeviceHookHandlers(StereoDeviceHookHandlers());
    Scene scene;
    if (!Build(scene) || !HookDeviceContexts(scene.device.Get(), scene.context.Get())) {
        std::printf("no hooked Direct3D 11 device\n");
        return 1;
    }
    ID3D11DeviceContext* c = scene.context.Get();
    const RealMethods real{RealEntry<MapEntry>(c, ContextMethod::Map),
                           RealEntry<UnmapEntry>(c, ContextMethod::Unmap),
                           RealEntry<DrawEntry>(c, ContextMethod::Draw),
                           RealEntry<DrawIndexedEntry>(c, ContextMethod::DrawIndexed),
                           RealEntry<VSSetConstantBuffersEntry>(c, ContextMethod::VSSetConstantBuffers)};
    // Warm-up: first-use work (thread-local tables, the one observation line) is not per call.
    for (int call = 0; call < static_cast<int>(Call::Count); ++call) {
        TimeCalls(scene, static_cast<Call>(call), nullptr);
        TimeCalls(scene, static_cast<Call>(call), &real);
    }
    std::printf("%-22s %12s %12s %8s %16s\n", "call", "unhooked us", "hooked us", "ratio", "allocs/call");
    for (int call = 0; call < static_cast<int>(Call::Count); ++call) {
        std::vector<double> hooked;
        std::vector<double> unhooked;
        uint64_t allocations = 0;
        hooked.reserve(kRounds);
        unhooked.reserve(kRounds);
        for (int round = 0; round < kRounds; ++round) {
            // Alternate which goes first, so queue build-up does not favour either.
            if (round % 2 == 0) {
                unhooked.push_back(TimeCalls(scene, static_cast<Call>(call), &real));
            }
            const uint64_t before = testing_support::AllocationCount();
            const double perCall = TimeCalls(scene, static_cast<Call>(call), nullptr);
            allocations += testing_support::AllocationCount() - before;
            hooked.push_back(perCall);
            if (round % 2 != 0) {
                unhooked.push_back(TimeCalls(scene, static_cast<Call>(call), &real));
            }
        }
        const double h = Median(hooked);
        const double u = Median(unhooked);
        std::printf("%-22s %12.3f %12.3f %8.3f %16.4f\n", kNames[call], u, h, u > 0.0 ? h / u : 0.0,
                    static_cast<double>(allocations) / (double(kRounds) * kCallsPerRound));
    }
    return 0;
}

} // namespace
} // namespace corvane

int main() {
    return corvane::Run();
}

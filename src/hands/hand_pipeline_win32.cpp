#include "hands/hand_pipeline_win32.h"

#include "core/hresult_text.h"
#include "hands/hand_batch.h"

#include <d3dcompiler.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>

namespace corvane {

// The corners arrive already in clip space with their box's colour: the frame transforms the
// few dozen corners itself, so the shaders need no constant buffer at all.
const char kHandShaderSource[] = R"(struct VertexInput
{
    float4 position : POSITION;
    float4 color : COLOR;
};

struct VertexOutput
{
    float4 position : SV_POSITION;
    nointerpolation float4 color : COLOR;
};

VertexOutput VSMain(VertexInput input)
{
    VertexOutput output;
    output.position = input.position;
    output.color = input.color;
    return output;
}

float4 PSMain(VertexOutput input) : SV_TARGET
{
    return input.color;
}
)";

namespace {

constexpr char kShaderSourceName[] = "CorvaneVR procedural hands";
constexpr UINT kCompileFlags = D3DCOMPILE_OPTIMIZATION_LEVEL3;

// The unit cube's triangles, by corner.
constexpr uint16_t kCubeIndices[kHandCubeIndexCount] = {0, 1, 2, 0, 2, 3, 7, 6, 5, 7, 5, 4, 4, 5, 1, 4, 1, 0,
                                                        3, 2, 6, 3, 6, 7, 1, 5, 6, 1, 6, 2, 4, 0, 3, 4, 3, 7};
static_assert(sizeof(kCubeIndices) == 72);
static_assert(sizeof(HandVertex) == kHandVertexStride);

struct HandIndices {
    uint16_t indices[kHandBoxCount * kHandCubeIndexCount];
};

// The cube's triangles once per box slot, each slot's over its own eight corners.
constexpr HandIndices MakeHandIndices() {
    HandIndices made{};
    for (int box = 0; box < kHandBoxCount; ++box) {
        for (UINT i = 0; i < kHandCubeIndexCount; ++i) {
            made.indices[box * kHandCubeIndexCount + i] =
                static_cast<uint16_t>(box * kBoxCorners + kCubeIndices[i]);
        }
    }
    return made;
}

constexpr HandIndices kHandIndices = MakeHandIndices();

constexpr UINT kVertexBufferBytes = sizeof(HandBatch::vertices);
static_assert(kHandBoxCount * kBoxCorners <= 65536);

constexpr char kCompilerUnavailable[] = "d3dcompiler_47.dll is unavailable";
constexpr char kCompileMissing[] = "D3DCompile is missing from d3dcompiler_47.dll";
constexpr char kVertexFailure[] = "Hand vertex shader compilation failed: ";
constexpr char kPixelFailure[] = "Hand pixel shader compilation failed: ";

bool CompileStage(HMODULE compilerLibrary, const char* entry, const char* target, const char* failurePrefix,
                  ComPtr<ID3DBlob>& code, std::string& errorText) {
    return CompileShaderStage(compilerLibrary, kHandShaderSource, sizeof(kHandShaderSource) - 1,
                              kShaderSourceName, entry, target, failurePrefix, code, errorText);
}

bool CreateBuffer(ID3D11Device* device, UINT bytes, D3D11_USAGE usage, UINT bindFlags, UINT cpuAccess,
                  const void* initialData, ComPtr<ID3D11Buffer>& buffer, const char* operation,
                  std::string& errorText) {
    D3D11_BUFFER_DESC desc{};
    desc.ByteWidth = bytes;
    desc.Usage = usage;
    desc.BindFlags = bindFlags;
    desc.CPUAccessFlags = cpuAccess;
    D3D11_SUBRESOURCE_DATA data{};
    data.pSysMem = initialData;
    return Created(device->CreateBuffer(&desc, initialData != nullptr ? &data : nullptr, buffer.Put()),
                   operation, errorText);
}

bool CreateDeviceObjects(ID3D11Device* device, ID3DBlob* vertexCode, ID3DBlob* pixelCode,
                         HandResources& resources, std::string& errorText) {
    if (!Created(device->CreateVertexShader(vertexCode->GetBufferPointer(), vertexCode->GetBufferSize(),
                                            nullptr, resources.vertexShader.Put()),
                 "ID3D11Device::CreateVertexShader", errorText)) {
        return false;
    }
    if (!Created(device->CreatePixelShader(pixelCode->GetBufferPointer(), pixelCode->GetBufferSize(), nullptr,
                                           resources.pixelShader.Put()),
                 "ID3D11Device::CreatePixelShader", errorText)) {
        return false;
    }
    const D3D11_INPUT_ELEMENT_DESC elements[2] = {
        {"POSITION", 0, DXGI_FORMAT_R32G32B32A32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0},
        {"COLOR", 0, DXGI_FORMAT_R32G32B32A32_FLOAT, 0, 16, D3D11_INPUT_PER_VERTEX_DATA, 0}};
    if (!Created(device->CreateInputLayout(elements, 2, vertexCode->GetBufferPointer(),
                                           vertexCode->GetBufferSize(), resources.inputLayout.Put()),
                 "ID3D11Device::CreateInputLayout", errorText)) {
        return false;
    }
    if (!CreateBuffer(device, kVertexBufferBytes, D3D11_USAGE_DYNAMIC, D3D11_BIND_VERTEX_BUFFER,
                      D3D11_CPU_ACCESS_WRITE, nullptr, resources.vertexBuffer,
                      "ID3D11Device::CreateBuffer (vertex)", errorText) ||
        !CreateBuffer(device, sizeof(kHandIndices.indices), D3D11_USAGE_IMMUTABLE, D3D11_BIND_INDEX_BUFFER, 0,
                      kHandIndices.indices, resources.indexBuffer, "ID3D11Device::CreateBuffer (index)",
                      errorText)) {
        return false;
    }
    D3D11_RASTERIZER_DESC rasterizer{};
    rasterizer.FillMode = D3D11_FILL_SOLID;
    rasterizer.CullMode = D3D11_CULL_NONE;
    rasterizer.FrontCounterClockwise = FALSE;
    rasterizer.DepthClipEnable = TRUE;
    if (!Created(device->CreateRasterizerState(&rasterizer, resources.rasterizerState.Put()),
                 "ID3D11Device::CreateRasterizerState", errorText)) {
        return false;
    }
    // Faces towards the eye are clockwise on screen (the corners are placed so).
    rasterizer.CullMode = D3D11_CULL_BACK;
    if (!Created(device->CreateRasterizerState(&rasterizer, resources.cullingRasterizerState.Put()),
                 "ID3D11Device::CreateRasterizerState (culling)", errorText)) {
        return false;
    }
    D3D11_DEPTH_STENCIL_DESC depth{};
    depth.DepthEnable = TRUE;
    depth.DepthWriteMask = D3D11_DEPTH_WRITE_MASK_ALL;
    depth.DepthFunc = D3D11_COMPARISON_LESS_EQUAL;
    depth.StencilEnable = FALSE;
    return Created(device->CreateDepthStencilState(&depth, resources.depthStencilState.Put()),
                   "ID3D11Device::CreateDepthStencilState", errorText);
}

} // namespace

bool HandResources::Complete() const {
    return vertexShader && pixelShader && inputLayout && vertexBuffer && indexBuffer && depthStencilState &&
           rasterizerState && cullingRasterizerState;
}

void HandResources::Release() {
    cullingRasterizerState.Reset();
    rasterizerState.Reset();
    depthStencilState.Reset();
    indexBuffer.Reset();
    vertexBuffer.Reset();
    inputLayout.Reset();
    pixelShader.Reset();
    vertexShader.Reset();
}

bool Created(HRESULT result, const char* operation, std::string& errorText) {
    if (SUCCEEDED(result)) {
        return true;
    }
    WriteHresultFailure(errorText, operation, static_cast<int32_t>(result));
    return false;
}

// Compiles one stage of `source` into `code`. On failure `errorText` becomes `failurePrefix` followed by
// why (nothing more when the compiler failed without diagnostics), written in place so a
// failure that repeats every frame reuses the text's storage.
bool CompileShaderStage(HMODULE compilerLibrary, const char* source, size_t sourceLength,
                        const char* sourceName, const char* entry, const char* target,
                        const char* failurePrefix, ComPtr<ID3DBlob>& code, std::string& errorText) {
    const auto fail = [&](const char* why, size_t length) {
        errorText.assign(failurePrefix);
        errorText.append(why, length);
        return false;
    };
    if (compilerLibrary == nullptr) {
        return fail(kCompilerUnavailable, sizeof(kCompilerUnavailable) - 1);
    }
    // Looked up for each compilation: the library stays loaded, the lookup is cheap.
    const auto compile =
        reinterpret_cast<pD3DCompile>(reinterpret_cast<void*>(GetProcAddress(compilerLibrary, "D3DCompile")));
    if (compile == nullptr) {
        return fail(kCompileMissing, sizeof(kCompileMissing) - 1);
    }
    ComPtr<ID3DBlob> compiled;
    ComPtr<ID3DBlob> errors;
    const HRESULT result = compile(source, sourceLength, sourceName, nullptr, nullptr, entry, target,
                                   kCompileFlags, 0, compiled.Put(), errors.Put());
    // A success code with warnings still counts; a success without code does not.
    if (SUCCEEDED(result) && compiled && compiled->GetBufferSize() > 0) {
        code = std::move(compiled);
        return true;
    }
    if (errors && errors->GetBufferSize() > 0) {
        const auto* text = static_cast<const char*>(errors->GetBufferPointer());
        return fail(text, strnlen(text, errors->GetBufferSize()));
    }
    return fail("", 0);
}

HMODULE HandShaderCompilerLibrary() {
    // Thread-safe one-time load; the module is never freed, so the compiler stays usable for
    // every later re-creation of the eye targets.
    static const HMODULE library = LoadLibraryW(L"d3dcompiler_47.dll");
    return library;
}

bool HandShaderCode::Complete() const {
    return vertex && pixel;
}

namespace {

// The code CreateHandResources keeps for the process, with the lock that lets any thread
// create hand resources.
struct ProcessShaderCode {
    std::mutex mutex;
    HandShaderCode code;
};

ProcessShaderCode& TheProcessShaderCode() {
    static ProcessShaderCode shared;
    return shared;
}

} // namespace

const HandShaderCode& ProcessHandShaderCode() {
    return TheProcessShaderCode().code;
}

bool CreateHandResources(ID3D11Device* device, HandResources& resources, std::string& errorText) {
    ProcessShaderCode& shared = TheProcessShaderCode();
    try {
        std::lock_guard<std::mutex> lock(shared.mutex);
        return CreateHandResourcesWithCompiler(HandShaderCompilerLibrary(), shared.code, device, resources,
                                               errorText);
    } catch (...) {
        // Only the lock can throw here; the caller sees a failed creation.
        return false;
    }
}

bool CreateHandResourcesWithCompiler(HMODULE compilerLibrary, HandShaderCode& code, ID3D11Device* device,
                                     HandResources& resources, std::string& errorText) {
    try {
        if (device == nullptr) {
            errorText = "D3D11 device is unavailable for the hand pipeline";
            return false;
        }
        // Compiled at most once per holder: the objects made from the code go with the eye
        // targets, the code itself stays, so targets re-created after a failure do not pay
        // for the compiler again.
        if (!code.vertex &&
            !CompileStage(compilerLibrary, "VSMain", "vs_5_0", kVertexFailure, code.vertex, errorText)) {
            return false;
        }
        if (!code.pixel &&
            !CompileStage(compilerLibrary, "PSMain", "ps_5_0", kPixelFailure, code.pixel, errorText)) {
            return false;
        }
        return CreateDeviceObjects(device, code.vertex.Get(), code.pixel.Get(), resources, errorText) &&
               resources.Complete();
    } catch (...) {
        // Only allocation can throw here; the caller sees a failed creation.
        return false;
    }
}

} // namespace corvane

// The Direct3D 11 objects that draw the procedural hands: two shaders compiled at run time
// from a source string, a vertex buffer the frame fills with every box's corners in clip space,
// the boxes' triangles, and three states. Created
// and released with the presenter's eye targets on the render thread.
#pragma once

#include "platform/win32/com_ptr_win32.h"

#include <d3d11.h>
#include <d3dcommon.h>
#include <windows.h>

#include <string>

namespace corvane {

// Declared in the order that makes destruction release them as the presenter does:
// the culling rasterizer state first, vertex shader last.
struct HandResources {
    ComPtr<ID3D11VertexShader> vertexShader;
    ComPtr<ID3D11PixelShader> pixelShader;
    ComPtr<ID3D11InputLayout> inputLayout;
    ComPtr<ID3D11Buffer> vertexBuffer;
    ComPtr<ID3D11Buffer> indexBuffer;
    ComPtr<ID3D11DepthStencilState> depthStencilState;
    ComPtr<ID3D11RasterizerState> rasterizerState;
    // Back faces culled, for the hands' boxes; `rasterizerState` culls nothing, for a part drawn
    // on its own whatever its winding.
    ComPtr<ID3D11RasterizerState> cullingRasterizerState;

    [[nodiscard]] bool Complete() const;
    // Culling rasterizer state, rasterizer state, depth-stencil state,
    // index and vertex buffers, input layout, pixel shader, vertex shader.
    void Release();
};

inline constexpr UINT kHandCubeIndexCount = 36;
inline constexpr UINT kHandVertexStride = 32;

// The shader source, compiled once per stage.
extern const char kHandShaderSource[];

// d3dcompiler_47.dll, loaded on the first call of the process and never freed; null when
// it could not be loaded. Any thread.
HMODULE HandShaderCompilerLibrary();

// Compiles one stage of a shader source with `compilerLibrary` (null: unavailable) into
// `code`. On failure `errorText` becomes `failurePrefix` followed by why, written in place so a
// failure that repeats every frame reuses the text's storage. Any thread.
[[nodiscard]] bool CompileShaderStage(HMODULE compilerLibrary, const char* source, size_t sourceLength,
                                      const char* sourceName, const char* entry, const char* target,
                                      const char* failurePrefix, ComPtr<ID3DBlob>& code,
                                      std::string& errorText);

// True when a creation succeeded; otherwise `errorText` becomes `operation` with the HRESULT,
// as the presenter words Direct3D failures. Any thread.
[[nodiscard]] bool Created(HRESULT result, const char* operation, std::string& errorText);

// The compiled code of both stages. Kept for the life of its holder once compiled: a
// stage is compiled again only while its code is missing.
struct HandShaderCode {
    ComPtr<ID3DBlob> vertex;
    ComPtr<ID3DBlob> pixel;

    [[nodiscard]] bool Complete() const;
};

// Builds the eight objects on `device` with the compiler from HandShaderCompilerLibrary and
// the process's one copy of the shader code (compiled by the first call that gets that far).
// On failure `errorText` says why and the objects made before the failure stay in
// `resources` for their owner to release; on success `errorText` is left alone. Any thread.
[[nodiscard]] bool CreateHandResources(ID3D11Device* device, HandResources& resources,
                                       std::string& errorText);

// The code CreateHandResources keeps for the process; read it only while nothing creates.
const HandShaderCode& ProcessHandShaderCode();

// The same with a given compiler library (null: the library is unavailable) and a given
// holder of the code, which the caller does not share between threads.
[[nodiscard]] bool CreateHandResourcesWithCompiler(HMODULE compilerLibrary, HandShaderCode& code,
                                                   ID3D11Device* device, HandResources& resources,
                                                   std::string& errorText);

} // namespace corvane

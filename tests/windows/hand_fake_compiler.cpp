// A d3dcompiler stand-in for the hand pipeline tests: exports D3DCompile, passes the work to
// the system's compiler or fails as the test asks, and records what it was called with.
#include "hand_fake_compiler.h"

#include <d3dcompiler.h>
#include <windows.h>

#include <cstring>

namespace {

using CreateBlobFn = HRESULT(WINAPI*)(SIZE_T, ID3DBlob**);

HandFakeCompilerMode mode = HandFakeCompilerMode::Warnings;
HandFakeCompilerRecord record;

HMODULE SystemCompiler() {
    static const HMODULE library = LoadLibraryW(L"d3dcompiler_47.dll");
    return library;
}

template <typename Fn> Fn SystemFunction(const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(SystemCompiler(), name)));
}

ID3DBlob* TextBlob(const char* text) {
    ID3DBlob* blob = nullptr;
    const auto create = SystemFunction<CreateBlobFn>("D3DCreateBlob");
    const size_t size = std::strlen(text) + 1;
    if (create == nullptr || FAILED(create(size, &blob))) {
        return nullptr;
    }
    std::memcpy(blob->GetBufferPointer(), text, size);
    return blob;
}

void Copy(char (&to)[64], const char* from) {
    std::strncpy(to, from != nullptr ? from : "(null)", sizeof(to) - 1);
}

} // namespace

extern "C" __declspec(dllexport) void HandFakeCompiler_SetMode(HandFakeCompilerMode newMode) {
    mode = newMode;
    record = HandFakeCompilerRecord{};
}

extern "C" __declspec(dllexport) const HandFakeCompilerRecord* HandFakeCompiler_Record() {
    return &record;
}

extern "C" __declspec(dllexport) HRESULT WINAPI
    D3DCompile(const void* source, SIZE_T sourceSize, const char* sourceName, const D3D_SHADER_MACRO* defines,
               ID3DInclude* include, const char* entry, const char* target, UINT flags1, UINT flags2,
               ID3DBlob** code, ID3DBlob** errors) {
    ++record.calls;
    record.sourceSize = sourceSize;
    record.flags1 = flags1;
    record.flags2 = flags2;
    record.hadDefinesOrInclude = defines != nullptr || include != nullptr;
    Copy(record.sourceName, sourceName);
    Copy(record.lastEntry, entry);
    Copy(record.lastTarget, target);
    *code = nullptr;
    *errors = nullptr;

    const bool pixel = target != nullptr && std::strcmp(target, "ps_5_0") == 0;
    if (mode == HandFakeCompilerMode::SilentFailure) {
        return E_FAIL;
    }
    if (mode == HandFakeCompilerMode::PixelDiagnostics && pixel) {
        *errors = TextBlob(kHandFakePixelDiagnostic);
        return E_FAIL;
    }
    const auto compile = SystemFunction<pD3DCompile>("D3DCompile");
    if (compile == nullptr) {
        return E_NOINTERFACE;
    }
    const HRESULT result = compile(source, sourceSize, sourceName, defines, include, entry, target, flags1,
                                   flags2, code, errors);
    if (mode == HandFakeCompilerMode::Warnings && SUCCEEDED(result)) {
        if (*errors != nullptr) {
            (*errors)->Release();
        }
        *errors = TextBlob(kHandFakeWarning);
    }
    return result;
}

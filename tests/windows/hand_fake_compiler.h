// What the d3dcompiler stand-in of the hand pipeline tests does and records. Test thread.
#pragma once

#include <cstddef>

enum class HandFakeCompilerMode : int {
    Warnings = 0,         // compiles with the system compiler, reports a warning
    PixelDiagnostics = 1, // the pixel stage fails with a diagnostic, the vertex stage compiles
    SilentFailure = 2,    // every stage fails without a diagnostic
};

struct HandFakeCompilerRecord {
    int calls = 0;
    size_t sourceSize = 0;
    unsigned flags1 = 0;
    unsigned flags2 = 0;
    bool hadDefinesOrInclude = false;
    char sourceName[64] = {};
    char lastEntry[64] = {};
    char lastTarget[64] = {};
};

inline constexpr char kHandFakeWarning[] = "hands(1,1): warning X3206: a warning the build still accepts\n";
inline constexpr char kHandFakePixelDiagnostic[] =
    "hands(33,12): error X3004: undeclared identifier 'gColour'\n";

using HandFakeCompilerSetModeFn = void (*)(HandFakeCompilerMode);
using HandFakeCompilerRecordFn = const HandFakeCompilerRecord* (*)();

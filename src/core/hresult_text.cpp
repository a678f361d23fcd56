#include "core/hresult_text.h"

#include <cinttypes>
#include <cstdio>

namespace corvane {

void WriteHresultFailure(std::string& text, const char* operation, int32_t hresult) {
    char code[16];
    std::snprintf(code, sizeof(code), "%" PRIx32, static_cast<uint32_t>(hresult));
    // Built in place: a failure that repeats every frame reuses the text's storage.
    text.assign(operation);
    text.append(" failed (HRESULT 0x");
    text.append(code);
    text.append(")");
}

std::string FormatHresultFailure(const char* operation, int32_t hresult) {
    std::string text;
    WriteHresultFailure(text, operation, hresult);
    return text;
}

} // namespace corvane

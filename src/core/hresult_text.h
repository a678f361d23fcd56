// The failure text of a Direct3D or DXGI call, as every part that draws writes it.
#pragma once

#include <cstdint>
#include <string>

namespace corvane {

// "<operation> failed (HRESULT 0x<lowercase hex>)".
std::string FormatHresultFailure(const char* operation, int32_t hresult);
// The same text written into `text`, reusing its storage.
void WriteHresultFailure(std::string& text, const char* operation, int32_t hresult);

} // namespace corvane

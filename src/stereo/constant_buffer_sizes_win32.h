// A buffer's constant-buffer size as the context handlers ask it: from the remembered sizes
// when the buffer was seen before, else from its description, after which it is remembered
// with a marker in its private data that forgets it when Direct3D destroys the buffer. Holds
// no reference to any buffer. Any thread; no lock, no allocation.
#pragma once

#include "stereo/constant_buffer_sizes.h"

#include <d3d11.h>

#include <cstdint>

namespace corvane {

// The slow path of ConstantBufferBytesOf: the description, then the buffer is remembered.
[[nodiscard]] UINT AskConstantBufferBytes(ID3D11Buffer* buffer, uint32_t* slot) noexcept;

// ByteWidth of a buffer bound as a constant buffer; 0 for any other buffer and for null.
// With `slot` given it receives the buffer's slot in ProcessConstantBufferSizes, or kNoSlot
// while the buffer is not remembered. Inline: the remembered answer is the path of every bind.
[[nodiscard]] inline UINT ConstantBufferBytesOf(ID3D11Buffer* buffer, uint32_t* slot = nullptr) noexcept {
    uint32_t bytes = 0;
    uint32_t found = ConstantBufferSizes::kNoSlot;
    if (buffer != nullptr && ProcessConstantBufferSizes().Find(buffer, bytes, found)) {
        if (slot != nullptr) {
            *slot = found;
        }
        return bytes;
    }
    return AskConstantBufferBytes(buffer, slot);
}

// The same when `resource` is already remembered as a buffer: true with its size. False
// when it is not remembered (the caller asks the resource what it is).
[[nodiscard]] bool RememberedConstantBufferBytes(ID3D11Resource* resource, UINT& bytes) noexcept;

} // namespace corvane

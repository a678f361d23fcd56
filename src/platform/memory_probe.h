// Page-state probes over the memory port: is a range readable, is an address writable. Any
// thread may call them; they only query, never touch the memory itself.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvane {

// The protection classes, compared on the low byte; PAGE_NOACCESS or PAGE_GUARD rejects.
[[nodiscard]] bool IsReadableProtection(uint32_t protect);
[[nodiscard]] bool IsWritableProtection(uint32_t protect);
[[nodiscard]] bool IsExecutableProtection(uint32_t protect);

// Every byte of [address, address + size) lies in committed readable pages; walks region by
// region, so a range over many pages and regions is checked in full.
[[nodiscard]] bool MemoryRangeReadable(uintptr_t address, size_t size);
// The page holding `address` is committed and writable.
[[nodiscard]] bool MemoryAddressWritable(uintptr_t address);

} // namespace corvane

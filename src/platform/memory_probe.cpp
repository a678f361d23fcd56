#include "platform/memory_probe.h"

#include "platform/memory.h"

namespace corvane {
namespace {

bool IsRejectedProtection(uint32_t protect) {
    return (protect & (kPageNoAccess | kPageGuard)) != 0;
}

} // namespace

bool IsReadableProtection(uint32_t protect) {
    if (IsRejectedProtection(protect)) {
        return false;
    }
    switch (protect & 0xFF) {
    case kPageReadOnly:
    case kPageReadWrite:
    case kPageWriteCopy:
    case kPageExecuteRead:
    case kPageExecuteReadWrite:
    case kPageExecuteWriteCopy:
        return true;
    default:
        return false;
    }
}

bool IsWritableProtection(uint32_t protect) {
    if (IsRejectedProtection(protect)) {
        return false;
    }
    switch (protect & 0xFF) {
    case kPageReadWrite:
    case kPageWriteCopy:
    case kPageExecuteReadWrite:
    case kPageExecuteWriteCopy:
        return true;
    default:
        return false;
    }
}

bool IsExecutableProtection(uint32_t protect) {
    switch (protect & 0xFF) {
    case kPageExecute:
    case kPageExecuteRead:
    case kPageExecuteReadWrite:
    case kPageExecuteWriteCopy:
        return true;
    default:
        return false;
    }
}

bool MemoryRangeReadable(uintptr_t address, size_t size) {
    if (size == 0) {
        return true;
    }
    const uintptr_t end = address + size;
    if (address == 0 || end < address) {
        return false;
    }
    uintptr_t cursor = address;
    while (cursor < end) {
        MemoryRegion region;
        if (!MemoryQuery(cursor, region) || region.state != kMemCommit ||
            !IsReadableProtection(region.protect)) {
            return false;
        }
        const uintptr_t regionEnd = region.base + region.size;
        if (regionEnd < region.base || cursor < region.base || cursor >= regionEnd) {
            return false;
        }
        cursor = regionEnd < end ? regionEnd : end;
    }
    return true;
}

bool MemoryAddressWritable(uintptr_t address) {
    MemoryRegion region;
    return address != 0 && MemoryQuery(address, region) && region.state == kMemCommit &&
           IsWritableProtection(region.protect);
}

} // namespace corvane

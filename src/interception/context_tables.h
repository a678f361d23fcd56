// The context method tables the program has met: one record per distinct table with the
// real entry points of the eight intercepted methods, the fallback set, and the lookup every
// context handler calls through. Records are created under ContextHookMutex (the thread that
// creates a device or a deferred context); the lookup runs on any game thread without a lock.
#pragma once

#include "interception/method_table_patch.h"

#include <atomic>
#include <cstdint>

namespace corvane {

// The intercepted context methods, numbered as in the records (1 to 8).
enum class ContextMethod : uint32_t {
    VSSetConstantBuffers = 1,
    VSSetShader = 2,
    DrawIndexed = 3,
    Draw = 4,
    Map = 5,
    Unmap = 6,
    RSSetScissorRects = 7,
    UpdateSubresource = 8,
};

inline constexpr uint32_t kContextMethodCount = 8;
inline constexpr uint32_t kMaxContextTables = 32;

// The table index of each intercepted method, in record order.
inline constexpr uint32_t kContextMethodSlots[kContextMethodCount] = {7, 11, 12, 13, 14, 15, 45, 48};

[[nodiscard]] constexpr uint32_t ContextMethodSlot(ContextMethod method) {
    return kContextMethodSlots[static_cast<uint32_t>(method) - 1];
}

// The program's handler for each method, in record order.
struct ContextHandlerSet {
    void* entries[kContextMethodCount] = {};
};

// One distinct table: complete before the count that makes it visible is raised, never
// changed afterwards.
struct ContextTableRecord {
    std::atomic<void* const*> table{nullptr};
    std::atomic<void*> entries[kContextMethodCount] = {};
};

// Records `table` on first sight and puts the handlers into its eight slots. Caller holds
// ContextHookMutex. True only when all eight slots carry the handlers.
[[nodiscard]] bool HookContextMethodTable(void** table, const ContextHandlerSet& handlers) noexcept;

namespace context_tables_detail {
// Written only by the thread holding ContextHookMutex; a record is complete before the count
// that makes it visible is raised.
extern ContextTableRecord g_records[kMaxContextTables];
extern std::atomic<uint32_t> g_recordCount;
// The first recorded table's entries; published by g_fallbackFilled.
extern void* g_fallback[kContextMethodCount];
extern std::atomic<bool> g_fallbackFilled;

// The record of `table`; null when it has none.
[[nodiscard]] inline ContextTableRecord* FindRecord(void* const* table) noexcept {
    uint32_t count = g_recordCount.load(std::memory_order_acquire);
    count = count < kMaxContextTables ? count : kMaxContextTables;
    for (uint32_t i = 0; i < count; ++i) {
        if (g_records[i].table.load(std::memory_order_relaxed) == table) {
            return &g_records[i];
        }
    }
    return nullptr;
}
} // namespace context_tables_detail

// The real entry point of `method` for a context whose table is `table`: the record of that
// table, else the fallback set of the first table recorded; null when neither has it. Inline:
// every context handler, so every draw and bind the game makes, starts here.
[[nodiscard]] inline void* FindRealEntryInTable(void* const* table, ContextMethod method) noexcept {
    using namespace context_tables_detail;
    const uint32_t index = static_cast<uint32_t>(method) - 1;
    if (index >= kContextMethodCount) {
        return nullptr;
    }
    if (table != nullptr) {
        if (const ContextTableRecord* record = FindRecord(table)) {
            return record->entries[index].load(std::memory_order_relaxed);
        }
    }
    if (!g_fallbackFilled.load(std::memory_order_acquire)) {
        return nullptr;
    }
    return g_fallback[index];
}

[[nodiscard]] uint32_t ContextTableRecordCount() noexcept;

// Forgets every record and the fallback set. Only for native tests that build their own tables:
// the records of a running program are never removed.
void ResetContextTablesForTesting() noexcept;

} // namespace corvane

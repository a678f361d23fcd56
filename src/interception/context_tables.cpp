#include "interception/context_tables.h"

#include "interception/method_table_patch.h"

#include <algorithm>

namespace corvane {

namespace context_tables_detail {
ContextTableRecord g_records[kMaxContextTables];
std::atomic<uint32_t> g_recordCount{0};
void* g_fallback[kContextMethodCount] = {};
std::atomic<bool> g_fallbackFilled{false};
} // namespace context_tables_detail

namespace {

using namespace context_tables_detail;

bool HoldsAnyHandler(void** table, const ContextHandlerSet& handlers) noexcept {
    for (uint32_t slot : kContextMethodSlots) {
        void* current = std::atomic_ref<void*>(table[slot]).load(std::memory_order_acquire);
        for (void* handler : handlers.entries) {
            if (current != nullptr && current == handler) {
                return true;
            }
        }
    }
    return false;
}

void ClearRecord(ContextTableRecord& record) noexcept {
    record.table.store(nullptr, std::memory_order_relaxed);
    for (auto& entry : record.entries) {
        entry.store(nullptr, std::memory_order_relaxed);
    }
}

// A new record for `table`, filled from its current slots; null when it cannot be served.
ContextTableRecord* AddRecord(void** table, const ContextHandlerSet& handlers) noexcept {
    const uint32_t count = g_recordCount.load(std::memory_order_relaxed);
    // A table that already carries one of our handlers but has no record was patched by a
    // path we cannot see: its real entries are lost, and recording our own handlers as
    // "real" would make every call recurse.
    if (count >= kMaxContextTables || HoldsAnyHandler(table, handlers)) {
        return nullptr;
    }
    ContextTableRecord& record = g_records[count];
    record.table.store(table, std::memory_order_relaxed);
    for (uint32_t i = 0; i < kContextMethodCount; ++i) {
        void* current = std::atomic_ref<void*>(table[kContextMethodSlots[i]]).load(std::memory_order_acquire);
        if (current == nullptr) {
            ClearRecord(record);
            return nullptr;
        }
        record.entries[i].store(current, std::memory_order_relaxed);
    }
    if (!g_fallbackFilled.load(std::memory_order_relaxed)) {
        for (uint32_t i = 0; i < kContextMethodCount; ++i) {
            g_fallback[i] = record.entries[i].load(std::memory_order_relaxed);
        }
        g_fallbackFilled.store(true, std::memory_order_release);
    }
    g_recordCount.store(count + 1, std::memory_order_release);
    return &record;
}

} // namespace

bool HookContextMethodTable(void** table, const ContextHandlerSet& handlers) noexcept {
    if (table == nullptr) {
        return false;
    }
    ContextTableRecord* record = FindRecord(table);
    if (record == nullptr) {
        record = AddRecord(table, handlers);
    }
    if (record == nullptr) {
        return false;
    }
    bool all = true;
    for (uint32_t i = 0; i < kContextMethodCount; ++i) {
        all = PatchMethodSlot(&table[kContextMethodSlots[i]], handlers.entries[i], record->entries[i]) && all;
    }
    return all;
}

uint32_t ContextTableRecordCount() noexcept {
    return g_recordCount.load(std::memory_order_acquire);
}

void ResetContextTablesForTesting() noexcept {
    std::lock_guard<std::mutex> lock(ContextHookMutex());
    g_recordCount.store(0, std::memory_order_release);
    g_fallbackFilled.store(false, std::memory_order_release);
    for (auto& record : g_records) {
        ClearRecord(record);
    }
    std::fill(std::begin(g_fallback), std::end(g_fallback), nullptr);
}

} // namespace corvane

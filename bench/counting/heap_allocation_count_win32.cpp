// Linked into the benchmark's counting build of XINPUT1_3.dll: every operator new of the
// module is counted, and the stand-in game reads the count through the export
// HeapAllocationCount to show the frames it measures allocate nothing.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {
std::atomic<uint64_t> g_allocations{0};
} // namespace

extern "C" __declspec(dllexport) unsigned long long HeapAllocationCount() {
    return g_allocations.load(std::memory_order_relaxed);
}

// The replaceable allocation functions; the array and nothrow forms of the library call these.
void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* block = std::malloc(size != 0 ? size : 1)) {
        return block;
    }
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept {
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}

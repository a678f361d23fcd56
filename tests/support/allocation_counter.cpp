#include "allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<uint64_t> g_allocations{0};
} // namespace

namespace corvane::testing_support {

uint64_t AllocationCount() {
    return g_allocations.load();
}

} // namespace corvane::testing_support

// The replaceable allocation functions; the array and nothrow forms of the library call
// these.
void* operator new(std::size_t size) {
    g_allocations.fetch_add(1);
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

// Counts every operator new of the test program, so a test can show that a path allocates
// nothing. The counter covers all threads; tests that use it run single-threaded.
#pragma once

#include <cstdint>

namespace corvane::testing_support {

uint64_t AllocationCount();

} // namespace corvane::testing_support

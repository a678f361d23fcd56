// Counts every operator new of the program that links it (a native test program or a
// benchmark), so it can show that a path allocates nothing. The counter covers all threads;
// whoever reads it runs the path it measures single-threaded.
#pragma once

#include <cstdint>

namespace corvane::testing_support {

uint64_t AllocationCount();

} // namespace corvane::testing_support

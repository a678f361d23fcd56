// Linked into the benchmark's counting build of XINPUT1_3.dll together with the tests' allocation
// counter, which replaces the module's operator new: the stand-in game reads the count through
// the export HeapAllocationCount to show the frames it measures allocate nothing.
#include "allocation_counter.h"

extern "C" __declspec(dllexport) unsigned long long HeapAllocationCount() {
    return corvane::testing_support::AllocationCount();
}

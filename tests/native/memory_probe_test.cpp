// The page-protection classes the probes and the camera-state write go by, for every
// protection value a page can report; and the exceptions a guarded access recovers from.
#include "platform/guarded_fault.h"
#include "platform/memory_probe.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace corvane {
namespace {

TEST(ProtectionClasses, EveryProtectionValueFallsInItsClasses) {
    struct Case {
        const char* name;
        uint32_t protect;
        bool readable;
        bool writable;
        bool executable;
    };
    const Case cases[] = {
        {"PAGE_NOACCESS", 0x01, false, false, false},
        {"PAGE_READONLY", 0x02, true, false, false},
        {"PAGE_READWRITE", 0x04, true, true, false},
        {"PAGE_WRITECOPY", 0x08, true, true, false},
        {"PAGE_EXECUTE", 0x10, false, false, true},
        {"PAGE_EXECUTE_READ", 0x20, true, false, true},
        {"PAGE_EXECUTE_READWRITE", 0x40, true, true, true},
        {"PAGE_EXECUTE_WRITECOPY", 0x80, true, true, true},
        {"PAGE_READWRITE | PAGE_GUARD", 0x104, false, false, false},
        {"PAGE_EXECUTE_READ | PAGE_GUARD", 0x120, false, false, true},
        {"PAGE_READONLY | PAGE_NOCACHE", 0x202, true, false, false},
        {"PAGE_EXECUTE_READWRITE | PAGE_WRITECOMBINE", 0x440, true, true, true},
        {"no protection", 0x00, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.readable, IsReadableProtection(c.protect));
        EXPECT_EQ(c.writable, IsWritableProtection(c.protect));
        EXPECT_EQ(c.executable, IsExecutableProtection(c.protect));
    }
}

} // namespace
} // namespace corvane

namespace corvane {
namespace {

// What a guarded access or call recovers from: faults, but neither an informational code nor a
// stack overflow (whose used-up guard page recovering would not give back).
TEST(GuardedFaultTest, FaultsAreTakenButNotInformationalCodesOrAStackOverflow) {
    struct Case {
        uint32_t code;
        bool taken;
    };
    const Case cases[] = {
        {0xC0000005, true},  // access violation
        {0x80000001, true},  // guard page
        {0xC0000094, true},  // integer division by zero
        {0xE06D7363, true},  // a C++ exception thrown through the routine
        {0xC00000FD, false}, // stack overflow
        {0x40010006, false}, // debugger output
        {0x406D1388, false}, // thread naming
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.taken, GuardTakesException(c.code)) << std::hex << c.code;
    }
}

} // namespace
} // namespace corvane

// The game integration's byte-level contract with the supported executable, with every
// expected value typed here as the supported build defines it, never taken from the
// program's own tables.
#include "fake_game_image.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace corvane {
namespace {

using namespace testing_support;

TEST(GameContract, AddressesOfTheGamesFields) {
    struct Case {
        const char* name;
        uint64_t actual;
        uint64_t expected;
    };
    const Case cases[] = {
        {"camera state", kCameraStateRva, 0x5E151F4},
        {"camera control word", kCameraControlWordRva, 0x5E151F0},
        {"control block", kControlBlockRva, 0xC6066C},
        {"composite kind", kCompositeKindRva, 0xC64DC4},
        {"player object", kPlayerObjectRva, 0x9F50EB8},
        {"actor registry", kActorRegistryRva, 0x9F37D60},
        {"state-17 cleanup", kState17CleanupRva, 0x178830},
        {"limiter signature", kLimiterSignatureRva, 0x24C169},
        {"limiter store", kLimiterStoreRva, 0x24C183},
        {"request byte A", kRequestByteARva, 0xEB04C8},
        {"request byte B", kRequestByteBRva, 0xD87DA6},
        {"request byte C", kRequestByteCRva, 0x1478530},
        {"simulation delta", kSimulationDeltaRva, 0xEB0484},
        {"pedestrian gate", kPedestrianGateRva, 0x13FF50},
        {"highest 4-byte field", kHighestDwordFieldRva, 0x5E151F4},
        {"highest 8-byte field", kHighestQwordFieldRva, 0x9F50EB8},
        {"time stamp", kSupportedTimeDateStamp, 0x5BE4DE30},
        {"size of image", kSupportedSizeOfImage, 0x0A01B000},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, c.actual) << c.name;
    }
}

TEST(GameContract, CodeBytesOfTheLimiterAndThePedestrianGate) {
    const std::vector<uint8_t> signature = {0x39, 0x3D, 0xC1, 0xC3, 0x22, 0x01, 0xB9, 0x01, 0x00,
                                            0x00, 0x00, 0x0F, 0x45, 0xCF, 0x40, 0x38, 0x3D, 0x4A,
                                            0x43, 0xC6, 0x00, 0x74, 0x0A, 0x8D, 0x4F, 0x02};
    const std::vector<uint8_t> store = {0x40, 0x88, 0x3D, 0x3E, 0x43, 0xC6, 0x00};
    const std::vector<uint8_t> gate = {0xF3, 0x0F, 0x10, 0xA1, 0xB8, 0x01, 0x00,
                                       0x00, 0x45, 0x33, 0xC0, 0x48, 0x8B, 0xD1};
    EXPECT_EQ(signature, std::vector<uint8_t>(std::begin(kLimiterSignature), std::end(kLimiterSignature)));
    EXPECT_EQ(store, std::vector<uint8_t>(std::begin(kLimiterStore), std::end(kLimiterStore)));
    EXPECT_EQ(gate, std::vector<uint8_t>(std::begin(kPedestrianGate), std::end(kPedestrianGate)));
    // The store sits directly after the signature.
    EXPECT_EQ(0x24C169u + 26u, kLimiterStoreRva);
}

class CompositeWriterContract : public ProcessStateTest {};

// Each writer row, and the register its value comes from: every source register holds a
// value of its own (with high bits that must not be stored), so a row reading the wrong
// register stores the wrong value.
TEST_F(CompositeWriterContract, RowsBytesAndValueSources) {
    struct Row {
        uint64_t rva;
        uint8_t length;
        std::vector<uint8_t> bytes;
        uint32_t stored; // the value the emulated store writes, from the registers below
    };
    constexpr uint32_t kEcx = 0x0C0C0C01;
    constexpr uint32_t kEsi = 0x0C0C0C02;
    constexpr uint32_t kR15d = 0x0C0C0C03;
    constexpr uint32_t kEdx = 0x0C0C0C04;
    constexpr uint32_t kEax = 0x0C0C0C05;
    constexpr uint32_t kEbp = 0x0C0C0C06;
    const std::vector<Row> rows = {
        {0x842FE, 6, {0x89, 0x0D, 0x68, 0xC3, 0xBD, 0x00}, kEcx},
        {0x84617, 6, {0x89, 0x35, 0x4F, 0xC0, 0xBD, 0x00}, kEsi},
        {0x87CC2, 10, {0xC7, 0x05, 0xA0, 0x89, 0xBD, 0x00, 0x01, 0x00, 0x00, 0x00}, 1},
        {0x87EF6, 7, {0x44, 0x89, 0x3D, 0x6F, 0x87, 0xBD, 0x00}, kR15d},
        {0x88198, 7, {0x44, 0x89, 0x3D, 0xCD, 0x84, 0xBD, 0x00}, kR15d},
        {0x177CB9, 10, {0xC7, 0x05, 0xA9, 0x89, 0xAE, 0x00, 0x01, 0x00, 0x00, 0x00}, 1},
        {0x19EE4D, 10, {0xC7, 0x05, 0x15, 0x18, 0xAC, 0x00, 0x01, 0x00, 0x00, 0x00}, 1},
        {0x1A8C6A, 10, {0xC7, 0x05, 0xF8, 0x79, 0xAB, 0x00, 0x01, 0x00, 0x00, 0x00}, 1},
        {0x1B4248, 10, {0xC7, 0x05, 0x1A, 0xC4, 0xAA, 0x00, 0x01, 0x00, 0x00, 0x00}, 1},
        {0x1F4DC2, 10, {0xC7, 0x05, 0xA0, 0xB8, 0xA6, 0x00, 0x01, 0x00, 0x00, 0x00}, 1},
        {0x207100, 6, {0x89, 0x15, 0x66, 0x95, 0xA5, 0x00}, kEdx},
        {0x2077D8, 6, {0x89, 0x05, 0x8E, 0x8E, 0xA5, 0x00}, kEax},
        {0x208110, 6, {0x89, 0x2D, 0x56, 0x85, 0xA5, 0x00}, kEbp},
    };
    const auto table = CompositeWriterTable();
    ASSERT_EQ(rows.size(), table.size());

    InstallFakeHost();
    LayOutGameImage();
    ASSERT_TRUE(IsExecutableValidated());
    constexpr uint64_t kHigh = 0x5A5A5A5A00000000;
    WriterRegisters registers;
    registers.rcx = kHigh | kEcx;
    registers.rsi = kHigh | kEsi;
    registers.r15 = kHigh | kR15d;
    registers.rdx = kHigh | kEdx;
    registers.rax = kHigh | kEax;
    registers.rbp = kHigh | kEbp;
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(i + 1);
        EXPECT_EQ(row.rva, table[i].rva);
        EXPECT_EQ(row.length, table[i].length);
        EXPECT_EQ(row.length, table[i].lengthCheck);
        EXPECT_EQ(row.bytes, std::vector<uint8_t>(table[i].expected, table[i].expected + table[i].length));
        for (size_t pad = row.length; pad < sizeof(table[i].expected); ++pad) {
            EXPECT_EQ(0, table[i].expected[pad]);
        }
        // Every writer stores into the control block through a RIP-relative address.
        const auto displacement = [&] {
            int32_t value = 0;
            std::memcpy(&value, row.bytes.data() + 2 + (row.bytes[0] == 0x44 ? 1 : 0), sizeof(value));
            return value;
        }();
        const uint64_t next = row.rva + row.length;
        EXPECT_EQ(0xC6066Cu, next + displacement);

        SetControlBlock(0);
        uintptr_t resume = 0;
        ASSERT_TRUE(HandleCompositeBreakpoint(kImageBase + row.rva, registers, resume));
        EXPECT_EQ(kImageBase + row.rva + row.length, resume);
        EXPECT_EQ(row.stored, fake::PeekValue<uint32_t>(kImageBase + 0xC6066C));
    }
}

} // namespace
} // namespace corvane

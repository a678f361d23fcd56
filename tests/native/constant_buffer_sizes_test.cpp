#include "stereo/constant_buffer_sizes.h"

#include <gtest/gtest.h>

#include <memory>

namespace corvane {
namespace {

// Buffer stand-ins: only their addresses matter.
alignas(16) char g_buffers[4][64];

using Sizes = ConstantBufferSizes;

TEST(ConstantBufferSizes, ASizeIsAnsweredOnlyFromPublicationUntilItsSlotIsEmptied) {
    auto sizes = std::make_unique<Sizes>();
    uint32_t bytes = 7;
    EXPECT_FALSE(sizes->Find(g_buffers[0], bytes));

    const uint32_t slot = sizes->Reserve(g_buffers[0], 528);
    ASSERT_NE(slot, Sizes::kNoSlot);
    EXPECT_FALSE(sizes->Find(g_buffers[0], bytes)) << "a reservation answers nothing";
    EXPECT_EQ(sizes->CountOf(g_buffers[0]), 0u);

    ASSERT_TRUE(sizes->Publish(slot, g_buffers[0], 528));
    uint32_t found = Sizes::kNoSlot;
    ASSERT_TRUE(sizes->Find(g_buffers[0], bytes, found));
    EXPECT_EQ(bytes, 528u);
    EXPECT_EQ(found, slot);
    EXPECT_FALSE(sizes->Find(g_buffers[1], bytes)) << "another address";

    sizes->Empty(slot);
    EXPECT_FALSE(sizes->Find(g_buffers[0], bytes)) << "a destroyed buffer is forgotten";
    EXPECT_EQ(sizes->CountOf(g_buffers[0]), 0u);
}

TEST(ConstantBufferSizes, AReservationEmptiedBeforePublicationIsNeverPublished) {
    auto sizes = std::make_unique<Sizes>();
    const uint32_t slot = sizes->Reserve(g_buffers[0], 64);
    ASSERT_NE(slot, Sizes::kNoSlot);
    // The buffer went while its marker was being attached.
    sizes->Empty(slot);
    EXPECT_FALSE(sizes->Publish(slot, g_buffers[0], 64));
    uint32_t bytes = 0;
    EXPECT_FALSE(sizes->Find(g_buffers[0], bytes));

    // Another buffer took the slot meanwhile: publishing the first must not overwrite it.
    const uint32_t taken = sizes->Reserve(g_buffers[1], 128);
    ASSERT_NE(taken, Sizes::kNoSlot);
    EXPECT_FALSE(sizes->Publish(taken, g_buffers[0], 64));
    EXPECT_TRUE(sizes->Publish(taken, g_buffers[1], 128));
    ASSERT_TRUE(sizes->Find(g_buffers[1], bytes));
    EXPECT_EQ(bytes, 128u);
}

TEST(ConstantBufferSizes, TheSameAddressWithAnotherSizeGetsItsOwnAnswerAndNoneOfTheOldFlags) {
    auto sizes = std::make_unique<Sizes>();
    const uint32_t first = sizes->Reserve(g_buffers[2], 64);
    ASSERT_TRUE(sizes->Publish(first, g_buffers[2], 64));
    sizes->AddFlags(first, 0x5);
    EXPECT_EQ(sizes->Flags(first), 0x5u);
    sizes->Empty(first);
    EXPECT_EQ(sizes->Flags(first), 0u);

    // A stale flag set after the slot was emptied must not reach the next buffer either.
    sizes->AddFlags(first, 0x8);
    const uint32_t second = sizes->Reserve(g_buffers[2], 528);
    ASSERT_TRUE(sizes->Publish(second, g_buffers[2], 528));
    uint32_t bytes = 0;
    ASSERT_TRUE(sizes->Find(g_buffers[2], bytes));
    EXPECT_EQ(bytes, 528u);
    EXPECT_EQ(sizes->Flags(second), 0u);
}

TEST(ConstantBufferSizes, SizesAreKeptExactlyAcrossTheirWholeRange) {
    struct Case {
        uint32_t bytes;
        bool kept;
    };
    const Case cases[] = {
        {0, true}, // a buffer that is not a constant buffer
        {16, true},    {528, true},    {65520, true},
        {65536, true}, {65552, false}, {100, false}, // not a whole number of registers
    };
    for (const Case& c : cases) {
        auto sizes = std::make_unique<Sizes>();
        const uint32_t slot = sizes->Reserve(g_buffers[3], c.bytes);
        EXPECT_EQ(slot != Sizes::kNoSlot, c.kept) << c.bytes;
        if (slot == Sizes::kNoSlot) {
            continue;
        }
        ASSERT_TRUE(sizes->Publish(slot, g_buffers[3], c.bytes)) << c.bytes;
        uint32_t bytes = 1;
        ASSERT_TRUE(sizes->Find(g_buffers[3], bytes)) << c.bytes;
        EXPECT_EQ(bytes, c.bytes);
    }
}

TEST(ConstantBufferSizes, NullAndAddressesBeyondFortyEightBitsAreNeverRemembered) {
    auto sizes = std::make_unique<Sizes>();
    EXPECT_EQ(sizes->Reserve(nullptr, 64), Sizes::kNoSlot);
    const auto* high = reinterpret_cast<const void*>(uintptr_t{1} << 48 | 0x1000);
    EXPECT_EQ(sizes->Reserve(high, 64), Sizes::kNoSlot);
    uint32_t bytes = 0;
    EXPECT_FALSE(sizes->Find(high, bytes));
}

TEST(ConstantBufferSizes, AFullWindowTurnsFurtherBuffersAwayUntilASlotIsEmptied) {
    auto sizes = std::make_unique<Sizes>();
    // The same address reserved over and over fills its own window.
    uint32_t slots[Sizes::kWindow];
    for (uint32_t& slot : slots) {
        slot = sizes->Reserve(g_buffers[0], 64);
        ASSERT_NE(slot, Sizes::kNoSlot);
    }
    EXPECT_EQ(sizes->Reserve(g_buffers[0], 64), Sizes::kNoSlot);
    sizes->Empty(slots[3]);
    EXPECT_EQ(sizes->Reserve(g_buffers[0], 64), slots[3]);
}

} // namespace
} // namespace corvane

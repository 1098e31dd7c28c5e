#include "data.h"

#include "outputcapture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <type_traits>

static_assert(!std::is_copy_constructible_v<CData> && !std::is_copy_assignable_v<CData>,
              "a copied CData would free its memory twice");

// Under ASan, owned memory that attach fails to free shows as a leak, and a realloc or free of the
// lent array as heap corruption.
TEST(CData, BorrowedMemoryIsNeitherFreedNorResized)
{
    uint8_t lent[16] = {7};
    CData buffer;
    ASSERT_TRUE(buffer.alloc(1, 64));
    buffer.attach(lent, 1, sizeof lent);
    EXPECT_FALSE(buffer.isOwned());
    EXPECT_EQ(buffer.getData(4), lent + 4);
    ASSERT_TRUE(buffer.realloc(1, 32));
    EXPECT_TRUE(buffer.isOwned());
    EXPECT_NE(buffer.getData(), lent);
    buffer.attach(lent, 1, sizeof lent);
    buffer.clear();
    EXPECT_EQ(lent[0], 7);
}

TEST(CData, SizesAndOffsetsBeyond32BitsAreRefusedNotWrapped)
{
    CData buffer;
    OutputCapture quiet;
    EXPECT_FALSE(buffer.alloc(65536, 65537)); // wraps to 65536 in 32 bits
    EXPECT_EQ(buffer.getData(), nullptr);
    ASSERT_TRUE(buffer.alloc(1, 16));
    uint8_t* before = buffer.getData();
    EXPECT_FALSE(buffer.realloc(65536, 65537));
    EXPECT_EQ(buffer.getData(), before);
    EXPECT_EQ(buffer.getSize(), 16u);
    const uint8_t source[32] = {};
    EXPECT_FALSE(buffer.initWithData(source, 0xFFFFFFF8u, 1, 16)); // offset + length wraps to 8
    EXPECT_FALSE(buffer.initWithData(source, 0, 2, 0x80000000u));  // 2 x 2^31 wraps to 0
}

TEST(CData, InitWithDataCopiesUpToTheEndAndRefusesOneByteMore)
{
    CData buffer;
    ASSERT_TRUE(buffer.alloc(1, 8));
    EXPECT_TRUE(buffer.initWithData("abcdefgh", 0, 0, 0)); // zero sizes mean the buffer's own
    EXPECT_TRUE(buffer.initWithData("xyz", 5, 1, 3));
    OutputCapture quiet;
    EXPECT_FALSE(buffer.initWithData("wxyz", 5, 1, 4));
    EXPECT_EQ(std::memcmp(buffer.getData(), "abcdexyz", 8), 0);
}

#include <gtest/gtest.h>

#include "ByteBuffer.h"

namespace {

TEST(ByteBuffer, NumbersGoLeastSignificantByteFirst) {
    ByteBuffer b;
    EXPECT_TRUE(b.appendU16(0x5627));
    EXPECT_TRUE(b.appendU32(0x11223344));
    EXPECT_EQ(b, (ByteBuffer{0x27, 0x56, 0x44, 0x33, 0x22, 0x11}));
}

TEST(ByteBuffer, ReplaceShrinkClear) {
    ByteBuffer b{1, 2, 3};
    EXPECT_TRUE(b.replace(0xFC));
    EXPECT_EQ(b, ByteBuffer{0xFC});
    const std::uint8_t more[] = {5, 6, 7};
    EXPECT_TRUE(b.append(more, 3));
    b.shrink(10);
    EXPECT_EQ(b.size(), 4u);
    b.shrink(2);
    EXPECT_EQ(b, (ByteBuffer{0xFC, 5}));
    b.clear();
    EXPECT_EQ(b.size(), 0u);
    EXPECT_TRUE(b.append(nullptr, 0));
    EXPECT_TRUE(b.empty());
}

TEST(ByteBuffer, CopyIsDeep) {
    ByteBuffer a{1, 2, 3};
    ByteBuffer b;
    ASSERT_TRUE(b.copyFrom(a));
    a[0] = 9;
    EXPECT_EQ(b[0], 1);
    EXPECT_EQ(a.at(5, 0xEE), 0xEE);
}

}  // namespace

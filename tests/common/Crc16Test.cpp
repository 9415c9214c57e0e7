#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "Crc16.h"

namespace {

TEST(Crc16, CheckValue) {
    const std::string_view check = "123456789";
    Crc16 crc;
    for (char c : check) crc.update(static_cast<std::uint8_t>(c));
    EXPECT_EQ(crc.value(), 0x2189);
}

TEST(Crc16, TableEntries) {
    EXPECT_EQ(Crc16::tableEntry(0), 0x0000);
    EXPECT_EQ(Crc16::tableEntry(1), 0x1189);
    EXPECT_EQ(Crc16::tableEntry(128), 0x8408);
}

TEST(Crc16, FrameCheckBytes) {
    const struct {
        std::vector<std::uint8_t> frame;
        std::uint8_t low, high;
    } cases[] = {
        {{0xFC, 0x05, 0x11}, 0x27, 0x56},
        {{0xFC, 0x05, 0x1A}, 0xF4, 0xE8},
        {{0xFC, 0x05, 0xFC}, 0xCC, 0x6A},
        {{}, 0x00, 0x00},
    };
    for (const auto& c : cases) {
        Crc16 crc;
        crc.update(c.frame);
        EXPECT_EQ(crc.low(), c.low);
        EXPECT_EQ(crc.high(), c.high);
    }
}

TEST(Crc16, ResetStartsAfresh) {
    Crc16 crc;
    crc.update(0xFC);
    crc.reset();
    crc.update(std::vector<std::uint8_t>{0xFC, 0x05, 0x11});
    EXPECT_EQ(crc.value(), 0x5627);
}

}  // namespace

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "CommMessage.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(Base64, PairsBothWays) {
    const struct {
        Bytes bytes;
        const char* text;
    } pairs[] = {
        {{}, ""},
        {{0x00}, "AA=="},
        {{0x00, 0x00}, "AAA="},
        {{0xFC, 0x05, 0x11}, "/AUR"},
        {{0xFC, 0x05, 0x1A, 0xF4, 0xE8}, "/AUa9Og="},
        {{0xFC, 0x05, 0x11, 0x27, 0x56}, "/AURJ1Y="},
        {{0xFB, 0xEF, 0xBE}, "++++"},
    };
    for (const auto& p : pairs) {
        SCOPED_TRACE(p.text);
        EXPECT_EQ(base64Encode(p.bytes), p.text);
        EXPECT_EQ(base64Decode(p.text), p.bytes);
    }
}

TEST(Base64, EveryByteValueRoundTrips) {
    for (std::size_t n = 0; n < 260; ++n) {
        Bytes bytes(n);
        for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(255 - i);
        const std::string text = base64Encode(bytes);
        EXPECT_EQ(text.size(), (n + 2) / 3 * 4);
        EXPECT_EQ(base64Decode(text), bytes) << n;
    }
}

TEST(Base64, DecodingOddInput) {
    const struct {
        const char* text;
        Bytes bytes;
    } cases[] = {
        {"A", {}},
        {"AAA", {}},
        {"/AURxy", {0xFC, 0x05, 0x11}},  // an incomplete last group is ignored
        {"/A*R", {0xFC, 0x00, 0x11}},    // outside the alphabet: six zero bits
        {"/AU=", {0xFC, 0x05}},          // a pad drops one byte from the end
        {"=AUR", {0x00, 0x05}},          // wherever the pad stands
        {"====", {}},                    // never more than the output has
        {"AAAA====", {0x00, 0x00}},      // pads count over all groups
        {"/AUR\r\n", {0xFC, 0x05, 0x11}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(base64Decode(c.text), c.bytes);
    }
}

TEST(TrimBlanks, BothEndsOnly) {
    EXPECT_EQ(trimBlanks(" \t\r\nCOM1 \r\n"), "COM1");
    EXPECT_EQ(trimBlanks("a b\tc"), "a b\tc");
    EXPECT_EQ(trimBlanks(" \t\r\n "), "");
    EXPECT_EQ(trimBlanks(""), "");
    EXPECT_EQ(trimBlanks("\vx\v"), "\vx\v");
}

TEST(Numbers, Accepted) {
    const struct {
        const char* text;
        std::int32_t value;
    } cases[] = {
        {"9600", 9600}, {"+9600", 9600},
        {"-5", -5},     {"0", 0},
        {"007", 7},     {"2147483647", 2147483647},
        {"8 \t", 8},    {"-2147483648", INT32_MIN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(readNumber(c.text), std::optional<std::int32_t>(c.value));
    }
}

TEST(Numbers, Rejected) {
    for (const char* text : {"", " ", "96a", "0x10", "2147483648", "-2147483649", "4294967296", "99999999999999999999",
                             " 8", "+", "-", "+-1", "1 2", "1.0", "9600\x01"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(readNumber(text).has_value());
    }
}

TEST(Numbers, Unsigned) {
    EXPECT_EQ(readUnsigned("4294967295"), std::optional<std::uint32_t>(4294967295u));
    for (const char* text : {"", "-1", "+1", "4294967296", "1 "}) EXPECT_FALSE(readUnsigned(text)) << text;
}

TEST(Numbers, Written) {
    EXPECT_EQ(writeNumber(0), "0");
    EXPECT_EQ(writeNumber(102), "102");
    EXPECT_EQ(writeNumber(-1), "-1");
    EXPECT_EQ(writeNumber(INT32_MIN), "-2147483648");
}

}  // namespace

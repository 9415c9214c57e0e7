// The unit's frames byte for byte, and the reply tests on replies of every length.
#include <gtest/gtest.h>

#include "UnitFrames.h"

namespace {

struct FrameCase {
    const char* name;
    ByteBuffer frame;
    ByteBuffer expected;
};

TEST(Frames, BuiltByteForByte) {
    ByteBuffer block;
    for (int i = 0; i < 246; ++i) block.append(static_cast<std::uint8_t>(i));
    ByteBuffer expectedBlock{0xFC, 0xFF, 0xD1, 0xF6, 0x00, 0x00, 0x00};
    expectedBlock.append(block.data(), block.size());

    const FrameCase cases[] = {
        {"status", unitframe::statusRequest(), {0xFC, 0x05, 0x11}},
        {"start", unitframe::startDownload(), {0xFC, 0x05, 0xD0}},
        {"ack", unitframe::ack(), {0xFC, 0x05, 0x50}},
        {"version", unitframe::versionRequest(), {0xFC, 0x05, 0x84}},
        {"verify zero", unitframe::verify({0, 0, 0, 0, 0, 0}), {0xFC, 0x0B, 0xD2, 0, 0, 0, 0, 0, 0}},
        {"verify order", unitframe::verify({1, 2, 3, 4, 5, 6}), {0xFC, 0x0B, 0xD2, 4, 3, 2, 1, 6, 5}},
        {"block at 246", unitframe::writeBlock(246, block.bytes()), expectedBlock},
        {"short block",
         unitframe::writeBlock(0x01020304, ByteBuffer{0xAA}.bytes()),
         {0xFC, 0x0A, 0xD1, 0x04, 0x03, 0x02, 0x01, 0xAA}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.frame, c.expected);
    }
    block.append(0x00);  // 247 bytes: the length byte wraps
    EXPECT_EQ(unitframe::writeBlock(0, block.bytes())[1], 0x00);
}

TEST(Frames, ReplyTestsReadOnlyWhatIsThere) {
    struct Case {
        ByteBuffer reply;
        bool ack, disable, ready, busy, r00, r80, version;
    };
    const Case cases[] = {
        {{}, false, false, false, false, false, false, false},
        {{0xFC, 0x05}, false, false, false, false, false, false, false},
        {{0xFC, 0x05, 0x50}, true, false, false, false, false, false, false},
        {{0xFC, 0x05, 0x1A}, false, true, false, false, false, false, false},
        {{0xFC, 0x05, 0xD4}, false, false, false, false, false, false, false},  // no data byte
        {{0xFC, 0x07, 0xD4, 0x00}, false, false, true, false, false, false, false},
        {{0xFC, 0x07, 0xD4, 0x80}, false, false, false, true, false, false, false},
        {{0xFC, 0x07, 0xD3, 0x00}, false, false, false, false, true, false, false},
        {{0xFC, 0x07, 0xD3, 0x80}, false, false, false, false, false, true, false},
        {{0xFC, 0x0A, 0x84, 1}, false, false, false, false, false, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::vector<std::uint8_t>(c.reply.bytes().begin(), c.reply.bytes().end())));
        EXPECT_EQ(unitframe::isAck(c.reply), c.ack);
        EXPECT_EQ(unitframe::isDisable(c.reply), c.disable);
        EXPECT_EQ(unitframe::isReady(c.reply), c.ready);
        EXPECT_EQ(unitframe::isBusy(c.reply), c.busy);
        EXPECT_EQ(unitframe::isResult00(c.reply), c.r00);
        EXPECT_EQ(unitframe::isResult80(c.reply), c.r80);
        EXPECT_EQ(unitframe::isVersion(c.reply), c.version);
    }
}

}  // namespace

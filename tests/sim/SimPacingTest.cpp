// Time on the line: pacing at the line rate, pauses inside a reply, streams and a prompt stop.
// Run on their own, since a busy machine makes them meaningless.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "SimTestSupport.h"

using namespace simtest;

namespace {

TEST_F(SimTest, PacedExchangeTakesTheLineTime) {
    SimConfig config;
    config.pacing.enabled = true;
    config.pacing.baud = 38400;
    config.pacing.eraseTime = 0ms;
    config.pacing.blockWriteTime = 0ms;
    config.unit.eraseBusyPolls = 0;
    start(config);
    ASSERT_EQ(host->exchange(kStatus), kDisable);
    ASSERT_EQ(host->exchange(kStart), kAckReply);
    ASSERT_EQ(host->exchange(kStatus), kReady);

    // 20 full blocks: 255 bytes out, 5 back, 11 bits each.
    const auto lineTime = std::chrono::duration<double>(20 * 260 * 11.0 / 38400);
    const auto before = std::chrono::steady_clock::now();
    for (std::uint32_t i = 0; i < 20; ++i) ASSERT_EQ(host->exchange(blockFrame(i * 246, Bytes(246, 0x5A))), kAckReply);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - before;
    EXPECT_GE(took.count(), lineTime.count() * 0.99);
    // Typically within 0.5 %; the slack is for a loaded test machine.
    EXPECT_LE(took.count(), lineTime.count() * 1.08);
}

TEST_F(SimTest, PacedFlashTimeKeepsTheUnitBusy) {
    SimConfig config;
    config.pacing.enabled = true;
    config.pacing.eraseTime = 150ms;
    config.unit.eraseBusyPolls = 0;
    start(config);
    ASSERT_EQ(host->exchange(kStatus), kDisable);
    ASSERT_EQ(host->exchange(kStart), kAckReply);
    const auto erased = std::chrono::steady_clock::now() + 150ms;
    EXPECT_EQ(host->exchange(kStatus), kBusy);
    std::this_thread::sleep_until(erased + 20ms);
    EXPECT_EQ(host->exchange(kStatus), kReady);
}

TEST_F(SimTest, GapPausesInsideTheReply) {
    SimConfig config;
    config.faults.gap.nth = 1;
    config.faults.gapTime = 300ms;
    start(config);
    ASSERT_TRUE(host->send(kStatus));
    ASSERT_TRUE(host->readByte(1s));
    ASSERT_TRUE(host->readByte(1s));  // the first half: two of five bytes
    EXPECT_FALSE(host->readByte(200ms));
    EXPECT_EQ(host->readBytes(3), (Bytes{0x1A, 0xF4, 0xE8}));
}

TEST_F(SimTest, StreamsNeverFormAFrame) {
    for (const auto stream : {StreamFault::NoSync, StreamFault::ShortLength}) {
        SCOPED_TRACE(stream == StreamFault::NoSync ? "no sync" : "short length");
        SimConfig config;
        config.faults.stream = stream;
        start(config);
        ASSERT_TRUE(host->send(kStatus));
        Bytes got;
        const auto until = std::chrono::steady_clock::now() + 300ms;
        while (std::chrono::steady_clock::now() < until)
            if (auto b = host->readByte(100ms)) got.push_back(*b);
        // About 1 KiB in 300 ms at 38400 baud.
        EXPECT_GT(got.size(), 500u);
        EXPECT_LT(got.size(), 1500u);
        for (std::size_t i = 0; i + 1 < got.size(); ++i) {
            if (stream == StreamFault::NoSync) {
                ASSERT_NE(got[i], 0xFC);
            } else if (got[i] == 0xFC) {
                ASSERT_LT(got[i + 1], 3) << "at " << i;
            }
        }
        if (stream == StreamFault::ShortLength) {
            EXPECT_NE(std::find(got.begin(), got.end(), 0xFC), got.end());
        }
        EXPECT_EQ(sim->counters().repliesSent, 0u);
    }
}

TEST_F(SimTest, StopReturnsAtOnceInTheMiddleOfAReply) {
    SimConfig config;
    config.faults.gap.nth = 1;
    config.faults.gapTime = 10s;
    start(config);
    ASSERT_TRUE(host->send(kStatus));
    ASSERT_TRUE(host->readByte(1s));
    const auto before = std::chrono::steady_clock::now();
    sim->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms);
}

}  // namespace

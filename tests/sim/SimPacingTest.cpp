// Line-rate pacing: what the host sees must be the line time, no less and hardly more. Run on
// their own, since a busy machine makes them meaningless.
#include <gtest/gtest.h>

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

}  // namespace

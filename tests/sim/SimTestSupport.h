#pragma once

// Frames, a test download file and a fixture that puts a host on the simulated unit's line.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "HostPort.h"
#include "TestBytes.h"
#include "UnitSimulator.h"

namespace simtest {

using namespace unitsim;
using namespace std::chrono_literals;
namespace command = unitframe::command;
namespace code = unitframe::reply;

inline const Bytes kStatus = toBytes(unitframe::statusRequest());
inline const Bytes kStart = toBytes(unitframe::startDownload());
inline const Bytes kVerify = toBytes(unitframe::verify({}));
inline const Bytes kAck = toBytes(unitframe::ack());
inline const Bytes kVersion = toBytes(unitframe::versionRequest());

inline const Bytes kDisable = unitReply(code::kDisable);
inline const Bytes kAckReply = unitReply(code::kAck);
inline const Bytes kReady = unitReply(code::kFlashStatus, {code::kReady});
inline const Bytes kBusy = unitReply(code::kFlashStatus, {code::kBusy});

inline Bytes blockFrame(std::uint32_t offset, const Bytes& data) {
    return toBytes(unitframe::writeBlock(offset, data));
}

class SimTest : public ::testing::Test {
protected:
    void start(SimConfig config = {}) {
        sim = std::make_unique<UnitSimulator>(config);
        sim->start();
        host = std::make_unique<HostPort>(sim->devicePath());
        ASSERT_TRUE(host->isOpen());
    }

    // Polls until the reply is no longer busy; the busy replies are counted.
    Bytes pollPastBusy(int& busyCount) {
        busyCount = 0;
        for (int i = 0; i < 100; ++i) {
            auto r = host->exchange(kStatus);
            if (r != kBusy) return r;
            ++busyCount;
        }
        return {};
    }

    // Erase, the blocks of `file` at their offsets (all-0xFF full blocks passed over), verify.
    void download(const Bytes& file) {
        ASSERT_EQ(host->exchange(kStatus), kDisable);
        ASSERT_EQ(host->exchange(kStart), kAckReply);
        int busy = 0;
        ASSERT_EQ(pollPastBusy(busy), kReady);
        EXPECT_EQ(busy, 2) << "erase busy for the default number of polls";
        for (std::size_t offset = 0; offset < file.size(); offset += 246) {
            const Bytes block(file.begin() + offset, file.begin() + std::min(file.size(), offset + 246));
            if (block.size() == 246 && offset != 0 &&
                std::all_of(block.begin(), block.end(), [](auto b) { return b == 0xFF; }))
                continue;
            ASSERT_EQ(host->exchange(blockFrame(offset, block)), kAckReply) << "offset " << offset;
            ASSERT_EQ(pollPastBusy(busy), kReady);
        }
        ASSERT_EQ(host->exchange(kVerify), kAckReply);
    }

    std::unique_ptr<UnitSimulator> sim;
    std::unique_ptr<HostPort> host;
};

}  // namespace simtest

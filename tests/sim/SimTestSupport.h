#pragma once

// Frames, a test download file and a fixture that puts a host on the simulated unit's line.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "Crc16.h"
#include "HostPort.h"
#include "UnitSimulator.h"

namespace simtest {

using namespace unitsim;
using namespace std::chrono_literals;
using Bytes = HostPort::Bytes;

inline const Bytes kStatus{0xFC, 0x05, 0x11};
inline const Bytes kStart{0xFC, 0x05, 0xD0};
inline const Bytes kVerify{0xFC, 0x0B, 0xD2, 0, 0, 0, 0, 0, 0};
inline const Bytes kAck{0xFC, 0x05, 0x50};
inline const Bytes kVersion{0xFC, 0x05, 0x84};

inline Bytes reply(std::uint8_t replyCode, Bytes data = {}) {
    Bytes frame{0xFC, static_cast<std::uint8_t>(data.size() + 5), replyCode};
    frame.insert(frame.end(), data.begin(), data.end());
    return HostPort::withCheck(frame);
}

inline const Bytes kDisable = reply(0x1A);
inline const Bytes kAckReply = reply(0x50);
inline const Bytes kReady = reply(0xD4, {0x00});
inline const Bytes kBusy = reply(0xD4, {0x80});

inline Bytes blockFrame(std::uint32_t offset, const Bytes& data) {
    Bytes frame(7 + data.size());
    frame[0] = 0xFC;
    frame[1] = static_cast<std::uint8_t>(data.size() + 9);
    frame[2] = 0xD1;
    for (int i = 0; i < 4; ++i) frame[3 + i] = static_cast<std::uint8_t>(offset >> (8 * i));
    std::copy(data.begin(), data.end(), frame.begin() + 7);
    return frame;
}

// A download file: body, then its check code high byte first.
inline Bytes downloadFile(std::size_t size, std::uint8_t seed) {
    Bytes file(size);
    for (std::size_t i = 0; i < size; ++i) file[i] = static_cast<std::uint8_t>(i * 7 + seed);
    const auto crc = Crc16::of({file.data(), size - 2});
    file[size - 2] = static_cast<std::uint8_t>(crc >> 8);
    file[size - 1] = static_cast<std::uint8_t>(crc);
    return file;
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

// The simulated unit driven through its pseudo-terminal with hand-built frames, as a host would.
#include <gtest/gtest.h>

#include <algorithm>

#include "Crc16.h"
#include "SimTestSupport.h"

using namespace simtest;

namespace {

TEST_F(SimTest, StatusRunsThroughResetAndEnabledToDisable) {
    SimConfig config;
    config.unit.resetPolls = 2;
    config.unit.enabledPolls = 1;
    start(config);
    for (const auto& expected :
         {unitReply(code::kReset), unitReply(code::kReset), unitReply(kEnabledIdle), kDisable, kDisable})
        EXPECT_EQ(host->exchange(kStatus), expected);
    EXPECT_EQ(sim->phase(), UnitPhase::Disabled);
}

TEST_F(SimTest, DisableReplyIsTheKnownFrame) {
    start();
    EXPECT_EQ(host->exchange(kStatus), (Bytes{0xFC, 0x05, 0x1A, 0xF4, 0xE8}));
}

TEST_F(SimTest, DownloadStoresBlocksAndVerifiesTheImage) {
    start();
    // Three blocks, the middle one blank and passed over: only the erase puts 0xFF there.
    Bytes body = randomBody(498, 3);
    std::fill(body.begin() + 246, body.begin() + 492, 0xFF);
    const Bytes file = sealed(body);
    const auto crc = Crc16::of(body);

    download(file);
    int busy = 0;
    const Bytes result = unitReply(
        code::kVerifyResult, {code::kResult00, static_cast<std::uint8_t>(crc), static_cast<std::uint8_t>(crc >> 8)});
    EXPECT_EQ(pollPastBusy(busy), result);
    EXPECT_EQ(busy, 1);
    EXPECT_EQ(host->exchange(kStatus), result) << "repeated until acknowledged";
    EXPECT_EQ(host->exchange(kAck), kAckReply);
    EXPECT_EQ(host->exchange(kStatus), kDisable);

    EXPECT_EQ(sim->blocks(), (std::vector<BlockRecord>{{0, 246}, {492, 8}}));
    EXPECT_EQ(sim->image(), file);
    EXPECT_EQ(sim->memory(500, 4), (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
    ASSERT_TRUE(sim->verifyOutcome());
    EXPECT_TRUE(sim->verifyOutcome()->passed);
}

TEST_F(SimTest, VerifyResult80CarriesTheComputedCheckCode) {
    struct Case {
        const char* name;
        bool spoilTrailer;
        bool forceResult80;
    };
    for (const Case& c : {Case{"wrong trailer", true, false}, Case{"forced by fault", false, true}}) {
        SCOPED_TRACE(c.name);
        SimConfig config;
        config.faults.forceResult80 = c.forceResult80;
        start(config);
        Bytes file = makeImage(300, 9);
        if (c.spoilTrailer) file.back() ^= 0x01;
        download(file);
        const auto body = Crc16::of({file.data(), file.size() - 2});
        int busy = 0;
        EXPECT_EQ(pollPastBusy(busy), unitReply(code::kVerifyResult, {code::kResult80, static_cast<std::uint8_t>(body),
                                                                      static_cast<std::uint8_t>(body >> 8)}));
        EXPECT_EQ(host->exchange(kAck), kAckReply);
        EXPECT_EQ(host->exchange(kStatus), kDisable);
    }
}

TEST_F(SimTest, VersionReplyHoldsFourDataBytesThenTheText) {
    SimConfig config;
    config.unit.versionText = "ABCDEFGHIJK";  // L = 20: the text is bytes 7 to 17
    start(config);
    const Bytes r = host->exchange(kVersion);
    ASSERT_EQ(r.size(), 20u);
    EXPECT_EQ(r[2], 0x84);
    EXPECT_EQ(std::string(r.begin() + 7, r.begin() + 18), "ABCDEFGHIJK");
    EXPECT_EQ(
        r, unitReply(code::kVersion, {0x01, 0x00, 0x02, 0x07, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K'}));
}

TEST_F(SimTest, FramesTheUnitCannotTakeGetNoReply) {
    struct Case {
        const char* name;
        Bytes bytes;  // sent as they are
    };
    SimConfig config;
    config.unit.memorySize = 1024;
    start(config);
    ASSERT_EQ(host->exchange(kStatus), kDisable);
    ASSERT_EQ(host->exchange(kStart), kAckReply);
    const Case cases[] = {
        {"bad check code", {0xFC, 0x05, 0x11, 0x27, 0x57}},
        {"unknown command", unitReply(0x77)},
        {"block past the memory's end", onLine(blockFrame(1020, Bytes(8, 0x11)))},
        {"block offset far outside", onLine(blockFrame(0xFFFFFFF0u, Bytes(32, 0x11)))},
        {"block frame without a whole offset", onLine({0xFC, 0x08, command::kWriteBlock, 0x00, 0x00, 0x00})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Counters before = sim->counters();
        ASSERT_TRUE(host->writeRaw(c.bytes));
        // Taken and left unanswered: the unit counts that in one step with its decision.
        ASSERT_TRUE(sim->waitForCounters(
            [&](const Counters& now) {
                return now.badCheckFrames + now.unanswered == before.badCheckFrames + before.unanswered + 1;
            },
            1s));
        // Still alive and in step: a stray reply would come before the next one.
        int busy = 0;
        EXPECT_EQ(pollPastBusy(busy), kReady);
    }
    EXPECT_TRUE(sim->blocks().empty());
    EXPECT_EQ(sim->counters().badCheckFrames, 1u);
}

TEST_F(SimTest, IncompleteFrameIsDroppedAfterQuietTime) {
    SimConfig config;
    config.partialFrameTimeout = 100ms;
    start(config);
    ASSERT_TRUE(host->writeRaw(kStatus));  // no check bytes: the frame stays incomplete
    ASSERT_TRUE(sim->waitForCounters([](const Counters& c) { return c.partialFramesDropped == 1; }, 2s));
    EXPECT_EQ(host->exchange(kStatus), kDisable);
}

TEST_F(SimTest, ReplyFaultsShapeTheBytesOnTheLine) {
    const Bytes disable = kDisable;
    Bytes spoilt = disable;
    spoilt.back() ^= 0xFF;
    auto concat = [](Bytes a, const Bytes& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    struct Case {
        const char* name;
        Faults faults;
        Bytes first;   // raw bytes answering the first status request
        Bytes second;  // and the second
    };
    std::vector<Case> cases;
    auto add = [&](const char* name, auto set, Bytes first, Bytes second) {
        Faults f;
        set(f);
        cases.push_back({name, f, std::move(first), std::move(second)});
    };
    add(
        "bad check on reply 1", [](Faults& f) { f.badCheck.nth = 1; }, spoilt, disable);
    add(
        "bad check every 2nd", [](Faults& f) { f.badCheck.every = 2; }, disable, spoilt);
    add(
        "noise before reply 1",
        [](Faults& f) {
            f.noise.nth = 1;
            f.noiseBytes = 3;
        },
        concat({0x55, 0xAA, 0x00}, disable), disable);
    add("cut after 3 bytes",
        [](Faults& f) {
            f.cut.nth = 2;
            f.cutAfterBytes = 3;
        },
        disable, {0xFC, 0x05, 0x1A});
    add(
        "sent twice", [](Faults& f) { f.duplicate.nth = 1; }, concat(disable, disable), disable);
    add("silent after 1 frame", [](Faults& f) { f.silentAfterFrames = 1; }, disable, {});
    add("silent from the start", [](Faults& f) { f.silentAfterFrames = 0; }, {}, {});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimConfig config;
        config.faults = c.faults;
        start(config);
        // Each request taken (and its reply, if any, decided) before the next goes out.
        ASSERT_TRUE(host->send(kStatus));
        ASSERT_TRUE(sim->waitForFrames(1, 1s));
        EXPECT_EQ(host->readBytes(c.first.size()), c.first);
        ASSERT_TRUE(host->send(kStatus));
        ASSERT_TRUE(sim->waitForFrames(2, 1s));
        EXPECT_EQ(host->readBytes(c.second.size()), c.second);
        // Nothing more on the line: with the faults gone, the next bytes are the next reply.
        sim->setFaults({});
        ASSERT_TRUE(host->send(kStatus));
        EXPECT_EQ(host->readBytes(disable.size()), disable);
    }
}

TEST_F(SimTest, StickyFaultsHoldTheirState) {
    struct Case {
        const char* name;
        void (*set)(Faults&);
        std::vector<Bytes> setup;  // frames sent first, replies not checked
        Bytes expected;            // every later status reply
    };
    const Case cases[] = {
        {"never disable", [](Faults& f) { f.neverDisable = true; }, {}, unitReply(kEnabledIdle)},
        {"busy during erase", [](Faults& f) { f.busyForeverErase = true; }, {kStatus, kStart}, kBusy},
        {"busy after a block",
         [](Faults& f) { f.busyForeverBlock = true; },
         {kStatus, kStart, kStatus, kStatus, kStatus, blockFrame(0, Bytes(10, 1))},
         kBusy},
        {"busy during verify",
         [](Faults& f) { f.busyForeverVerify = true; },
         {kStatus, kStart, kStatus, kStatus, kStatus, kVerify},
         kBusy},
        {"stuck after result",
         [](Faults& f) { f.stuckAfterResult = true; },
         {kStatus, kStart, kStatus, kStatus, kStatus, kVerify, kStatus, kStatus, kAck},
         unitReply(code::kVerifyResult, {code::kResult80, 0x00, 0x00})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimConfig config;
        c.set(config.faults);
        start(config);
        for (const auto& frame : c.setup) ASSERT_FALSE(host->exchange(frame).empty());
        for (int i = 0; i < 20; ++i) ASSERT_EQ(host->exchange(kStatus), c.expected) << "poll " << i;
    }
}

TEST_F(SimTest, LineDropsAfterTheChosenBlock) {
    SimConfig config;
    config.faults.dropLineAfterBlock = 2;
    start(config);
    ASSERT_EQ(host->exchange(kStatus), kDisable);
    ASSERT_EQ(host->exchange(kStart), kAckReply);
    int busy = 0;
    ASSERT_EQ(pollPastBusy(busy), kReady);
    ASSERT_EQ(host->exchange(blockFrame(0, Bytes(246, 1))), kAckReply);
    ASSERT_EQ(host->exchange(blockFrame(246, Bytes(246, 2))), kAckReply);
    ASSERT_TRUE(sim->waitForLineDrop(1s));
    pollfd p{host->fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 1000), 1);
    EXPECT_NE(p.revents & POLLHUP, 0);
}

TEST_F(SimTest, HostMayCloseAndReopenThePortBetweenSessions) {
    start();
    for (int session = 0; session < 3; ++session) {
        host.reset();
        host = std::make_unique<HostPort>(sim->devicePath());
        ASSERT_TRUE(host->isOpen()) << "session " << session;
        EXPECT_EQ(host->exchange(kStatus), kDisable);
        host->close();
    }
}

TEST_F(SimTest, WaitsAreBoundedAndSeeProgress) {
    start();
    EXPECT_FALSE(sim->waitForFrames(1, 50ms));
    ASSERT_EQ(host->exchange(kStatus), kDisable);
    EXPECT_TRUE(sim->waitForReplies(1, 1s));
    const auto log = sim->frameLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].direction, FrameRecord::Direction::In);
    EXPECT_EQ(log[0].bytes, onLine(kStatus));
    EXPECT_EQ(log[1].direction, FrameRecord::Direction::Out);
    EXPECT_EQ(log[1].bytes, kDisable);
}

}  // namespace

// Whole downloads and version checks: the dialog core, the worker thread and the real px417
// library (extracted from the program's embedded copy) against the simulated unit. Messages
// are handed to the core one at a time, as the window's pump does; every wait is bounded.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>

#include "Recording.h"
#include "UnitSimulator.h"
#include "core/DialogCore.h"
#include "session/EmbeddedResource.h"

using namespace unitsim;
using namespace std::chrono_literals;

namespace {

const std::string kTitle = "UNIT LOADER Ver.1.21";

bool holds(const Message& m, bool (*test)(const ByteBuffer&)) { return m.payload && test(*m.payload); }

// A 738-byte file whose third block is all 0xFF, trailer included: bytes 490 and 491 are
// chosen to make the check code of the first 736 bytes 0xFFFF.
Bytes fileWithBlankLastBlock() {
    Bytes f = makeImage(492);
    f.resize(738, 0xFF);
    for (unsigned v = 0; v < 65536; ++v) {
        f[490] = static_cast<std::uint8_t>(v);
        f[491] = static_cast<std::uint8_t>(v >> 8);
        if (Crc16::of({f.data(), 736}) == 0xFFFF) return f;
    }
    return {};
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(extractLibrary(library)); }
    void TearDown() override { core.Shutdown(); }

    void startUnit(SimConfig config = {}) {
        sim = std::make_unique<UnitSimulator>(config);
        sim->start();
        feedback.port = sim->devicePath();
    }
    void select(const Bytes& file) {
        writeFile(dir.file("image.bin"), file);
        ASSERT_TRUE(core.SelectDownloadFile(dir.file("image.bin")));
    }
    // What the operator does, after the window has handled whatever was left in its queue.
    void start() {
        core.drainQueued(window.queue());
        core.StartDownload(Connection::fromTexts(feedback.port, feedback.baud));
    }
    void startCheck() {
        core.drainQueued(window.queue());
        core.StartVersionCheck(Connection::fromTexts(feedback.port, feedback.baud));
    }
    // Pumps until neither a download nor a version check runs, stopping the run when its watch
    // says so. `before` sees each message before the core does, which is the moment to change
    // the unit for what comes next.
    ::testing::AssertionResult pumpToEnd(const std::function<void(const Message&)>& before = {}) {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (core.isRunning()) {
            if (std::chrono::steady_clock::now() > deadline) return ::testing::AssertionFailure() << "over 30 s";
            if (const auto reason = core.dueStop()) {
                core.stopRun(*reason);
                break;
            }
            Message m;
            if (!window.queue().waitAndTake(m, core.watch().nextCheck(5s))) {
                if (core.dueStop()) continue;
                return ::testing::AssertionFailure() << "no message for 5 s in state " << core.state();
            }
            if (before) before(m);
            core.handleMessage(m);
        }
        return ::testing::AssertionSuccess();
    }
    void expectIdleAndClosed() {
        EXPECT_TRUE(feedback.controlsEnabled);
        EXPECT_EQ(feedback.status, "");
        EXPECT_FALSE(core.isConnected());
        EXPECT_EQ(core.state(), 0u);
        EXPECT_FALSE(core.versionCheckActive());
    }
    // The success box, and the unit holding exactly the file.
    void expectDownloaded(const Bytes& file) {
        ASSERT_EQ(feedback.boxes.size(), 1u);
        SCOPED_TRACE(feedback.boxes[0].caption + " / " + feedback.boxes[0].text);
        const auto outcome = sim->verifyOutcome();
        ASSERT_TRUE(outcome);
        EXPECT_EQ(feedback.boxes[0].kind, RecordedBox::Info);
        EXPECT_EQ(feedback.boxes[0].caption, kTitle);
        EXPECT_EQ(feedback.boxes[0].text, "The target file was downloaded successfully\nCRC:" +
                                              hex4(outcome->computed) + "\nFILE-CRC:" + hex4(Crc16::of(file)));
        EXPECT_EQ(sim->memory(0, static_cast<std::uint32_t>(file.size())), file);
        EXPECT_EQ(feedback.progress.back(), 0u);
        expectIdleAndClosed();
    }

    TempDir dir;
    std::string library = dir.file("px417.so");
    std::unique_ptr<UnitSimulator> sim;  // outlives the core's session
    QueuedWindow window;
    RecordingFeedback feedback{window};
    DialogCore core{feedback, window, library};
};

TEST_F(EndToEnd, SuccessfulDownload) {
    startUnit();
    const Bytes file = makeImage(1000);
    select(file);
    start();
    EXPECT_TRUE(core.isConnected());
    EXPECT_FALSE(feedback.controlsEnabled);
    EXPECT_FALSE(feedback.listsEnabled);
    ASSERT_TRUE(pumpToEnd());
    expectDownloaded(file);
    EXPECT_EQ(sim->blocks().size(), 5u);
}

TEST_F(EndToEnd, RetryLimitsAreExactAndBusyNeverCountsWhileWriting) {
    SimConfig config;
    config.unit.enabledPolls = 10;    // the 11th reply in state 1 is Disable
    config.unit.eraseBusyPolls = 50;  // the 51st in state 3 is ready
    config.unit.blockBusyPolls = 15;  // more busy replies in state 5 than any limit
    startUnit(config);
    // Full blocks only: after a short last block busy replies would count (state 8).
    const Bytes file = makeImage(492);
    select(file);
    start();
    ASSERT_TRUE(pumpToEnd());
    expectDownloaded(file);
}

// On a line paced at 38400 baud a status exchange lasts 3.2 ms; a poll repeated after a counted
// reply comes 10 ms after it, so the 50 polls while erasing cover about 660 ms and the 10 while
// waiting for Disable about 130 ms. Without the pause they would cover a quarter of that.
TEST_F(EndToEnd, CountedRetriesCoverTheTimeTheLimitsWereSizedFor) {
    struct Case {
        const char* name;
        std::chrono::milliseconds erase;
        std::chrono::milliseconds enabled;
        std::optional<Failure> failure;
    };
    const std::vector<Case> cases = {
        {"erase of 500 ms", 500ms, 0ms, std::nullopt},
        {"erase of 1.5 s", 1500ms, 0ms, Failure::NotErased},
        {"enabled for the first 100 ms", 0ms, 100ms, std::nullopt},
    };
    const Bytes file = makeImage(300);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimConfig config;
        config.pacing.enabled = true;
        config.pacing.baud = 38400;
        config.pacing.eraseTime = c.erase;
        config.unit.eraseBusyPolls = 0;  // busy for the erase time alone
        config.unit.enabledTime = c.enabled;
        feedback.boxes.clear();
        startUnit(config);
        select(file);
        start();
        ASSERT_TRUE(pumpToEnd());
        if (c.failure) {
            EXPECT_EQ(core.failure(), c.failure);
            // The status request, the download start, then 51 polls while erasing: 50 retries.
            EXPECT_EQ(sim->counters().framesReceived, 53u);
            expectIdleAndClosed();
        } else {
            expectDownloaded(file);
        }
        sim.reset();
    }
}

// A damaged acknowledgement in the middle of the file: that block goes again at its own offset.
TEST_F(EndToEnd, MiddleBlockWithADamagedAckIsSentAgain) {
    SimConfig config;
    config.unit.eraseBusyPolls = 2;
    config.unit.blockBusyPolls = 0;
    // Replies: Disable, start ack, busy, busy, ready, ack of block 0, ready, ack of block 246,
    // ready; the 10th acknowledges the block at 492.
    config.faults.badCheck.nth = 10;
    startUnit(config);
    const Bytes file = makeImage(1000);
    select(file);
    start();
    ASSERT_TRUE(pumpToEnd());
    EXPECT_EQ(sim->blocks(),
              (std::vector<BlockRecord>{{0, 246}, {246, 246}, {492, 246}, {492, 246}, {738, 246}, {984, 16}}));
    expectDownloaded(file);
}

TEST_F(EndToEnd, BlankMiddleBlockIsPassedOver) {
    startUnit();
    Bytes body = makeImage(600);
    std::fill(body.begin() + 246, body.begin() + 492, 0xFF);
    const Bytes file = sealed(Bytes(body.begin(), body.end() - 2));
    select(file);
    start();
    ASSERT_TRUE(pumpToEnd());
    EXPECT_EQ(sim->blocks(), (std::vector<BlockRecord>{{0, 246}, {492, 108}}));
    EXPECT_EQ(feedback.progress, (std::vector<std::uint32_t>{0, 1, 2, 0}));
    ASSERT_EQ(feedback.boxes.size(), 1u);
    EXPECT_EQ(feedback.boxes[0].progressWhileUp, 2u);
    expectDownloaded(file);
}

TEST_F(EndToEnd, FiveHundredBytesGoAsTwoFullBlocksAndEight) {
    startUnit();
    const Bytes file = makeImage(500);
    select(file);
    start();
    ASSERT_TRUE(pumpToEnd());
    EXPECT_EQ(sim->blocks(), (std::vector<BlockRecord>{{0, 246}, {246, 246}, {492, 8}}));
    std::vector<std::uint8_t> last;
    for (const auto& r : sim->frameLog())
        if (r.direction == FrameRecord::Direction::In && r.bytes.size() > 2 && r.bytes[2] == 0xD1) last = r.bytes;
    EXPECT_EQ(last.size(), 17u);
    EXPECT_EQ(last.at(1), 17u);
    expectDownloaded(file);
}

// The file ends on a full block (sent, or blank and passed over), or is shorter than one block:
// each time the verify follows the last block and the download completes.
TEST_F(EndToEnd, DownloadsEndingWithoutAShortBlockStillVerify) {
    struct Case {
        const char* name;
        Bytes file;
        std::vector<BlockRecord> blocks;
    };
    const std::vector<Case> cases = {
        {"full last block", makeImage(492), {{0, 246}, {246, 246}}},
        {"one full block", makeImage(246), {{0, 246}}},
        {"shorter than a block", makeImage(100), {{0, 100}}},
        {"two bytes", sealed({}), {{0, 2}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        feedback.boxes.clear();
        startUnit();
        select(c.file);
        start();
        ASSERT_TRUE(pumpToEnd());
        EXPECT_EQ(sim->blocks(), c.blocks);
        expectDownloaded(c.file);
        sim.reset();
    }
}

// A unit cannot tell that a file goes on in blank blocks it never received: it checks what it
// got, finds no valid trailer there and reports D3 80. What matters is that the verify follows.
TEST_F(EndToEnd, BlankLastBlockIsPassedOverAndVerified) {
    const Bytes file = fileWithBlankLastBlock();
    ASSERT_FALSE(file.empty());
    startUnit();
    select(file);
    start();
    ASSERT_TRUE(pumpToEnd());
    EXPECT_EQ(sim->blocks(), (std::vector<BlockRecord>{{0, 246}, {246, 246}}));
    EXPECT_EQ(feedback.progress, (std::vector<std::uint32_t>{0, 1, 2, 3}));
    ASSERT_TRUE(sim->verifyOutcome());
    EXPECT_EQ(sim->verifyOutcome()->end, 492u);
    ASSERT_EQ(feedback.boxes.size(), 1u);
    EXPECT_EQ(feedback.boxes[0].caption, "Premature Termination");
    expectIdleAndClosed();
}

TEST_F(EndToEnd, Result80EndsWithTheWarning) {
    SimConfig config;
    config.faults.forceResult80 = true;
    startUnit(config);
    const Bytes file = makeImage(300);
    select(file);
    start();
    ASSERT_TRUE(pumpToEnd());
    ASSERT_EQ(feedback.boxes.size(), 1u);
    EXPECT_EQ(feedback.boxes[0].caption, "Premature Termination");
    EXPECT_EQ(feedback.boxes[0].text,
              "Following download status did not returned to disable\n\n"
              "File may have been completely loaded, check the unit.\n"
              "If unit does not function, download again.\n\nCRC:" +
                  hex4(sim->verifyOutcome()->computed) + "\nFILE-CRC:" + hex4(Crc16::of(file)));
    EXPECT_EQ(feedback.progress.back(), 1u);
    expectIdleAndClosed();
}

TEST_F(EndToEnd, VersionCheckShowsBytesSevenToLMinusThree) {
    SimConfig config;
    config.unit.versionText = "ABCDEFGHIJK";  // frame length 20
    startUnit(config);
    startCheck();
    EXPECT_TRUE(core.versionCheckActive());
    EXPECT_EQ(feedback.version, "");
    ASSERT_TRUE(pumpToEnd());
    EXPECT_EQ(feedback.version, "ABCDEFGHIJK");
    EXPECT_TRUE(feedback.boxes.empty());
    expectIdleAndClosed();
}

TEST_F(EndToEnd, FailedVersionCheckThenADownload) {
    startUnit();
    startCheck();
    ASSERT_TRUE(pumpToEnd([&](const Message& m) {
        if (holds(m, unitframe::isDisable)) {
            Faults f;
            f.badCheck.every = 1;
            sim->setFaults(f);
        }
    }));
    ASSERT_EQ(feedback.boxes.size(), 1u);
    EXPECT_EQ(feedback.boxes[0].caption, "ERROR:Premature Termination");
    expectIdleAndClosed();

    sim->setFaults({});
    feedback.boxes.clear();
    const Bytes file = makeImage(400);
    select(file);
    start();
    ASSERT_TRUE(pumpToEnd());
    expectDownloaded(file);
}

// Each failure, provoked in its own state by a unit that answers wrongly there.
struct FailureCase {
    Failure failure;
    std::function<void(SimConfig&)> configure;
    // True for the message before which the unit turns bad.
    std::function<bool(const Message&, const DialogCore&)> trigger;
    std::function<void(Faults&)> fault;
    std::uint64_t framesAfter;  // frames the unit gets from then to the failure
    std::string caption;
    std::string text;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << "F" << static_cast<int>(c.failure); }

void badCheck(Faults& f) { f.badCheck.every = 1; }

bool readyIn(const Message& m, const DialogCore& core, std::uint32_t state, std::uint32_t done) {
    return core.state() == state && core.blocksDone() == done && holds(m, unitframe::isReady);
}

const std::string kNoAck =
    "No Ack message from Acceptor\n\nVerify unit connection to PC\n"
    "Download process may need to be restarted\n(Forced download method)";
const std::string kRestart = "Download process may need to be restarted\n(Forced download method)";

std::vector<FailureCase> failureCases() {
    return {
        {Failure::NotDisabled, [](SimConfig& c) { c.unit.enabledPolls = 11; }, nullptr, nullptr, 11,
         "ERROR:Unit is not disabled/connected",
         "Make sure unit is connected and turned on.\nMake sure unit is not enabled."},
        {Failure::NoStartAck, nullptr,
         [](const Message& m, const DialogCore& c) { return c.state() == 1 && holds(m, unitframe::isDisable); },
         badCheck, 11, "ERROR:Premature Termination", kNoAck},
        {Failure::NotErased, [](SimConfig& c) { c.unit.eraseBusyPolls = 51; }, nullptr, nullptr, 53,
         "ERROR:Unit is not disabled/connected",
         "Make sure unit is not enabled.\nMake sure unit is connected and turned on."},
        {Failure::NoFirstBlockAck, nullptr, [](const Message& m, const DialogCore& c) { return readyIn(m, c, 3, 0); },
         badCheck, 11, "ERROR:Communication Error.", kRestart},
        {Failure::NoReady, nullptr,
         [](const Message& m, const DialogCore& c) { return c.state() == 4 && holds(m, unitframe::isAck); }, badCheck,
         11, "ERROR:Premature Termination",
         "No Ready/Busy message from Acceptor\n\nVerify a valid software is selected\n"
         "Verify the unit has Flash ROM\nVerify unit connection to PC\n"
         "Download process need to be restarted\n(Forced download method)"},
        {Failure::NoBlockAck, nullptr, [](const Message& m, const DialogCore& c) { return readyIn(m, c, 5, 0); },
         badCheck, 11, "ERROR:Premature Termination", kNoAck},
        {Failure::NoLastBlockAck, nullptr, [](const Message& m, const DialogCore& c) { return readyIn(m, c, 5, 1); },
         badCheck, 11, "ERROR:Premature Termination", kNoAck},
        {Failure::NotReadyAfterLast, nullptr, [](const Message& m, const DialogCore& c) { return readyIn(m, c, 5, 1); },
         [](Faults& f) { f.busyForeverBlock = true; }, 12, "ERROR:Communication Error", kRestart},
        {Failure::NoVerifyAck, nullptr, [](const Message& m, const DialogCore& c) { return readyIn(m, c, 8, 2); },
         badCheck, 11, "ERROR:No Ack from Acceptor",
         "Verify unit connection to PC\nDownload process may need to be restarted\n(Forced download method)"},
    };
}

class Failures : public EndToEnd, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(Failures, EndWithTheirBoxAndLeaveTheLoaderReady) {
    const FailureCase& c = GetParam();
    SimConfig config;
    if (c.configure) c.configure(config);
    startUnit(config);
    select(makeImage(600));  // blocks at 0 and 246 (full) and 492 (short)
    start();
    std::uint64_t framesBefore = 0;
    bool triggered = !c.trigger;
    ASSERT_TRUE(pumpToEnd([&](const Message& m) {
        if (!triggered && c.trigger(m, core)) {
            triggered = true;
            framesBefore = sim->counters().framesReceived;
            Faults f;
            c.fault(f);
            sim->setFaults(f);
        }
    }));
    ASSERT_TRUE(triggered);
    EXPECT_EQ(sim->counters().framesReceived - framesBefore, c.framesAfter);
    ASSERT_EQ(feedback.boxes.size(), 1u);
    EXPECT_EQ(feedback.boxes[0].kind, RecordedBox::Pair);
    EXPECT_EQ(feedback.boxes[0].caption, c.caption);
    EXPECT_EQ(feedback.boxes[0].text, c.text);
    EXPECT_EQ(core.lastReport().box.caption, c.caption);
    expectIdleAndClosed();

    sim->setFaults({});
    start();
    EXPECT_TRUE(core.isConnected());
    EXPECT_EQ(core.state(), 1u);
}

INSTANTIATE_TEST_SUITE_P(F, Failures, ::testing::ValuesIn(failureCases()),
                         [](const auto& info) { return "F" + std::to_string(static_cast<int>(info.param.failure)); });

TEST_F(EndToEnd, VersionCheckGivesF1WhenTheUnitStaysEnabled) {
    SimConfig config;
    config.faults.neverDisable = true;
    startUnit(config);
    startCheck();
    ASSERT_TRUE(pumpToEnd());
    EXPECT_EQ(sim->counters().framesReceived, 11u);
    ASSERT_EQ(feedback.boxes.size(), 1u);
    EXPECT_EQ(feedback.boxes[0].caption, "ERROR:Unit is not disabled/connected");
    expectIdleAndClosed();
}

}  // namespace

namespace {

// A 1200-byte file (five blocks, the last short) whose second and third blocks are all 0xFF.
Bytes fileWithTwoBlankBlocks() {
    Bytes body = randomBody(1198);
    std::fill(body.begin() + 246, body.begin() + 738, 0xFF);
    return sealed(body);
}

}  // namespace

// Each way a run ends, as its report says it: through the real session and px417 into the
// simulated unit, pumped as a window would, the watch asked after every message.
TEST_F(EndToEnd, TheReportOfEachOutcome) {
    struct Case {
        const char* name;
        std::function<void(SimConfig&)> unit;
        RunWatch::Limits limits;
        std::uint32_t stopInState;  // a stop request once the run stands there (0: none)
        Outcome outcome;
        std::optional<Failure> failure;
        const char* caption;
        std::function<void(const RunReport&, const UnitSimulator&)> more;
    };
    const Bytes file = fileWithTwoBlankBlocks();
    const auto verified = [&](std::uint8_t result) {
        return [&, result](const RunReport& r, const UnitSimulator& unit) {
            ASSERT_TRUE(r.verifyResult);
            EXPECT_EQ(*r.verifyResult, result);
            EXPECT_EQ(r.unitCrc5 << 8 | r.unitCrc4, unit.verifyOutcome()->computed);
            EXPECT_EQ(r.blocksSent, 3u);  // five blocks, two passed over
            EXPECT_EQ(r.retries[DownloadSequencer::kWaitDisable], 2u);
        };
    };
    const std::vector<Case> cases = {
        {"success",
         [](SimConfig& c) { c.unit.enabledPolls = 2; },
         {},
         0,
         Outcome::Success,
         {},
         kTitle.c_str(),
         verified(0x00)},
        {"verify result 80",
         [](SimConfig& c) {
             c.unit.enabledPolls = 2;
             c.faults.forceResult80 = true;
         },
         {},
         0,
         Outcome::Warning,
         {},
         "Premature Termination",
         verified(0x80)},
        {"busy for ever while erasing",
         [](SimConfig& c) { c.faults.busyForeverErase = true; },
         {},
         0,
         Outcome::Failed,
         Failure::NotErased,
         "ERROR:Unit is not disabled/connected",
         [](const RunReport& r, const UnitSimulator&) {
             EXPECT_EQ(r.retries[DownloadSequencer::kWaitErased], 50u);
             EXPECT_EQ(r.lastState, DownloadSequencer::kWaitErased);
             EXPECT_FALSE(r.verifyResult);
         }},
        {"bad check code on every reply",
         [](SimConfig& c) { c.faults.badCheck.every = 1; },
         {},
         0,
         Outcome::Failed,
         Failure::NotDisabled,
         "ERROR:Unit is not disabled/connected",
         [](const RunReport& r, const UnitSimulator&) {
             EXPECT_EQ(r.lastLinkError, LinkError::BadCheckCode);
             EXPECT_EQ(r.retries[DownloadSequencer::kWaitDisable], 10u);
         }},
        {"busy for ever after a block",
         [](SimConfig& c) { c.faults.busyForeverBlock = true; },
         {std::nullopt, 300ms},
         0,
         Outcome::Stalled,
         {},
         "No progress",
         [](const RunReport& r, const UnitSimulator&) {
             ASSERT_TRUE(r.stop);
             EXPECT_EQ(r.stop->reason, StopReason::Stalled);
             EXPECT_EQ(r.lastReply, "busy (D4 80)");
             EXPECT_NE(r.box.text.find("made no progress for 0.3 s, waiting for ready after a block"),
                       std::string::npos)
                 << r.box.text;
         }},
        {"busy for ever while verifying",
         [](SimConfig& c) { c.faults.busyForeverVerify = true; },
         {500ms, {}},
         0,
         Outcome::TimedOut,
         {},
         "Time-out",
         [](const RunReport& r, const UnitSimulator&) {
             EXPECT_GE(r.duration, 500ms);
             EXPECT_EQ(r.box.text.rfind("The download did not end within 0.5 s, waiting for the verify result; it was "
                                        "stopped after ",
                                        0),
                       0u)
                 << r.box.text;
         }},
        {"stopped in the blocks",
         {},
         {},
         DownloadSequencer::kWaitReady,
         Outcome::Interrupted,
         {},
         "Interrupted",
         [](const RunReport& r, const UnitSimulator&) {
             EXPECT_EQ(r.box.text, "The download was stopped by the test, " + waitingFor(r) +
                                       ".\nThe session was closed. The unit may still be in download mode: switch "
                                       "it off and on before the next download.");
             EXPECT_GE(r.lastState, DownloadSequencer::kWaitReady);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimConfig config;
        if (c.unit) c.unit(config);
        feedback.boxes.clear();
        startUnit(config);
        select(file);
        core.watch().setLimits(c.limits);
        const auto before = std::chrono::system_clock::now();
        start();
        ASSERT_TRUE(pumpToEnd([&](const Message&) {
            if (c.stopInState && core.state() == c.stopInState && !core.watch().stopRequested())
                core.watch().requestStop("by the test");
        }));
        const RunReport& r = core.lastReport();
        EXPECT_EQ(r.outcome, c.outcome);
        EXPECT_EQ(r.failure, c.failure);
        EXPECT_EQ(r.box.caption, c.caption);
        ASSERT_EQ(feedback.boxes.size(), 1u);  // the window's box is the report's
        EXPECT_EQ(feedback.boxes[0].caption, r.box.caption);
        EXPECT_EQ(feedback.boxes[0].text, r.box.text);
        EXPECT_EQ(r.connection.port, sim->devicePath());
        EXPECT_EQ(r.connection.baud, 38400);
        EXPECT_EQ(r.file, dir.file("image.bin"));
        EXPECT_EQ(r.fileSize, file.size());
        EXPECT_EQ(r.fileCrc, Crc16::of(file));
        EXPECT_EQ(r.blankBlocks, 2u);
        EXPECT_LE(before, r.startedAt);
        EXPECT_LE(r.startedAt, r.endedAt);
        if (c.more) c.more(r, *sim);
        expectIdleAndClosed();
        core.watch().setLimits({});
        sim.reset();
    }
}

// A version check's report holds the unit's version; a port that will not open its own box.
TEST_F(EndToEnd, TheReportOfAVersionCheckAndOfAPortThatWillNotOpen) {
    startUnit();
    startCheck();
    ASSERT_TRUE(pumpToEnd());
    EXPECT_EQ(core.lastReport().kind, RunKind::VersionCheck);
    EXPECT_EQ(core.lastReport().outcome, Outcome::Success);
    EXPECT_EQ(core.lastReport().unitVersion, feedback.version);
    EXPECT_EQ(core.lastReport().box.kind, ReportBox::Kind::None);
    EXPECT_TRUE(feedback.boxes.empty());

    feedback.port = dir.file("no-such-port");
    startCheck();
    EXPECT_EQ(core.lastReport().outcome, Outcome::ConnectionFailure);
    EXPECT_EQ(core.lastReport().box.kind, ReportBox::Kind::Table);
    EXPECT_EQ(core.lastReport().box.stringId, kStrCommInitFailed);
}

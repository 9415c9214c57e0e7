// The worker thread against the built px417 library and the simulated unit on a pseudo-terminal.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "UnitFrames.h"
#include "UnitSimulator.h"
#include "session/CommWorker.h"
#include "session/EmbeddedResource.h"
#include "session/UnitSession.h"

namespace {

using namespace std::chrono_literals;

const ByteBuffer kDisableReply{0xFC, 0x05, 0x1A, 0xF4, 0xE8};

class WorkerTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(extractLibrary(lib_));
        sim_.start();
    }
    void TearDown() override { sim_.stop(); }

    PrivateMailslots slots_;
    TempDir dir_;
    const std::string lib_ = dir_.file("px417.so");
    unitsim::UnitSimulator sim_;
    QueuedWindow window_;
    const MessageId statusUpdate_ = registerMessage(msgname::kStatusUpdate);
    const MessageId response_ = registerMessage(msgname::kResponse);
    const MessageId alarm_ = registerMessage(msgname::kAlarm);
};

TEST_F(WorkerTest, PollingRunsFromEnableUntilDisableAndPollOnceAsksOnce) {
    TraceCapture loaderTrace(kLoaderTraceName);
    CommWorker worker(window_, lib_);
    ASSERT_TRUE(worker.open(sim_.devicePath(), 38400));
    ASSERT_EQ(loaderTrace.take(1).size(), 1u);  // the "Result = " line of the Open

    worker.enableComm();
    for (int i = 0; i < 3; ++i) {
        Message m;
        ASSERT_TRUE(window_.queue().waitAndTake(m, 5s));
        EXPECT_EQ(m.id, statusUpdate_);
        ASSERT_NE(m.payload, nullptr);
        EXPECT_EQ(*m.payload, kDisableReply);
    }
    EXPECT_EQ(loaderTrace.take(1), std::vector<std::string>{"Enable Message \r"});

    worker.disableComm();
    ASSERT_EQ(loaderTrace.take(1), std::vector<std::string>{"Disable Message \r"});
    // The turn that took DisableComm makes no request; whatever came before is answered by now.
    const auto before = sim_.counters().framesReceived;
    Message m;
    while (window_.queue().take(m)) EXPECT_EQ(m.id, statusUpdate_);

    ASSERT_TRUE(worker.pollOnce());
    ASSERT_TRUE(window_.queue().waitAndTake(m, 5s));
    EXPECT_EQ(m.id, statusUpdate_);
    EXPECT_EQ(loaderTrace.take(1), std::vector<std::string>{"Polling Message \r"});
    // Once the thread has ended nothing more can come: exactly one request, one reply.
    worker.stop();
    EXPECT_EQ(sim_.counters().framesReceived, before + 1);
    EXPECT_EQ(window_.queue().size(), 0u);
}

TEST_F(WorkerTest, CommandBringsResponseWithTheReplyBytes) {
    TraceCapture loaderTrace(kLoaderTraceName);
    CommWorker worker(window_, lib_);
    ASSERT_TRUE(worker.open(sim_.devicePath(), 38400));
    ASSERT_TRUE(worker.postCommand(unitframe::versionRequest()));
    Message m;
    ASSERT_TRUE(window_.queue().waitAndTake(m, 5s));
    EXPECT_EQ(m.id, response_);
    ASSERT_NE(m.payload, nullptr);
    ASSERT_GE(m.payload->size(), 9u);
    EXPECT_TRUE(unitframe::isVersion(*m.payload));
    EXPECT_EQ((*m.payload)[1], m.payload->size());
    auto lines = loaderTrace.take(2);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "Command Message \r");
    worker.stop();
}

TEST_F(WorkerTest, FailuresBecomeAlarmsWithTheSentFrameOrNothing) {
    CommWorker worker(window_, lib_);
    ASSERT_TRUE(worker.open(sim_.devicePath(), 38400));
    unitsim::Faults faults;
    faults.badCheck.every = 1;  // every reply arrives damaged: result 105, fast
    sim_.setFaults(faults);

    ASSERT_TRUE(worker.postCommand(unitframe::startDownload()));
    Message m;
    ASSERT_TRUE(window_.queue().waitAndTake(m, 5s));
    EXPECT_EQ(m.id, alarm_);
    ASSERT_NE(m.payload, nullptr);
    EXPECT_EQ(*m.payload, unitframe::startDownload());  // the frame as handed over

    ASSERT_TRUE(worker.pollOnce());
    ASSERT_TRUE(window_.queue().waitAndTake(m, 5s));
    EXPECT_EQ(m.id, alarm_);
    ASSERT_NE(m.payload, nullptr);
    EXPECT_EQ(m.payload->size(), 0u);  // a failed poll carries nothing

    sim_.setFaults({});
    ASSERT_TRUE(worker.pollOnce());  // the port is still good afterwards
    ASSERT_TRUE(window_.queue().waitAndTake(m, 5s));
    EXPECT_EQ(m.id, statusUpdate_);
    worker.stop();
}

// The faults of the line, as the worker reports them: each with an error of its own.
TEST_F(WorkerTest, EachFaultOfTheUnitIsItsOwnLinkError) {
    CommWorker worker(window_, lib_);
    ASSERT_TRUE(worker.open(sim_.devicePath(), 38400));
    unitsim::Faults badCheck, cut;
    badCheck.badCheck.every = 1;
    cut.cut.every = 1;  // three bytes of each reply, then nothing: the wait for the rest ends it
    for (const auto& [faults, error] : {std::pair{badCheck, LinkError::BadCheckCode}, {cut, LinkError::NoReply}}) {
        sim_.setFaults(faults);
        ASSERT_TRUE(worker.pollOnce());
        Message m;
        ASSERT_TRUE(window_.queue().waitAndTake(m, 5s));
        EXPECT_EQ(m.id, alarm_);
        EXPECT_EQ(linkErrorOf(m.detail), error) << linkErrorName(error);
    }
    // The unit's end of the line gone: nothing can be written or read any more.
    sim_.stop();
    ASSERT_TRUE(worker.pollOnce());
    Message m;
    ASSERT_TRUE(window_.queue().waitAndTake(m, 5s));
    EXPECT_EQ(m.id, alarm_);
    EXPECT_EQ(linkErrorOf(m.detail), LinkError::SendFailed);
    worker.stop();
}

// A repeated poll waits out its pause on the worker thread: orders posted behind it keep their
// place, and ExitThread ends the pause at once. The pause is long here so that both show.
TEST_F(WorkerTest, RetryPollWaitsItsPauseInOrderAndGivesWayToExit) {
    constexpr auto kPause = 1500ms;
    CommWorker worker(window_, lib_, kPause);
    ASSERT_TRUE(worker.open(sim_.devicePath(), 38400));
    ASSERT_TRUE(worker.pollOnce());
    ASSERT_TRUE(worker.retryPoll());
    ASSERT_TRUE(worker.postCommand(unitframe::ack()));
    for (const MessageId expected : {statusUpdate_, statusUpdate_, response_}) {
        Message m;
        ASSERT_TRUE(window_.queue().waitAndTake(m, 5s));
        EXPECT_EQ(m.id, expected);
    }
    // By the unit's clock: the repeated request came no sooner than the pause after the reply.
    const auto log = sim_.frameLog();
    ASSERT_GE(log.size(), 3u);
    ASSERT_EQ(log[1].direction, unitsim::FrameRecord::Direction::Out);
    ASSERT_EQ(log[2].direction, unitsim::FrameRecord::Direction::In);
    EXPECT_GE(log[2].time - log[1].time, kPause);

    ASSERT_TRUE(worker.retryPoll());
    const auto stopping = std::chrono::steady_clock::now();
    worker.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, kPause / 2);
    EXPECT_EQ(sim_.counters().framesReceived, 3u);  // the waiting poll never went out
}

TEST_F(WorkerTest, StopWhilePollingClosesUnloadsAndFreesThePort) {
    TraceCapture px417Trace("DebugComm_px417");
    {
        CommWorker worker(window_, lib_);
        ASSERT_TRUE(worker.open(sim_.devicePath(), 38400));
        worker.enableComm();
        Message m;
        ASSERT_TRUE(window_.queue().waitAndTake(m, 5s));
        worker.stop();
        EXPECT_FALSE(worker.isOpen());
        EXPECT_EQ(::dlopen(lib_.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);

        // The px417 trace ends with the Close request and its answer: nothing after the stop.
        const std::vector<std::string> all = px417Trace.arrived();
        ASSERT_GE(all.size(), 4u);
        EXPECT_EQ(all[all.size() - 2], "COMM_PX417/1.0\r\nMethod: Close\r\n\r\n");
        EXPECT_EQ(all.back(), "COMM_PX417/1.0 200 OK\r\n\r\n");
        worker.stop();  // a second stop does nothing
        EXPECT_TRUE(px417Trace.arrived().empty());
    }
    // The port was closed and unlocked: a new session opens it at once.
    UnitSession session(lib_);
    QueuedWindow other;
    ASSERT_TRUE(session.connect(other, sim_.devicePath(), 38400));
    session.requestStatus();
    Message m;
    ASSERT_TRUE(other.queue().waitAndTake(m, 5s));
    EXPECT_EQ(m.id, statusUpdate_);
    session.destroy();
    EXPECT_FALSE(session.isConnected());
}

TEST_F(WorkerTest, OpenFailsOnAMissingDeviceAndLeavesNothingLoaded) {
    CommWorker worker(window_, lib_);
    EXPECT_FALSE(worker.open(dir_.file("no-such-tty"), 9600));
    EXPECT_FALSE(worker.isOpen());
    EXPECT_EQ(::dlopen(lib_.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
}

TEST_F(WorkerTest, SecondSessionOnABusyPortFails) {
    UnitSession first(lib_);
    ASSERT_TRUE(first.connect(window_, sim_.devicePath(), 38400));
    // One library instance per process serves one port; a second process-wide binding of the
    // same file shares it, so try the second open from a separate copy of the library.
    const std::string copy = dir_.file("px417-copy.so");
    ASSERT_TRUE(extractLibrary(copy));
    UnitSession second(copy);
    QueuedWindow other;
    EXPECT_FALSE(second.connect(other, sim_.devicePath(), 38400));
    first.destroy();
}

}  // namespace

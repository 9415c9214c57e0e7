// The sequencer's own logic, fed reply bytes straight into onReply over a link that records
// what would have gone to the unit. The end-to-end tests cover the same paths on the line.
#include <gtest/gtest.h>

#include "Recording.h"
#include "download/DownloadImage.h"
#include "download/DownloadSequencer.h"
#include "download/RunControl.h"
#include "download/VersionCheck.h"

namespace {

const ByteBuffer kDisable{0xFC, 0x05, 0x1A};
const ByteBuffer kAck{0xFC, 0x05, 0x50};
const ByteBuffer kReady{0xFC, 0x06, 0xD4, 0x00};
const ByteBuffer kBusy{0xFC, 0x06, 0xD4, 0x80};
const ByteBuffer kEnabled{0xFC, 0x05, 0x15};
const ByteBuffer kResult00{0xFC, 0x09, 0xD3, 0x00, 0x34, 0x12};

using Requests = std::vector<std::string>;

class SequencerTest : public ::testing::Test {
protected:
    void load(const Bytes& file) {
        writeFile(dir.file("f.bin"), file);
        ASSERT_EQ(image.load(dir.file("f.bin")), FileProblem::None);
    }
    // A download run with the feedback's port and baud-rate texts.
    void start() {
        run.open(RunKind::Download, Connection::fromTexts(feedback.port, feedback.baud));
        seq.start();
    }
    bool connect() {
        run.open(RunKind::Download, Connection::fromTexts(feedback.port, feedback.baud));
        return run.connectUnit();
    }
    // From start to the verify acknowledgement of a one-block file.
    void runToVerifyResult() {
        load(makeImage(100));
        start();
        for (const auto* r : {&kDisable, &kAck, &kReady, &kAck, &kReady, &kAck}) seq.onReply(*r);
        ASSERT_EQ(seq.state(), DownloadSequencer::kWaitVerifyResult);
        link.take();
    }

    TempDir dir;
    QueuedWindow window;
    RecordingFeedback feedback{window};
    RecordingLink link;
    RunControl run{link, feedback, window};
    DownloadImage image;
    DownloadSequencer seq{run, image};
};

TEST_F(SequencerTest, BaudTextMustBeAWholeDecimalNumber) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"19200", "19200"}, {"38400", "38400"}, {"", "9600"},       {"fast", "9600"},
        {"38400 ", "9600"}, {"384OO", "9600"},  {"0x9600", "9600"}, {"99999999999", "9600"},
    };
    feedback.port = "COM3";
    for (const auto& [text, used] : cases) {
        feedback.baud = text;
        ASSERT_TRUE(connect());
        EXPECT_EQ(link.take(), Requests{"connect COM3 " + used}) << '"' << text << '"';
    }
    EXPECT_FALSE(feedback.listsEnabled);

    feedback.port = std::string(300, 'p');
    feedback.baud = "38400";
    ASSERT_TRUE(connect());
    EXPECT_EQ(link.take(), Requests{"connect " + std::string(255, 'p') + " 38400"});
}

TEST_F(SequencerTest, VerifyResultIsAcknowledgedAndRepeatsAreAcknowledgedOnly) {
    const ByteBuffer kResult80{0xFC, 0x09, 0xD3, 0x80, 0x34, 0x12};
    struct Case {
        const ByteBuffer& result;
        std::uint32_t waiting;
        Outcome outcome;
    };
    for (const Case& c : {Case{kResult00, DownloadSequencer::kWaitDisableAfter00, Outcome::Success},
                          Case{kResult80, DownloadSequencer::kWaitDisableAfter80, Outcome::Warning}}) {
        SCOPED_TRACE(c.waiting);
        runToVerifyResult();
        seq.onReply(kBusy);
        EXPECT_EQ(link.take(), Requests{"poll"});
        seq.onReply(c.result);
        EXPECT_EQ(seq.state(), c.waiting);
        EXPECT_EQ(link.take(), (Requests{"ack", "poll"}));
        seq.onReply(c.result);
        EXPECT_EQ(link.take(), Requests{"ack"});
        seq.onReply(kAck);
        EXPECT_EQ(link.take(), Requests{"poll"});
        seq.onReply(kDisable);
        EXPECT_EQ(link.take(), (Requests{"nopoll", "disconnect"}));
        EXPECT_EQ(run.outcome(), c.outcome);
        // Only the success box resets the bar once it has been closed.
        EXPECT_EQ(feedback.progress.back(), c.outcome == Outcome::Success ? 0u : 1u);
        EXPECT_NE(feedback.boxes.back().text.find("\nCRC:1234\nFILE-CRC:" + hex4(image.fileCrc())), std::string::npos);
    }
    ASSERT_EQ(feedback.boxes.size(), 2u);
    EXPECT_EQ(feedback.boxes[0].kind, RecordedBox::Info);
    EXPECT_EQ(feedback.boxes[0].text,
              "The target file was downloaded successfully\nCRC:1234\nFILE-CRC:" + hex4(image.fileCrc()));
    EXPECT_EQ(feedback.boxes[1].caption, "Premature Termination");
}

// F1, then a new start: the box comes after the common end, and the new run counts afresh.
TEST_F(SequencerTest, FailureBoxFollowsTheEndAndANewStartCountsAfresh) {
    load(makeImage(300));
    feedback.events = &link.requests;
    start();
    for (int i = 0; i < 11; ++i) seq.onReply(kEnabled);
    const Requests requests = link.take();
    ASSERT_GE(requests.size(), 3u);
    EXPECT_EQ(Requests(requests.end() - 3, requests.end()), (Requests{"nopoll", "disconnect", "box"}));
    ASSERT_EQ(feedback.boxes.size(), 1u);
    EXPECT_TRUE(feedback.boxes[0].controlsEnabledWhileUp);

    start();
    seq.onReply(kEnabled);
    seq.onReply(kDisable);
    EXPECT_EQ(seq.state(), DownloadSequencer::kWaitStartAck);
    EXPECT_EQ(feedback.boxes.size(), 1u);
}

// Every middle block needs one retry for its acknowledgement and one for ready; the counters start
// again with each block, so a long file never adds them up to a failure.
TEST_F(SequencerTest, OneRetryPerBlockNeverAddsUpAcrossBlocks) {
    load(makeImage(246 * 14 + 100));  // the first block, 13 middle ones, a short last one
    start();
    for (const auto* r : {&kDisable, &kAck, &kReady, &kAck, &kReady}) seq.onReply(*r);
    int middle = 0;
    while (seq.state() == DownloadSequencer::kWaitBlockAck) {
        ++middle;
        for (const auto* r : {&kEnabled, &kAck, &kEnabled, &kReady}) seq.onReply(*r);
    }
    EXPECT_EQ(middle, 13);
    EXPECT_EQ(seq.state(), DownloadSequencer::kWaitLastBlockAck);
    EXPECT_TRUE(feedback.boxes.empty());
}

TEST_F(SequencerTest, RetryCountersRestartWhenTheirStateIsEntered) {
    load(makeImage(800));  // four blocks: 0, 246 and 492 full, 738 short
    start();
    for (int i = 0; i < 10; ++i) seq.onReply(kEnabled);
    seq.onReply(kDisable);
    seq.onReply(kAck);
    seq.onReply(kReady);
    seq.onReply(kAck);
    for (int i = 0; i < 10; ++i) seq.onReply(kEnabled);  // counter5 at its limit
    seq.onReply(kReady);                                 // block 246
    seq.onReply(kAck);                                   // state 5 again, counter5 = 0
    for (int i = 0; i < 10; ++i) seq.onReply(kEnabled);
    EXPECT_EQ(seq.state(), DownloadSequencer::kWaitReady);
    seq.onReply(kEnabled);
    EXPECT_EQ(seq.state(), 0u);
    EXPECT_EQ(feedback.boxes.back().text.substr(0, 35), "No Ready/Busy message from Acceptor");
    EXPECT_EQ(run.outcome(), Outcome::Failed);
    EXPECT_EQ(run.failure(), Failure::NoReady);
}

TEST_F(SequencerTest, VersionTextIsClippedToTheFrameAndToItsFirstZero) {
    VersionCheck check{run};
    struct Case {
        ByteBuffer reply;
        std::string shown;
    };
    const std::vector<Case> cases = {
        {{0xFC, 0x0C, 0x84, 1, 2, 3, 4, 'A', 'B', 'C', 0, 0}, "ABC"},
        {{0xFC, 0x09, 0x84, 1, 2, 3, 4, 0, 0}, ""},
        {{0xFC, 0x0D, 0x84, 1, 2, 3, 4, 'A', 0, 'C', 'D', 0, 0}, "A"},
        {{0xFC, 0x40, 0x84, 1, 2, 3, 4, 'X', 'Y'}, "XY"},  // length byte beyond what arrived
        {{0xFC, 0x09, 0x84}, ""},
    };
    for (const auto& c : cases) {
        run.open(RunKind::VersionCheck, Connection::fromTexts(feedback.port, feedback.baud));
        check.startVersionCheck();
        check.onVersionReply(kDisable);
        check.onVersionReply(c.reply);
        EXPECT_FALSE(check.active());
        EXPECT_EQ(feedback.version, c.shown);
    }
}

}  // namespace

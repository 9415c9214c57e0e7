// The parts that need no unit: status table, download file, and the dialog core's routing.
#include <gtest/gtest.h>

#include <filesystem>

#include "Recording.h"
#include "core/DialogCore.h"

namespace {

struct StatusRow {
    std::uint8_t code, data;
    std::uint32_t state;
    std::optional<std::string> line;  // nullopt: unchanged
};

TEST(StatusTable, FollowsCodeDataAndState) {
    const std::vector<StatusRow> rows = {
        {0x1A, 0x99, 7, "Disable"},     {0x40, 0x00, 0, "Reset"},
        {0x50, 0x00, 13, ""},           {0x50, 0x80, 0, ""},
        {0xD4, 0x00, 0, "Deleting"},    {0xD4, 0x00, 3, "Deleting"},
        {0xD4, 0x00, 4, std::nullopt},  {0xD4, 0x00, 5, "Downloading"},
        {0xD4, 0x00, 9, "Downloading"}, {0xD4, 0x00, 10, std::nullopt},
        {0xD4, 0x00, 13, std::nullopt}, {0xD4, 0x80, 0, "Deleting"},
        {0xD4, 0x80, 5, "Deleting"},    {0xD4, 0x80, 6, std::nullopt},
        {0xD4, 0x01, 9, std::nullopt},  {0xD4, 0x80, 10, "Verifying"},
        {0xD4, 0x80, 13, "Verifying"},  {0xD3, 0x00, 10, std::nullopt},
        {0x15, 0x00, 1, std::nullopt},
    };
    for (const auto& r : rows)
        EXPECT_EQ(statusLineFor(r.code, r.data, r.state), r.line)
            << std::hex << int(r.code) << " " << int(r.data) << std::dec << " state " << r.state;
}

class CoreTest : public ::testing::Test {
protected:
    TempDir dir;
    QueuedWindow window;
    RecordingFeedback feedback{window};
    RecordingLink link;
    DialogCore core{feedback, window, link};

    const RecordedBox& lastBox() { return feedback.boxes.back(); }
};

TEST_F(CoreTest, ValidFileSetsRangeCrcAndName) {
    const Bytes file = makeImage(493);
    writeFile(dir.file("a.bin"), file);
    ASSERT_TRUE(core.SelectDownloadFile(dir.file("a.bin")));
    EXPECT_TRUE(core.isLoaded());
    EXPECT_EQ(core.blockCount(), 3u);
    EXPECT_EQ(feedback.progressRange, 3u);
    EXPECT_EQ(core.fileCrc(), Crc16::of(file));
    EXPECT_EQ(feedback.crcText, hex4(Crc16::of(file)));
    EXPECT_EQ(feedback.fileName, dir.file("a.bin"));
    EXPECT_TRUE(feedback.boxes.empty());

    const Bytes exact = makeImage(492);
    writeFile(dir.file("b.bin"), exact);
    ASSERT_TRUE(core.SelectDownloadFile(dir.file("b.bin")));
    EXPECT_EQ(core.blockCount(), 2u);
}

TEST_F(CoreTest, RejectedFilesShowTheirBoxAndLeaveNothingLoaded) {
    Bytes swapped = makeImage(300);
    std::swap(swapped[298], swapped[299]);
    ASSERT_NE(swapped[298], swapped[299]);
    writeFile(dir.file("swapped.bin"), swapped);
    writeFile(dir.file("empty.bin"), {});
    writeFile(dir.file("one.bin"), {0x00});
    std::filesystem::create_directory(dir.file("folder"));

    struct Case {
        std::string path, caption, text;
    };
    const std::string title = "UNIT LOADER Ver.1.21";
    const std::vector<Case> cases = {
        {dir.file("swapped.bin"), "ERROR: Invalid download file", "Select a valid software."},
        {dir.file("empty.bin"), "ERROR: Invalid download file", "Select a valid software."},
        {dir.file("one.bin"), "ERROR: Invalid download file", "Select a valid software."},
        {dir.file("missing.bin"), title, "File Open Error"},
        {dir.file("folder"), title, "File Open Error"},
    };
    for (const auto& c : cases) {
        feedback.boxes.clear();
        EXPECT_FALSE(core.SelectDownloadFile(c.path)) << c.path;
        EXPECT_FALSE(core.isLoaded());
        ASSERT_EQ(feedback.boxes.size(), 1u) << c.path;
        EXPECT_EQ(lastBox().caption, c.caption) << c.path;
        EXPECT_EQ(lastBox().text, c.text) << c.path;
        EXPECT_EQ(core.outcome(), Outcome::FileError);
    }
}

TEST_F(CoreTest, FileBeyondThirtyTwoBitsIsAMemoryError) {
    const std::string path = dir.file("huge.bin");
    writeFile(path, {});
    std::filesystem::resize_file(path, (std::uintmax_t{1} << 32) + 1);  // sparse
    EXPECT_FALSE(core.SelectDownloadFile(path));
    ASSERT_EQ(feedback.boxes.size(), 1u);
    EXPECT_EQ(lastBox().kind, RecordedBox::Table);
    EXPECT_EQ(lastBox().text, "Memory Allocate Error");
}

TEST_F(CoreTest, FailedLoadAfterGoodOneKeepsTheDisplayButRefusesToStart) {
    const Bytes good = makeImage(400);
    writeFile(dir.file("good.bin"), good);
    writeFile(dir.file("bad.bin"), {1, 2, 3});
    ASSERT_TRUE(core.SelectDownloadFile(dir.file("good.bin")));
    EXPECT_FALSE(core.SelectDownloadFile(dir.file("bad.bin")));
    EXPECT_EQ(feedback.fileName, dir.file("good.bin"));
    EXPECT_EQ(feedback.crcText, hex4(Crc16::of(good)));

    core.StartDownload({"COM1", 9600});
    EXPECT_EQ(lastBox().caption, "ERROR: Download file is not selected");
    EXPECT_EQ(lastBox().text, "Select a valid software.");
    EXPECT_EQ(core.lastReport().box.caption, "ERROR: Download file is not selected");
    EXPECT_EQ(core.outcome(), Outcome::NoFileSelected);
    EXPECT_EQ(core.state(), 0u);
    EXPECT_TRUE(feedback.controlsEnabled);
}

TEST_F(CoreTest, ProgressRangeIsNotCutTo16Bits) {
    const Bytes big = makeImage(std::size_t{246} * 65536 + 1);
    writeFile(dir.file("big.bin"), big);
    ASSERT_TRUE(core.SelectDownloadFile(dir.file("big.bin")));
    EXPECT_EQ(feedback.progressRange, 65537u);
}

TEST_F(CoreTest, FailedConnectionShowsTheBoxAndStartsNothing) {
    link.connectWorks = false;
    writeFile(dir.file("a.bin"), makeImage(300));
    ASSERT_TRUE(core.SelectDownloadFile(dir.file("a.bin")));
    for (auto command : {&DialogCore::StartDownload, &DialogCore::StartVersionCheck}) {
        feedback.boxes.clear();
        (core.*command)({"COM1", 9600});
        ASSERT_EQ(feedback.boxes.size(), 1u);
        EXPECT_EQ(lastBox().text, "Failed in the initialization of the communication port.");
        EXPECT_EQ(core.lastReport().box.kind, ReportBox::Kind::Table);
        EXPECT_FALSE(core.isRunning());
        EXPECT_EQ(core.outcome(), Outcome::ConnectionFailure);
        EXPECT_TRUE(feedback.controlsEnabled);
        EXPECT_TRUE(feedback.listsEnabled);
    }
    EXPECT_EQ(feedback.version, "");  // the version check cleared it before connecting
}

// Replies of any length reach the status line and the sequencer without reading past their end.
TEST_F(CoreTest, ShortRepliesNeverReadPastTheirEnd) {
    const MessageId status = registerMessage(msgname::kStatusUpdate);
    const MessageId alarm = registerMessage(msgname::kAlarm);
    struct Case {
        MessageId id;
        Bytes bytes;
        std::string statusAfter;
    };
    const std::vector<Case> cases = {
        {status, {}, "untouched"},
        {status, {0xFC}, "untouched"},
        {status, {0xFC, 0x05}, "untouched"},
        {status, {0xFC, 0x05, 0xD4}, "untouched"},
        {status, {0xFC, 0x05, 0x1A}, "Disable"},
        {alarm, {0xFC, 0x05, 0x40}, "untouched"},
        {status, {0xFC, 0x06, 0xD4, 0x00}, "Deleting"},
    };
    for (const auto& c : cases) {
        feedback.status = "untouched";
        Message m{c.id, std::make_unique<ByteBuffer>(c.bytes.data(), c.bytes.size())};
        EXPECT_TRUE(core.handleMessage(m));
        EXPECT_FALSE(m.payload);
        EXPECT_EQ(feedback.status, c.statusAfter) << c.bytes.size() << " bytes";
    }
    Message none{status, nullptr};
    EXPECT_TRUE(core.handleMessage(none));

    Message skip{registerMessage(msgname::kSendCancel), nullptr};
    EXPECT_TRUE(core.handleMessage(skip));  // idle: taken, nothing done
    EXPECT_EQ(core.state(), 0u);
    EXPECT_TRUE(feedback.progress.empty());

    Message other{registerMessage(msgname::kCommand), nullptr};
    EXPECT_FALSE(core.handleMessage(other));
}

}  // namespace

// The watch on a clock of the test's: each limit fires exactly when it is reached, progress
// restarts only the stall limit, and a stop request comes first.
TEST(RunWatch, LimitsOnAnInjectedClock) {
    using namespace std::chrono_literals;
    RunWatch::Clock::time_point now{};
    RunWatch watch([&] { return now; });
    watch.setLimits({10s, 3s});
    EXPECT_EQ(watch.due(), std::nullopt);  // nothing runs
    watch.start({1, 0, 0});
    EXPECT_EQ(watch.nextCheck(60s), 3s);

    now += 2999ms;
    EXPECT_EQ(watch.due(), std::nullopt);
    watch.progressed({1, 0, 0});  // the same place is no progress
    now += 1ms;
    EXPECT_EQ(watch.due(), StopReason::Stalled);

    watch.progressed({5, 1, 0});
    EXPECT_EQ(watch.due(), std::nullopt);
    EXPECT_EQ(watch.nextCheck(60s), 3s);
    now += 2s;
    watch.progressed({5, 2, 0});  // a blank block passed over moves it on too
    now += 2s;                    // 7 s in all, 2 s since the last progress
    EXPECT_EQ(watch.due(), std::nullopt);
    EXPECT_EQ(watch.nextCheck(60s), 1s);
    now += 3s;
    EXPECT_EQ(watch.due(), StopReason::TimedOut);  // 10 s: the total limit before the stall's 11 s
    EXPECT_EQ(watch.limitOf(StopReason::TimedOut), 10s);

    watch.requestStop("by SIGINT");
    EXPECT_EQ(watch.due(), StopReason::Interrupted);
    EXPECT_EQ(watch.stopCause(), "by SIGINT");
    watch.finish();
    EXPECT_EQ(watch.due(), std::nullopt);
    watch.start({1, 0, 0});  // a new run forgets the old stop request
    EXPECT_EQ(watch.due(), std::nullopt);
}

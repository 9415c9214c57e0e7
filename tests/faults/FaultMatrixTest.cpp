// Every way a unit or its line can fail, end to end: the built unit-loader-cli against a simulated
// unit. Each row says what the operator must see (exit code and box), how long it may take at
// most (derived from px417's time-outs and the loader's retry limits), and that the run left
// nothing behind: the port free for the next Open, no process, no library file. The table of what
// was measured is printed at the end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>

#include <cstdio>
#include <cstring>
#include <functional>

#include "CliTestSupport.h"
#include "UnitSimulator.h"

using namespace clitest;
using namespace unitsim;

namespace {

const std::string kCli = UL_CLI_PROGRAM;

// Time allowances, in seconds, that the bounds are made of.
// px417 waits this long for each byte of a reply; a reply that stops short costs one such wait.
constexpr double kReadWait = 1.0;
// px417 ends a transaction whose reply never completes although bytes keep coming after this
// long (three line times of the longest frame at 38400 baud are far less).
constexpr double kTransactionCap = 10.0;
// One prompt exchange: the 10 ms pause before a counted retry, up to 10 ms for the worker's
// turn and a few bytes on a pseudo-terminal; the rest is room for a loaded machine.
constexpr double kExchange = 0.05;
// Starting the program, writing and loading the library, opening the port, and closing it all
// again: well under half a second on an idle machine, with room for a loaded one.
constexpr double kStartStop = 3.0;
// The healthy download of the test image below takes about 20 exchanges: status, start, three
// erase polls, five blocks each with a poll, verify, two polls, acknowledgement and a poll.
constexpr double kDownload = 25 * kExchange;
// The retry limits: 11 unexpected replies end a state (51 while erasing).
constexpr double kLimit = 11;
constexpr double kEraseLimit = 51;
// A reply slowed by a pause within it, below the read wait: the exchange succeeds, slowly.
constexpr auto kSlowReply = std::chrono::milliseconds(300);
constexpr double kSlow = 0.3;

const std::string kTitle = "UNIT LOADER Ver.1.21";
const std::string kSuccessLine = kTitle + "\nThe target file was downloaded successfully\n";
const std::string kF1 =
    "ERROR:Unit is not disabled/connected\nMake sure unit is connected and turned on.\n"
    "Make sure unit is not enabled.\n";
const std::string kF3 =
    "ERROR:Unit is not disabled/connected\nMake sure unit is not enabled.\n"
    "Make sure unit is connected and turned on.\n";
const std::string kF4 =
    "ERROR:Communication Error.\nDownload process may need to be restarted\n(Forced download method)\n";
const std::string kF5 =
    "ERROR:Premature Termination\nNo Ready/Busy message from Acceptor\n\nVerify a valid software is selected\n"
    "Verify the unit has Flash ROM\nVerify unit connection to PC\nDownload process need to be restarted\n"
    "(Forced download method)\n";
const std::string kWarning =
    "Premature Termination\nFollowing download status did not returned to disable\n\n"
    "File may have been completely loaded, check the unit.\nIf unit does not function, download again.\n";

// How much of the printed outcome a row pins down. The loader's own boxes (success, F1 .. F9,
// the warning) are fixed texts; the program's time-out and interruption texts may be reworded,
// so only their first line counts.
enum class Match { Box, Start, Caption };

// Waits until the unit is where the row interrupts the run; false when it never gets there.
using Reached = std::function<bool(UnitSimulator&)>;

struct Row {
    std::string fault;
    std::function<void(SimConfig&)> unit;
    double bound = 0;                    // seconds
    std::vector<std::string> options{};  // beyond port and baud rate
    Reached interruptWhen{};             // set: SIGINT once reached, and the time counts from there
    int code = 0;
    Match match = Match::Box;
    std::string text{};
    bool unitHoldsFile = false;  // the download succeeded: the unit's memory must equal the file
    bool lineGone = false;       // the unit dropped the line: there is no port left to reopen
    std::string image{};         // the download file; empty: the five-block image
};

struct Measured {
    std::string fault;
    std::string outcome;
    int code;
    double seconds;
    double bound;
};

bool waitForPhase(UnitSimulator& sim, UnitPhase phase, std::uint64_t thenReplies) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    auto left = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    };
    while (sim.phase() != phase)
        if (left() <= 0ms || !sim.waitForReplies(sim.counters().repliesSent + 1, left())) return false;
    return sim.waitForReplies(sim.counters().repliesSent + thenReplies, left());
}

// Empty when the port is as free as a new Open needs it: it opens, exclusive mode is off, no
// lock is held, and no other process has it open. Otherwise what is wrong.
std::string portProblem(const std::string& device) {
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::string("open: ") + std::strerror(errno);
    std::string problem;
    int exclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &exclusive) != 0 || exclusive) problem = "exclusive mode left on";
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) problem = "locked by another descriptor";
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
    if (!problem.empty()) return problem;
    // The simulated unit keeps a descriptor of its own in this process; any other is a leak.
    // Processes come and go meanwhile, so every step tolerates an error.
    const std::string self = std::to_string(::getpid());
    std::error_code ec;
    for (auto proc = std::filesystem::directory_iterator("/proc", ec); !ec && proc != std::filesystem::end(proc);
         proc.increment(ec)) {
        const std::string pid = proc->path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
        std::error_code fdError;
        for (auto fdLink = std::filesystem::directory_iterator(proc->path() / "fd", fdError);
             !fdError && fdLink != std::filesystem::end(fdLink); fdLink.increment(fdError)) {
            std::error_code linkError;
            if (std::filesystem::read_symlink(fdLink->path(), linkError) == device)
                return "held open by process " + pid;
        }
    }
    return {};
}

// Orphans of the program come to this process, so "no process left" can be checked.
bool noProcessLeft() {
    int status;
    return ::waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD;
}

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// The box in a few words for the table: its caption, or its first line where the caption is only
// the program's title.
std::string outcomeWords(const std::string& text) {
    const std::string caption = firstLine(text);
    return caption == kTitle ? firstLine(text.substr(caption.size() + 1)) : caption;
}

TEST(FaultMatrix, EachFaultEndsInItsOutcomeWithinItsBound) {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    TempDir dir;
    const Bytes file = sealed(randomBody(998));  // four full blocks and a short one
    const std::string path = dir.file("image.bin");
    writeFile(path, file);
    const Bytes tenBlocks = sealed(randomBody(2458));
    const std::string tenBlockPath = dir.file("ten.bin");
    writeFile(tenBlockPath, tenBlocks);

    auto slowReplies = [](SimConfig& c) {
        c.faults.gap.every = 1;
        c.faults.gapTime = kSlowReply;
    };

    const std::vector<Row> rows = {
        // Every status request waits out the read: F1 at the 11th.
        {.fault = "silent unit",
         .unit = [](SimConfig& c) { c.faults.silentAfterFrames = 0; },
         .bound = kLimit * (kReadWait + kExchange) + kStartStop,
         .code = 11,
         .text = kF1},
        // Eleven prompt replies other than Disable.
        {.fault = "never reports Disable",
         .unit = [](SimConfig& c) { c.faults.neverDisable = true; },
         .bound = kLimit * kExchange + kStartStop,
         .code = 11,
         .text = kF1},
        // Noise is dropped while hunting for the sync byte: a plain download.
        {.fault = "noise before every reply",
         .unit = [](SimConfig& c) { c.faults.noise.every = 1; },
         .bound = kDownload + kStartStop,
         .match = Match::Start,
         .text = kSuccessLine,
         .unitHoldsFile = true},
        // Reply 8 acknowledges the block at 246: one more exchange writes the block again.
        {.fault = "bad check code on one reply",
         .unit = [](SimConfig& c) { c.faults.badCheck.nth = 8; },
         .bound = kDownload + kExchange + kStartStop,
         .match = Match::Start,
         .text = kSuccessLine,
         .unitHoldsFile = true},
        // Complete but wrong: each of the 11 status requests fails at once.
        {.fault = "bad check code on every reply",
         .unit = [](SimConfig& c) { c.faults.badCheck.every = 1; },
         .bound = kLimit * kExchange + kStartStop,
         .code = 11,
         .text = kF1},
        // Three bytes of five: each of the 11 status requests waits out the read for the fourth.
        {.fault = "every reply cut short",
         .unit = [](SimConfig& c) { c.faults.cut.every = 1; },
         .bound = kLimit * (kReadWait + kExchange) + kStartStop,
         .code = 11,
         .text = kF1},
        // The read gives up 1 s into the 1.5 s pause in the acknowledgement of the block at 246;
        // the block goes again once the unit is done with the pause (0.5 s more), and the tail of
        // the broken reply, without a sync byte, is passed over.
        {.fault = "gap of 1.5 s inside one reply",
         .unit = [](SimConfig& c) { c.faults.gap.nth = 8; },
         .bound = kReadWait + 0.5 + kDownload + kExchange + kStartStop,
         .match = Match::Start,
         .text = kSuccessLine,
         .unitHoldsFile = true},
        // The loader stays one reply behind and catches up through its retries: about 35
        // exchanges, all prompt.
        {.fault = "two replies for one command",
         .unit = [](SimConfig& c) { c.faults.duplicate.nth = 1; },
         .bound = 40 * kExchange + kStartStop,
         .match = Match::Start,
         .text = kSuccessLine,
         .unitHoldsFile = true},
        // Ever further behind: the first block never gets its acknowledgement in time. Five
        // exchanges up to the first block, its 11 tries, a few stale replies: all prompt.
        {.fault = "two replies for every command",
         .unit = [](SimConfig& c) { c.faults.duplicate.every = 1; },
         .bound = (5 + kLimit + 4) * kExchange + kStartStop,
         .code = 14,
         .text = kF4},
        // About ten exchanges up to the second block; then the device reports the hang-up at once:
        // 11 failed polls, F5.
        {.fault = "line dropped after block 2",
         .unit = [](SimConfig& c) { c.faults.dropLineAfterBlock = 2; },
         .bound = (10 + kLimit) * kExchange + kStartStop,
         .code = 15,
         .text = kF5,
         .lineGone = true},
        // Status and start, then 51 prompt busy replies.
        {.fault = "busy for ever while erasing",
         .unit = [](SimConfig& c) { c.faults.busyForeverErase = true; },
         .bound = (2 + kEraseLimit) * kExchange + kStartStop,
         .code = 13,
         .text = kF3},
        // Busy after a block is never counted: about 8 exchanges up to the first block, then the
        // stall time-out (2 s) and the poll in flight.
        {.fault = "busy for ever after a block",
         .unit = [](SimConfig& c) { c.faults.busyForeverBlock = true; },
         .bound = 8 * kExchange + 2 + kExchange + kStartStop,
         .options = {"--stall-timeout", "2"},
         .code = 20,
         .match = Match::Caption,
         .text = "No progress"},
        {.fault = "verify result 80",
         .unit = [](SimConfig& c) { c.faults.forceResult80 = true; },
         .bound = kDownload + kStartStop,
         .code = 5,
         .match = Match::Start,
         .text = kWarning},
        // Waiting for Disable after the result has no limit: the whole download, then the stall
        // time-out (2 s) and the exchange in flight.
        {.fault = "never back to Disable after the result",
         .unit = [](SimConfig& c) { c.faults.stuckAfterResult = true; },
         .bound = kDownload + 2 + kExchange + kStartStop,
         .options = {"--stall-timeout", "2"},
         .code = 20,
         .match = Match::Caption,
         .text = "No progress"},
        // Bytes keep coming, so no read runs out: px417 ends the first request at its cap (and
        // at most one read wait after it), and only then can the program, long past its own 2 s,
        // close the session.
        {.fault = "endless byte stream",
         .unit = [](SimConfig& c) { c.faults.stream = StreamFault::NoSync; },
         .bound = kTransactionCap + kReadWait + kStartStop,
         .options = {"--timeout", "2"},
         .code = 20,
         .match = Match::Caption,
         .text = "Time-out"},
        // The Ctrl-C rows count from the signal: the request in flight ends (for a silent unit
        // after one read wait), then the session closes.
        {.fault = "Ctrl-C waiting for Disable",
         .unit = [](SimConfig& c) { c.faults.silentAfterFrames = 0; },
         .bound = kReadWait + kExchange + kStartStop,
         .interruptWhen = [](UnitSimulator& sim) { return sim.waitForFrames(1, 10s); },
         .code = 130,
         .match = Match::Caption,
         .text = "Interrupted"},
        // Slow replies keep the erase from reaching its limit (51 x 0.3 s) before the signal;
        // the reply in flight takes at most 0.3 s.
        {.fault = "Ctrl-C while erasing",
         .unit =
             [&](SimConfig& c) {
                 c.faults.busyForeverErase = true;
                 slowReplies(c);
             },
         .bound = kSlow + kExchange + kStartStop,
         .interruptWhen = [](UnitSimulator& sim) { return waitForPhase(sim, UnitPhase::Download, 2); },
         .code = 130,
         .match = Match::Caption,
         .text = "Interrupted"},
        // Ten blocks of slow exchanges; the signal comes after the second block.
        {.fault = "Ctrl-C in the blocks",
         .unit = slowReplies,
         .bound = kSlow + kExchange + kStartStop,
         .interruptWhen = [](UnitSimulator& sim) { return sim.waitForBlocks(2, 20s); },
         .code = 130,
         .match = Match::Caption,
         .text = "Interrupted",
         .image = tenBlockPath},
        // Busy for ever while verifying: prompt polls without a limit.
        {.fault = "Ctrl-C while verifying",
         .unit = [](SimConfig& c) { c.faults.busyForeverVerify = true; },
         .bound = kExchange + kStartStop,
         .interruptWhen = [](UnitSimulator& sim) { return waitForPhase(sim, UnitPhase::Verifying, 3); },
         .code = 130,
         .match = Match::Caption,
         .text = "Interrupted"},
    };

    std::vector<Measured> table;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault);
        SimConfig config;
        if (row.unit) row.unit(config);
        UnitSimulator sim(config);
        sim.start();
        const std::string device = sim.devicePath();
        TempDir tmp;  // where the program would put its library if not beside itself

        const std::string image = row.image.empty() ? path : row.image;
        std::vector<std::string> args = {kCli, "download", image, "--port", device, "--baud", "38400"};
        args.insert(args.end(), row.options.begin(), row.options.end());

        auto started = std::chrono::steady_clock::now();
        Process cli(args, {"TMPDIR=" + tmp.path().string()});
        if (row.interruptWhen) {
            ASSERT_TRUE(row.interruptWhen(sim)) << "the unit never got there";
            started = std::chrono::steady_clock::now();
            cli.signal(SIGINT);
        }
        // Beyond its bound the row has failed; it may still end, and the table shows by how much.
        const Finished f = cli.finish(std::chrono::milliseconds(static_cast<long long>(row.bound * 2000) + 10000));
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        table.push_back({row.fault, outcomeWords(f.out), f.code, seconds, row.bound});

        EXPECT_TRUE(f.exited && !f.timedOut)
            << "ended by signal " << f.code << (f.timedOut ? " after the deadline" : "");
        EXPECT_EQ(f.code, row.code) << f.out << f.err;
        switch (row.match) {
        case Match::Box: EXPECT_EQ(f.out, row.text); break;
        case Match::Start: EXPECT_EQ(f.out.rfind(row.text, 0), 0u) << f.out; break;
        case Match::Caption: EXPECT_EQ(firstLine(f.out), row.text) << f.out; break;
        }
        EXPECT_LE(seconds, row.bound);
        if (row.unitHoldsFile) {
            const Bytes sent = readFile(image);
            EXPECT_EQ(sim.memory(0, static_cast<std::uint32_t>(sent.size())), sent);
        }

        // Nothing left behind.
        if (!row.lineGone) {
            EXPECT_EQ(portProblem(device), "");
        }
        EXPECT_TRUE(noProcessLeft());
        EXPECT_FALSE(libraryLeftBehind(kCli, f.pid));
        EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);

    double total = 0;
    std::printf("\n%-40s %-44s %5s %8s %8s\n", "FAULT", "OUTCOME", "EXIT", "SECONDS", "BOUND");
    for (const auto& m : table) {
        std::printf("%-40s %-44s %5d %8.2f %8.2f%s\n", m.fault.c_str(), m.outcome.substr(0, 44).c_str(), m.code,
                    m.seconds, m.bound, m.seconds > m.bound ? "  OVER" : "");
        total += m.seconds;
    }
    std::printf("%zu rows, %.1f s (Ctrl-C rows counted from the signal)\n", table.size(), total);
}

}  // namespace

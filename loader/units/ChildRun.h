#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "download/RunReport.h"
#include "units/ChildEvent.h"
#include "units/ChildProcess.h"
#include "units/RunResult.h"

// Running one unit in a process of its own, for every front that does (the command line's
// several units, the station's slots in the command line and in the window): the child's
// command line, reading its lines, the stop ladder, and what a child that ended without a result
// is. The one supervision path; the fronts only word and draw what it says.
namespace units {

using Clock = std::chrono::steady_clock;

// A run that has not ended this long after being told to stop (or after its own time-out) is
// stuck: it is terminated, and killed kKillGrace after that.
inline constexpr auto kStopGrace = std::chrono::seconds(15);
inline constexpr auto kKillGrace = std::chrono::seconds(5);

// The program a unit's process runs: $UNIT_LOADER_CLI when set, else unit-loader-cli beside this
// program. No path of a build is ever compiled in.
inline constexpr const char* kRunnerVariable = "UNIT_LOADER_CLI";
std::string findRunner();
// The runner beside this program (what findRunner gives without the variable).
std::string runnerBeside();

// What a unit's own process is to do.
struct ChildRequest {
    std::string program;  // the runner
    RunKind kind = RunKind::Download;
    std::string file;  // downloads: the image
    std::string port;
    std::string baud;
    std::string library;  // the protocol library's copy the child loads
    std::optional<double> timeoutSeconds;
    double stallTimeoutSeconds = 0;  // 0: none
    std::vector<std::string> extra;  // passed on as they are (records, note, ...)
    // Downloads: the SHA-256 (lower-case hex) the image's bytes must have; the child refuses
    // others before anything is sent, and reports the hash of what it loaded.
    std::string expectSha256 = {};
};
// The child's command line, args[0] the program: the one builder of it.
std::vector<std::string> childCommandLine(const ChildRequest& request);

// How a child's run ended.
struct ChildEnd {
    RunResult result;       // the child's own, or one made up from how its process ended
    std::string headline;   // the result's line for a person
    std::string recordId;   // the attempt's record, when the child kept one
    bool reported = false;  // the child sent its result
    bool crashed = false;   // it ended without one, and not because it was asked to stop
};

// One child, followed from start to end. Not thread-safe: one thread drives it (its process's
// requestStop may come from another).
class ChildRun {
public:
    explicit ChildRun(ChildRequest request);
    // False when the process could not be started (finish() then says so).
    bool start();
    bool started() const { return process_.started(); }
    // Still writing: not yet at the end of its output.
    bool live() const { return process_.started() && !process_.outputEnded(); }

    // Takes what the child wrote since the last call, without waiting: `onEvent` gets every event
    // of a complete line (its result is kept as well). True when anything was read.
    bool read(const std::function<void(const ChildEvent&)>& onEvent);
    Clock::time_point lastHeard() const { return lastHeard_; }

    // The stop ladder. askStop passes the stop request `cause` on (0: it has been already), and
    // terminates the child kStopGrace later; endBy terminates it at `at` unless it has ended.
    // Either way it is killed kKillGrace after being terminated.
    void askStop(int cause, Clock::time_point now);
    void endBy(Clock::time_point at);
    bool asked() const { return asked_; }
    // Does what is due; the time of the next step, if any.
    void step(Clock::time_point now);
    std::optional<Clock::time_point> nextStep() const;

    ChildProcess& process() { return process_; }

    // After its output has ended: reaps the process and says how the run ended.
    ChildEnd finish();

private:
    ChildRequest request_;
    ChildProcess process_;
    std::string startError_;
    std::string pending_;
    std::optional<ChildEvent> result_;
    Clock::time_point lastHeard_ = Clock::now();
    std::optional<Clock::time_point> termAt_, killAt_;
    bool asked_ = false;
};

// Waits until one of `runs` has written or ended, `timeout` passes, or (with `stopRequests`) a
// stop request arrives.
void waitForRuns(const std::vector<ChildRun*>& runs, std::chrono::milliseconds timeout, bool stopRequests);

// One child run to its end on the calling thread: `progress` gets its progress events, `stopped`
// is asked between reads (true: the stop request has been passed on; the ladder follows), and a
// child silent for longer than `silentLimit` is asked to stop as a SIGTERM would.
ChildEnd runToEnd(ChildRun& run, const std::function<void(const ChildEvent&)>& progress,
                  const std::function<bool()>& stopped, std::optional<std::chrono::milliseconds> silentLimit);

}  // namespace units

#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "download/RunReport.h"
#include "station/JobFile.h"
#include "station/Presence.h"

// The production station: one worker thread per slot, each with its own connection, cycling
// wait for a unit -> download -> version check -> PASS or FAIL -> wait until the unit is gone.
// Toolkit-free: the command line and a window both watch it through StationObserver.
namespace station {

enum class SlotState { Waiting, Loading, Checking, Pass, Fail, Paused, Stopped };
// "waiting", "loading", "checking", "pass", "fail", "paused", "stopped".
const char* stateName(SlotState state);
// What every front shows of a run: "75.0%" ("-" before the first unit), and "01:02:03".
std::string yieldText(int passes, int fails);
std::string elapsedText(std::chrono::seconds elapsed);

// How one run through a slot's connection ended. Its outcome is the exit code, named by the
// exit-code table ("success", "F3", "interrupted", ...: outcomeName()).
struct RunOutcome {
    int exitCode = 0;
    std::string recordId;  // the attempt's record; empty when none was kept
    std::string version;   // a version check's text
    std::string headline;  // one line for a person
    bool crashed = false;  // the run's worker ended without a result
    // The unit powered up during the run: the unit the run began with was taken out, and the one
    // in the slot now is another, however the run ended.
    bool poweredUp = false;
    // Whether the run's record was kept. A run whose record could not be begun sent nothing to
    // the unit; one whose end could not be written ended with the record error whatever the
    // unit did. Either pauses the station.
    enum class Record { Kept, NotBegun, NotEnded };
    Record record = Record::Kept;
    std::string outcomeName() const;
};

// What became of a unit.
struct Verdict {
    enum class Kind {
        Pass,          // loaded, and it reports the job's version
        WrongVersion,  // loaded, but it reports another version (exit code "version mismatch")
        RunFailed,     // its download or version check failed: `run` and `exitCode` say which and how
        RunCrashed,    // that run's worker ended without a result
        Interrupted,   // the station was stopped during its runs
        Removed,       // taken out (or swapped) during its runs: `run` and `exitCode` say how that run ended
    };
    Kind kind = Kind::Pass;
    RunKind run = RunKind::Download;  // the run that decided it
    int exitCode = 0;                 // the outcome, as the exit-code table names it
    std::string version;              // what the unit reports, when it was read
    std::string headline;             // the deciding run's line for a person
    std::string expected;             // WrongVersion: the job's version

    bool pass() const { return kind == Kind::Pass; }
    // The records' word for it: "pass", "fail" or "interrupted" (which counts neither way).
    const char* verdictName() const;
    // And why it failed: "wrong version", "run failed", "run crashed", "removed"; "" otherwise.
    const char* reasonName() const;
    // Why a unit failed, in one line: "F3: ...", "the unit reports \"X\", the job expects \"Y\"",
    // "unit removed".
    std::string why() const;
};

// Who paused a slot.
enum class PauseCause { None, Alarm, Operator, Station };
// "alarm", "operator", "station"; "" for None.
const char* pauseCauseName(PauseCause cause);

// A slot's state with what goes with it, as the fronts show it.
struct SlotStatus {
    SlotStatus() = default;
    explicit SlotStatus(SlotState s) : state(s) {}
    SlotState state = SlotState::Waiting;
    PauseCause pause = PauseCause::None;  // Paused; Stopped once paused by an alarm
    bool scan = false;                    // Waiting: the unit's id is yet to be scanned
    int retry = 0;                        // Loading: 0 for a unit's first download, 1 its first retry, ...
    std::optional<Verdict> verdict;       // Pass and Fail
    // The detail the command line shows: "scan", "retry 1", the version, why it failed, who paused.
    std::string detail() const;
};

// One slot's connection to its unit. Every call comes from the slot's own thread except
// requestStop, which may come from any thread.
class SlotLink {
public:
    virtual ~SlotLink() = default;
    // One status poll: what answered. Holds the port while the slot waits.
    virtual Sign poll() = 0;
    // The version the unit in the slot reports, asked by the slot itself; nothing when it does
    // not answer.
    virtual std::optional<std::string> version() = 0;
    // Brings a unit left in download mode back to idle, within a bound; false when it stays.
    virtual bool settle() = 0;
    // Lets go of the port, so that a run can have it.
    virtual void release() = 0;
    // Waits, at most `limit`, for a sign that presence changed (an adapter's path); false when
    // the link has none, and the station paces its polls itself.
    virtual bool waitChange(std::chrono::milliseconds limit) = 0;
    using Progress = std::function<void(std::uint32_t blocksDone, std::uint32_t blocks)>;
    // Downloads the job's image (attempt `attempt` of this unit) or reads the unit's version;
    // `unitId` is the unit's scanned id, empty when the job scans none.
    virtual RunOutcome run(RunKind kind, int attempt, const std::string& unitId, const Progress& progress) = 0;
    // The run in progress ends cleanly and is recorded as interrupted.
    virtual void requestStop() = 0;
    // The station's verdict on one unit, kept with the runs' attempts: begun before the unit's
    // first run, ended before the verdict is shown; the runs in between are the ones it judges.
    // An error text when it could not be written.
    virtual std::optional<std::string> unitBegin(const std::string& /*unitId*/) { return std::nullopt; }
    virtual std::optional<std::string> unitEnd(const Verdict& /*verdict*/) { return std::nullopt; }
};

// Why a scanned unit id was not taken: the unit is in another slot (scanned for it, or there),
// or it has passed in this run of the station already.
struct ScanRefused {
    enum class Why { InOtherSlot, Passed };
    Why why = Why::InOtherSlot;
    std::size_t slot = 0;  // InOtherSlot: the slot that holds it
    std::string text;      // for a person: "unit SN-1 is in slot B"
};

// Makes a slot's connection; called on the slot's thread, again after a worker crash.
using LinkMaker = std::function<std::unique_ptr<SlotLink>(std::size_t slot)>;

struct AttemptEnd {
    RunKind kind = RunKind::Download;
    int attempt = 1;  // 1 for the first of a unit, 2 for its first retry, ...
    RunOutcome outcome;
};

struct Totals {
    int passes = 0;
    int fails = 0;
    int crashes = 0;     // workers restarted
    std::string reason;  // why the station ended: "quota", "stopped", "all slots paused"
    int exitCode = 0;
};

// Every call is made with the station's lock held, one at a time, from the slots' threads
// (or the thread that calls Station::stop): an observer needs no lock of its own, but must not
// call back into the station.
class StationObserver {
public:
    virtual ~StationObserver() = default;
    virtual void slotState(std::size_t slot, const SlotStatus& status) = 0;
    // A unit's first download begins; `unitId` is its scanned id (empty when none is scanned).
    virtual void unitStart(std::size_t /*slot*/, const std::string& /*unitId*/) {}
    virtual void attemptStart(std::size_t slot, RunKind kind, int attempt) = 0;
    virtual void progress(std::size_t slot, std::uint32_t blocksDone, std::uint32_t blocks) = 0;
    virtual void attemptEnd(std::size_t slot, const AttemptEnd& end) = 0;
    // A unit's verdict (an interrupted unit's too, which counts neither way).
    virtual void unitEnd(std::size_t slot, const Verdict& verdict) = 0;
    virtual void alarm(std::size_t slot, const std::string& text) = 0;
    virtual void stationEnd(const Totals& totals) = 0;
};

// How the station paces its waits; tests and benches keep the defaults.
struct Timing {
    std::chrono::milliseconds pollInterval{200};  // status polls while waiting
    std::chrono::milliseconds goneAfter{2000};    // no answer this long: any unit after is a new one
    // Status polls while a unit with its verdict waits to be taken out: a miss is seen within
    // this and one reply limit (300 ms).
    std::chrono::milliseconds removalPoll{100};
    std::chrono::milliseconds stillGoneAfter{3000};  // before a retry: no answer this long, the unit was taken out
};

// When the station ends by itself. On a terminal it ends once every slot is paused by an alarm
// (nobody is there to resume one); a window keeps the slots until the operator resumes them.
enum class Ending { WhenAllAlarmed, OnStopOrQuota };

class Station {
public:
    Station(Job job, LinkMaker makeLink, StationObserver& observer, Timing timing = {},
            Ending ending = Ending::WhenAllAlarmed);
    // Stops and joins every slot.
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    void start();
    // Any thread: no new download begins, the running ones end cleanly (recorded as interrupted).
    void stop();
    // Until every slot's worker has returned (quota, stop, every slot paused) or `timeout` passes.
    bool waitEnded(std::chrono::milliseconds timeout);
    // Joins the slots and reports the end once; the totals.
    Totals finish();

    // Any thread. A paused slot takes no new unit: a download in progress goes on to its end,
    // and the unit then waits to be taken out as usual. Resuming a slot also clears the pause
    // an alarm put it in, and its count of failures in a row.
    void pauseSlot(std::size_t slot);
    void resumeSlot(std::size_t slot);
    // The whole station; resuming it resumes every slot, alarmed ones too, and the station
    // paused because a record could not be kept.
    void pauseAll();
    void resumeAll();
    // The next unit in `slot` is this one (a job with unit_id = "scan" loads none without it).
    // A scan while a unit loads is kept for the next unit. Refused (and nothing changes) for a
    // unit in another slot or one that has passed in this run.
    std::optional<ScanRefused> setUnitId(std::size_t slot, std::string unitId);

private:
    struct SlotRun;
    void slotMain(std::size_t index);
    void cycle(SlotRun& run);
    bool awaitNext(SlotRun& run, const SlotStatus& decided);
    enum class Still { There, InDownload, Gone, Replaced };
    Still stillThere(SlotRun& run);
    void show(SlotRun& run, const SlotStatus& status);
    bool waitForUnit(SlotRun& run);
    bool ending() const;
    bool paused(const SlotRun& run) const;
    static void clearPause(SlotRun& run);
    void recordAlarm(SlotRun& run, const RunOutcome& outcome);

    const Job job_;
    const LinkMaker makeLink_;
    StationObserver& observer_;
    const Timing timing_;
    const Ending endingRule_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::unique_ptr<SlotRun>> slots_;
    std::atomic<bool> stopRequested_{false};
    bool quotaReached_ = false;
    int passes_ = 0;
    int fails_ = 0;
    int crashes_ = 0;
    int worstPausing_ = 0;
    bool stationPaused_ = false;
    // Paused because a record could not be kept: one alarm, until the station is resumed.
    bool recordAlarmed_ = false;
    std::set<std::string> passedIds_;  // the scanned ids of the units that passed
    bool finished_ = false;
    Totals totals_;
};

}  // namespace station

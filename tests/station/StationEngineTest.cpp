// The station's engine with fake slot links: no processes, no ports. Units are put in and taken
// out by the fake world; each run's outcome comes from the test's script.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>

#include "download/ExitCode.h"
#include "station/Station.h"

using namespace std::chrono_literals;
using namespace station;

namespace {

constexpr auto kWait = 10s;

RunOutcome ok(std::string version = "") {
    RunOutcome o;
    o.version = std::move(version);
    return o;
}
RunOutcome failed(int code, std::string headline = "") {
    RunOutcome o;
    o.exitCode = code;
    o.headline = std::move(headline);
    return o;
}
RunOutcome crashed() {
    RunOutcome o = failed(exitcode::kInternal, "the run's process ended on signal 9 (Killed)");
    o.crashed = true;
    return o;
}

// What a run returns: by kind, the attempt (1, 2, ...) and the unit (0, 1, ...) in the slot.
using Script = std::function<RunOutcome(RunKind kind, int attempt, int unit)>;
const Script kGood = [](RunKind kind, int, int) { return kind == RunKind::Download ? ok() : ok("V1"); };

// The fixture and its units: each slot holds `units` units one after another; a unit is taken
// out once it has its verdict. Every event is kept as a line, and can be waited for.
class World : public StationObserver {
public:
    struct SlotWorld {
        int units = 0;                  // still to come, the one in the slot included
        int unit = 0;                   // the index of the one in the slot
        bool taken = false;             // its verdict is in: taken out at the next poll
        std::vector<std::string> runs;  // "download 1 u0 id", ...
        int stops = 0;
        bool garbled = false;  // its units answer with a wrong check code
    };

    Script script = kGood;
    std::function<void(std::size_t slot)> onLink;  // may throw: a crashing link

    std::vector<std::string> events;
    std::vector<Verdict> verdicts;
    std::optional<Totals> totals;
    std::map<std::size_t, SlotWorld> slots;

    class Link : public SlotLink {
    public:
        Link(World& world, std::size_t slot) : world_(world), slot_(slot) {}
        Sign poll() override {
            std::lock_guard lock(world_.mutex_);
            SlotWorld& s = world_.slots[slot_];
            if (s.taken) {
                s.taken = false;
                --s.units;
                ++s.unit;
                return Sign::None;
            }
            if (s.units == 0) return Sign::None;
            return s.garbled ? Sign::Garbled : Sign::Unit;
        }
        std::optional<std::string> version() override { return std::nullopt; }
        bool settle() override { return true; }
        void release() override {}
        bool waitChange(std::chrono::milliseconds) override { return false; }
        RunOutcome run(RunKind kind, int attempt, const std::string& unitId, const Progress& progress) override {
            int unit;
            {
                std::lock_guard lock(world_.mutex_);
                SlotWorld& s = world_.slots[slot_];
                unit = s.unit;
                s.runs.push_back(std::string(kind == RunKind::Download ? "download " : "version ") +
                                 std::to_string(attempt) + " u" + std::to_string(unit) + " " + unitId);
            }
            if (progress) progress(1, 2);
            return world_.script(kind, attempt, unit);
        }
        void requestStop() override {
            std::lock_guard lock(world_.mutex_);
            ++world_.slots[slot_].stops;
        }

    private:
        World& world_;
        std::size_t slot_;
    };

    LinkMaker maker() {
        return [this](std::size_t slot) -> std::unique_ptr<SlotLink> {
            if (onLink) onLink(slot);
            return std::make_unique<Link>(*this, slot);
        };
    }

    void slotState(std::size_t slot, const SlotStatus& status) override {
        note(slot, std::string(stateName(status.state)) + (status.detail().empty() ? "" : ": " + status.detail()));
    }
    void attemptStart(std::size_t, RunKind, int) override {}
    void progress(std::size_t, std::uint32_t, std::uint32_t) override {}
    void attemptEnd(std::size_t, const AttemptEnd&) override {}
    void unitEnd(std::size_t slot, const Verdict& verdict) override {
        std::lock_guard lock(mutex_);
        verdicts.push_back(verdict);
        if (verdict.kind != Verdict::Kind::Interrupted) slots[slot].taken = true;
        changed_.notify_all();
    }
    void alarm(std::size_t slot, const std::string& text) override { note(slot, "ALARM " + text); }
    void stationEnd(const Totals& t) override {
        std::lock_guard lock(mutex_);
        totals = t;
    }

    // Until an event line of `slot` begins with `prefix` (from the `from`th event on); its index.
    std::size_t waitFor(std::size_t slot, const std::string& prefix, std::size_t from = 0) {
        std::unique_lock lock(mutex_);
        const std::string want = std::to_string(slot) + " " + prefix;
        std::size_t found = 0;
        const bool seen = changed_.wait_for(lock, kWait, [&] {
            for (std::size_t i = from; i < events.size(); ++i)
                if (events[i].rfind(want, 0) == 0) return found = i, true;
            return false;
        });
        if (!seen) ADD_FAILURE() << "no \"" << want << "\" in:\n" << dump();
        return found;
    }
    std::size_t count(const std::string& line) {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(std::count(events.begin(), events.end(), line));
    }
    std::size_t countStarting(const std::string& prefix) {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(
            std::count_if(events.begin(), events.end(), [&](const auto& e) { return e.rfind(prefix, 0) == 0; }));
    }
    std::vector<std::string> runs(std::size_t slot) {
        std::lock_guard lock(mutex_);
        return slots[slot].runs;
    }
    std::string dump() const {
        std::string all;
        for (const auto& e : events) all += "  " + e + "\n";
        return all;
    }

private:
    void note(std::size_t slot, const std::string& text) {
        std::lock_guard lock(mutex_);
        events.push_back(std::to_string(slot) + " " + text);
        changed_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable changed_;
};

Job jobOf(int slots, int retries = 0, int quota = 0, int stopAfter = 0) {
    Job job;
    job.name = "Bench";
    job.expectVersion = "V1";
    job.retries = retries;
    job.quota = quota;
    job.stopAfterFailures = stopAfter;
    for (int i = 0; i < slots; ++i) job.slots.push_back({std::string(1, static_cast<char>('A' + i)), "port"});
    return job;
}

const Timing kFast{5ms, 0ms, 5ms};

// Every unit goes waiting -> loading -> checking -> pass; the station ends at its quota with
// every slot's passes counted once.
TEST(StationEngine, TheCycleCountsEachUnitOnceAndEndsAtTheQuota) {
    World world;
    world.slots[0].units = 2;
    world.slots[1].units = 2;
    Station station(jobOf(2, 0, 4), world.maker(), world, kFast);
    station.start();
    ASSERT_TRUE(station.waitEnded(kWait)) << world.dump();
    const Totals t = station.finish();
    EXPECT_EQ(t.reason, "quota");
    EXPECT_EQ(t.exitCode, exitcode::kSuccess);
    EXPECT_EQ(t.passes, 4);
    EXPECT_EQ(t.fails, 0);
    for (std::size_t slot : {0u, 1u}) {
        EXPECT_EQ(world.runs(slot),
                  (std::vector<std::string>{"download 1 u0 ", "version 1 u0 ", "download 1 u1 ", "version 1 u1 "}));
        EXPECT_EQ(world.count(std::to_string(slot) + " pass: V1"), 2u) << world.dump();
        EXPECT_EQ(world.count(std::to_string(slot) + " checking"), 2u);
    }
    ASSERT_TRUE(world.totals);
    EXPECT_EQ(world.totals->passes, 4);
}

// Retries and what decides a unit: each case's script, the runs it takes and the verdict.
TEST(StationEngine, RetriesAndVerdicts) {
    struct Case {
        const char* name;
        int retries;
        Script script;
        std::vector<std::string> runs;
        Verdict::Kind kind;
        int exitCode;
        RunKind run;
        std::string detail;  // the fail state's detail
    };
    const std::vector<Case> cases = {
        {"a failed download is tried again",
         1,
         [](RunKind k, int attempt, int) {
             return k == RunKind::VersionCheck ? ok("V1") : attempt == 1 ? failed(13, "not erased") : ok();
         },
         {"download 1", "download 2", "version 2"},
         Verdict::Kind::Pass,
         0,
         RunKind::VersionCheck,
         ""},
        {"a wrong version fails every try with its own code",
         1,
         [](RunKind k, int, int) { return k == RunKind::Download ? ok() : ok("V0"); },
         {"download 1", "version 1", "download 2", "version 2"},
         Verdict::Kind::WrongVersion,
         exitcode::kVersionMismatch,
         RunKind::VersionCheck,
         "the unit reports \"V0\", the job expects \"V1\""},
        {"a download that always fails keeps its outcome",
         2,
         [](RunKind, int, int) { return failed(13, "stuck"); },
         {"download 1", "download 2", "download 3"},
         Verdict::Kind::RunFailed,
         13,
         RunKind::Download,
         "F3: stuck"},
        {"a failed version check",
         0,
         [](RunKind k, int, int) { return k == RunKind::Download ? ok() : failed(11, "not disabled"); },
         {"download 1", "version 1"},
         Verdict::Kind::RunFailed,
         11,
         RunKind::VersionCheck,
         "F1: not disabled"},
        {"a unit that powered up during its version check took the loaded one's place",
         1,
         [](RunKind k, int, int) {
             RunOutcome o = k == RunKind::Download ? ok() : ok("V1");
             o.poweredUp = k == RunKind::VersionCheck;
             return o;
         },
         {"download 1", "version 1"},
         Verdict::Kind::Removed,
         0,
         RunKind::VersionCheck,
         "unit removed"},
        {"a crashed download",
         0,
         [](RunKind, int, int) { return crashed(); },
         {"download 1"},
         Verdict::Kind::RunCrashed,
         exitcode::kInternal,
         RunKind::Download,
         "internal error: the run's process ended on signal 9 (Killed)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        World world;
        world.script = c.script;
        world.slots[0].units = 1;
        Station station(jobOf(1, c.retries), world.maker(), world, kFast);
        station.start();
        world.waitFor(0, c.kind == Verdict::Kind::Pass ? "pass" : "fail");
        station.stop();
        const Totals t = station.finish();
        std::vector<std::string> runs;
        for (const auto& r : world.runs(0)) runs.push_back(r.substr(0, r.find(" u")));
        EXPECT_EQ(runs, c.runs);
        ASSERT_FALSE(world.verdicts.empty());
        const Verdict& v = world.verdicts.front();
        EXPECT_EQ(v.kind, c.kind);
        EXPECT_EQ(v.exitCode, c.exitCode);
        EXPECT_EQ(v.run, c.run);
        if (!v.pass()) {
            EXPECT_EQ(v.why(), c.detail);
            EXPECT_EQ(world.count("0 fail: " + c.detail), 1u) << world.dump();
        }
        EXPECT_EQ(t.passes + t.fails, 1);
        EXPECT_EQ(t.crashes, c.kind == Verdict::Kind::RunCrashed ? 1 : 0);
        if (c.kind == Verdict::Kind::RunCrashed) {
            EXPECT_EQ(
                world.count("0 ALARM the download's worker crashed: the run's process ended on signal 9 (Killed)"), 1u);
        }
    }
}

// Failures in a row pause the slot with an alarm. On a terminal the station then ends with the
// failures' code; in a window the slot waits until the operator resumes it.
TEST(StationEngine, TheStopRulePausesTheSlotAndEndsOrWaitsForTheOperator) {
    const Script wrong = [](RunKind k, int, int unit) {
        return k == RunKind::Download ? ok() : ok(unit < 2 ? "V0" : "V1");
    };
    {
        World world;
        world.script = wrong;
        world.slots[0].units = 3;
        Station station(jobOf(1, 0, 0, 2), world.maker(), world, kFast);
        station.start();
        ASSERT_TRUE(station.waitEnded(kWait)) << world.dump();
        const Totals t = station.finish();
        EXPECT_EQ(t.reason, "all slots paused");
        EXPECT_EQ(t.exitCode, exitcode::kVersionMismatch);
        EXPECT_EQ(t.fails, 2);
        EXPECT_EQ(
            world.count("0 ALARM 2 failures in a row: the slot is paused; check the fixture, the cable and the job"),
            1u);
        EXPECT_EQ(world.count("0 paused: alarm"), 1u) << world.dump();
    }
    World world;
    world.script = wrong;
    world.slots[0].units = 3;
    Station station(jobOf(1, 0, 1, 2), world.maker(), world, kFast, Ending::OnStopOrQuota);
    station.start();
    const std::size_t paused = world.waitFor(0, "paused: alarm");
    EXPECT_FALSE(station.waitEnded(50ms));
    EXPECT_EQ(world.runs(0).size(), 4u);  // nothing more while paused
    station.resumeSlot(0);
    world.waitFor(0, "pass", paused);
    ASSERT_TRUE(station.waitEnded(kWait));
    EXPECT_EQ(station.finish().reason, "quota");
}

// Pausing holds a slot before its next unit, never during a run; resuming lets it go on. The
// scan gate holds it until the unit's id is scanned, and the id goes with the runs.
TEST(StationEngine, PauseResumeAndTheScanGate) {
    World world;
    world.slots[0].units = 1;
    world.slots[1].units = 1;
    Job job = jobOf(2, 0, 2);
    job.scanUnitId = true;
    Station station(job, world.maker(), world, kFast, Ending::OnStopOrQuota);
    station.start();
    station.pauseSlot(0);  // held at the scan gate: nothing runs before the pause
    world.waitFor(0, "paused: operator");
    world.waitFor(1, "waiting: scan");
    station.pauseAll();
    station.setUnitId(1, "SN-2");
    world.waitFor(1, "paused: station");
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(world.runs(0).empty());
    EXPECT_TRUE(world.runs(1).empty());
    station.resumeAll();  // the operator's pause too
    world.waitFor(1, "pass");
    world.waitFor(0, "waiting: scan");
    EXPECT_TRUE(world.runs(0).empty());
    station.setUnitId(0, "SN-1");
    ASSERT_TRUE(station.waitEnded(kWait)) << world.dump();
    station.finish();
    EXPECT_EQ(world.runs(0), (std::vector<std::string>{"download 1 u0 SN-1", "version 1 u0 SN-1"}));
    EXPECT_EQ(world.runs(1), (std::vector<std::string>{"download 1 u0 SN-2", "version 1 u0 SN-2"}));
}

// A link that throws is a crashed worker: an alarm, a new link, and the slot goes on. A stop
// reaches the run in progress, which ends the unit as interrupted, counted neither way.
TEST(StationEngine, ACrashingLinkIsRestartedAndAStopInterruptsTheRun) {
    World world;
    world.slots[0].units = 2;
    int made = 0;
    world.onLink = [&](std::size_t) {
        if (++made == 1) throw std::runtime_error("no port");
    };
    std::mutex gate;
    std::condition_variable opened;
    bool stopping = false;
    world.script = [&](RunKind kind, int, int unit) {
        if (unit == 0) return kind == RunKind::Download ? ok() : ok("V1");
        std::unique_lock lock(gate);
        opened.wait_for(lock, kWait, [&] { return stopping; });
        return failed(exitcode::kInterrupted);
    };
    Station station(jobOf(1), world.maker(), world, kFast);
    station.start();
    world.waitFor(0, "ALARM the slot's worker crashed (no port); restarted");
    world.waitFor(0, "loading", world.waitFor(0, "pass"));  // the second unit's run
    station.stop();
    {
        std::lock_guard lock(gate);
        stopping = true;
    }
    opened.notify_all();
    const Totals t = station.finish();
    EXPECT_EQ(t.reason, "stopped");
    EXPECT_EQ(t.exitCode, exitcode::kInterrupted);
    EXPECT_EQ(t.passes, 1);
    EXPECT_EQ(t.fails, 0);
    EXPECT_EQ(t.crashes, 1);
    EXPECT_GE(world.slots[0].stops, 1);
    ASSERT_EQ(world.verdicts.size(), 2u);
    EXPECT_EQ(world.verdicts.back().kind, Verdict::Kind::Interrupted);
}

// After a verdict the unit in the slot is watched until the next one may be taken: a unit that
// powers up, or one that reports another version after a miss, is a new unit at once; the same
// unit answering again after a miss is never loaded twice, and the verdict is shown only while
// it can be that unit. Each case: the answers after the first unit's verdict, then whether a
// second unit is loaded and the states shown.
TEST(StationEngine, AfterAVerdictOnlyANewUnitIsLoaded) {
    struct Case {
        const char* name;
        std::vector<Sign> after;  // then Sign::Unit for ever
        std::string version;      // what the unit in the slot reports when asked
        bool loadsAgain;
        std::vector<std::string> shown;
    };
    const std::vector<Case> cases = {
        {"swapped between two polls",
         {Sign::Unit, Sign::PowerUp},
         "V1",
         true,
         {"waiting", "loading", "checking", "pass", "waiting", "loading"}},
        {"swapped for a unit of another version",
         {Sign::None, Sign::Unit},
         "V0",
         true,
         {"waiting", "loading", "checking", "pass", "waiting", "loading"}},
        {"the same unit after a missed reply",
         {Sign::None, Sign::Unit},
         "V1",
         false,
         {"waiting", "loading", "checking", "pass", "waiting", "pass"}},
        {"left in place", {}, "V1", false, {"waiting", "loading", "checking", "pass"}},
        // An unreadable answer may have been a new unit's power-up: its verdict is not shown
        // again, whatever answers next, until a power-up shows a unit put in afresh.
        {"an unreadable answer",
         {Sign::Garbled, Sign::Unit, Sign::Unit, Sign::PowerUp},
         "V1",
         true,
         {"waiting", "loading", "checking", "pass", "waiting", "ALARM an answer from the slot could not be read",
          "loading"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        struct Link : SlotLink {
            const Case& c;
            std::mutex& m;
            int& runs;
            std::size_t next = 0;
            Link(const Case& cs, std::mutex& mutex, int& r) : c(cs), m(mutex), runs(r) {}
            Sign poll() override {
                std::lock_guard lock(m);
                if (runs < 2 || next >= c.after.size()) return Sign::Unit;
                return c.after[next++];
            }
            std::optional<std::string> version() override { return c.version; }
            bool settle() override { return true; }
            void release() override {}
            bool waitChange(std::chrono::milliseconds) override { return false; }
            RunOutcome run(RunKind kind, int, const std::string&, const Progress&) override {
                std::lock_guard lock(m);
                ++runs;
                return kind == RunKind::Download ? ok() : ok("V1");
            }
            void requestStop() override {}
        };
        std::mutex m;
        int runs = 0;
        World world;
        Station station(
            jobOf(1), [&](std::size_t) { return std::make_unique<Link>(c, m, runs); }, world, Timing{5ms, 10s, 5ms});
        station.start();
        world.waitFor(0, "pass");
        if (c.loadsAgain) world.waitFor(0, "loading", world.waitFor(0, "pass") + 1);
        std::this_thread::sleep_for(100ms);  // long enough for 20 polls more
        station.stop();
        station.finish();
        std::vector<std::string> shown;
        for (const auto& e : world.events)
            if (e.rfind("0 ", 0) == 0) {
                std::string state = e.substr(2, e.find_first_of(":(") - 2);  // without its detail
                while (state.ends_with(' ')) state.pop_back();
                shown.push_back(state);
            }
        while (!shown.empty() && shown.back() == "stopped") shown.pop_back();
        if (c.loadsAgain) shown.resize(std::min<std::size_t>(shown.size(), c.shown.size()));
        EXPECT_EQ(shown, c.shown) << world.dump();
        std::lock_guard lock(m);
        EXPECT_EQ(runs > 2, c.loadsAgain);
    }
}

// A record that cannot be kept stops the line with one alarm, neither retried nor counted by the
// stop rule. A unit whose record could not be begun was not touched: it counts neither way and
// is loaded once the station is resumed. One whose end was lost is a FAIL with the record error.
TEST(StationEngine, ARecordThatCannotBeKeptPausesTheStationWithOneAlarm) {
    struct Case {
        RunOutcome::Record lost;
        std::vector<std::string> runs;  // before and after the resume
        int fails;
    };
    const std::vector<Case> cases = {
        {RunOutcome::Record::NotBegun, {"download 1 u0 ", "download 1 u0 ", "version 1 u0 "}, 0},
        {RunOutcome::Record::NotEnded, {"download 1 u0 ", "download 1 u1 ", "version 1 u1 "}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fails ? "the end lost" : "not begun");
        World world;
        std::atomic<bool> broken{true};
        world.script = [&](RunKind kind, int, int) {
            if (!broken) return kind == RunKind::Download ? ok() : ok("V1");
            RunOutcome o = failed(exitcode::kRecord, "the records file R: read-only");
            o.record = c.lost;
            return o;
        };
        world.slots[0].units = 2;
        Station station(jobOf(1, 1, 1, 1), world.maker(), world, kFast, Ending::OnStopOrQuota);
        station.start();
        const std::size_t paused = world.waitFor(0, "paused: station");
        EXPECT_EQ(world.countStarting("0 ALARM the records file R: read-only. No unit is loaded without its record"),
                  1u);
        EXPECT_EQ(world.countStarting("0 ALARM"), 1u) << world.dump();
        if (c.fails) {
            EXPECT_EQ(world.count("0 fail: record error: the records file R: read-only"), 1u);
        }
        broken = false;
        station.resumeAll();
        world.waitFor(0, "pass", paused);
        ASSERT_TRUE(station.waitEnded(kWait)) << world.dump();
        const Totals t = station.finish();
        EXPECT_EQ(world.runs(0), c.runs);
        EXPECT_EQ(t.passes, 1);
        EXPECT_EQ(t.fails, c.fails);
    }
}

// A scanned id is refused while its unit is in another slot (loading, or waiting to be taken
// out) and once it has passed; nothing changes for the slot it was scanned for.
TEST(StationEngine, AScannedIdInAnotherSlotOrPassedAlreadyIsRefused) {
    World world;
    world.slots[0].units = 1;
    world.slots[1].units = 1;
    // A's download is held until B's scan was refused: a unit still loading is in its slot.
    std::mutex gate;
    std::condition_variable opened;
    bool open = false;
    world.script = [&](RunKind kind, int, int) {
        std::unique_lock lock(gate);
        opened.wait_for(lock, kWait, [&] { return open; });
        return kind == RunKind::Download ? ok() : ok("V1");
    };
    Job job = jobOf(2);
    job.scanUnitId = true;
    Station station(job, world.maker(), world, kFast, Ending::OnStopOrQuota);
    station.start();
    world.waitFor(1, "waiting: scan");
    EXPECT_FALSE(station.setUnitId(0, "SN-1"));
    world.waitFor(0, "loading");
    const auto inUse = station.setUnitId(1, "SN-1");
    {
        std::lock_guard lock(gate);
        open = true;
    }
    opened.notify_all();
    ASSERT_TRUE(inUse);
    EXPECT_EQ(inUse->why, ScanRefused::Why::InOtherSlot);
    EXPECT_EQ(inUse->text, "unit SN-1 is in slot A");
    world.waitFor(0, "waiting: scan", world.waitFor(0, "pass"));
    const auto passed = station.setUnitId(1, "SN-1");
    ASSERT_TRUE(passed);
    EXPECT_EQ(passed->why, ScanRefused::Why::Passed);
    EXPECT_EQ(passed->text, "unit SN-1 has passed in this run already");
    EXPECT_FALSE(station.setUnitId(1, "SN-2"));
    world.waitFor(1, "pass");
    station.stop();
    station.finish();
    EXPECT_EQ(world.runs(1), (std::vector<std::string>{"download 1 u0 SN-2", "version 1 u0 SN-2"}));
}

// A unit that answers only with bad check codes is never loaded, and the slot says so once.
TEST(StationEngine, AUnitThatAnswersOnlyWithBadCheckCodesRaisesOneAlarm) {
    World world;
    world.slots[0].units = 1;
    world.slots[0].garbled = true;
    Station station(jobOf(1), world.maker(), world, kFast);
    station.start();
    world.waitFor(0, "ALARM the unit answers only with bad check codes (10 polls)");
    std::this_thread::sleep_for(100ms);  // 20 polls more
    station.stop();
    station.finish();
    EXPECT_EQ(world.countStarting("0 ALARM"), 1u) << world.dump();
    EXPECT_TRUE(world.runs(0).empty());
}

}  // namespace

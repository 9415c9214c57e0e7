// The production station end to end: the built unit-loader-cli runs a job file against
// simulated units that the test puts in and takes out, and the records file is read back
// through the program. Every wait is bounded.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "CliTestSupport.h"
#include "UnitSimulator.h"
#include "record/AttemptOf.h"

using namespace clitest;
using namespace unitsim;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

const std::string kCli = UL_CLI_PROGRAM;

// A unit put into a slot has just been switched on: its status passes through Reset first.
UnitBehaviour fresh(std::string version = "SIM-UNIT 2.07") {
    UnitBehaviour unit;
    unit.resetPolls = 1;
    unit.versionText = std::move(version);
    return unit;
}

struct JobText {
    std::string hash = {};  // empty: the image's own
    std::string expect = "SIM-UNIT 2.07";
    int retries = 0;
    int stopAfter = 0;
    int quota = 0;
    int baud = 38400;
    std::string presence = "poll";
    std::vector<std::string> ports = {};  // a slot each; empty: the simulated units' devices
};

class Station : public ::testing::Test {
protected:
    // `slots` simulated units, none connected yet.
    void makeSlots(std::size_t slots, const SimConfig& config = {}) {
        for (std::size_t i = 0; i < slots; ++i) {
            SimConfig c = config;
            c.startAbsent = true;
            sims.push_back(std::make_unique<UnitSimulator>(c));
            sims.back()->start();
        }
    }
    void writeJob(const JobText& t) {
        std::ofstream job(jobPath);
        job << "name = \"Line 2 refurbish\"\nimage = \"fw.bin\"\n"
            << "image_sha256 = \"" << (t.hash.empty() ? sha256Hex(image) : t.hash) << "\"\n"
            << "expect_version = \"" << t.expect << "\"\nbaud = " << t.baud << "\nretries = " << t.retries
            << "\nstop_after_failures = " << t.stopAfter << "\nquota = " << t.quota << "\noperator = \"Ann\"\n"
            << "presence = \"" << t.presence << "\"\n";
        const std::size_t slots = t.ports.empty() ? sims.size() : t.ports.size();
        for (std::size_t i = 0; i < slots; ++i)
            job << "[[slot]]\nname = \"" << slotName(i) << "\"\nport = \""
                << (t.ports.empty() ? sims[i]->devicePath() : t.ports[i]) << "\"\n";
    }
    // Units at 9600 baud on a paced line: a download takes a few seconds.
    static SimConfig paced9600() {
        SimConfig c;
        c.pacing.enabled = true;
        c.pacing.baud = 9600;
        return c;
    }
    static std::string slotName(std::size_t i) { return std::string(1, static_cast<char>('A' + i)); }

    void start(bool ownGroup = false) {
        station =
            std::make_unique<Process>(std::vector<std::string>{kCli, "station", jobPath, "--json", "--records", db},
                                      std::vector<std::string>{}, ownGroup);
    }
    // The next event that `match` takes (every event before it is kept in `events`); fails the
    // test when none comes within `limit`.
    json next(const std::function<bool(const json&)>& match, std::chrono::milliseconds limit = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            while (seen < events.size())
                if (match(events[seen++])) return events[seen - 1];
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                events.push_back(json::parse(pending.substr(0, end)));
                pending.erase(0, end + 1);
            }
            if (seen < events.size()) continue;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left <= 0ms) break;
            if (!station->readOut(pending, std::min(left, 200ms)) && pending.find('\n') == std::string::npos) break;
        }
        ADD_FAILURE() << "no such event; last: " << (events.empty() ? std::string("none") : events.back().dump());
        return json{};
    }
    static std::function<bool(const json&)> state(const std::string& slot, const std::string& s) {
        return [=](const json& e) { return e["event"] == "slot_state" && e["slot"] == slot && e["state"] == s; };
    }
    static bool ended(const json& e) { return e["event"] == "station_end"; }
    void pullMidDownloadThenPutIn(bool whileItRetries);
    std::size_t count(const std::string& event, const std::string& slot) const {
        std::size_t n = 0;
        for (const auto& e : events) n += e["event"] == event && e["slot"] == slot;
        return n;
    }

    // The attempts (downloads and version checks), or the units' verdicts; newest first.
    std::vector<json> records(bool verdicts = false) {
        const Finished f = run({kCli, "records", "export", "--format", "jsonl", "--records", db});
        EXPECT_EQ(f.code, 0) << f.err;
        std::vector<json> rows;
        std::istringstream lines(f.out);
        for (std::string line; std::getline(lines, line);) {
            json row = json::parse(line);
            if ((row["kind"] == "unit") == verdicts) rows.push_back(std::move(row));
        }
        return rows;
    }

    TempDir dir;
    const std::string db = dir.file("records.sqlite");
    const std::string jobPath = dir.file("job.toml");
    const Bytes image = makeImage(3000);
    std::vector<std::unique_ptr<UnitSimulator>> sims;
    std::unique_ptr<Process> station;
    std::vector<json> events;
    std::size_t seen = 0;
    std::string pending;

    void SetUp() override { writeFile(dir.file("fw.bin"), image); }
};

TEST_F(Station, FourSlotsThreeUnitsEachOneWithAnEraseFaultGiveElevenPassesAndOneFailInTheRecords) {
    makeSlots(4);
    writeJob({.quota = 11});
    start();
    Faults eraseFault;
    eraseFault.busyForeverErase = true;
    // Each slot takes its next unit once the last one has been seen gone; slot C's first unit
    // never finishes its erase.
    std::map<std::string, int> unitsIn;
    bool done = false;
    while (!done) {
        const json e = next([](const json& x) {
            return ended(x) || (x["event"] == "slot_state" &&
                                (x["state"] == "pass" || x["state"] == "fail" || x["state"] == "waiting"));
        });
        if (e.is_null()) break;
        if (ended(e)) {
            done = true;
            break;
        }
        const std::string slot = e["slot"];
        const std::size_t i = static_cast<std::size_t>(slot[0] - 'A');
        if (e["state"] != "waiting") {
            sims[i]->remove();
        } else if (unitsIn[slot] < 3) {
            sims[i]->connect(fresh(), i == 2 && unitsIn[slot] == 0 ? eraseFault : Faults{});
            ++unitsIn[slot];
        }
    }
    const Finished f = station->finish(30s);
    ASSERT_TRUE(done) << f.err;
    EXPECT_EQ(f.code, 0) << f.err;
    EXPECT_EQ(events.back()["reason"], "quota");
    EXPECT_EQ(events.back()["passes"], 11);
    EXPECT_EQ(events.back()["fails"], 1);

    std::map<std::string, int> downloads;
    int versions = 0;
    for (const auto& r : records()) {
        EXPECT_NE(r["note"].get<std::string>().find("station job \"Line 2 refurbish\", slot "), std::string::npos);
        EXPECT_EQ(r["operator"], "Ann");
        if (r["kind"] == "version") {
            ++versions;
            EXPECT_EQ(r["unit_version"], "SIM-UNIT 2.07");
            continue;
        }
        ++downloads[r["outcome"]];
        EXPECT_EQ(r["file"], dir.file("fw.bin"));
        EXPECT_EQ(r["file_sha256"], sha256Hex(image));
        if (r["outcome"] != "success") {
            EXPECT_EQ(r["port"], sims[2]->devicePath());
        }
    }
    EXPECT_EQ(downloads["success"], 11);
    EXPECT_EQ(downloads["F3"], 1);
    EXPECT_EQ(downloads.size(), 2u);
    EXPECT_EQ(versions, 11);
    // Every attempt_end names its record.
    for (const auto& e : events)
        if (e["event"] == "attempt_end") {
            EXPECT_EQ(e["record"].get<std::string>().size(), 32u);
        }
}

// A unit that reports another version fails (each retry recorded as a version mismatch), is not
// loaded again while it stays in place, and the image read at start is the one loaded even when
// the file changes. Each unit has its verdict, which the summary and the units list answer from.
TEST_F(Station, AVersionMismatchFailsEveryTryAndAUnitLeftInPlaceIsNotLoadedTwice) {
    makeSlots(1);
    writeJob({.retries = 1, .quota = 1});
    start();
    next(state("A", "waiting"));
    writeFile(dir.file("fw.bin"), makeImage(3000, 7));  // no effect: held since the start
    sims[0]->connect(fresh("SIM-UNIT 2.06"), {});
    const json fail = next(state("A", "fail"));
    EXPECT_NE(fail["detail"].get<std::string>().find("SIM-UNIT 2.06"), std::string::npos) << fail.dump();
    EXPECT_EQ(count("attempt_start", "A"), 4u);  // download and version, twice

    // Left in place for longer than it takes to see a unit gone: nothing more happens to it.
    const auto frames = sims[0]->counters().framesReceived;
    ASSERT_TRUE(sims[0]->waitForFrames(frames + 6, 10s));
    EXPECT_EQ(count("attempt_start", "A"), 4u);
    EXPECT_EQ(count("slot_state", "A"), 6u);  // waiting, loading, checking, loading (retry), checking, fail
    sims[0]->remove();
    next(state("A", "waiting"));
    sims[0]->connect(fresh(), {});
    next(state("A", "pass"));
    const Finished f = station->finish(30s);
    EXPECT_EQ(f.code, 0) << f.err;

    const auto rows = records();  // the passing unit's two, then the failed unit's four
    ASSERT_EQ(rows.size(), 6u);
    const auto verdicts = records(true);
    ASSERT_EQ(verdicts.size(), 2u);
    const json& passed = verdicts[0];
    const json& failed = verdicts[1];
    int retries = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const json& r = rows[i];
        const bool wrongUnit = i >= 2;
        if (r["kind"] == "download") {
            EXPECT_EQ(r["outcome"], "success");
            EXPECT_EQ(r["file_sha256"], sha256Hex(image));
        } else {
            EXPECT_EQ(r["outcome"], wrongUnit ? "version mismatch" : "success") << r.dump();
            EXPECT_EQ(r["unit_version"], wrongUnit ? "SIM-UNIT 2.06" : "SIM-UNIT 2.07");
        }
        EXPECT_EQ(r["verdict_id"], (wrongUnit ? failed : passed)["id"]) << r.dump();
        retries += r["note"].get<std::string>().find(", retry 1") != std::string::npos;
    }
    EXPECT_EQ(retries, 2);

    std::ifstream jobFile(jobPath, std::ios::binary);
    const std::string jobText((std::istreambuf_iterator<char>(jobFile)), std::istreambuf_iterator<char>());
    for (const json* v : {&passed, &failed}) {
        EXPECT_EQ((*v)["job"], "Line 2 refurbish");
        EXPECT_EQ((*v)["job_sha256"], sha256Hex(Bytes(jobText.begin(), jobText.end())));
        EXPECT_EQ((*v)["file_sha256"], sha256Hex(image));
        EXPECT_EQ((*v)["expect_version"], "SIM-UNIT 2.07");
        EXPECT_EQ((*v)["slot"], "A");
        EXPECT_EQ((*v)["port"], sims[0]->devicePath());
        EXPECT_EQ((*v)["operator"], "Ann");
        EXPECT_FALSE((*v)["ended_at"].is_null());
    }
    EXPECT_EQ(passed["verdict"], "pass");
    EXPECT_EQ(passed["outcome"], "success");
    EXPECT_EQ(passed["download_id"], rows[1]["id"]);
    EXPECT_EQ(passed["version_id"], rows[0]["id"]);
    EXPECT_EQ(failed["verdict"], "fail");
    EXPECT_EQ(failed["verdict_reason"], "wrong version");
    EXPECT_EQ(failed["outcome"], "version mismatch");
    EXPECT_EQ(failed["unit_version"], "SIM-UNIT 2.06");
    EXPECT_EQ(failed["download_id"], rows[3]["id"]);  // the retry's runs decided
    EXPECT_EQ(failed["version_id"], rows[2]["id"]);

    // One unit passed with its first download, one failed: half the units, whatever the attempts.
    const Finished summary = run({kCli, "records", "summary", "--records", db});
    EXPECT_EQ(summary.code, 0) << summary.err;
    EXPECT_NE(summary.out.find("Line 2 refurbish       2       1       1      50.0 %            0  wrong version 1"),
              std::string::npos)
        << summary.out;
    const Finished carrying = run({kCli, "records", "units", "--version", "SIM-UNIT 2.06", "--records", db});
    EXPECT_EQ(carrying.code, 0) << carrying.err;
    EXPECT_NE(carrying.out.find(failed["id"].get<std::string>()), std::string::npos) << carrying.out;
    EXPECT_EQ(carrying.out.find(passed["id"].get<std::string>()), std::string::npos) << carrying.out;
}

// A unit swapped for the next one is loaded however fast the swap: between two polls, and 0.3 s
// after the last one was taken out. Each unit has its two records.
TEST_F(Station, AQuickSwapIsLoaded) {
    makeSlots(1);
    writeJob({.quota = 3});
    start();
    next(state("A", "waiting"));
    sims[0]->connect(fresh(), {});
    next(state("A", "pass"));
    sims[0]->remove();
    sims[0]->connect(fresh(), {});  // at once: the slot sees no gap
    next(state("A", "loading"));
    next(state("A", "pass"));
    sims[0]->remove();
    std::this_thread::sleep_for(300ms);
    sims[0]->connect(fresh(), {});
    next(state("A", "pass"));
    EXPECT_EQ(next(ended)["reason"], "quota");
    const Finished f = station->finish(30s);
    EXPECT_EQ(f.code, 0) << f.err;
    EXPECT_EQ(sims[0]->counters().unitsConnected, 3u);
    EXPECT_EQ(count("attempt_start", "A"), 6u);
    EXPECT_EQ(records().size(), 6u);
}

// A unit pulled mid-download is a FAIL of its own, with its download recorded as it ended; the
// unit put in next is loaded as a unit of its own, never as a retry of the pulled one: put in
// once the slot has shown the FAIL, or while the pulled unit's run still retries, which then
// meets the new unit's power-up.
void Station::pullMidDownloadThenPutIn(bool whileItRetries) {
    makeSlots(1, paced9600());
    writeJob({.retries = 1, .quota = 1, .baud = 9600});
    start();
    next(state("A", "waiting"));
    sims[0]->connect(fresh(), {});
    next([](const json& e) { return e["event"] == "attempt_start"; });
    ASSERT_TRUE(sims[0]->waitForBlocks(2, 20s));
    sims[0]->remove();
    if (whileItRetries) {
        // Each unanswered request costs the run about 1 s, far within its budget.
        std::this_thread::sleep_for(1500ms);
        for (int i = 0; i < 3; ++i) station->readOut(pending, 20ms);
        ASSERT_EQ(pending.find("attempt_end"), std::string::npos) << "the run ended before the next unit came";
        sims[0]->connect(fresh(), {});
    }
    const json fail = next(state("A", "fail"), 60s);
    EXPECT_EQ(fail["detail"], "unit removed") << fail.dump();
    if (!whileItRetries) sims[0]->connect(fresh(), {});
    next(state("A", "pass"), 60s);
    const json end = next(ended);
    EXPECT_EQ(end["passes"], 1);
    EXPECT_EQ(end["fails"], 1);
    const Finished f = station->finish(30s);
    EXPECT_EQ(f.code, 0) << f.err;
    EXPECT_EQ(count("attempt_start", "A"), 3u);

    const auto rows = records();  // the newest first
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_NE(rows[2]["outcome"], "success");
    EXPECT_FALSE(rows[2]["ended_at"].get<std::string>().empty());
    EXPECT_EQ(rows[1]["outcome"], "success");
    EXPECT_EQ(rows[0]["outcome"], "success");
    for (const auto& r : rows) EXPECT_EQ(r["note"].get<std::string>().find("retry"), std::string::npos) << r.dump();
}

TEST_F(Station, AUnitPulledMidDownloadIsAFailOfItsOwnAndTheNextIsLoaded) { pullMidDownloadThenPutIn(false); }

TEST_F(Station, AUnitPutInWhileThePulledOnesRunStillRetriesIsLoadedAsANewUnit) { pullMidDownloadThenPutIn(true); }

// A download that fails leaves the unit in download mode. Before a retry the slot brings it back
// to idle, or (an erase that never ends) keeps the failure that happened: F3, not the F1 a retry
// would meet. A unit left in download mode by a station that was stopped is recovered when the
// next station starts, and loaded.
TEST_F(Station, AFailedDownloadKeepsItsOutcomeAndAUnitLeftInDownloadModeIsRecovered) {
    makeSlots(1, paced9600());
    writeJob({.retries = 1, .stopAfter = 1, .baud = 9600});
    start();
    next(state("A", "waiting"));
    Faults eraseFault;
    eraseFault.busyForeverErase = true;
    sims[0]->connect(fresh(), eraseFault);
    const json fail = next(state("A", "fail"), 60s);
    EXPECT_EQ(fail["detail"].get<std::string>().rfind("F3", 0), 0u) << fail.dump();
    Finished f = station->finish(30s);
    EXPECT_EQ(f.code, 13) << f.err;  // F3's code
    auto rows = records();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["outcome"], "F3");

    // A download stopped by its time-out leaves the unit in download mode.
    sims[0]->connect(fresh(), {});
    const Finished cut = run({kCli, "download", "--port", sims[0]->devicePath(), "--baud", "9600", "--timeout", "1",
                              "--no-record", dir.file("fw.bin")},
                             30s);
    EXPECT_NE(cut.code, 0) << cut.err;
    ASSERT_EQ(sims[0]->phase(), UnitPhase::Download);
    events.clear();
    seen = 0;
    pending.clear();
    writeJob({.quota = 1, .baud = 9600});
    start();
    next(state("A", "pass"), 60s);
    f = station->finish(30s);
    EXPECT_EQ(f.code, 0) << f.err;
    rows = records();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1]["outcome"], "success");
}

TEST_F(Station, FailuresInARowPauseTheSlotWithAnAlarm) {
    makeSlots(1);
    writeJob({.stopAfter = 2});
    start();
    Faults eraseFault;
    eraseFault.busyForeverErase = true;
    for (int unit = 0; unit < 2; ++unit) {
        next(state("A", "waiting"));
        sims[0]->connect(fresh(), eraseFault);
        next(state("A", "fail"));
        sims[0]->remove();
    }
    const json alarm = next([](const json& e) { return e["event"] == "alarm"; });
    EXPECT_NE(alarm["text"].get<std::string>().find("2 failures in a row"), std::string::npos) << alarm.dump();
    next(state("A", "paused"));
    const json end = next(ended);
    EXPECT_EQ(end["reason"], "all slots paused");
    const Finished f = station->finish(30s);
    EXPECT_EQ(f.code, 13) << f.err;  // F3, the failures' code
    EXPECT_EQ(records().size(), 2u);
}

TEST_F(Station, AnImageThatIsNotTheJobsRefusesToStartAndNamesBothHashes) {
    makeSlots(1);
    const std::string wrong(64, 'a');
    writeJob({.hash = wrong});
    const Finished f = run({kCli, "station", jobPath, "--records", db}, 30s);
    EXPECT_EQ(f.code, 3);
    EXPECT_NE(f.err.find(wrong), std::string::npos) << f.err;
    EXPECT_NE(f.err.find(sha256Hex(image)), std::string::npos) << f.err;
    EXPECT_EQ(sims[0]->counters().framesReceived, 0u);  // no unit was touched
    EXPECT_FALSE(std::filesystem::exists(db));
}

// The private copy the runs read, replaced while the station runs (by another process of the
// same user): the run refuses it before its first block and the unit FAILs as "image mismatch";
// the record names the bytes found. Nothing is loaded and shown PASS under the job's name.
TEST_F(Station, AReplacedImageCopyIsRefusedBeforeItsFirstBlockAndTheUnitFails) {
    makeSlots(1);
    writeJob({.stopAfter = 1});
    const TempDir tmp;
    station = std::make_unique<Process>(std::vector<std::string>{kCli, "station", jobPath, "--json", "--records", db},
                                        std::vector<std::string>{"TMPDIR=" + tmp.path().string()});
    next(state("A", "waiting"));
    std::filesystem::path copy;
    for (const auto& entry : std::filesystem::directory_iterator(tmp.path()))
        if (entry.path().filename().string().starts_with("unit-loader-station.")) copy = entry.path() / "image.bin";
    ASSERT_TRUE(std::filesystem::exists(copy));
    const Bytes other = makeImage(3000, 7);
    std::filesystem::remove(copy);
    writeFile(copy.string(), other);

    sims[0]->connect(fresh(), {});
    const json end = next([](const json& e) { return e["event"] == "attempt_end"; });
    EXPECT_EQ(end["outcome"], "image mismatch") << end.dump();
    EXPECT_EQ(end["exit_code"], 8);
    const json fail = next(state("A", "fail"));
    EXPECT_NE(fail["detail"].get<std::string>().find("image mismatch"), std::string::npos) << fail.dump();
    EXPECT_EQ(next(ended)["reason"], "all slots paused");
    const Finished f = station->finish(30s);
    EXPECT_EQ(f.code, 8) << f.err;
    EXPECT_EQ(sims[0]->counters().blocksStored, 0u);
    EXPECT_EQ(count("attempt_start", "A"), 1u);  // no version check of a unit not loaded

    const auto rows = records();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["outcome"], "image mismatch");
    EXPECT_EQ(rows[0]["file"], dir.file("fw.bin"));
    EXPECT_EQ(rows[0]["file_sha256"], sha256Hex(other));
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));  // the station's folder went with it
}

// A file read-only while it lives: by its mode, and for root (whom the mode does not stop) by
// the immutable attribute, where the file system has one.
struct ReadOnly {
    explicit ReadOnly(std::string file) : path(std::move(file)) {
        if (::geteuid() != 0) {
            made = ::chmod(path.c_str(), 0444) == 0;
            return;
        }
        immutable = made = setImmutable(true);
    }
    ~ReadOnly() {
        if (immutable)
            setImmutable(false);
        else
            ::chmod(path.c_str(), 0644);
    }
    ReadOnly(const ReadOnly&) = delete;
    ReadOnly& operator=(const ReadOnly&) = delete;
    bool setImmutable(bool on) const {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        int flags = 0;
        bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        ::close(fd);
        return done;
    }
    std::string path;
    bool made = false;
    bool immutable = false;
};

// The same device under two names (a link beside its own name) would have two slots fight over
// one unit: refused at start with the job's line, before any unit is touched. So is a port that
// is not there.
TEST_F(Station, APortThatIsMissingOrNamedTwiceIsRefusedAtStartWithItsLine) {
    makeSlots(1);
    sims[0]->connect(fresh(), {});
    const std::string link = dir.file("unit-A");
    std::filesystem::create_symlink(sims[0]->devicePath(), link);
    struct Case {
        std::vector<std::string> ports;
        int code;
        std::string says;
    };
    // The second slot's port is on line 16 of the job.
    const std::vector<Case> cases = {
        {{sims[0]->devicePath(), link},
         2,
         "job.toml:16: slot \"B\": port \"" + link + "\" is the device of slot \"A\""},
        {{sims[0]->devicePath(), dir.file("no-such-port")},
         4,
         "job.toml:16: slot \"B\": Port " + dir.file("no-such-port") + ": no such device"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says);
        writeJob({.ports = c.ports});
        const Finished f = run({kCli, "station", jobPath, "--records", db}, 30s);
        EXPECT_EQ(f.code, c.code) << f.err;
        EXPECT_NE(f.err.find(c.says), std::string::npos) << f.err;
    }
    EXPECT_EQ(sims[0]->counters().framesReceived, 0u);
    EXPECT_FALSE(std::filesystem::exists(db));
}

// A records file that cannot be written stops the line at the first unit: one alarm naming the
// file and what to do, every slot paused, no unit counted and none touched (nothing is sent
// without its record).
TEST_F(Station, AReadOnlyRecordsFilePausesTheStationWithOneAlarmAndNoUnitTouched) {
    makeSlots(2);
    writeJob({});
    ASSERT_EQ(run({kCli, "records", "migrate", "--records", db}).code, 0);
    const ReadOnly readOnly(db);
    if (!readOnly.made) GTEST_SKIP() << "this file system cannot make a file read-only for root";
    for (auto& sim : sims) sim->connect(fresh(), {});
    start();
    const json end = next(ended, 60s);
    EXPECT_EQ(end["reason"], "all slots paused");
    EXPECT_EQ(end["passes"], 0);
    EXPECT_EQ(end["fails"], 0);
    std::size_t alarms = 0;
    for (const auto& e : events) {
        if (e["event"] == "alarm") {
            ++alarms;
            EXPECT_NE(e["text"].get<std::string>().find("the records file " + db), std::string::npos) << e.dump();
            EXPECT_NE(e["text"].get<std::string>().find("writable"), std::string::npos) << e.dump();
        }
        if (e["event"] == "slot_state" && (e["state"] == "pass" || e["state"] == "fail")) ADD_FAILURE() << e.dump();
    }
    EXPECT_EQ(alarms, 1u);
    for (std::size_t i = 0; i < sims.size(); ++i) {
        json last;
        for (const auto& e : events)
            if (e["event"] == "slot_state" && e["slot"] == slotName(i)) last = e;
        EXPECT_EQ(last["state"], "paused") << last.dump();
        EXPECT_EQ(sims[i]->counters().blocksStored, 0u);
        EXPECT_NE(sims[i]->phase(), UnitPhase::Download);
    }
    const Finished f = station->finish(30s);
    EXPECT_EQ(f.code, 6) << f.err;  // the record error
}

// A run whose end cannot be written is a FAIL with the record error, never a PASS: the run says
// why in its line, it is not retried, and the line stops with one alarm.
TEST_F(Station, ARunWhoseEndCannotBeWrittenFailsWithTheRecordErrorAndStopsTheLine) {
    makeSlots(1, paced9600());
    writeJob({.retries = 1, .baud = 9600});
    const std::string journal = dir.file("records.jsonl");
    station =
        std::make_unique<Process>(std::vector<std::string>{kCli, "station", jobPath, "--json", "--records", journal});
    next(state("A", "waiting"));
    sims[0]->connect(fresh(), {});
    ASSERT_TRUE(sims[0]->waitForBlocks(2, 20s));
    // The begin is on disk; the end finds a folder in the journal's place.
    std::filesystem::remove(journal);
    std::filesystem::create_directory(journal);
    const json fail = next(state("A", "fail"), 60s);
    EXPECT_EQ(
        fail["detail"].get<std::string>().rfind("record error: the end of the attempt was not recorded: attempt ", 0),
        0u)
        << fail.dump();
    const json end = next(ended);
    EXPECT_EQ(end["passes"], 0);
    EXPECT_EQ(end["fails"], 1);
    std::size_t alarms = 0;
    for (const auto& e : events)
        if (e["event"] == "alarm") {
            ++alarms;
            EXPECT_NE(e["text"].get<std::string>().find("the records journal " + journal), std::string::npos)
                << e.dump();
        }
    EXPECT_EQ(alarms, 1u);
    EXPECT_EQ(count("attempt_start", "A"), 1u);
    const Finished f = station->finish(30s);
    EXPECT_EQ(f.code, 6) << f.err;
}

// A stop request mid-download, to the station alone or as Ctrl-C on a terminal to it and every
// run it started (each run then gets it twice, from the terminal and passed on): every run ends
// cleanly, its record says interrupted, the station exits 130 and the ports are free at once.
TEST_F(Station, CtrlCMidDownloadIsRecordedAsInterruptedAndFreesThePorts) {
    makeSlots(2, paced9600());
    writeJob({.baud = 9600});
    for (const bool wholeGroup : {false, true}) {
        SCOPED_TRACE(wholeGroup ? "Ctrl-C to the group" : "SIGINT to the station");
        std::filesystem::remove(db);
        events.clear();
        seen = 0;
        pending.clear();
        std::vector<std::uint64_t> blocksBefore;
        for (auto& sim : sims) {
            blocksBefore.push_back(sim->counters().blocksStored);
            sim->connect({}, {});
        }
        start(wholeGroup);
        for (std::size_t i = 0; i < sims.size(); ++i) {
            next([](const json& e) { return e["event"] == "attempt_start"; });
            ASSERT_TRUE(sims[i]->waitForBlocks(blocksBefore[i] + 2, 20s));
        }
        if (wholeGroup)
            station->signalGroup(SIGINT);
        else
            station->signal(SIGINT);
        EXPECT_EQ(next(ended)["reason"], "stopped");
        const Finished f = station->finish(30s);
        EXPECT_EQ(f.code, 130) << f.err;
        std::map<std::string, std::string> recordOf;
        for (const auto& e : events) {
            if (e["event"] == "alarm") ADD_FAILURE() << e.dump();
            if (e["event"] != "attempt_end") continue;
            EXPECT_EQ(e["outcome"], "interrupted") << e.dump();
            recordOf[e["slot"]] = e["record"];
        }
        EXPECT_EQ(recordOf.size(), 2u);

        const auto rows = records();
        ASSERT_EQ(rows.size(), 2u);
        for (const auto& r : rows) {
            EXPECT_EQ(r["outcome"], "interrupted");
            EXPECT_FALSE(r["ended_at"].get<std::string>().empty());  // ended by the run, not found later
            EXPECT_EQ(recordOf[r["note"].get<std::string>().substr(r["note"].get<std::string>().size() - 1)], r["id"]);
        }
        for (auto& sim : sims) {
            sim->connect({}, {});  // the interrupted one is left mid-download
            const Finished again =
                run({kCli, "version", "--port", sim->devicePath(), "--baud", "9600", "--no-record"}, 30s);
            EXPECT_EQ(again.code, 0) << again.err;
            sim->remove();
        }
    }
}

// An adapter per unit: the port's path coming is a unit, its going the unit's end, even when
// the next adapter takes its place at once.
TEST_F(Station, HotplugTakesAUnitWhenThePathAppearsAndANewOneAfterAQuickSwap) {
    makeSlots(1);
    sims[0]->connect({}, {});
    const std::string link = dir.file("by-id/unit-A");
    std::filesystem::create_directories(dir.file("by-id"));
    writeJob({.quota = 2, .presence = "hotplug", .ports = {link}});
    start();
    next(state("A", "waiting"));
    std::filesystem::create_symlink(sims[0]->devicePath(), link);
    next(state("A", "pass"));
    std::filesystem::remove(link);
    std::filesystem::create_symlink(sims[0]->devicePath(), link);
    next(state("A", "waiting"));
    next(state("A", "pass"));
    const Finished f = station->finish(30s);
    EXPECT_EQ(f.code, 0) << f.err;
    EXPECT_EQ(count("attempt_start", "A"), 4u);
}

// The processes `parent` started (and has not reaped), from /proc.
std::vector<pid_t> childrenOf(pid_t parent) {
    std::vector<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line) || line.rfind(')') == std::string::npos) continue;
        std::istringstream rest(line.substr(line.rfind(')') + 2));
        char state = 0;
        pid_t ppid = 0;
        rest >> state >> ppid;
        if (ppid == parent && state != 'Z') found.push_back(std::stoi(entry.path().filename().string()));
    }
    return found;
}

// A run's process that dies mid-download is an alarm and a failed unit: the station ends the
// record it began with how it ended, the unit's verdict says the run crashed, and the slot goes
// on with the next unit.
TEST_F(Station, ARunThatDiesIsAnAlarmItsRecordAndVerdictSayItCrashedAndTheSlotGoesOn) {
    makeSlots(1, paced9600());
    writeJob({.quota = 1, .baud = 9600});
    start();
    next(state("A", "waiting"));
    sims[0]->connect({}, {});
    next([](const json& e) { return e["event"] == "attempt_start"; });
    ASSERT_TRUE(sims[0]->waitForBlocks(2, 20s));
    const auto runs = childrenOf(station->pid());
    ASSERT_EQ(runs.size(), 1u);
    ::kill(runs[0], SIGKILL);
    const json alarm = next([](const json& e) { return e["event"] == "alarm"; });
    EXPECT_NE(alarm["text"].get<std::string>().find("signal 9"), std::string::npos) << alarm.dump();
    next(state("A", "fail"));
    sims[0]->remove();
    next(state("A", "waiting"));
    sims[0]->connect(fresh(), {});
    next(state("A", "pass"));
    const Finished f = station->finish(30s);
    EXPECT_EQ(f.code, 0) << f.err;

    const auto rows = records();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2]["outcome"], "internal error");  // the oldest
    EXPECT_FALSE(rows[2]["ended_at"].is_null());
    EXPECT_NE(rows[2]["box_text"].get<std::string>().find("signal 9"), std::string::npos) << rows[2].dump();
    EXPECT_EQ(rows[1]["outcome"], "success");
    EXPECT_EQ(rows[0]["outcome"], "success");
    const auto verdicts = records(true);
    ASSERT_EQ(verdicts.size(), 2u);
    EXPECT_EQ(verdicts[1]["verdict"], "fail");
    EXPECT_EQ(verdicts[1]["verdict_reason"], "run crashed");
    EXPECT_EQ(verdicts[1]["download_id"], rows[2]["id"]);
    EXPECT_EQ(rows[2]["verdict_id"], verdicts[1]["id"]);
    EXPECT_EQ(verdicts[0]["verdict"], "pass");
}

}  // namespace

// The attempt records, end to end through the built unit-loader-cli and real SQLite files in
// temporary folders: what a download leaves, many processes at once, a run killed outright, and
// a records file that cannot be used. Every wait is bounded.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "CliTestSupport.h"
#include "UnitSimulator.h"
#include "record/AttemptOf.h"

using namespace clitest;
using namespace unitsim;
using namespace std::chrono_literals;

namespace {

const std::string kCli = UL_CLI_PROGRAM;

class Records : public ::testing::Test {
protected:
    std::vector<nlohmann::ordered_json> exported(const std::string& records = {}) {
        const Finished f =
            run({kCli, "records", "export", "--format", "jsonl", "--records", records.empty() ? db : records});
        EXPECT_EQ(f.code, 0) << f.err;
        std::vector<nlohmann::ordered_json> rows;
        std::istringstream lines(f.out);
        for (std::string line; std::getline(lines, line);) rows.push_back(nlohmann::ordered_json::parse(line));
        return rows;
    }

    TempDir dir;
    const std::string db = dir.file("records.sqlite");
};

TEST_F(Records, ADownloadLeavesOneCompleteAttemptAndTheExportsAgree) {
    UnitSimulator sim;
    sim.start();
    const Bytes file = makeImage(1500);
    writeFile(dir.file("image.bin"), file);
    const Finished f = run({kCli, "download", dir.file("image.bin"), "--port", sim.devicePath(), "--baud", "38400",
                            "--records", db, "--operator", "Ann", "--unit-id", "SN-1", "--quiet"});
    ASSERT_EQ(f.code, 0) << f.err;

    const auto rows = exported();
    ASSERT_EQ(rows.size(), 1u);
    const auto& a = rows[0];
    EXPECT_EQ(a["id"].get<std::string>().size(), 32u);
    EXPECT_EQ(a["kind"], "download");
    EXPECT_EQ(a["outcome"], "success");
    EXPECT_EQ(a["exit_code"], 0);
    EXPECT_EQ(a["operator"], "Ann");
    EXPECT_EQ(a["unit_id"], "SN-1");
    EXPECT_EQ(a["port"], sim.devicePath());
    EXPECT_EQ(a["baud"], 38400);
    EXPECT_EQ(a["file_size"], file.size());
    EXPECT_EQ(a["file_sha256"], sha256Hex(file));
    EXPECT_EQ(a["file_crc"], hex4(Crc16::of(file)));
    EXPECT_EQ(a["unit_crc"], hex4(sim.verifyOutcome()->computed));
    EXPECT_EQ(a["verify_result"], "D3 00");
    EXPECT_EQ(a["box_caption"], "UNIT LOADER Ver.1.21");
    EXPECT_LE(a["started_at"].get<std::string>(), a["ended_at"].get<std::string>());
    EXPECT_EQ(a["started_at"].get<std::string>().size(), 24u);  // 2026-12-08T23:58:39.123Z

    const Finished csv = run({kCli, "records", "export", "--records", db});
    ASSERT_EQ(csv.code, 0) << csv.err;
    const std::string header = csv.out.substr(0, csv.out.find("\r\n"));
    std::string names;
    for (const auto& [name, value] : a.items()) names += (names.empty() ? "" : ",") + name;
    EXPECT_EQ(header, names);  // the same names, in the same order
}

// Each process records its own attempt in the one file; none is lost.
TEST_F(Records, ThirtyTwoProcessesAtOnceLoseNothing) {
    std::vector<std::unique_ptr<Process>> processes;
    for (int i = 0; i < 32; ++i)
        processes.push_back(std::make_unique<Process>(std::vector<std::string>{
            kCli, "version", "--port", dir.file("no-port-" + std::to_string(i)), "--records", db, "--quiet"}));
    for (auto& p : processes) {
        const Finished f = p->finish(60s);
        ASSERT_FALSE(f.timedOut);
        EXPECT_EQ(f.code, 4) << f.err;  // the port's failure, recorded
    }
    const auto rows = exported();
    ASSERT_EQ(rows.size(), 32u);
    std::set<std::string> ids, ports;
    for (const auto& r : rows) {
        ids.insert(r["id"].get<std::string>());
        ports.insert(r["port"].get<std::string>());
        EXPECT_EQ(r["outcome"], "connection failure");
    }
    EXPECT_EQ(ids.size(), 32u);
    EXPECT_EQ(ports.size(), 32u);
}

// A new records file that another program holds locked while this one opens it (two stations'
// scripts, or a run and its forwarder, starting at once): the run waits for the lock as for any
// other, instead of refusing with a record error.
TEST_F(Records, ANewFileHeldLockedWhileARunOpensItIsWaitedFor) {
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    Process p({kCli, "version", "--port", dir.file("no-port"), "--records", db, "--quiet"});
    // The run meets the lock in its first milliseconds; it is held well beyond them.
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    const Finished f = p.finish(30s);
    EXPECT_EQ(f.code, 4) << f.out << f.err;  // the port's failure, recorded
    EXPECT_EQ(exported().size(), 1u);
}

// A run killed outright leaves its begun attempt; the next use of the file marks it.
TEST_F(Records, AnAttemptWhoseProcessWasKilledIsMarkedInterrupted) {
    SimConfig config;
    config.faults.busyForeverBlock = true;
    UnitSimulator sim(config);
    sim.start();
    writeFile(dir.file("image.bin"), makeImage(1500));
    Process p({kCli, "download", dir.file("image.bin"), "--port", sim.devicePath(), "--baud", "38400", "--records", db,
               "--quiet"});
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (sim.blocks().empty() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
    ASSERT_FALSE(sim.blocks().empty());
    p.signal(SIGKILL);
    p.finish(10s);

    const auto rows = exported();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["outcome"], "interrupted");
    EXPECT_EQ(rows[0]["note"], "no end recorded");
    EXPECT_TRUE(rows[0]["ended_at"].is_null());
    EXPECT_EQ(exported().size(), 1u);  // marked once, not again
    EXPECT_EQ(exported()[0]["note"], "no end recorded");
}

// The journal (what the Windows build keeps) holds the same attempts as the SQLite file, a run
// killed outright included, survives a line cut short, and imports once however often it is
// imported.
TEST_F(Records, AJournalKeepsTheAttemptsAndImportsOnce) {
    const std::string journal = dir.file("records.jsonl");
    writeFile(dir.file("image.bin"), makeImage(1500));
    {
        UnitSimulator sim;
        sim.start();
        const Finished f = run({kCli, "download", dir.file("image.bin"), "--port", sim.devicePath(), "--baud", "38400",
                                "--records", journal, "--unit-id", "SN-7", "--quiet"});
        ASSERT_EQ(f.code, 0) << f.err;
    }
    {
        SimConfig config;
        config.faults.busyForeverBlock = true;
        UnitSimulator sim(config);
        sim.start();
        Process p({kCli, "download", dir.file("image.bin"), "--port", sim.devicePath(), "--baud", "38400", "--records",
                   journal, "--quiet"});
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (sim.blocks().empty() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
        ASSERT_FALSE(sim.blocks().empty());
        p.signal(SIGKILL);
        p.finish(10s);
    }
    // The next run marks the killed one; then a crash cuts a line short.
    EXPECT_EQ(run({kCli, "version", "--port", dir.file("no-port"), "--records", journal, "--quiet"}).code, 4);
    std::ofstream(journal, std::ios::app) << R"({"v":1,"event":"begin","attempt":{"id":"0f)";

    const auto kept = exported(journal);
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept[0]["outcome"], "connection failure");
    EXPECT_EQ(kept[1]["outcome"], "interrupted");
    EXPECT_EQ(kept[1]["note"], "no end recorded");
    EXPECT_EQ(kept[2]["outcome"], "success");
    EXPECT_EQ(kept[2]["unit_id"], "SN-7");
    EXPECT_EQ(kept[2]["file_sha256"], sha256Hex(makeImage(1500)));

    const Finished first = run({kCli, "records", "import", "--records", db, journal});
    ASSERT_EQ(first.code, 0) << first.err;
    EXPECT_NE(first.out.find("3 attempts, 3 new"), std::string::npos) << first.out;
    EXPECT_NE(first.out.find("1 lines that are no journal event"), std::string::npos) << first.out;
    const Finished again = run({kCli, "records", "import", "--records", db, journal});
    ASSERT_EQ(again.code, 0) << again.err;
    EXPECT_NE(again.out.find("3 attempts, 0 new"), std::string::npos) << again.out;
    EXPECT_EQ(exported(), kept);  // every field as the journal has it
}

// A records file that cannot be used stops the run before anything goes to the unit.
TEST_F(Records, AnUnusableRecordsFileSendsNothing) {
    writeFile(dir.file("image.bin"), makeImage(600));
    std::ofstream(dir.file("corrupt.sqlite")) << std::string(8192, 'x');
    writeFile(dir.file("a-file"), {1});
    const std::pair<std::string, std::string> cases[] = {
        {dir.file("corrupt.sqlite"), "damaged"},
        {dir.file("a-file") + "/records.sqlite", "records file"},
        {dir.file("a-file") + "/records.jsonl", "records journal"},
    };
    for (const auto& [path, says] : cases) {
        SCOPED_TRACE(path);
        UnitSimulator sim;
        sim.start();
        const Finished f = run({kCli, "download", dir.file("image.bin"), "--port", sim.devicePath(), "--baud", "38400",
                                "--records", path});
        EXPECT_EQ(f.code, 6) << f.out << f.err;
        EXPECT_NE(f.out.find("Record error\nThe attempt could not be recorded"), std::string::npos) << f.out;
        EXPECT_NE(f.out.find(says), std::string::npos) << f.out;
        EXPECT_EQ(sim.counters().framesReceived, 0u);

        const Finished without = run({kCli, "download", dir.file("image.bin"), "--port", sim.devicePath(), "--baud",
                                      "38400", "--records", path, "--no-record", "--quiet"});
        EXPECT_EQ(without.code, 0) << without.err;
    }
}

}  // namespace

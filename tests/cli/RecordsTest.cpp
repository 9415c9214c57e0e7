// The attempt records, end to end through the built unit-loader-cli and real SQLite files in
// temporary folders: what a download leaves, many processes at once, a run killed outright, and
// a records file that cannot be used. Every wait is bounded.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
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

// Whether a download has begun on the simulated unit, waiting a bounded time for it.
bool firstBlockSent(UnitSimulator& sim) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (sim.blocks().empty() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
    return !sim.blocks().empty();
}

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
    ASSERT_TRUE(firstBlockSent(sim));
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
        ASSERT_TRUE(firstBlockSent(sim));
        p.signal(SIGKILL);
        p.finish(10s);
    }
    // The next run marks the killed one; then a crash cuts a line short.
    EXPECT_EQ(run({kCli, "version", "--port", dir.file("no-port"), "--records", journal, "--quiet"}).code, 4);
    std::ofstream(journal, std::ios::app) << R"({"v":1,"event":"begin","attempt":{"id":"0f)";
    // The next event starts on a line of its own: the half line does not swallow it.
    EXPECT_EQ(run({kCli, "version", "--port", dir.file("no-port-2"), "--records", journal, "--quiet"}).code, 4);

    const auto kept = exported(journal);
    ASSERT_EQ(kept.size(), 4u);
    EXPECT_EQ(kept[0]["port"], dir.file("no-port-2"));
    EXPECT_EQ(kept[1]["outcome"], "connection failure");
    EXPECT_EQ(kept[2]["outcome"], "interrupted");
    EXPECT_EQ(kept[2]["note"], "no end recorded");
    EXPECT_EQ(kept[3]["outcome"], "success");
    EXPECT_EQ(kept[3]["unit_id"], "SN-7");
    EXPECT_EQ(kept[3]["file_sha256"], sha256Hex(makeImage(1500)));

    const Finished first = run({kCli, "records", "import", "--records", db, journal});
    ASSERT_EQ(first.code, 0) << first.err;
    EXPECT_NE(first.out.find("4 attempts, 4 new"), std::string::npos) << first.out;
    EXPECT_NE(first.out.find("1 lines skipped\n  line 7 skipped: not JSON (cut short?)"), std::string::npos)
        << first.out;
    const Finished again = run({kCli, "records", "import", "--records", db, journal});
    ASSERT_EQ(again.code, 0) << again.err;
    EXPECT_NE(again.out.find("4 attempts, 0 new"), std::string::npos) << again.out;
    EXPECT_EQ(exported(), kept);  // every field as the journal has it
}

// A run whose end cannot be written tries again for a while, then ends with the record error,
// naming the file and the attempt: never a success without its record.
TEST_F(Records, AnEndThatCannotBeWrittenIsARecordError) {
    SimConfig config;
    config.faults.busyForeverBlock = true;
    UnitSimulator sim(config);
    sim.start();
    writeFile(dir.file("image.bin"), makeImage(1500));
    const std::string journal = dir.file("records.jsonl");
    Process p({kCli, "download", dir.file("image.bin"), "--port", sim.devicePath(), "--baud", "38400", "--records",
               journal, "--timeout", "1"});
    ASSERT_TRUE(firstBlockSent(sim));
    // The begin is on disk before the first block; the end finds a folder in the journal's place.
    std::string begun;
    std::getline(std::ifstream(journal), begun);
    std::filesystem::remove(journal);
    std::filesystem::create_directory(journal);
    const Finished f = p.finish(30s);
    EXPECT_EQ(f.code, 6) << f.out << f.err;
    const std::string id = nlohmann::json::parse(begun)["attempt"]["id"];
    EXPECT_NE(f.out.find("Record error: The end of the attempt could not be recorded.\nattempt " + id +
                         ": the records journal " + journal),
              std::string::npos)
        << f.out;
}

// An ended record never changes: an import adds what is new and completes what had no end;
// an edited journal's differing attempt is kept beside the original, once however often it is
// imported, and an older copy of a journal changes nothing.
TEST_F(Records, AnImportNeverChangesAnEndedRecord) {
    const auto attempt = [](const std::string& id, const std::string& outcome, bool ended) {
        nlohmann::ordered_json a = {
            {"id", id},       {"kind", "download"}, {"started_at", "2026-12-08T10:00:00.000Z"}, {"station", "line-3"},
            {"port", "COM3"}, {"baud", 38400}};
        if (ended) {
            a["ended_at"] = "2026-12-08T10:01:00.000Z";
            a["outcome"] = outcome;
            a["exit_code"] = outcome == "success" ? 0 : 13;
            a["verify_result"] = outcome == "success" ? "D3 00" : "D3 80";
        }
        return a;
    };
    const auto line = [](const char* event, const nlohmann::ordered_json& a) {
        return nlohmann::ordered_json{{"v", 1}, {"event", event}, {"attempt", a}}.dump() + "\n";
    };
    const std::string x(32, 'a'), y(32, 'b'), z(32, 'c');
    const std::string first = dir.file("first.jsonl"), edited = dir.file("edited.jsonl"),
                      older = dir.file("older.jsonl");
    std::ofstream(first) << line("begin", attempt(x, "", false)) << line("end", attempt(x, "success", true))
                         << line("begin", attempt(y, "", false));
    std::ofstream(edited) << line("end", attempt(x, "F3", true)) << line("end", attempt(y, "success", true))
                          << line("end", attempt(z, "success", true));
    std::ofstream(older) << line("begin", attempt(x, "", false));

    const Finished one = run({kCli, "records", "import", "--records", db, first});
    ASSERT_EQ(one.code, 0) << one.err;
    EXPECT_NE(one.out.find("2 attempts, 2 new, 1 without an end (taken as interrupted)\n"), std::string::npos)
        << one.out;
    const auto before = exported();
    ASSERT_EQ(before.size(), 2u);

    const Finished two = run({kCli, "records", "import", "--records", db, edited, older});
    ASSERT_EQ(two.code, 0) << two.err;
    EXPECT_NE(two.out.find(edited + ": 3 attempts, 1 new, 1 completed, 1 conflict kept in the table conflicts of " +
                           db + "\n  conflict: attempt " + x +
                           " differs in outcome, exit_code, verify_result; the record kept is unchanged\n"),
              std::string::npos)
        << two.out;
    EXPECT_NE(two.out.find(older + ": 1 attempts, 0 new, 1 without an end (taken as interrupted)\n"), std::string::npos)
        << two.out;
    const auto after = exported();
    ASSERT_EQ(after.size(), 3u);
    for (const auto& row : after) {
        if (row["id"] == x) {
            EXPECT_EQ(row, before[before[0]["id"] == x ? 0 : 1]);  // untouched
        } else if (row["id"] == y) {
            EXPECT_EQ(row["outcome"], "success");  // completed
        }
    }

    const Finished again = run({kCli, "records", "import", "--records", db, edited, older});
    ASSERT_EQ(again.code, 0) << again.err;
    EXPECT_NE(again.out.find(edited + ": 3 attempts, 0 new, 1 conflicts kept before\n"), std::string::npos)
        << again.out;
    EXPECT_EQ(exported(), after);
    sqlite3* file = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &file), SQLITE_OK);
    sqlite3_stmt* count = nullptr;
    ASSERT_EQ(
        sqlite3_prepare_v2(file, "SELECT count(*), max(attempt_id), max(source) FROM conflicts", -1, &count, nullptr),
        SQLITE_OK);
    ASSERT_EQ(sqlite3_step(count), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(count, 0), 1);
    EXPECT_EQ(reinterpret_cast<const char*>(sqlite3_column_text(count, 1)), x);
    EXPECT_EQ(reinterpret_cast<const char*>(sqlite3_column_text(count, 2)), edited);
    sqlite3_finalize(count);
    sqlite3_close(file);
}

// Reading never writes: an older file with an attempt whose process has gone is read as it is
// (that attempt shown as interrupted), byte for byte unchanged, until records migrate (or a run)
// brings it up to date.
TEST_F(Records, ReadingLeavesTheFileAsItIs) {
    ASSERT_EQ(run({kCli, "version", "--port", dir.file("no-port"), "--records", db, "--quiet"}).code, 4);
    pid_t gone = -1;
    {
        Process p({"/bin/true"});
        gone = p.finish(10s).pid;
    }
    sqlite3* file = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &file), SQLITE_OK);
    // As an older loader kept it: a note that is no UTF-8.
    const std::string begun = "INSERT INTO attempts (id, kind, started_at, station, pid, note) VALUES ('" +
                              std::string(32, 'e') + "', 'download', '2026-12-08T10:00:00.000Z', '" + stationName() +
                              "', " + std::to_string(gone) + ", CAST(x'41FF' AS TEXT))";
    std::vector<std::string> older{begun, "DROP INDEX attempts_verdict", "DROP INDEX attempts_unit"};
    for (const char* column : {"job", "job_sha256", "expect_version", "slot", "verdict", "verdict_reason", "verdict_id",
                               "download_id", "version_id"})
        older.push_back(std::string("ALTER TABLE attempts DROP COLUMN ") + column);
    older.insert(
        older.end(),
        {std::string("DROP TABLE chain"), std::string("DROP TABLE chain_file"), std::string("DROP TABLE conflicts"),
         std::string("DROP TRIGGER attempts_retry"), std::string("ALTER TABLE unsent DROP COLUMN refused"),
         std::string("ALTER TABLE unsent DROP COLUMN refused_at"), std::string("DROP TRIGGER attempts_queue"),
         std::string("ALTER TABLE attempts DROP COLUMN version"),
         std::string("ALTER TABLE attempts DROP COLUMN sent_version"),
         std::string("CREATE TRIGGER attempts_queue AFTER UPDATE ON attempts WHEN NEW.outcome IS NOT NULL AND "
                     "NEW.outcome <> '' BEGIN INSERT OR IGNORE INTO unsent (id) VALUES (NEW.id); END"),
         std::string("PRAGMA user_version = 2")});
    for (const std::string& sql : older)
        ASSERT_EQ(sqlite3_exec(file, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    ASSERT_EQ(sqlite3_close(file), SQLITE_OK);
    const auto bytes = [this] {
        std::ifstream in(db, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const std::string before = bytes();

    for (const std::string action : {"list", "export", "jsonl", "summary"}) {
        const Finished f = action == "jsonl" ? run({kCli, "records", "export", "--format", "jsonl", "--records", db})
                                             : run({kCli, "records", action, "--records", db});
        EXPECT_EQ(f.code, 0) << action << f.err;
        if (action == "jsonl") {
            EXPECT_NE(f.out.find(R"("note":"A\\xFF; no end recorded")"), std::string::npos) << f.out;
        }
        EXPECT_NE(f.err.find("has schema version 2 (this loader's is 7); reading leaves it so: unit-loader-cli "
                             "records migrate --records " +
                             db),
                  std::string::npos)
            << f.err;
        if (action == "list") {
            EXPECT_NE(f.out.find("interrupted"), std::string::npos) << f.out;
        }
    }
    EXPECT_EQ(bytes(), before);
    const Finished missing = run({kCli, "records", "list", "--records", dir.file("none.sqlite")});
    EXPECT_EQ(missing.code, 0) << missing.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("none.sqlite")));

    const Finished migrated = run({kCli, "records", "migrate", "--records", db});
    EXPECT_EQ(migrated.code, 0) << migrated.err;
    const Finished after = run({kCli, "records", "list", "--records", db});
    EXPECT_EQ(after.err, "");
    EXPECT_NE(bytes(), before);
}

// The records are private to their user, and a link in the records file's place is refused,
// not followed: it could send the evidence anywhere, or have anything read as evidence.
TEST_F(Records, RecordsArePrivateAndNoLinkIsFollowed) {
    namespace fs = std::filesystem;
    const std::string port = dir.file("no-port");
    for (const std::string name : {"records.sqlite", "records.jsonl"}) {
        const std::string path = dir.file("new/folder/" + name);
        ASSERT_EQ(run({kCli, "version", "--port", port, "--records", path, "--quiet"}).code, 4);
        EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write) << name;
        EXPECT_EQ(fs::status(dir.file("new/folder")).permissions(), fs::perms::owner_all);
        EXPECT_EQ(fs::status(dir.file("new")).permissions(), fs::perms::owner_all);

        const std::string link = dir.file("link-" + name);
        fs::create_symlink(path, link);
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"version", "--port", port, "--records", link},
              std::vector<std::string>{"records", "list", "--records", link}}) {
            std::vector<std::string> command{kCli};
            command.insert(command.end(), args.begin(), args.end());
            const Finished f = run(command);
            EXPECT_EQ(f.code, 6) << f.out << f.err;
            EXPECT_NE((f.out + f.err).find(link + " is a symbolic link, which is not followed"), std::string::npos)
                << f.out << f.err;
        }
    }
}

// Hostile text through every front of the records: refused where a person gives it, kept
// escaped where a unit sends it, inert in CSV, shown and never obeyed by a terminal, and a
// journal's malformed lines skipped and named, never a crash.
TEST_F(Records, HostileTextIsRefusedEscapedOrSkipped) {
    SimConfig config;
    config.unit.versionText = "V\xFF\x1B[2J 2.07";  // no UTF-8, and an escape that clears a screen
    UnitSimulator a(config), b(config);
    a.start();
    b.start();
    // Two units: each in a process of its own, whose result goes to the parent as JSON.
    const Finished checked = run({kCli, "version", "--port", a.devicePath(), "--port", b.devicePath(), "--baud",
                                  "38400", "--records", db, "--unit-id", "=HYPERLINK(\"http://x\")", "--quiet"});
    ASSERT_EQ(checked.code, 0) << checked.out << checked.err;
    const std::string id = exported().at(0)["id"];
    EXPECT_EQ(exported().at(0)["unit_version"], "V\\xFF\x1B[2J 2.07");

    const std::string journal = dir.file("edited.jsonl");
    std::ofstream(journal) << R"({"v":"1","event":"begin","attempt":{"id":"aa"}})"
                              "\n"
                           << R"({"v":1,"event":5,"attempt":{"id":"bb"}})"
                              "\n"
                           << R"({"v":1,"event":"end","attempt":{"id":"cc","baud":"fast"}})"
                              "\n"
                           << R"({"v":1,"event":"end","attempt":{"id":"dd","kind":"version","outcome":"success"}})"
                              "\n";
    const std::string port = dir.file("no-port");
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string says;  // in standard output or error
    };
    const Case cases[] = {
        {{"version", "--port", port, "--records", db, "--unit-id", "SN\x1B[2J"},
         2,
         "--unit-id: the text holds a control"},
        {{"version", "--port", port, "--records", db, "--operator", std::string(129, 'o')}, 2, "longer than 128 bytes"},
        {{"download", "x.bin", "--port", port, "--records", db, "--note", "a\nb"},
         2,
         "--note: the text holds a control"},
        {{"version", "--port", port, "--records", db, "--unit-id", "SN\xFF"}, 2, "--unit-id: the text is not UTF-8"},
        {{"records", "list", "--records", db}, 0, "=HYPERLINK(\"http://x\")"},
        {{"records", "show", id, "--records", db}, 0, "unit_version:   V\\xFF\\x1B[2J 2.07"},
        {{"records", "export", "--records", db}, 0, ",\"'=HYPERLINK(\"\"http://x\"\")\","},
        {{"records", "export", "--records", db}, 0, ",V\\xFF\\x1B[2J 2.07,"},
        {{"records", "export", "--format", "jsonl", "--records", db}, 0, R"("unit_version":"V\\xFF\u001b[2J 2.07")"},
        {{"records", "import", "--records", dir.file("imported.sqlite"), journal},
         0,
         "1 attempts, 1 new, 3 lines skipped\n  line 1 skipped: \"v\" is not 1\n  line 2 skipped: \"event\" is not a "
         "text\n  line 3 skipped: \"attempt\" is no attempt\n"},
        {{"records", "list", "--records", journal}, 0, "edited.jsonl: 3 lines skipped\n  line 1 skipped"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{kCli};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(c.args[0] + " " + c.args[1] + " " + c.args.back());
        const Finished f = run(args);
        EXPECT_EQ(f.code, c.code) << f.out << f.err;
        EXPECT_NE((f.out + f.err).find(c.says), std::string::npos) << f.out << f.err;
        if (c.args[0] == "records") {
            EXPECT_EQ(f.out.find('\x1B'), std::string::npos) << f.out;  // shown, not obeyed
        }
    }
    EXPECT_EQ(exported().size(), 2u);  // the refused runs recorded nothing
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

// No download or version check goes unrecorded unless the user said so, and a site can forbid
// even that: both refused before the first byte, one unit or several.
TEST_F(Records, NoRunGoesUnrecordedUnlessTheUserSaysSoAndTheSiteLets) {
    writeFile(dir.file("image.bin"), makeImage(600));
    std::ofstream(dir.file("policy")) << "# this site's rules\nRecords,required\n";
    UnitSimulator a, b;
    a.start();
    b.start();
    const std::vector<std::string> homeless = {
        "/usr/bin/env", "-u", "UNIT_LOADER_RECORDS", "-u", "XDG_DATA_HOME", "HOME=" + dir.file("no-such-home")};
    const std::vector<std::string> policed = {"/usr/bin/env", "UNIT_LOADER_POLICY=" + dir.file("policy")};
    const auto with = [](std::vector<std::string> prefix, const std::vector<std::string>& args) {
        prefix.insert(prefix.end(), args.begin(), args.end());
        return prefix;
    };
    const std::vector<std::string> one = {kCli, "download", dir.file("image.bin"), "--port", a.devicePath(), "--quiet"};
    const std::vector<std::string> two = {kCli, "version", "--port", a.devicePath(), "--port", b.devicePath()};
    struct Case {
        const char* what;
        std::vector<std::string> args;
        int code;
        const char* says;
    };
    const Case cases[] = {
        {"no home, one unit", with(homeless, one), 6, "no record can be kept"},
        {"no home, two units", with(homeless, two), 6, "no record can be kept"},
        {"the site requires records", with(policed, with(one, {"--no-record"})), 2, "Records,required"},
        {"and for a station too", with(policed, {kCli, "station", dir.file("no.toml"), "--no-record"}), 2,
         "Records,required"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Finished f = run(c.args);
        EXPECT_EQ(f.code, c.code) << f.out << f.err;
        EXPECT_NE(f.err.find(c.says), std::string::npos) << f.err;
    }
    EXPECT_EQ(a.counters().framesReceived + b.counters().framesReceived, 0u);
    // The user's word still counts where the site says nothing.
    EXPECT_EQ(run(with(one, {"--no-record"})).code, 0);
}

// Whatever is done to the file behind the loader's back, records verify names it.
TEST_F(Records, TheChainNamesEveryRecordOrEventChangedRemovedOrInserted) {
    for (int i = 1; i <= 3; ++i)
        run({kCli, "version", "--port", dir.file("no-port-" + std::to_string(i)), "--records", db, "--quiet"});
    const Finished intact = run({kCli, "records", "verify", "--records", db});
    ASSERT_EQ(intact.code, 0) << intact.err;
    EXPECT_NE(intact.out.find("6 events over 3 records: intact"), std::string::npos) << intact.out;

    struct Case {
        const char* sql;
        const char* says;
    };
    const Case cases[] = {
        {"UPDATE attempts SET outcome = 'success' WHERE rowid = 2", "was changed after event 4 recorded it"},
        {"DELETE FROM attempts WHERE rowid = 1", "was removed: event 2 recorded it"},
        {"INSERT INTO attempts (id, kind, started_at) VALUES ('00112233445566778899aabbccddeeff', 'download', "
         "'2026-01-01T00:00:00.000Z')",
         "record 00112233445566778899aabbccddeeff was inserted"},
        {"UPDATE chain SET at = '2020-01-01T00:00:00.000Z' WHERE seq = 3", "event 3 was changed"},
        {"DELETE FROM chain WHERE seq = 3", "before event 4 were removed"},
        // Rebuilt from the next event on: the link still shows it.
        {"UPDATE chain SET prev = (SELECT link FROM chain WHERE seq = 1) WHERE seq = 3",
         "event 3 was inserted or replaced"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sql);
        const std::string copy = dir.file("tampered.sqlite");
        for (const char* suffix : {"", "-wal", "-shm"}) {
            std::filesystem::remove(copy + suffix);
            if (std::filesystem::exists(db + suffix)) std::filesystem::copy_file(db + suffix, copy + suffix);
        }
        sqlite3* file = nullptr;
        ASSERT_EQ(sqlite3_open(copy.c_str(), &file), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(file, c.sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(file);
        sqlite3_close(file);
        const Finished f = run({kCli, "records", "verify", "--records", copy});
        EXPECT_EQ(f.code, 9) << f.out << f.err;
        EXPECT_NE(f.out.find(c.says), std::string::npos) << f.out;
    }

    // A file kept before there was a chain adopts its records as they are.
    sqlite3* file = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &file), SQLITE_OK);
    std::string older =
        "DROP TABLE chain; DROP TABLE chain_file; DROP INDEX attempts_verdict; DROP INDEX attempts_unit;";
    for (const char* column : {"job", "job_sha256", "expect_version", "slot", "verdict", "verdict_reason", "verdict_id",
                               "download_id", "version_id"})
        older += std::string(" ALTER TABLE attempts DROP COLUMN ") + column + ";";
    EXPECT_EQ(sqlite3_exec(file, (older + " PRAGMA user_version = 5").c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(file);
    EXPECT_EQ(run({kCli, "records", "verify", "--records", db}).code, 6);
    ASSERT_EQ(run({kCli, "records", "migrate", "--records", db}).code, 0);
    const Finished adopted = run({kCli, "records", "verify", "--records", db});
    EXPECT_EQ(adopted.code, 0) << adopted.out << adopted.err;
    EXPECT_NE(adopted.out.find("3 events over 3 records: intact"), std::string::npos) << adopted.out;
}

}  // namespace

namespace {

std::vector<std::string> linesOf(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

void writeLines(const std::string& path, const std::vector<std::string>& lines) {
    std::ofstream out(path, std::ios::trunc);
    for (const std::string& line : lines) out << line << '\n';
}

// A journal (the records on Windows) keeps the chain in its lines; appenders at once, in many
// processes and threads, still make one unbroken chain.
TEST_F(Records, AJournalsChainNamesEveryLineChangedRemovedOrInserted) {
    const std::string journal = dir.file("records.jsonl");
    std::vector<std::unique_ptr<Process>> runs;
    for (int i = 0; i < 6; ++i) {
        std::vector<std::string> args = {kCli, "version", "--records", journal, "--quiet"};
        for (int p = 0; p < 3; ++p) {
            args.push_back("--port");
            args.push_back(dir.file("no-port-" + std::to_string(i) + "-" + std::to_string(p)));
        }
        runs.push_back(std::make_unique<Process>(args));
    }
    for (auto& r : runs) EXPECT_EQ(r->finish(30s).code, 4);
    const Finished intact = run({kCli, "records", "verify", "--records", journal});
    ASSERT_EQ(intact.code, 0) << intact.out << intact.err;
    EXPECT_NE(intact.out.find("36 events over 18 records: intact"), std::string::npos) << intact.out;

    const std::vector<std::string> lines = linesOf(journal);
    ASSERT_EQ(lines.size(), 36u);
    const auto edited = [&](std::size_t at, const std::function<void(nlohmann::json&)>& edit) {
        auto json = nlohmann::json::parse(lines[at]);
        edit(json);
        return json.dump();
    };
    const auto seqOf = [&](std::size_t at) { return nlohmann::json::parse(lines[at])["chain"]["seq"].get<int>(); };
    struct Case {
        const char* what;
        std::vector<std::string> lines;
        std::string says;
    };
    std::vector<Case> cases;
    {
        auto l = lines;
        l[9] = edited(9, [](nlohmann::json& j) { j["attempt"]["outcome"] = "success"; });
        cases.push_back({"an attempt edited", l, "was changed after event " + std::to_string(seqOf(9))});
    }
    {
        auto l = lines;
        l.erase(l.begin() + 4);
        cases.push_back({"a line removed", l, "before event " + std::to_string(seqOf(5)) + " were removed"});
    }
    {
        auto l = lines;
        l.push_back(edited(0, [](nlohmann::json& j) {
            j.erase("chain");
            j["attempt"]["id"] = "00112233445566778899aabbccddeeff";
        }));
        cases.push_back({"a line inserted", l, "record 00112233445566778899aabbccddeeff was inserted"});
    }
    {
        auto l = lines;
        l[2] = edited(2, [](nlohmann::json& j) { j["chain"]["at"] = "2020-01-01T00:00:00.000Z"; });
        cases.push_back({"an event edited", l, "event 3 was changed"});
    }
    {
        auto l = lines;
        l[7] = edited(7, [](nlohmann::json& j) { j["chain"] = "x"; });
        cases.push_back({"a link spoilt", l, "line 8 holds a link that cannot be read"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string copy = dir.file("tampered.jsonl");
        writeLines(copy, c.lines);
        const Finished f = run({kCli, "records", "verify", "--records", copy});
        EXPECT_EQ(f.code, 9) << f.out << f.err;
        EXPECT_NE(f.out.find(c.says), std::string::npos) << f.out;
    }

    // Lines from before the journal kept a chain are said to be outside it, not altered; the
    // next events go on from the last link: the old attempt, begun by a process long gone, is
    // ended as interrupted, then the new attempt's two.
    auto older = lines;
    older.insert(older.begin(), edited(0, [](nlohmann::json& j) {
                     j.erase("chain");
                     j["attempt"]["id"] = "ffeeddccbbaa99887766554433221100";
                 }));
    writeLines(journal, older);
    run({kCli, "version", "--port", dir.file("no-port"), "--records", journal, "--quiet"});
    const Finished after = run({kCli, "records", "verify", "--records", journal});
    EXPECT_EQ(after.code, 0) << after.out << after.err;
    EXPECT_NE(after.out.find("39 events over 20 records: intact"), std::string::npos) << after.out;
    EXPECT_NE(after.out.find("1 line from before the journal kept a chain is not covered"), std::string::npos)
        << after.out;
}

}  // namespace

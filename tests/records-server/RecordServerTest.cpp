// The shared records server, end to end: the built unit-loader-cli forwards to a real PostgreSQL
// 15 (pg-server.sh, started once for these tests), which is stopped and started again, written
// by several stations at once and has its connection killed in the middle of a forward. After
// recovery every attempt is on the server exactly once. Every wait is bounded.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <pqxx/pqxx>
#include <random>
#include <set>
#include <sstream>

#include "CliTestSupport.h"
#include "UnitSimulator.h"

using namespace clitest;
using namespace unitsim;
using namespace std::chrono_literals;

namespace {

const std::string kCli = UL_CLI_PROGRAM;
const std::string kScript = UL_PG_SCRIPT;

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string randomName() {
    std::random_device random;
    char name[24];
    std::snprintf(name, sizeof name, "t%08x%08x", random(), random());
    return name;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class RecordServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string state = readAll(UL_PG_STATE);
        while (!state.empty() && (state.back() == '\n' || state.back() == ' ')) state.pop_back();
        if (state.empty()) {
            const std::string why =
                "no PostgreSQL 15 for these tests (pg-server.sh found no /usr/lib/postgresql/15/bin/initdb; "
                "Debian package postgresql-15)";
            if (std::getenv("CI")) FAIL() << why;
            GTEST_SKIP() << "SKIPPED: " << why;
        }
        server = state;
        ::setenv("PGPASSFILE", (server + "/pgpass").c_str(), 1);
        const std::string line = readAll(server + "/pgpass");
        password = line.substr(line.rfind(':') + 1);
        while (!password.empty() && password.back() == '\n') password.pop_back();
        std::ofstream(dir.file("pgpass")) << "*:*:*:ul:" << password << "\n";
        database = randomName();
        pqxx::connection admin(urlOf("postgres"));
        pqxx::nontransaction(admin).exec("CREATE DATABASE " + database);
        url = urlOf(database);
    }

    std::string urlOf(const std::string& db) const { return "postgresql://ul@/" + db + "?host=" + server; }

    // Every command's output must be free of the password.
    Finished cli(const std::vector<std::string>& args, std::chrono::milliseconds limit = 60s) {
        std::vector<std::string> all{kCli};
        all.insert(all.end(), args.begin(), args.end());
        Finished f = run(all, limit);
        EXPECT_FALSE(f.timedOut) << args[0];
        EXPECT_FALSE(contains(f.out + f.err, password)) << f.out << f.err;
        return f;
    }

    // The ids on the server, and how many rows hold them.
    std::pair<std::set<std::string>, std::size_t> serverIds() {
        pqxx::connection c(url);
        pqxx::nontransaction n(c);
        std::set<std::string> ids;
        std::size_t rows = 0;
        for (const auto& row : n.exec("SELECT id FROM attempts")) {
            ids.insert(row[0].c_str());
            ++rows;
        }
        return {ids, rows};
    }

    std::set<std::string> localIds(const std::string& records) {
        const Finished f = cli({"records", "export", "--format", "jsonl", "--records", records});
        EXPECT_EQ(f.code, 0) << f.err;
        std::set<std::string> ids;
        std::istringstream lines(f.out);
        for (std::string line; std::getline(lines, line);) ids.insert(nlohmann::json::parse(line)["id"]);
        return ids;
    }

    void serverCtl(const char* what) {
        const Finished f = run({kScript, what, server}, 90s);
        ASSERT_EQ(f.code, 0) << what << ": " << f.err;
    }

    // A journal of `n` ended attempts of another station, as a Windows station leaves it.
    std::string journalOf(const std::string& station, int n, const std::string& version = "") {
        const std::string path = dir.file(station + ".jsonl");
        std::ofstream out(path);
        for (int i = 0; i < n; ++i) {
            char id[40];
            std::snprintf(id, sizeof id, "%08x%024d", static_cast<unsigned>(std::hash<std::string>{}(station)), i);
            nlohmann::ordered_json a = {{"id", id},
                                        {"kind", version.empty() ? "download" : "version"},
                                        {"started_at", "2026-12-08T10:00:" + std::to_string(10 + i % 50) + ".000Z"},
                                        {"ended_at", "2026-12-08T10:01:00.000Z"},
                                        {"duration_ms", 1000 + i},
                                        {"station", station},
                                        {"unit_id", "SN-" + std::to_string(i)},
                                        {"port", "COM1"},
                                        {"baud", 9600},
                                        {"outcome", "success"},
                                        {"exit_code", 0},
                                        {"unit_version", version}};
            out << nlohmann::json{{"v", 1}, {"event", "end"}, {"attempt", a}}.dump() << "\n";
        }
        return path;
    }

    // A login role of a station, a member of the writer role, and its URL: its password goes
    // to a password file of the test's own.
    std::string stationRole(const std::string& role) {
        pqxx::connection admin(url);
        pqxx::nontransaction(admin).exec("CREATE ROLE " + role + " LOGIN PASSWORD '" + password +
                                         "' IN ROLE unit_loader_writer");
        std::ofstream(dir.file("pgpass"), std::ios::app) << "*:*:*:" << role << ":" << password << "\n";
        std::filesystem::permissions(dir.file("pgpass"),
                                     std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        ::setenv("PGPASSFILE", dir.file("pgpass").c_str(), 1);
        return "postgresql://" + role + "@/" + database + "?host=" + server;
    }

    // A station job of one slot on `port` that ends after its first pass; `server` is its
    // records_server line (none when empty).
    std::string stationJob(const std::string& name, const std::string& port, const std::string& server = "") {
        writeFile(dir.file("fw.bin"), makeImage(1500));
        const Finished hash = run({"/usr/bin/sha256sum", dir.file("fw.bin")});
        EXPECT_EQ(hash.code, 0);
        const std::string path = dir.file(name + ".toml");
        std::ofstream job(path);
        job << "name = \"Line 4\"\nimage = \"fw.bin\"\nimage_sha256 = \"" << hash.out.substr(0, 64)
            << "\"\nexpect_version = \"SIM-UNIT 2.07\"\nbaud = 38400\nquota = 1\n";
        if (!server.empty()) job << "records_server = \"" << server << "\"\n";
        job << "[[slot]]\nname = \"A\"\nport = \"" << port << "\"\n";
        return path;
    }

    TempDir dir;
    std::string server;  // the folder of the server's socket
    std::string password;
    std::string database;
    std::string url;
};

TEST_F(RecordServerTest, ADownloadReachesTheServerWithEveryFieldAndTheServerAnswersAcrossStations) {
    const Finished init = cli({"records", "server-init", "--server", url});
    ASSERT_EQ(init.code, 0) << init.err;
    EXPECT_EQ(init.out, "records server " + url + ": schema version 4\n");
    EXPECT_EQ(cli({"records", "server-init", "--server", url}).out, init.out);  // once is enough

    const std::string db = dir.file("records.sqlite");
    UnitSimulator sim;
    sim.start();
    writeFile(dir.file("image.bin"), makeImage(1500));
    const Finished f = cli({"download", dir.file("image.bin"), "--port", sim.devicePath(), "--baud", "38400",
                            "--records", db, "--records-server", url, "--unit-id", "SN-1", "--quiet"});
    ASSERT_EQ(f.code, 0) << f.err;
    EXPECT_EQ(f.err, "");  // forwarded at once: nothing to say
    // The server's copy is the local record, field for field, with what the server stamped on it.
    const Finished local = cli({"records", "export", "--format", "jsonl", "--records", db});
    const Finished remote = cli({"records", "export", "--format", "jsonl", "--server", url});
    ASSERT_EQ(remote.code, 0) << remote.err;
    EXPECT_EQ(std::count(remote.out.begin(), remote.out.end(), '\n'), 1);
    nlohmann::json kept = nlohmann::json::parse(remote.out);
    EXPECT_EQ(kept["received_by"], "ul");
    EXPECT_EQ(kept["received_at"].get<std::string>().size(), 24u);  // 2026-12-08T23:58:39.123Z
    const nlohmann::json own = nlohmann::json::parse(local.out);
    EXPECT_TRUE(own["received_at"].is_null() && own["received_by"].is_null()) << local.out;
    kept["received_at"] = kept["received_by"] = nullptr;
    EXPECT_EQ(kept, own);
    EXPECT_FALSE(contains(readAll(db), password));

    // Another station's attempts, read in from its journal, go with records sync.
    ASSERT_EQ(cli({"records", "import", "--records", db, journalOf("station-b", 2, "SIM-UNIT 2.05")}).code, 0);
    const Finished sync = cli({"records", "sync", "--records", db, "--server", url});
    EXPECT_EQ(sync.code, 0) << sync.err;
    EXPECT_EQ(sync.out, "2 attempts sent to " + url + ", 0 still queued\n");
    EXPECT_EQ(cli({"records", "sync", "--records", db, "--server", url}).out,
              "0 attempts sent to " + url + ": none queued\n");

    const Finished old = cli({"records", "list", "--server", url, "--unit-version", "SIM-UNIT 2.05"});
    ASSERT_EQ(old.code, 0) << old.err;
    EXPECT_EQ(std::count(old.out.begin(), old.out.end(), '\n'), 3) << old.out;  // header and two units
    EXPECT_TRUE(contains(old.out, "station-b")) << old.out;
    const Finished summary = cli({"records", "summary", "--server", url});
    ASSERT_EQ(summary.code, 0) << summary.err;
    EXPECT_TRUE(contains(summary.out, "STATION")) << summary.out;
    EXPECT_TRUE(contains(summary.out, "SIM-UNIT 2.05")) << summary.out;
    EXPECT_TRUE(contains(summary.out, "2026-12-08  station-b")) << summary.out;
    EXPECT_TRUE(contains(summary.out, sim.devicePath())) << summary.out;
    EXPECT_EQ(serverIds().second, 3u);
}

// A password typed on the command line is refused before anything is sent; one in the
// settings is not used. The text points at the password file or the environment.
TEST_F(RecordServerTest, AUrlWithAPasswordIsRefusedAndNeverEchoedAndTheSettingsNameTheServer) {
    UnitSimulator sim;
    sim.start();
    writeFile(dir.file("image.bin"), makeImage(600));
    const std::string secret = "s3cr3t-" + randomName();
    // Every spelling libpq would take as a password, or as the key's password.
    const std::vector<std::string> urls = {"postgresql://ul:" + secret + "@/" + database + "?host=" + server,
                                           url + "&password=" + secret,
                                           url + "&pass%77ord=" + secret,
                                           url + "&sslpassword=" + secret,
                                           "host=" + server + " dbname=" + database + " password=" + secret,
                                           "host=" + server + " dbname=" + database + " sslpassword='" + secret + "'"};
    for (const std::string& bad : urls) {
        SCOPED_TRACE(bad);
        for (const auto& args :
             {std::vector<std::string>{kCli, "download", dir.file("image.bin"), "--port", sim.devicePath(), "--records",
                                       dir.file("r.sqlite"), "--records-server", bad},
              std::vector<std::string>{kCli, "records", "list", "--server", bad},
              std::vector<std::string>{kCli, "records", "sync", "--server", bad},
              std::vector<std::string>{kCli, "station", stationJob("bad", sim.devicePath(), bad), "--records",
                                       dir.file("r.sqlite")}}) {
            const Finished f = run(args);
            EXPECT_EQ(f.code, 2) << f.out << f.err;
            EXPECT_TRUE(contains(f.err, "PGPASSFILE") && contains(f.err, "PGPASSWORD")) << f.err;
            EXPECT_FALSE(contains(f.out + f.err, secret)) << f.out << f.err;
        }
    }
    EXPECT_EQ(sim.counters().framesReceived, 0u);

    // The settings file names the server for a run; a line with a password in it is not used.
    ASSERT_EQ(cli({"records", "server-init", "--server", url}).code, 0);
    const std::string program = dir.file("unit-loader-cli");
    std::filesystem::copy_file(kCli, program);
    const std::string db = dir.file("records.sqlite");
    std::ofstream(dir.file("vsk_download_config.txt")) << "Port,COM1\r\nRecordsServer," << url << "\r\n";
    const Finished named = run({program, "version", "--port", dir.file("no-port"), "--records", db, "--quiet"});
    EXPECT_EQ(named.code, 4) << named.err;
    EXPECT_EQ(serverIds().second, 1u);
    EXPECT_FALSE(contains(named.err, "warning")) << named.err;  // a Unix socket: nothing to verify
    // A TCP host without verifying it is said once.
    const Finished plain = cli({"records", "list", "--server", "postgresql://127.0.0.1:9/" + database});
    EXPECT_EQ(plain.code, 6);
    EXPECT_TRUE(contains(plain.err, "without sslmode=verify-full")) << plain.err;
    const Finished verified =
        cli({"records", "list", "--server",
             "postgresql://127.0.0.1:9/" + database + "?sslmode=verify-full&sslrootcert=/nonexistent"});
    EXPECT_EQ(verified.code, 6);
    EXPECT_FALSE(contains(verified.err, "warning")) << verified.err;
    std::ofstream(dir.file("vsk_download_config.txt")) << "RecordsServer," << urls[0] << "\r\n";
    const Finished refused = run({program, "version", "--port", dir.file("no-port"), "--records", db});
    EXPECT_EQ(refused.code, 4) << refused.err;  // the run itself goes on
    EXPECT_TRUE(contains(refused.err, "RecordsServer line of " + dir.file("vsk_download_config.txt") +
                                          " is not used, and nothing is forwarded"))
        << refused.err;
    EXPECT_FALSE(contains(refused.out + refused.err, secret));
    EXPECT_EQ(serverIds().second, 1u);
}

// A station forwards for all its slots from one forwarder of its own, to the server its job
// names, else to the settings' one; the units' runs only record. Once the station has ended,
// every attempt it recorded is on the server and nothing is left queued.
TEST_F(RecordServerTest, EveryAttemptOfAStationRunArrivesOnTheServerOfItsJobOrOfTheSettings) {
    ASSERT_EQ(cli({"records", "server-init", "--server", url}).code, 0);
    const std::string db = dir.file("records.sqlite");
    {
        UnitSimulator sim;
        sim.start();
        const Finished f = cli({"station", stationJob("job", sim.devicePath(), url), "--records", db}, 90s);
        ASSERT_EQ(f.code, 0) << f.out << f.err;
        EXPECT_EQ(f.err, "");  // all sent, and a Unix socket has nothing to verify
    }
    EXPECT_EQ(localIds(db).size(), 3u);  // the download, the version check and the unit's verdict
    EXPECT_EQ(serverIds(), std::pair(localIds(db), std::size_t{3}));

    // Without the job's line, the settings beside the program name the server.
    const std::string program = dir.file("unit-loader-cli");
    std::filesystem::copy_file(kCli, program);
    std::ofstream(dir.file("vsk_download_config.txt")) << "RecordsServer," << url << "\r\n";
    UnitSimulator sim;
    sim.start();
    const Finished f = run({program, "station", stationJob("plain", sim.devicePath()), "--records", db}, 90s);
    ASSERT_EQ(f.code, 0) << f.out << f.err;
    EXPECT_EQ(localIds(db).size(), 6u);
    EXPECT_EQ(serverIds(), std::pair(localIds(db), std::size_t{6}));
    const Finished unsent = cli({"records", "list", "--unsent", "--records", db});
    EXPECT_EQ(unsent.code, 0) << unsent.err;
    EXPECT_EQ(std::count(unsent.out.begin(), unsent.out.end(), '\n'), 1) << unsent.out;  // the header alone
    // The verdicts arrive whole: the server's copies are what the file's chain recorded.
    const Finished verified = cli({"records", "verify", "--records", db, "--server", url});
    EXPECT_EQ(verified.code, 0) << verified.out << verified.err;
    EXPECT_TRUE(contains(verified.out, "over 6 records: intact\non the server")) << verified.out;
}

// The server goes away in the middle of a download and stays away for two more runs: each run
// ends as it would without a server, its attempt queued; once the server is back the next run
// sends them all, each once.
TEST_F(RecordServerTest, AServerStoppedMidRunGetsEveryAttemptOnceWhenItIsBack) {
    ASSERT_EQ(cli({"records", "server-init", "--server", url}).code, 0);
    const std::string db = dir.file("records.sqlite");
    SimConfig config;
    config.pacing.enabled = true;
    UnitSimulator sim(config);
    sim.start();
    writeFile(dir.file("image.bin"), makeImage(6000));
    Process download({kCli, "download", dir.file("image.bin"), "--port", sim.devicePath(), "--baud", "38400",
                      "--records", db, "--records-server", url});
    ASSERT_TRUE(sim.waitForBlocks(2, 20s));
    serverCtl("stop");
    const Finished d = download.finish(60s);
    ASSERT_EQ(d.code, 0) << d.err;
    EXPECT_TRUE(contains(d.err, "1 attempt queued for the records server " + url)) << d.err;

    // A download while the server is away costs what it costs without one: the forwarder
    // pauses between tries (a forwarder that tries without pause takes seconds of processor
    // time here, the download a tenth of a second).
    rusage before{}, after{};
    ::getrusage(RUSAGE_CHILDREN, &before);
    const Finished away1 = cli({"download", dir.file("image.bin"), "--port", sim.devicePath(), "--baud", "38400",
                                "--records", db, "--records-server", url});
    ::getrusage(RUSAGE_CHILDREN, &after);
    ASSERT_EQ(away1.code, 0) << away1.err;
    EXPECT_TRUE(contains(away1.err, "2 attempts queued")) << away1.err;
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    EXPECT_LT(seconds(after.ru_utime) + seconds(after.ru_stime) - seconds(before.ru_utime) - seconds(before.ru_stime),
              0.6);
    const Finished away2 = cli({"version", "--port", dir.file("no-port"), "--records", db, "--records-server", url});
    EXPECT_EQ(away2.code, 4) << away2.err;  // the port's failure, as without a server
    EXPECT_TRUE(contains(away2.err, "3 attempts queued")) << away2.err;
    // A sync that finds the server away tries again for a while: it is back before that ends.
    Process sync({kCli, "records", "sync", "--records", db, "--server", url});
    std::this_thread::sleep_for(1500ms);  // refused at least once (no bound is waited on)
    serverCtl("start");
    const Finished synced = sync.finish(60s);
    EXPECT_EQ(synced.code, 0) << synced.err;
    EXPECT_EQ(synced.out, "3 attempts sent to " + url + ", 0 still queued\n");
    const Finished back = cli({"version", "--port", dir.file("no-port"), "--records", db, "--records-server", url});
    EXPECT_EQ(back.code, 4);
    EXPECT_FALSE(contains(back.err, "queued")) << back.err;
    const auto [ids, rows] = serverIds();
    EXPECT_EQ(rows, 4u);
    EXPECT_EQ(ids, localIds(db));
}

// Three stations, each with its own records file, forward at once, one of them from two
// processes on the same file: every attempt arrives once.
TEST_F(RecordServerTest, ThreeStationsForwardingAtOnceLeaveEachAttemptOnce) {
    ASSERT_EQ(cli({"records", "server-init", "--server", url}).code, 0);
    std::vector<std::string> files;
    std::set<std::string> all;
    for (int s = 1; s <= 3; ++s) {
        files.push_back(dir.file("station" + std::to_string(s) + ".sqlite"));
        ASSERT_EQ(cli({"records", "import", "--records", files.back(), journalOf("st-" + std::to_string(s), 40)}).code,
                  0);
        // And one run of the station's own, begun and ended by the loader.
        cli({"version", "--port", dir.file("no-port"), "--records", files.back(), "--quiet"});
        const auto ids = localIds(files.back());
        all.insert(ids.begin(), ids.end());
    }
    ASSERT_EQ(all.size(), 123u);
    // Each station runs a check that forwards as it ends while its queue is synced, one of
    // them from two processes.
    std::vector<std::unique_ptr<Process>> stations;
    for (const std::string& file : {files[0], files[1], files[2], files[0]})
        stations.push_back(std::make_unique<Process>(
            std::vector<std::string>{kCli, "records", "sync", "--records", file, "--server", url}));
    std::vector<std::unique_ptr<Process>> runs;
    for (const std::string& file : files)
        runs.push_back(std::make_unique<Process>(std::vector<std::string>{
            kCli, "version", "--port", dir.file("no-port"), "--records", file, "--records-server", url, "--quiet"}));
    for (auto& p : stations) {
        const Finished f = p->finish(60s);
        EXPECT_EQ(f.code, 0) << f.out << f.err;
    }
    for (auto& p : runs) {
        const Finished f = p->finish(60s);
        EXPECT_EQ(f.code, 4) << f.err;
        EXPECT_EQ(f.err, "");  // all sent
    }
    for (const std::string& file : files) {
        const auto ids = localIds(file);
        all.insert(ids.begin(), ids.end());
    }
    ASSERT_EQ(all.size(), 126u);
    const auto [ids, rows] = serverIds();
    EXPECT_EQ(rows, 126u);
    EXPECT_EQ(ids, all);
    for (const std::string& file : files)
        EXPECT_TRUE(contains(cli({"records", "sync", "--records", file, "--server", url}).out, "none queued"));
}

// The connection is killed while a batch is in flight (held up by a lock the test takes), and
// one attempt had reached the server before without its acknowledgement: nothing is taken off
// the queue, and the resend adds each attempt once.
TEST_F(RecordServerTest, AConnectionKilledDuringAForwardLosesNothingAndDuplicatesNothing) {
    ASSERT_EQ(cli({"records", "server-init", "--server", url}).code, 0);
    const std::string db = dir.file("records.sqlite");
    ASSERT_EQ(cli({"records", "import", "--records", db, journalOf("st-k", 30)}).code, 0);
    const std::string first = *localIds(db).begin();
    pqxx::connection admin(url);
    pqxx::nontransaction(admin).exec_params(
        "INSERT INTO attempts (id, kind, started_at, station) VALUES ($1, 'download', '2026-12-08T10:00:10.000Z', "
        "'st-k')",
        first);

    pqxx::connection holder(url);
    pqxx::work hold(holder);
    hold.exec("LOCK TABLE attempts IN EXCLUSIVE MODE");
    Process sync({kCli, "records", "sync", "--records", db, "--server", url});
    int killed = 0;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!killed && std::chrono::steady_clock::now() < deadline) {
        pqxx::nontransaction n(admin);
        const auto r = n.exec(
            "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE application_name = 'unit-loader' "
            "AND wait_event_type = 'Lock'");
        killed = r[0][0].as<int>();
        if (!killed) std::this_thread::sleep_for(20ms);  // polling the server's view, bounded above
    }
    hold.abort();
    ASSERT_EQ(killed, 1);
    const Finished cut = sync.finish(60s);
    EXPECT_EQ(cut.code, 6) << cut.out << cut.err;
    EXPECT_EQ(cut.out, "0 attempts sent to " + url + ", 30 still queued\n");

    const Finished again = cli({"records", "sync", "--records", db, "--server", url});
    EXPECT_EQ(again.code, 0) << again.err;
    EXPECT_EQ(again.out, "30 attempts sent to " + url + " (1 of them were there already), 0 still queued\n");
    const auto [ids, rows] = serverIds();
    EXPECT_EQ(rows, 30u);
    EXPECT_EQ(ids, localIds(db));
}

// Least privilege: the writer role reads and appends, nothing more; the server stamps each row
// with the login role that sent it, whatever the row says; a role tied to its station cannot
// send another station's attempts (the refusal is the server's own text).
TEST_F(RecordServerTest, AStationsRoleOnlyAppendsItsOwnStationsAttemptsStampedWithItsName) {
    const Finished init = cli({"records", "server-init", "--roles", "--server", url});
    ASSERT_EQ(init.code, 0) << init.err;
    EXPECT_EQ(cli({"records", "server-init", "--roles", "--server", url}).out, init.out);  // again: no change
    const std::string role = randomName(), other = randomName();
    const std::string asStation = stationRole(role), asOther = stationRole(other);
    pqxx::connection admin(url);
    pqxx::nontransaction(admin).exec("INSERT INTO station_roles VALUES ('" + role + "', 'station-a')");
    EXPECT_EQ(pqxx::nontransaction(admin)
                  .exec("SELECT tableowner FROM pg_tables WHERE tablename = 'attempts'")[0][0]
                  .as<std::string>(),
              "unit_loader_owner");

    // Another station's attempt first in the queue: refused, set aside with the server's own
    // words, and the ones after it go.
    const std::string a = dir.file("a.sqlite");
    ASSERT_EQ(cli({"records", "import", "--records", a, journalOf("station-b", 1)}).code, 0);
    ASSERT_EQ(cli({"records", "import", "--records", a, journalOf("station-a", 2)}).code, 0);
    const Finished sent = cli({"records", "sync", "--records", a, "--server", asStation});
    EXPECT_EQ(sent.code, 6) << sent.err;
    EXPECT_EQ(sent.out, "2 attempts sent to " + asStation + ", 0 still queued, 1 set aside (refused by the server)\n");
    const std::string refusal = "the role " + role + " may not record attempts of station station-b";
    EXPECT_TRUE(contains(sent.err, refusal)) << sent.err;
    const Finished unsent = cli({"records", "list", "--unsent", "--records", a});
    EXPECT_EQ(std::count(unsent.out.begin(), unsent.out.end(), '\n'), 2) << unsent.out;
    EXPECT_TRUE(contains(unsent.out, refusal)) << unsent.out;
    // A run passes it over; a sync tries it again, here as a role tied to no station.
    const Finished run = cli({"version", "--port", dir.file("no-port"), "--records", a, "--records-server", asOther});
    EXPECT_EQ(run.code, 4);
    EXPECT_EQ(cli({"records", "sync", "--records", a, "--server", asOther}).out,
              "1 attempt sent to " + asOther + ", 0 still queued\n");
    const Finished none = cli({"records", "list", "--unsent", "--records", a});
    EXPECT_EQ(std::count(none.out.begin(), none.out.end(), '\n'), 1) << none.out;  // the header

    pqxx::connection writer(asStation);
    // A row that names its own receipt gets the server's.
    pqxx::nontransaction(writer).exec(
        "INSERT INTO attempts (id, kind, started_at, station, received_at, received_by) VALUES ('forged', "
        "'download', '2020-01-01T00:00:00.000Z', 'station-a', '2020-01-01', 'someone-else')");
    const Finished listed = cli({"records", "export", "--format", "jsonl", "--server", asStation});
    ASSERT_EQ(listed.code, 0) << listed.err;
    std::map<std::string, std::string> by;
    std::istringstream lines(listed.out);
    for (std::string line; std::getline(lines, line);) {
        const auto j = nlohmann::json::parse(line);
        by[j["id"]] = j["received_by"];
        EXPECT_GE(j["received_at"].get<std::string>(), "2026") << line;
    }
    EXPECT_EQ(by.size(), 5u);  // and the run's own
    EXPECT_EQ(by["forged"], role);
    for (const auto& [id, name] : by) EXPECT_TRUE(name == role || name == other) << id << " " << name;
    EXPECT_TRUE(contains(cli({"records", "list", "--server", asStation}).out, " " + role + "\n"));

    for (const char* sql : {"UPDATE attempts SET outcome = 'success'", "DELETE FROM attempts", "TRUNCATE attempts",
                            "INSERT INTO station_roles VALUES (current_user, 'station-b')", "DELETE FROM station_roles",
                            "CREATE TABLE mine (x int)", "ALTER TABLE attempts DISABLE TRIGGER attempts_received",
                            "DROP TABLE attempts", "UPDATE chain SET link = ''", "DELETE FROM chain",
                            "DELETE FROM chain_conflicts", "ALTER TABLE chain DISABLE TRIGGER chain_follows"}) {
        SCOPED_TRACE(sql);
        EXPECT_THROW(pqxx::nontransaction(writer).exec(sql), pqxx::insufficient_privilege);
    }
    EXPECT_EQ(serverIds().second, 5u);
}

// An attempt sent as interrupted and then completed by an import reaches the server as its
// version 2; version 1 stays. The latest is shown, --history shows both, and a sync again adds
// nothing.
TEST_F(RecordServerTest, AnAttemptCompletedAfterItWasSentArrivesAsItsNextVersion) {
    ASSERT_EQ(cli({"records", "server-init", "--server", url}).code, 0);
    const std::string db = dir.file("records.sqlite");
    nlohmann::ordered_json a = {{"id", "0123456789abcdef0123456789abcdef"},
                                {"kind", "download"},
                                {"started_at", "2026-12-08T10:00:00.000Z"},
                                {"station", "station-c"},
                                {"unit_id", "SN-7"},
                                {"port", "COM1"},
                                {"baud", 9600}};
    const std::string begun = dir.file("begun.jsonl");
    std::ofstream(begun) << nlohmann::json{{"v", 1}, {"event", "begin"}, {"attempt", a}}.dump() << "\n";
    ASSERT_EQ(cli({"records", "import", "--records", db, begun}).code, 0);
    EXPECT_EQ(cli({"records", "sync", "--records", db, "--server", url}).out,
              "1 attempt sent to " + url + ", 0 still queued\n");

    a["ended_at"] = "2026-12-08T10:01:00.000Z";
    a["outcome"] = "success";
    a["exit_code"] = 0;
    const std::string ended = dir.file("ended.jsonl");
    std::ofstream(ended) << nlohmann::json{{"v", 1}, {"event", "begin"}, {"attempt", a}}.dump() << "\n"
                         << nlohmann::json{{"v", 1}, {"event", "end"}, {"attempt", a}}.dump() << "\n";
    const Finished completed = cli({"records", "import", "--records", db, ended});
    EXPECT_TRUE(contains(completed.out, "1 completed")) << completed.out;
    EXPECT_EQ(cli({"records", "sync", "--records", db, "--server", url}).out,
              "1 attempt sent to " + url + ", 0 still queued\n");
    EXPECT_EQ(cli({"records", "sync", "--records", db, "--server", url}).out,
              "0 attempts sent to " + url + ": none queued\n");

    const auto outcomes = [&](std::vector<std::string> extra) {
        std::vector<std::string> args{"records", "export", "--format", "jsonl", "--server", url};
        args.insert(args.end(), extra.begin(), extra.end());
        const Finished f = cli(args);
        EXPECT_EQ(f.code, 0) << f.err;
        std::vector<std::string> out;
        std::istringstream lines(f.out);
        for (std::string line; std::getline(lines, line);) {
            const auto j = nlohmann::json::parse(line);
            out.push_back(std::to_string(j["version"].get<int>()) + " " + j["outcome"].get<std::string>());
        }
        return out;
    };
    EXPECT_EQ(outcomes({}), (std::vector<std::string>{"2 success"}));
    EXPECT_EQ(outcomes({"--history"}), (std::vector<std::string>{"2 success", "1 interrupted"}));
    EXPECT_EQ(outcomes({"--outcome", "interrupted"}), std::vector<std::string>{});  // not its latest
    const Finished history = cli({"records", "list", "--history", "--server", url});
    EXPECT_EQ(std::count(history.out.begin(), history.out.end(), '\n'), 3) << history.out;
    const Finished local = cli({"records", "export", "--format", "jsonl", "--records", db});
    EXPECT_EQ(nlohmann::json::parse(local.out)["version"], 2) << local.out;
    EXPECT_EQ(cli({"records", "list", "--history", "--records", db}).code, 2);
    EXPECT_EQ(serverIds().second, 2u);
}

// TLS as the docs advise it, on a server of its own with TLS on (pg-server.sh setup-tls: openssl
// makes a CA and the server's certificate there): sslmode=verify-full with the site's CA connects
// and a run forwards over it, without a warning; a root certificate that did not sign the
// server's is refused before anything is sent, and the error says what to look at.
TEST(RecordServerTls, VerifyFullWithTheSitesCaConnectsAndAnotherRootCertificateIsRefused) {
    TempDir dir;
    const std::string state = dir.file("tls.state");
    const Finished setup = run({kScript, "setup-tls", state}, 90s);
    ASSERT_EQ(setup.code, 0) << setup.err;
    std::string server = readAll(state);
    while (!server.empty() && server.back() == '\n') server.pop_back();
    if (server.empty()) {
        if (std::getenv("CI")) FAIL() << setup.err;
        GTEST_SKIP() << "SKIPPED: no PostgreSQL with TLS for this test: " << setup.err;
    }
    struct Stop {
        std::string state;
        ~Stop() { run({kScript, "cleanup", state}, 90s); }
    } stop{state};
    ::setenv("PGPASSFILE", (server + "/pgpass").c_str(), 1);
    std::string port = readAll(server + "/port");
    while (!port.empty() && port.back() == '\n') port.pop_back();
    const std::string verified = "postgresql://ul@localhost:" + port + "/postgres?sslmode=verify-full&sslrootcert=";

    UnitSimulator sim;
    sim.start();
    writeFile(dir.file("image.bin"), makeImage(600));
    const std::string db = dir.file("records.sqlite");
    const Finished f = run({kCli, "download", dir.file("image.bin"), "--port", sim.devicePath(), "--baud", "38400",
                            "--records", db, "--records-server", verified + server + "/ca.pem", "--quiet"});
    ASSERT_EQ(f.code, 0) << f.err;
    EXPECT_EQ(f.err, "");  // verified, so no warning; sent at once
    const Finished listed = run({kCli, "records", "list", "--server", verified + server + "/ca.pem"});
    EXPECT_EQ(listed.code, 0) << listed.err;
    EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'), 2) << listed.out;  // header and the run

    const Finished wrong = run({kCli, "records", "list", "--server", verified + server + "/other-ca.pem"});
    EXPECT_EQ(wrong.code, 6) << wrong.out;
    EXPECT_EQ(wrong.out, "");
    EXPECT_TRUE(contains(wrong.err, "certificate verify failed") &&
                contains(wrong.err, "not signed by the CA that sslrootcert names"))
        << wrong.err;
}

}  // namespace

namespace {

// The chain reaches the server with the records; what is taken from the file after that, or
// forged in it, is found against the server's copy, which refuses to follow a forged event.
TEST_F(RecordServerTest, TheServerKeepsEachFilesChainAndNamesWhatTheFileLostOrForged) {
    ASSERT_EQ(cli({"records", "server-init", "--server", url}).code, 0);
    const std::string file = dir.file("records.sqlite");
    for (int i = 0; i < 3; ++i) cli({"version", "--port", dir.file("no-port"), "--records", file, "--quiet"});
    ASSERT_EQ(cli({"records", "sync", "--records", file, "--server", url}).code, 0);
    const Finished intact = cli({"records", "verify", "--records", file, "--server", url});
    EXPECT_EQ(intact.code, 0) << intact.out << intact.err;
    EXPECT_TRUE(contains(intact.out, "6 events over 3 records: intact")) << intact.out;
    EXPECT_TRUE(contains(intact.out, "6 events over 3 records: intact\non the server")) << intact.out;

    // The last attempt and its events go, as if never recorded: the file alone shows nothing.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "DELETE FROM attempts WHERE id = (SELECT record_id FROM chain WHERE seq = 6);"
                           "DELETE FROM chain WHERE seq > 4; UPDATE chain_file SET sent_seq = 4",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    EXPECT_EQ(cli({"records", "verify", "--records", file}).code, 0);
    const Finished lost = cli({"records", "verify", "--records", file, "--server", url});
    EXPECT_EQ(lost.code, 9) << lost.out << lost.err;
    EXPECT_TRUE(contains(lost.out, "event 5 was removed from the records file: the server holds it")) << lost.out;

    // The next attempt takes the numbers of the ones removed: the server keeps it aside.
    cli({"version", "--port", dir.file("no-port"), "--records", file, "--quiet"});
    const Finished forged = cli({"records", "sync", "--records", file, "--server", url});
    EXPECT_EQ(forged.code, 9) << forged.out << forged.err;
    EXPECT_TRUE(contains(forged.err, "event 5 of the records file's chain was refused")) << forged.err;
    const Finished server = cli({"records", "verify", "--server", url});
    EXPECT_EQ(server.code, 9) << server.out << server.err;
    EXPECT_TRUE(contains(server.out, "event 5 was refused by the server (the server holds another event 5"))
        << server.out;
    // The server's chain itself is as it came.
    pqxx::connection c(url);
    EXPECT_EQ(pqxx::nontransaction(c).exec("SELECT count(*) FROM chain")[0][0].as<int>(), 6);
}

}  // namespace

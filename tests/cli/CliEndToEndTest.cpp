// The built unit-loader-cli against simulated units in this process: outcomes, texts, exit
// codes, JSON, time-out, interruption and several units at once. Every wait is bounded.
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "CliTestSupport.h"
#include "HostPort.h"
#include "UnitSimulator.h"

using namespace clitest;
using namespace unitsim;

namespace {

const std::string kCli = UL_CLI_PROGRAM;
const std::string kTitle = "UNIT LOADER Ver.1.21";

std::string successText(std::uint16_t unitCrc, std::uint16_t fileCrc) {
    return kTitle + "\nThe target file was downloaded successfully\nCRC:" + hex4(unitCrc) +
           "\nFILE-CRC:" + hex4(fileCrc) + "\n";
}

class Cli : public ::testing::Test {
protected:
    std::unique_ptr<UnitSimulator> unit(SimConfig config = {}) {
        auto sim = std::make_unique<UnitSimulator>(config);
        sim->start();
        return sim;
    }
    std::string image(const Bytes& bytes, const std::string& name = "image.bin") {
        const std::string path = dir.file(name);
        writeFile(path, bytes);
        return path;
    }
    std::vector<std::string> download(const std::string& file, const std::string& port) {
        return {kCli, "download", file, "--port", port, "--baud", "38400"};
    }

    TempDir dir;
};

TEST_F(Cli, DownloadPrintsTheSuccessBoxAndJsonAgrees) {
    auto sim = unit();
    Bytes body = randomBody(2000);
    std::fill(body.begin() + 246, body.begin() + 3 * 246, 0xFF);  // two blank blocks, passed over
    const Bytes file = sealed(body);
    const std::string path = image(file);

    const Finished text = run(download(path, sim->devicePath()));
    ASSERT_FALSE(text.timedOut) << text.err;
    EXPECT_EQ(text.code, 0) << text.err;
    ASSERT_TRUE(sim->verifyOutcome());
    EXPECT_EQ(text.out, successText(sim->verifyOutcome()->computed, Crc16::of(file)));
    EXPECT_EQ(sim->memory(0, static_cast<std::uint32_t>(file.size())), file);
    EXPECT_EQ(sim->blocks().size(), 7u);  // nine blocks less the two blank ones
    EXPECT_FALSE(libraryLeftBehind(kCli, text.pid));

    auto args = download(path, sim->devicePath());
    args.push_back("--json");
    const Finished json = run(args);
    EXPECT_EQ(json.code, 0) << json.err;
    const auto j = nlohmann::json::parse(json.out);
    EXPECT_EQ(j["outcome"], "success");
    EXPECT_EQ(j["exitCode"], 0);
    EXPECT_EQ(j["baud"], 38400);  // a number, as a script compares it
    EXPECT_EQ(j["caption"].get<std::string>() + "\n" + j["text"].get<std::string>() + "\n", text.out);
    EXPECT_EQ(j["unitCrc"], hex4(sim->verifyOutcome()->computed));
    EXPECT_EQ(j["fileCrc"], hex4(Crc16::of(file)));
    EXPECT_EQ(j["blocks"], 9);
    EXPECT_EQ(j["blocksDone"], 9);
    EXPECT_EQ(j["bytes"], file.size());
    EXPECT_GT(j["seconds"].get<double>(), 0.0);
}

// One ending of each kind, with the unit made to fail fast. The printed text is the box.
TEST_F(Cli, EachEndingHasItsTextAndExitCode) {
    const Bytes twoBlocks = sealed(randomBody(298));  // a full block and a short one
    struct Case {
        const char* name;
        std::function<void(SimConfig&)> configure;
        std::string file;  // empty: the two-block image
        std::string port;  // empty: the simulated unit
        int code;
        std::string out;
    };
    const std::string f1 =
        "ERROR:Unit is not disabled/connected\nMake sure unit is connected and turned on.\n"
        "Make sure unit is not enabled.\n";
    const std::vector<Case> cases = {
        {"missing file",
         {},
         dir.file("none.bin"),
         "",
         3,
         kTitle + "\nFile Open Error\nFile " + dir.file("none.bin") + ": no such file.\n"},
        {"bad trailer",
         {},
         image({1, 2, 3, 4}, "bad.bin"),
         "",
         3,
         "ERROR: Invalid download file\nSelect a valid software.\n"},
        {"no such port",
         {},
         "",
         dir.file("no-port"),
         4,
         kTitle + "\nFailed in the initialization of the communication port.\nPort " + dir.file("no-port") +
             ": no such device.\n"},
        {"F1 never disabled", [](SimConfig& c) { c.faults.neverDisable = true; }, "", "", 11, f1},
        {"F3 busy erasing", [](SimConfig& c) { c.faults.busyForeverErase = true; }, "", "", 13,
         "ERROR:Unit is not disabled/connected\nMake sure unit is not enabled.\n"
         "Make sure unit is connected and turned on.\n"},
        {"F5 line dropped", [](SimConfig& c) { c.faults.dropLineAfterBlock = 1; }, "", "", 15,
         "ERROR:Premature Termination\nNo Ready/Busy message from Acceptor\n\nVerify a valid software is selected\n"
         "Verify the unit has Flash ROM\nVerify unit connection to PC\nDownload process need to be restarted\n"
         "(Forced download method)\n"},
        {"F8 busy after the last block", [](SimConfig& c) { c.unit.blockBusyPolls = 11; }, "", "", 18,
         "ERROR:Communication Error\nDownload process may need to be restarted\n(Forced download method)\n"},
    };
    const std::string twoBlockPath = image(twoBlocks, "two.bin");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimConfig config;
        if (c.configure) c.configure(config);
        auto sim = unit(config);
        const Finished f =
            run(download(c.file.empty() ? twoBlockPath : c.file, c.port.empty() ? sim->devicePath() : c.port));
        ASSERT_FALSE(f.timedOut);
        EXPECT_EQ(f.code, c.code) << f.err;
        EXPECT_EQ(f.out, c.out);
        EXPECT_FALSE(libraryLeftBehind(kCli, f.pid));
    }

    // The warning carries both CRCs like the success box.
    SimConfig config;
    config.faults.forceResult80 = true;
    auto sim = unit(config);
    const Finished f = run(download(twoBlockPath, sim->devicePath()));
    EXPECT_EQ(f.code, 5) << f.err;
    ASSERT_TRUE(sim->verifyOutcome());
    EXPECT_EQ(f.out,
              "Premature Termination\nFollowing download status did not returned to disable\n\n"
              "File may have been completely loaded, check the unit.\n"
              "If unit does not function, download again.\n\nCRC:" +
                  hex4(sim->verifyOutcome()->computed) + "\nFILE-CRC:" + hex4(Crc16::of(twoBlocks)) + "\n");
}

TEST_F(Cli, UsageErrorsSayWhatIsWrong) {
    struct Case {
        std::vector<std::string> args;
        std::string err;  // part of standard error
    };
    const std::string subcommands = "download, version, ports, check, seal";
    const std::vector<Case> cases = {
        {{kCli}, "a subcommand is required: " + subcommands},
        {{kCli, "dowload", "x.bin"}, "\"dowload\" is not a subcommand; the subcommands are " + subcommands},
        {{kCli, "download"}, "FILE is required"},
        {{kCli, "download", "x.bin", "--port", "p", "--baud", "0"}, "not a positive number"},
        {{kCli, "download", "x.bin", "--port", "p", "--baud", "fast"}, "not a positive number"},
        {{kCli, "download", "x.bin", "--port", "p", "--port", "p"}, "a port is given twice"},
        {{kCli, "version", "--timeout", "0"}, "--timeout: must be more than 0 seconds"},
        {{kCli, "version", "--timeout", "-1"}, "--timeout: must be more than 0 seconds"},
        {{kCli, "version", "--timeout", "soon"}, "--timeout: must be more than 0 seconds"},
        {{kCli, "version", "--stall-timeout", "-1"}, "--stall-timeout: must be 0 (no limit) or more seconds"},
        // Only a process the program started for a unit takes the option.
        {{kCli, "version", "--port", "p", "--unit-child", "/tmp/px417.so"},
         "--unit-child is for unit-loader-cli's own use"},
    };
    for (const auto& c : cases) {
        const Finished f = run(c.args);
        EXPECT_EQ(f.code, 2) << c.err << ": " << f.err;
        EXPECT_NE(f.err.find(c.err), std::string::npos) << f.err;
    }
    const Finished help = run({kCli, "--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("130  interrupted"), std::string::npos) << help.out;
    EXPECT_EQ(help.out.find("unit-child"), std::string::npos) << help.out;
    const Finished version = run({kCli, "--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out, "unit-loader-cli 1.21\n");

    // The table once, at the top; a subcommand's help speaks of its own work.
    const Finished versionHelp = run({kCli, "version", "--help"});
    EXPECT_EQ(versionHelp.code, 0);
    for (const std::string word : {"130  interrupted", "load several", "block", "unit-child"})
        EXPECT_EQ(versionHelp.out.find(word), std::string::npos) << word << " in\n" << versionHelp.out;
    EXPECT_NE(versionHelp.out.find("Exit codes: see unit-loader-cli --help."), std::string::npos) << versionHelp.out;
}

TEST_F(Cli, VersionPrintsTheUnitsText) {
    SimConfig config;
    config.unit.versionText = "ABCDEFGHIJK";
    auto sim = unit(config);
    const Finished f = run({kCli, "version", "--port", sim->devicePath()});
    EXPECT_EQ(f.code, 0) << f.err;
    EXPECT_EQ(f.out, "ABCDEFGHIJK\n");

    const Finished json = run({kCli, "version", "--port", sim->devicePath(), "--json"});
    EXPECT_EQ(nlohmann::json::parse(json.out)["version"], "ABCDEFGHIJK");

    SimConfig enabled;
    enabled.faults.neverDisable = true;
    auto busy = unit(enabled);
    const Finished failed = run({kCli, "version", "--port", busy->devicePath()});
    EXPECT_EQ(failed.code, 11);
    EXPECT_EQ(failed.out.substr(0, failed.out.find('\n')), "ERROR:Unit is not disabled/connected");
}

// Both trace mailslots, in a mailslot directory of the test's own so no other listener interferes.
TEST_F(Cli, TracePrintsBothMailslotsWithTimeStamps) {
    auto sim = unit();
    Process p({kCli, "version", "--port", sim->devicePath(), "--trace"}, {"XDG_RUNTIME_DIR=" + dir.path().string()});
    const Finished f = p.finish(30s);
    EXPECT_EQ(f.code, 0) << f.err;
    EXPECT_EQ(f.out, "SIM-UNIT 2.07\n");
    for (const std::string line : {" DebugComm_px417 [", " Debug_VSK_DOWNLOAD [", "Method: Command", "Polling Message"})
        EXPECT_NE(f.err.find(line), std::string::npos) << line << " in\n" << f.err;
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "orlo-mailslots" / "DebugComm_px417"));
}

TEST_F(Cli, SealedFileChecksValidAndAChangedByteDoesNot) {
    Bytes body = randomBody(1000);
    std::fill(body.begin() + 246, body.begin() + 492, 0xFF);
    writeFile(dir.file("body.bin"), body);
    const Finished seal = run({kCli, "seal", dir.file("body.bin"), dir.file("sealed.bin")});
    ASSERT_EQ(seal.code, 0) << seal.err;
    const Bytes file = readFile(dir.file("sealed.bin"));
    EXPECT_EQ(file, sealed(body));

    const Finished good = run({kCli, "check", dir.file("sealed.bin")});
    EXPECT_EQ(good.code, 0);
    EXPECT_NE(good.out.find("Size:         1002 bytes\n"), std::string::npos) << good.out;
    EXPECT_NE(good.out.find("Blocks:       5 of 246 bytes (last block 18 bytes)\n"), std::string::npos);
    EXPECT_NE(good.out.find("Blank blocks: 1 "), std::string::npos);
    EXPECT_NE(good.out.find("File CRC:     " + hex4(Crc16::of(file)) + "\n"), std::string::npos);

    for (std::size_t at : {std::size_t{0}, file.size() - 1}) {
        Bytes changed = file;
        changed[at] ^= 0x01;
        writeFile(dir.file("changed.bin"), changed);
        const Finished bad = run({kCli, "check", dir.file("changed.bin")});
        EXPECT_EQ(bad.code, 3) << at;
        EXPECT_EQ(bad.out, "ERROR: Invalid download file\nSelect a valid software.\n");
    }
    EXPECT_EQ(run({kCli, "check", dir.file("none.bin")}).out,
              kTitle + "\nFile Open Error\nFile " + dir.file("none.bin") + ": no such file.\n");
}

TEST_F(Cli, TimeoutEndsAUnitThatStaysBusy) {
    SimConfig config;
    config.faults.busyForeverBlock = true;
    auto sim = unit(config);
    const std::string path = image(sealed(randomBody(1000)));
    const auto started = std::chrono::steady_clock::now();
    const Finished f = run({kCli, "download", path, "--port", sim->devicePath(), "--timeout", "1"});
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    EXPECT_EQ(f.code, 20) << f.err;
    const std::string start =
        "Time-out\nThe download did not end within 1 s, waiting for ready after a block; it was "
        "stopped after ";
    EXPECT_EQ(f.out.rfind(start, 0), 0u) << f.out;
    EXPECT_EQ(f.out.substr(f.out.find(" s.\n")),
              " s.\nThe session was closed. The unit may still be in download mode: switch it off and on before "
              "the next download.\n");
    EXPECT_FALSE(libraryLeftBehind(kCli, f.pid));
    // The port was given back: it opens at once.
    EXPECT_TRUE(HostPort(sim->devicePath()).isOpen());
}

// Busy polls while verifying count against no limit; --stall-timeout ends the wait and says
// where the run stood and what the unit kept answering.
TEST_F(Cli, StallTimeoutEndsARunThatMakesNoProgress) {
    SimConfig config;
    config.faults.busyForeverVerify = true;
    auto sim = unit(config);
    auto args = download(image(sealed(randomBody(300))), sim->devicePath());
    args.insert(args.end(), {"--stall-timeout", "1"});
    const Finished f = run(args);
    ASSERT_FALSE(f.timedOut);
    EXPECT_EQ(f.code, 20) << f.err;
    EXPECT_EQ(f.out,
              "No progress\nThe download made no progress for 1 s, waiting for the verify result; "
              "the unit kept answering busy (D4 80).\nThe session was closed. The unit may still be in download "
              "mode: switch it off and on before the next download.\n");
    EXPECT_FALSE(libraryLeftBehind(kCli, f.pid));
}

// Brings a unit left in the middle of a download back to Disable: verify, result, acknowledge.
void finishUnitsDownload(HostPort& host) {
    const auto status = HostPort::Bytes{0xFC, 0x05, 0x11};
    for (int i = 0; i < 200; ++i) {
        const auto r = host.exchange(status);
        if (r.size() > 3 && r[2] == 0xD4 && r[3] == 0x00) break;
    }
    host.exchange({0xFC, 0x0B, 0xD2, 0, 0, 0, 0, 0, 0});
    for (int i = 0; i < 200; ++i) {
        const auto r = host.exchange(status);
        if (r.size() > 2 && r[2] == 0xD3) break;
    }
    host.exchange({0xFC, 0x05, 0x50});
}

TEST_F(Cli, CtrlCEndsTheSessionCleanlyAndThePortIsFreeAtOnce) {
    SimConfig config;
    config.pacing.enabled = true;  // about 4 s for this file at 38400 baud
    auto sim = unit(config);
    const std::string path = image(sealed(randomBody(16000)));
    Process p(download(path, sim->devicePath()));
    const pid_t pid = p.pid();
    ASSERT_TRUE(sim->waitForBlocks(5, 10s));
    p.signal(SIGINT);
    const Finished f = p.finish(15s);
    EXPECT_EQ(f.code, 130) << f.err;
    EXPECT_EQ(f.out.substr(0, f.out.find('\n')), "Interrupted");
    EXPECT_NE(f.out.find("stopped by SIGINT"), std::string::npos);
    EXPECT_FALSE(libraryLeftBehind(kCli, pid));

    // The unit is still in its download; the port opens at once and can bring it back.
    {
        HostPort host(sim->devicePath());
        ASSERT_TRUE(host.isOpen());
        finishUnitsDownload(host);
    }
    const Finished again = run(download(path, sim->devicePath()), 30s);
    EXPECT_EQ(again.code, 0) << again.out << again.err;
}

class SeveralUnits : public Cli {
protected:
    // Orphans of the program come to this process, so "no process left" can be checked.
    void SetUp() override { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }
    void TearDown() override { ::prctl(PR_SET_CHILD_SUBREAPER, 0); }
    static bool noChildLeft() {
        int status;
        return ::waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD;
    }
};

TEST_F(SeveralUnits, TwoUnitsLoadAtOnceAndTheWorstOutcomeIsTheExitCode) {
    SimConfig paced;
    paced.pacing.enabled = true;
    SimConfig warning = paced;
    warning.faults.forceResult80 = true;
    auto good = unit(paced);
    auto bad = unit(warning);
    const Bytes file = sealed(randomBody(8000));  // about 2 s each, well above the start-up of three processes
    const std::string path = image(file);

    const auto started = std::chrono::steady_clock::now();
    auto args = download(path, good->devicePath());
    args.insert(args.end(), {"--port", bad->devicePath(), "--json"});
    const Finished f = run(args, 60s);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(f.code, 5) << f.err;
    const auto j = nlohmann::json::parse(f.out);
    EXPECT_EQ(j["exitCode"], 5);
    ASSERT_EQ(j["units"].size(), 2u);
    EXPECT_EQ(j["units"][0]["port"], good->devicePath());
    EXPECT_EQ(j["units"][0]["outcome"], "success");
    EXPECT_EQ(j["units"][1]["outcome"], "warning");
    EXPECT_EQ(good->memory(0, static_cast<std::uint32_t>(file.size())), file);
    EXPECT_EQ(bad->memory(0, static_cast<std::uint32_t>(file.size())), file);
    // At once, not one after the other: each alone takes most of this.
    const double each = std::min(j["units"][0]["seconds"].get<double>(), j["units"][1]["seconds"].get<double>());
    EXPECT_LT(std::chrono::duration<double>(took).count(), 1.7 * each);
    EXPECT_TRUE(noChildLeft());
    EXPECT_FALSE(libraryLeftBehind(kCli, f.pid));
}

// Without --json: a row per unit in the order given, then each unit's box.
TEST_F(SeveralUnits, SummaryTableHasARowAndTheBoxOfEachUnit) {
    SimConfig enabled;
    enabled.faults.neverDisable = true;
    auto good = unit();
    auto bad = unit(enabled);
    const Bytes file = sealed(randomBody(296));  // a full block and a short one
    auto args = download(image(file), good->devicePath());
    args.insert(args.end(), {"--port", bad->devicePath()});
    const Finished f = run(args, 60s);
    EXPECT_EQ(f.code, 11) << f.err;
    ASSERT_TRUE(good->verifyOutcome());

    auto pad = [](std::string text, std::size_t width) {
        text.resize(std::max(text.size(), width), ' ');
        return text;
    };
    const std::size_t width = std::max(good->devicePath().size(), bad->devicePath().size());
    const std::string fileCrc = hex4(Crc16::of(file));
    std::istringstream out(f.out);
    std::string header, first, second;
    std::getline(out, header);
    std::getline(out, first);
    std::getline(out, second);
    EXPECT_EQ(header, pad("PORT", width) + "  EXIT  " + pad("RESULT", 20) + "UNIT-CRC  FILE-CRC  BLOCKS     SECONDS");
    EXPECT_EQ(first.rfind(pad(good->devicePath(), width) + "  0     " + pad("success", 20) +
                              hex4(good->verifyOutcome()->computed) + "      " + fileCrc + "      2/2        ",
                          0),
              0u)
        << first;
    EXPECT_EQ(second.rfind(pad(bad->devicePath(), width) + "  11    " + pad("F1", 20) + "-         " + fileCrc +
                               "      0/2        ",
                           0),
              0u)
        << second;
    const std::string boxes = f.out.substr(f.out.find("\n\n") + 1);
    EXPECT_EQ(boxes, "\n" + good->devicePath() + ":\n" + successText(good->verifyOutcome()->computed, Crc16::of(file)) +
                         "\n" + bad->devicePath() +
                         ":\nERROR:Unit is not disabled/connected\nMake sure unit is connected and turned on.\n"
                         "Make sure unit is not enabled.\n");
}

// The process serving `port` among the children of `parent`, or -1.
pid_t childServing(pid_t parent, const std::string& port) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream statFile(entry.path() / "stat");
        std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
        const auto close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(stat.substr(close + 2));
        std::string state;
        pid_t ppid = -1;
        fields >> state >> ppid;
        if (ppid != parent) continue;
        std::ifstream cmdFile(entry.path() / "cmdline");
        const std::string cmdline((std::istreambuf_iterator<char>(cmdFile)), std::istreambuf_iterator<char>());
        if (cmdline.find(std::string("\0") + port + '\0') != std::string::npos) return std::stoi(name);
    }
    return -1;
}

// A unit's process that dies without a result is reported as such; the other unit finishes.
TEST_F(SeveralUnits, AChildThatDiesIsReportedAndTheOtherUnitFinishes) {
    SimConfig paced;
    paced.pacing.enabled = true;
    auto good = unit();
    auto doomed = unit(paced);
    const Bytes file = sealed(randomBody(16000));
    auto args = download(image(file), good->devicePath());
    args.insert(args.end(), {"--port", doomed->devicePath(), "--json"});
    Process p(args);
    ASSERT_TRUE(doomed->waitForBlocks(3, 10s));
    const pid_t child = childServing(p.pid(), doomed->devicePath());
    ASSERT_GT(child, 0);
    ::kill(child, SIGKILL);
    const Finished f = p.finish(60s);
    EXPECT_EQ(f.code, 1) << f.err;
    const auto j = nlohmann::json::parse(f.out);
    EXPECT_EQ(j["exitCode"], 1);
    ASSERT_EQ(j["units"].size(), 2u);
    EXPECT_EQ(j["units"][0]["outcome"], "success");
    EXPECT_EQ(good->memory(0, static_cast<std::uint32_t>(file.size())), file);
    EXPECT_EQ(j["units"][1]["port"], doomed->devicePath());
    EXPECT_EQ(j["units"][1]["exitCode"], 1);
    EXPECT_EQ(j["units"][1]["text"], "The process for this unit was ended by Killed.");
    EXPECT_TRUE(noChildLeft());
    EXPECT_FALSE(libraryLeftBehind(kCli, f.pid));
    EXPECT_TRUE(HostPort(doomed->devicePath()).isOpen());
}

// A stop request to the parent alone, as a service manager or a closed terminal sends it, reaches
// every unit, and each unit's text names what the parent got.
TEST_F(SeveralUnits, AStopReachesEveryUnitAndNoProcessIsLeft) {
    for (const int sig : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        SimConfig paced;
        paced.pacing.enabled = true;
        auto a = unit(paced);
        auto b = unit(paced);
        const std::string path = image(sealed(randomBody(16000)));
        auto args = download(path, a->devicePath());
        args.insert(args.end(), {"--port", b->devicePath(), "--json"});
        Process p(args);
        const pid_t pid = p.pid();
        ASSERT_TRUE(a->waitForBlocks(3, 10s));
        ASSERT_TRUE(b->waitForBlocks(3, 10s));
        p.signal(sig);
        const Finished f = p.finish(30s);
        EXPECT_EQ(f.code, 130) << f.err;
        const auto j = nlohmann::json::parse(f.out, nullptr, false);
        ASSERT_TRUE(j.is_object()) << f.out;
        for (const auto& u : j["units"]) {
            EXPECT_EQ(u["outcome"], "interrupted");
            const std::string text = u["text"];
            EXPECT_EQ(text.rfind(std::string("The download was stopped because unit-loader-cli got ") +
                                     (sig == SIGTERM ? "SIGTERM" : "SIGHUP") + ", waiting for ",
                                 0),
                      0u)
                << text;
        }
        EXPECT_TRUE(noChildLeft());
        EXPECT_FALSE(libraryLeftBehind(kCli, pid));
        EXPECT_TRUE(HostPort(a->devicePath()).isOpen());
        EXPECT_TRUE(HostPort(b->devicePath()).isOpen());
    }
}

// Port and baud rate from the settings file beside the program, and a note saying so.
TEST_F(Cli, DefaultsComeFromTheSettingsFileBesideTheProgram) {
    auto sim = unit();
    const std::string program = dir.file("unit-loader-cli");
    std::filesystem::copy_file(kCli, program);
    std::ofstream(dir.file("vsk_download_config.txt")) << "Baudrate,38400\r\nPort," << sim->devicePath() << "\r\n";
    const Finished f = run({program, "version"});
    EXPECT_EQ(f.code, 0) << f.err;
    EXPECT_EQ(f.out, "SIM-UNIT 2.07\n");
    EXPECT_NE(f.err.find("port " + sim->devicePath() + " from " + dir.file("vsk_download_config.txt")),
              std::string::npos)
        << f.err;
    EXPECT_NE(f.err.find("baud rate 38400 from"), std::string::npos) << f.err;

    // Without the file: 9600, and the program writes no file of its own.
    std::filesystem::remove(dir.file("vsk_download_config.txt"));
    const Finished d = run({program, "version", "--port", sim->devicePath()});
    EXPECT_EQ(d.code, 0) << d.err;
    EXPECT_NE(d.err.find("baud rate 9600 (default; no " + dir.file("vsk_download_config.txt")), std::string::npos)
        << d.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("vsk_download_config.txt")));
}

}  // namespace

// The station's table on a terminal, as an operator sees it: the built unit-loader-cli on a
// pseudo-terminal, slots with names in other scripts and one with an escape sequence in it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>

#include "CliTestSupport.h"
#include "SafeText.h"
#include "UnitSimulator.h"
#include "record/AttemptOf.h"

using namespace clitest;
using namespace unitsim;
using namespace std::chrono_literals;

namespace {

const std::string kCli = UL_CLI_PROGRAM;

// The program with standard output and error on one terminal of `columns` columns.
class OnTerminal {
public:
    OnTerminal(const std::vector<std::string>& args, unsigned short columns) {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) throw std::runtime_error("pty");
        const winsize size{40, columns, 0, 0};
        ::ioctl(master_, TIOCSWINSZ, &size);
        const std::string slave = ::ptsname(master_);
        slave_ = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);  // kept: no EIO before the end
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, slave.c_str(), O_RDWR | O_NOCTTY, 0);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        std::vector<std::string> copy = args;
        std::vector<char*> argv;
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, copy[0].c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~OnTerminal() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(slave_);
        ::close(master_);
    }
    // Reads what was drawn until `done` says so or `limit` passes.
    bool readUntil(const std::function<bool(const std::string&)>& done, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done(screen)) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            pollfd p{master_, POLLIN, 0};
            ::poll(&p, 1, 50);
            char buffer[4096];
            if (p.revents & POLLIN) {
                const ssize_t n = ::read(master_, buffer, sizeof buffer);
                if (n > 0) screen.append(buffer, static_cast<std::size_t>(n));
            }
        }
        return true;
    }
    // Interrupts it and waits for its exit code.
    int interrupt(std::chrono::milliseconds limit) {
        ::kill(pid_, SIGINT);
        int status = 0;
        readUntil([&](const std::string&) { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, limit);
        const pid_t pid = std::exchange(pid_, -1);
        if (::waitpid(pid, &status, WNOHANG) == 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string screen;

private:
    int master_ = -1, slave_ = -1;
    pid_t pid_ = -1;
};

// The rows of the last table drawn: each draw starts with a carriage return of its own (the
// terminal's line ends are CR LF), colours and cursor moves removed.
std::vector<std::string> lastTable(const std::string& screen) {
    std::string text = std::regex_replace(screen, std::regex("\r\n"), "\n");
    const std::size_t header = text.rfind("SLOT ");
    if (header == std::string::npos) return {};
    text = text.substr(0, text.find('\r', header));
    text = text.substr(text.rfind('\r', header) + 1);
    text = std::regex_replace(text, std::regex("\x1B\\[[0-9;]*[A-Za-z]"), "");
    std::vector<std::string> rows;
    for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
        end = std::min(text.find('\n', start), text.size());
        rows.push_back(text.substr(start, end - start));
    }
    return rows;
}

// The column a text starts at in a row, counted as the terminal draws it; npos when absent.
std::size_t columnOf(const std::string& row, const std::string& text) {
    const std::size_t at = row.find(text);
    return at == std::string::npos ? at : safetext::displayColumns(row.substr(0, at));
}

// Slot names in another script, wide characters and an escape sequence: the table keeps its
// columns, shows why each unit failed, and nothing in a name reaches the terminal raw.
TEST(StationTable, KeepsItsColumnsForAnyNameAndShowsWhyAUnitFailed) {
    TempDir dir;
    const Bytes image = makeImage(3000);
    writeFile(dir.file("fw.bin"), image);
    // As the job file writes them (TOML escapes), and as the table shows them.
    const std::vector<std::pair<std::string, std::string>> names{{"\\u00DCber",
                                                                  "\xC3\x9C"
                                                                  "ber"},
                                                                 {"\\u6A5F\\u68B0", "\xE6\xA9\x9F\xE6\xA2\xB0"},
                                                                 {"Esc\\u001B[2J", "Esc\\x1B[2J"},
                                                                 {"D", "D"}};
    std::vector<std::unique_ptr<UnitSimulator>> sims;
    std::ofstream job(dir.file("job.toml"));
    job << "name = \"Line \\\"2\\\"\"\nimage = \"fw.bin\"\nimage_sha256 = \"" << sha256Hex(image)
        << "\"\nexpect_version = \"SIM-UNIT 2.07\"\nbaud = 38400\n";
    for (const auto& [written, shown] : names) {
        SimConfig config;
        config.startAbsent = true;
        sims.push_back(std::make_unique<UnitSimulator>(config));
        sims.back()->start();
        job << "[[slot]]\nname = \"" << written << "\"\nport = \"" << sims.back()->devicePath() << "\"\n";
    }
    job.close();

    OnTerminal station({kCli, "station", dir.file("job.toml"), "--records", dir.file("records.sqlite")}, 120);
    Faults badVerify;
    badVerify.forceResult80 = true;
    UnitBehaviour unit;
    unit.resetPolls = 1;
    for (auto& sim : sims) sim->connect(unit, badVerify);
    const std::string why = "warning: Premature Termination";
    const auto allFailed = [&](const std::string& screen) {
        std::size_t failed = 0;
        for (const std::string& row : lastTable(screen)) failed += row.find(why) != std::string::npos;
        return failed == names.size();
    };
    const bool drawn = station.readUntil(allFailed, 30s);
    const std::vector<std::string> table = lastTable(station.screen);
    EXPECT_EQ(station.interrupt(30s), 130);
    ASSERT_TRUE(drawn) << station.screen;

    EXPECT_EQ(station.screen.find("\x1B[2J"), std::string::npos);
    ASSERT_EQ(table.size(), names.size() + 2) << station.screen;
    const std::string& header = table[1];
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& row = table[i + 2];
        SCOPED_TRACE(row);
        EXPECT_EQ(row.rfind(names[i].second, 0), 0u);
        EXPECT_EQ(columnOf(row, "fail "), columnOf(header, "STATE"));
        EXPECT_EQ(columnOf(row, "FAIL "), columnOf(header, "LAST"));
        EXPECT_EQ(columnOf(row, why), columnOf(header, "DETAIL"));
    }

    // The job's name keeps its quotes in the records' note, and the note its end.
    const Finished records =
        run({kCli, "records", "export", "--format", "jsonl", "--records", dir.file("records.sqlite")});
    ASSERT_EQ(records.code, 0) << records.err;
    std::set<std::string> notes;
    std::istringstream lines(records.out);
    for (std::string line; std::getline(lines, line);) {
        const auto row = nlohmann::json::parse(line);
        if (row["kind"] != "unit") notes.insert(row["note"]);  // a unit's verdict carries the job in `job`
    }
    EXPECT_EQ(notes, (std::set<std::string>{"station job \"Line \\\"2\\\"\", slot \xC3\x9C"
                                            "ber",
                                            "station job \"Line \\\"2\\\"\", slot \xE6\xA9\x9F\xE6\xA2\xB0",
                                            "station job \"Line \\\"2\\\"\", slot Esc\\x1B[2J",
                                            "station job \"Line \\\"2\\\"\", slot D"}));
}

}  // namespace

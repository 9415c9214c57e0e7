// The built unit-loader-cli where a new user or a hostile tester meets its edges: failures that
// say why, settings files that are almost right, stop requests that must not wait, output that
// cannot be written, library copies that killed runs leave, and progress on a narrow terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>

#include <fstream>
#include <thread>

#include "CliTestSupport.h"
#include "HostPort.h"
#include "UnitSimulator.h"

using namespace clitest;
using namespace unitsim;

namespace {

const std::string kCli = UL_CLI_PROGRAM;
const std::string kTitle = "UNIT LOADER Ver.1.21";
const std::string kPortBox = kTitle + "\nFailed in the initialization of the communication port.\n";
constexpr uid_t kNobody = 65534;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Only root can run the program as another user, and only as another user can a refused open be
// seen: root opens every device.
bool canRunAsNobody() { return ::geteuid() == 0 && ::access("/usr/bin/setpriv", X_OK) == 0; }

std::vector<std::string> asNobody(std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"});
    return args;
}

// A copy of the program in a directory of its own, which others may read (so `nobody` can run it),
// and a temporary directory anybody may write, for the copy of the library such a run makes.
struct ProgramCopy {
    ProgramCopy() {
        std::filesystem::copy_file(kCli, program);
        ::chmod(dir.path().c_str(), 0755);
        ::chmod(tmp.path().c_str(), 01777);
    }
    std::string settings() const { return dir.file("vsk_download_config.txt"); }
    TempDir dir, tmp;
    const std::string program = dir.file("unit-loader-cli");
};

TEST(CliExplains, PortAndFileFailuresSayWhy) {
    UnitSimulator sim;
    sim.start();
    TempDir dir;
    const std::string image = dir.file("image.bin");
    writeFile(image, sealed(randomBody(300)));
    writeFile(dir.file("plain.txt"), {1, 2, 3});
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ::chmod(dir.path().c_str(), 0755);
    const std::string group20 = "dialout";  // gid 20 on Debian

    struct Case {
        std::string name;
        std::string file;  // empty: the image
        std::string port;  // empty: the simulated unit
        int code;
        std::string box;
        std::string explanation;  // what the line under the box says
        mode_t deviceMode = 0;    // set: the unit's device gets this mode and group 20, and runs as nobody
    };
    const std::string longName(300, 'x');
    const std::vector<Case> cases = {
        {"missing device", "", dir.file("ttyNone"), 4, kPortBox, "Port " + dir.file("ttyNone") + ": no such device."},
        {"a directory", "", dir.path().string(), 4, kPortBox,
         "Port " + dir.path().string() + ": a directory, not a serial device."},
        {"a regular file", "", dir.file("plain.txt"), 4, kPortBox, ": a regular file, not a serial device."},
        {"no terminal", "", "/dev/null", 4, kPortBox, "Port /dev/null: not a serial device."},
        {"name too long", "", longName, 4, kPortBox, "...: the name is too long."},
        {"COM name", "", "COM250", 4, kPortBox, "Port COM250 (/dev/ttyS249): no such device."},
        {"held by another program", "", "", 4, kPortBox, "in use by another program (process "},
        {"group may open it", "", "", 4, kPortBox,
         "permission denied: join the group \"" + group20 + "\" that owns it (sudo usermod -aG " + group20, 0660},
        {"only root may open it", "", "", 4, kPortBox,
         "permission denied: only root may open it (owner root, group " + group20 + ", mode 0600)", 0600},
        {"missing file", dir.file("none.bin"), "", 3, kTitle + "\nFile Open Error\n",
         "File " + dir.file("none.bin") + ": no such file."},
        {"file is a directory", dir.path().string(), "", 3, kTitle + "\nFile Open Error\n",
         "File " + dir.path().string() + ": a directory, not a file."},
        {"file is a FIFO", dir.file("fifo"), "", 3, kTitle + "\nFile Open Error\n",
         "File " + dir.file("fifo") + ": a FIFO, not a regular file."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {
            kCli,     "download", c.file.empty() ? image : c.file, "--port", c.port.empty() ? sim.devicePath() : c.port,
            "--baud", "38400"};
        std::unique_ptr<HostPort> holder;
        TempDir tmp;
        if (c.name == "held by another program") holder = std::make_unique<HostPort>(sim.devicePath());
        if (c.deviceMode) {
            if (!canRunAsNobody()) continue;
            ASSERT_EQ(::chown(sim.devicePath().c_str(), 0, 20), 0);
            ASSERT_EQ(::chmod(sim.devicePath().c_str(), c.deviceMode), 0);
            ::chmod(tmp.path().c_str(), 01777);
            args = asNobody(args);
        }
        // The records go where that user may write them.
        Process p(args, {"TMPDIR=" + tmp.path().string(), "UNIT_LOADER_RECORDS=" + tmp.file("records.sqlite")});
        const Finished f = p.finish(30s);
        ASSERT_FALSE(f.timedOut);
        EXPECT_EQ(f.code, c.code) << f.err;
        EXPECT_EQ(f.out.rfind(c.box, 0), 0u) << f.out;  // the loader's own box comes first, unchanged
        const std::string line = f.out.substr(std::min(c.box.size(), f.out.size()));
        EXPECT_TRUE(contains(line, c.explanation)) << line;
        EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
    }
}

// A settings file that exists but has no usable Port falls back to COM1 as a missing one does,
// and says what was wrong in it. COM1 is a real port on many machines: these runs go as a user
// who may not open it, so nothing is sent to it.
TEST(CliExplains, SettingsFilesThatAreAlmostRight) {
    UnitSimulator sim;
    sim.start();
    struct Case {
        std::string name;
        std::string content;  // "@fifo": a FIFO in its place
        int code;
        std::string note;
    };
    const std::vector<Case> cases = {
        {"byte-order mark", "\xEF\xBB\xBFPort," + sim.devicePath() + "\r\nBaudrate,38400\r\n", 0,
         "port " + sim.devicePath() + " from "},
        {"lower-case key", "port,/dev/ttyUSB0\r\nBaudrate,9600\r\n", 4,
         ": line 1 \"port,/dev/ttyUSB0\" has the key \"port\"; it must be written \"Port\""},
        {"equals sign", "Baudrate,9600\r\nPort=/dev/ttyUSB0\r\n", 4,
         ": line 2 \"Port=/dev/ttyUSB0\" has no comma between key and value (write Port,/dev/ttyUSB0)"},
        {"comment first", "# the line's unit\r\nPort,/dev/ttyUSB0\r\n", 4,
         ": reading stops at the empty or comment line 1, before line 2 \"Port,/dev/ttyUSB0\""},
        {"a FIFO", "@fifo", 4, ": it is not a regular file, so it is not read"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const bool fallsBack = c.code != 0;
        if (fallsBack && !canRunAsNobody()) continue;
        ProgramCopy copy;
        if (c.content == "@fifo")
            ASSERT_EQ(::mkfifo(copy.settings().c_str(), 0644), 0);
        else
            writeFile(copy.settings(), Bytes(c.content.begin(), c.content.end()));
        std::vector<std::string> args = {copy.program, "version", "--timeout", "20"};
        if (fallsBack) args = asNobody(args);
        Process p(args,
                  {"TMPDIR=" + copy.tmp.path().string(), "UNIT_LOADER_RECORDS=" + copy.tmp.file("records.sqlite")});
        const Finished f = p.finish(30s);
        ASSERT_FALSE(f.timedOut) << f.err;
        EXPECT_EQ(f.code, c.code) << f.out << f.err;
        EXPECT_TRUE(contains(f.err, c.note)) << f.err;
        if (fallsBack) {
            EXPECT_TRUE(contains(f.err, "no usable Port in " + copy.settings() + ": ")) << f.err;
            EXPECT_TRUE(contains(f.err, "; port COM1 (the default) is used")) << f.err;
            EXPECT_TRUE(contains(f.out, "Port COM1 (/dev/ttyS0): ")) << f.out;
        } else {
            EXPECT_EQ(f.out, "SIM-UNIT 2.07\n");
        }
    }
}

// A stop request waits for the exchange in progress, which a unit that babbles without forming a
// frame stretches to 10 s; a second request, or one while a time-out is closing the session,
// ends the program at once, and the next Open finds the port free.
TEST(CliStops, ASecondRequestDoesNotWaitForTheExchange) {
    struct Case {
        std::string name;
        std::vector<std::string> options;
        std::vector<int> signals;  // sent one after the other, 300 ms apart
        std::string err;           // what standard error ends with
        std::string out;           // what standard output starts with
    };
    const std::string released =
        "ended at once without waiting for the exchange in progress; the port was "
        "released by exiting.\n";
    const std::vector<Case> cases = {
        {"SIGINT, then SIGTERM", {}, {SIGINT, SIGTERM}, "SIGTERM, a second stop request: " + released, ""},
        {"SIGINT twice", {}, {SIGINT, SIGINT}, "SIGINT, a second stop request: " + released, ""},
        {"SIGINT after the time-out",
         {"--timeout", "1"},
         {SIGINT},
         "SIGINT while the session was being closed: " + released,
         ""},
        {"time-out alone",
         {"--timeout", "1"},
         {},
         "",
         "Time-out\nThe download did not end within 1 s, waiting for Disable; it was stopped after "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimConfig config;
        config.faults.stream = StreamFault::NoSync;
        UnitSimulator sim(config);
        sim.start();
        TempDir dir;
        const std::string image = dir.file("image.bin");
        writeFile(image, sealed(randomBody(300)));
        std::vector<std::string> args = {kCli, "download", image, "--port", sim.devicePath(), "--baud", "38400"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        Process p(args);
        const pid_t pid = p.pid();
        ASSERT_TRUE(sim.waitForFrames(1, 10s));
        // The time-out rows: past the limit, in the wait for the exchange.
        std::this_thread::sleep_for(c.options.empty() ? 200ms : 1500ms);
        for (int sig : c.signals) {
            p.signal(sig);
            std::this_thread::sleep_for(300ms);
        }
        const auto sent = std::chrono::steady_clock::now();
        const Finished f = p.finish(30s);
        const auto took = std::chrono::steady_clock::now() - sent;
        EXPECT_TRUE(f.exited && !f.timedOut);
        if (c.signals.empty()) {
            EXPECT_EQ(f.code, 20);
            EXPECT_EQ(f.out.rfind(c.out, 0), 0u) << f.out;
            // px417 ends the request at its 10 s cap; the text tells the real time, not the limit.
            const double seconds = std::stod(f.out.substr(c.out.size()));
            EXPECT_GE(seconds, 9.0) << f.out;
            EXPECT_TRUE(contains(f.out, " s, when the exchange in progress had ended.\n")) << f.out;
        } else {
            EXPECT_EQ(f.code, 130) << f.out << f.err;
            EXPECT_LT(took, 2s);  // 10 s if it waited for the exchange
            EXPECT_GE(f.err.size(), c.err.size());
            EXPECT_EQ(f.err.substr(f.err.size() - std::min(f.err.size(), c.err.size())), c.err) << f.err;
        }
        EXPECT_FALSE(libraryLeftBehind(kCli, pid));
        EXPECT_TRUE(HostPort(sim.devicePath()).isOpen());
    }
}

// What the program prints must arrive: a full disk is an error, whatever the run's own outcome.
// And seal reads its input as a stream, warns about a second trailer, and reports a failed write.
TEST(CliOutput, FailedWritesAndSeal) {
    UnitSimulator sim;
    sim.start();
    TempDir dir;
    const Bytes file = sealed(randomBody(300));
    writeFile(dir.file("image.bin"), file);
    writeFile(dir.file("body.bin"), randomBody(1000));
    auto toFull = [](std::vector<std::string> args) {
        args.insert(args.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full"});
        return args;
    };
    const std::string writeError = "unit-loader-cli: cannot write the outcome to standard output: No space left";
    struct Case {
        std::string name;
        std::vector<std::string> args;
        int code;
        std::string err;  // part of standard error
    };
    std::vector<Case> cases = {
        {"check", toFull({kCli, "check", dir.file("image.bin")}), 1, writeError},
        {"download", toFull({kCli, "download", dir.file("image.bin"), "--port", sim.devicePath()}), 1, writeError},
        {"version --json", toFull({kCli, "version", "--json", "--port", sim.devicePath()}), 1, writeError},
        {"a failed download too", toFull({kCli, "download", dir.file("none.bin"), "--port", sim.devicePath()}), 1,
         writeError},
        {"seal onto a full disk",
         {kCli, "seal", dir.file("body.bin"), "/dev/full"},
         3,
         "unit-loader-cli: cannot write /dev/full: No space left"},
        {"seal a sealed file",
         {kCli, "seal", dir.file("image.bin"), dir.file("twice.bin")},
         0,
         "unit-loader-cli: warning: " + dir.file("image.bin") + " ends with a valid CRC trailer already (" +
             hex4(Crc16::of(Bytes(file.begin(), file.end() - 2))) + "): it looks sealed, and " + dir.file("twice.bin") +
             " now has a second trailer"},
        {"seal in place", {kCli, "seal", dir.file("body.bin"), dir.file("body.bin")}, 0, ""},
        // A device never ends: refused before a byte is written (this one would fill the disk).
        {"seal a device", {kCli, "seal", "/dev/zero", dir.file("zero.bin")}, 3, "/dev/zero is a device, not a file"},
    };
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // An input far larger than the memory the program may have (the sanitizers need more).
    const std::string big = dir.file("big.bin");
    std::ofstream(big).close();
    std::filesystem::resize_file(big, 200u << 20);
    std::ofstream(big, std::ios::app) << 'x';  // not zeros to the end, which would end in a valid trailer
    cases.push_back({"seal more than memory",
                     {"/bin/sh", "-c", "ulimit -v 65536 && exec \"$0\" \"$@\"", kCli, "seal", big, "/dev/null"},
                     0,
                     ""});
#endif
    const Bytes body = readFile(dir.file("body.bin"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Finished f = run(c.args, 60s);
        ASSERT_TRUE(f.exited && !f.timedOut) << f.code;
        EXPECT_EQ(f.code, c.code) << f.out << f.err;
        EXPECT_TRUE(contains(f.err, c.err)) << f.err;
        if (c.err.empty()) {
            EXPECT_EQ(f.err, "");
        }
    }
    EXPECT_EQ(readFile(dir.file("twice.bin")), sealed(file));
    EXPECT_EQ(readFile(dir.file("body.bin")), sealed(body));
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().extension(), ".bin") << entry.path();  // no temporary file left
}

// The program run with standard error on a terminal of `columns` columns; what it drew there.
struct OnTerminal {
    int code = -1;
    std::string screen;
};

OnTerminal runOnTerminal(const std::vector<std::string>& args, unsigned short columns) {
    OnTerminal result;
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return result;
    const winsize size{24, columns, 0, 0};
    ::ioctl(master, TIOCSWINSZ, &size);
    const std::string slave = ::ptsname(master);
    const int slaveFd = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);  // kept: no EIO before the end
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, slave.c_str(), O_RDWR | O_NOCTTY, 0);
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, copy[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    int status = 0;
    bool reaped = spawned != 0;
    char buffer[4096];
    while (!reaped) {
        pollfd p{master, POLLIN, 0};
        ::poll(&p, 1, 50);
        if (p.revents & POLLIN) {
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n > 0) result.screen.append(buffer, static_cast<std::size_t>(n));
        }
        reaped = ::waitpid(pid, &status, WNOHANG) == pid;
        if (!reaped && std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            reaped = true;
        }
    }
    for (pollfd p{master, POLLIN, 0}; ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);) {
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0) break;
        result.screen.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(slaveFd);
    ::close(master);
    result.code = spawned == 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// The terminal's line endings: each draw replaces the one before after "\r" ESC "[J".
std::vector<std::string> draws(const std::string& screen) {
    std::vector<std::string> out;
    std::string text = screen;
    for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.replace(at, 2, "\n");
    std::size_t start = 0;
    for (std::size_t at; (at = text.find("\r\033[J", start)) != std::string::npos; start = at + 4)
        out.push_back(text.substr(start, at - start));
    out.push_back(text.substr(start));
    return out;
}

TEST(CliProgress, FitsANarrowTerminalAndLogsEndWithTheLastLine) {
    SimConfig paced;
    paced.pacing.enabled = true;  // over a second: several draws with a rate
    UnitSimulator sim(paced);
    sim.start();
    TempDir dir;
    const std::string image = dir.file("image.bin");
    writeFile(image, sealed(randomBody(5000)));
    const std::vector<std::string> download = {kCli, "download", image, "--port", sim.devicePath(), "--baud", "38400"};

    const OnTerminal narrow = runOnTerminal(download, 40);
    EXPECT_EQ(narrow.code, 0) << narrow.screen;
    const auto lines = draws(narrow.screen);
    ASSERT_GE(lines.size(), 3u) << narrow.screen;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string line = lines[i].substr(0, lines[i].find('\n'));
        if (line.empty()) continue;
        EXPECT_LE(line.size(), 39u) << line;
        EXPECT_TRUE(contains(line, "%") && contains(line, "left")) << line;  // percent and time left kept
        if (i > 0) {
            EXPECT_NE(lines[i], lines[i - 1]) << "drawn twice: " << line;
        }
    }
    EXPECT_TRUE(contains(lines.back(), "100%")) << lines.back();

    // A log gets a line at most a second, and the last one, at 100 %, at the end.
    const Finished log = run(download);
    EXPECT_EQ(log.code, 0) << log.err;
    const std::string last = log.err.substr(log.err.rfind('\n', log.err.size() - 2) + 1);
    EXPECT_EQ(last.rfind("21/21 blocks  100%  5002/5002 bytes", 0), 0u) << log.err;

    // A version check leaves no status word behind, in a log or on a terminal.
    const std::vector<std::string> version = {kCli, "version", "--port", sim.devicePath(), "--baud", "38400"};
    const Finished quiet = run(version);
    EXPECT_EQ(quiet.code, 0);
    EXPECT_EQ(quiet.err, "");
    const OnTerminal shown = runOnTerminal(version, 80);
    EXPECT_EQ(shown.code, 0);
    EXPECT_EQ(draws(shown.screen).back(), "") << shown.screen;
}

// A run killed outright (SIGKILL, the out-of-memory killer) cannot remove its copy of the
// library; the next run removes it, and every other copy whose process is gone (a station's
// folder with its image copy too), never a live one.
TEST(CliLibrary, CopiesOfKilledRunsAreRemovedByTheNextRun) {
    ProgramCopy copy;
    SimConfig slow;
    slow.faults.gap.every = 1;
    slow.faults.gapTime = 400ms;
    UnitSimulator slowUnit(slow);
    slowUnit.start();
    Process killed({copy.program, "version", "--port", slowUnit.devicePath()});
    ASSERT_TRUE(slowUnit.waitForFrames(1, 10s));
    const pid_t killedPid = killed.pid();
    killed.signal(SIGKILL);
    killed.finish(10s);
    const std::string left = copy.dir.file("px417." + std::to_string(killedPid) + ".so");
    ASSERT_TRUE(std::filesystem::exists(left));

    // A run that went to a private temporary directory, a station's folder (its library copy
    // and its image copy) of a killed station and of a live one, and a live process's copy.
    const auto privateFolder = [&](const std::string& name, pid_t owner) {
        const auto folder = copy.tmp.path() / name;
        std::filesystem::create_directory(folder);
        ::chmod(folder.c_str(), 0700);
        writeFile((folder / ("px417." + std::to_string(owner) + ".so")).string(), {1});
        if (name.starts_with("unit-loader-station.")) writeFile((folder / "image.bin").string(), {2});
        return folder;
    };
    const auto privateDir = privateFolder("unit-loader-a1B2c3", killedPid);
    const auto killedStation = privateFolder("unit-loader-station.d4E5f6", killedPid);
    const auto liveStation = privateFolder("unit-loader-station.g7H8i9", ::getpid());
    const std::string live = copy.dir.file("px417." + std::to_string(::getpid()) + ".so");
    writeFile(live, {1});

    UnitSimulator unit;
    unit.start();
    Process next({copy.program, "version", "--port", unit.devicePath()}, {"TMPDIR=" + copy.tmp.path().string()});
    const Finished f = next.finish(30s);
    EXPECT_EQ(f.code, 0) << f.err;
    EXPECT_FALSE(std::filesystem::exists(left));
    EXPECT_FALSE(std::filesystem::exists(privateDir));
    EXPECT_FALSE(std::filesystem::exists(killedStation));
    EXPECT_TRUE(std::filesystem::exists(liveStation / "image.bin"));
    EXPECT_TRUE(std::filesystem::exists(live));
}

}  // namespace

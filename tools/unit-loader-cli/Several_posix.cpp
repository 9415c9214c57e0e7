#include "Several.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "Console.h"
#include "ExitCode.h"
#include "OperatorFeedback.h"
#include "Signals.h"
#include "Sinks.h"

extern char** environ;

using namespace std::chrono_literals;

namespace {

// A unit that has not ended this long after its own time-out, or after being told to stop,
// is stuck: first SIGTERM, then SIGKILL.
constexpr auto kGrace = 15s;
constexpr auto kKillGrace = 5s;
constexpr auto kRedraw = 100ms;
constexpr auto kPlainLine = 1000ms;

struct Unit {
    std::string port;
    pid_t pid = -1;
    int fd = -1;
    std::string pending;  // a line not yet complete
    ProgressTracker tracker;
    bool trackerStarted = false;
    std::optional<RunResult> result;
    int waitStatus = 0;
    bool reaped = false;
    bool dirty = false;
    std::optional<SteadyClock::time_point> lastLine;
};

std::string selfPath() {
    std::vector<char> buffer(4096);
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    return n > 0 ? std::string(buffer.data(), static_cast<std::size_t>(n)) : std::string("/proc/self/exe");
}

bool spawnUnit(Unit& unit, const SeveralOptions& options, const std::string& self) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    std::vector<std::string> args{self, options.command == UnitCommand::Download ? "download" : "version"};
    if (options.command == UnitCommand::Download) args.push_back(options.file);
    args.insert(args.end(), {"--port", unit.port, "--baud", options.baud, "--unit-child", options.library});
    if (options.timeoutSeconds) args.insert(args.end(), {"--timeout", std::to_string(*options.timeoutSeconds)});
    args.insert(args.end(), {"--stall-timeout", std::to_string(options.stallTimeoutSeconds)});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);  // ignored here; the child decides for itself
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    // The child takes its option only from the process named here.
    std::vector<std::string> env{std::string(kUnitParentVariable) + "=" + std::to_string(::getpid())};
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind(std::string(kUnitParentVariable) + "=", 0) != 0) env.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const int error = ::posix_spawn(&unit.pid, self.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(fds[1]);
    if (error != 0) {
        ::close(fds[0]);
        unit.pid = -1;
        return false;
    }
    unit.fd = fds[0];
    signals::addChild(unit.pid);
    return true;
}

void takeLine(Unit& unit, const std::string& line, SteadyClock::time_point now) {
    const auto event = nlohmann::json::parse(line, nullptr, false);
    if (!event.is_object()) return;
    const std::string kind = event.value("event", "");
    if (kind == "progress") {
        if (!unit.trackerStarted)
            unit.tracker.start(event.value("blockCount", 0u), event.value("bytes", std::uint64_t{0}), now);
        unit.trackerStarted = true;
        unit.tracker.setBlocks(event.value("blocksDone", 0u), now);
        const std::string status = event.value("status", "");
        if (!status.empty()) unit.tracker.setStatus(status);
        unit.dirty = true;
    } else if (kind == "result" && event.contains("result")) {
        unit.result = resultFromJson(event["result"]);
        unit.dirty = true;
    }
}

void readUnit(Unit& unit) {
    char buffer[4096];
    const ssize_t n = ::read(unit.fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) return;
    if (n <= 0) {
        ::close(unit.fd);
        unit.fd = -1;
        return;
    }
    unit.pending.append(buffer, static_cast<std::size_t>(n));
    const auto now = SteadyClock::now();
    for (std::size_t end; (end = unit.pending.find('\n')) != std::string::npos;) {
        takeLine(unit, unit.pending.substr(0, end), now);
        unit.pending.erase(0, end + 1);
    }
}

// The unit's result, or one made up from how its process ended.
RunResult finalResult(const Unit& unit, const SeveralOptions& options) {
    if (unit.result) return *unit.result;
    RunResult r;
    r.command = options.command;
    r.port = unit.port;
    r.baud = options.baud;
    if (unit.pid < 0) {
        r.exitCode = exitcode::kInternal;
        r.text = "The process for this unit could not be started.";
    } else if (WIFSIGNALED(unit.waitStatus)) {
        const int sig = WTERMSIG(unit.waitStatus);
        r.exitCode = sig == SIGINT || sig == SIGTERM || sig == SIGHUP ? exitcode::kInterrupted : exitcode::kInternal;
        r.text = std::string("The process for this unit was ended by ") + strsignal(sig) + ".";
    } else {
        r.exitCode = WIFEXITED(unit.waitStatus) ? WEXITSTATUS(unit.waitStatus) : exitcode::kInternal;
        if (r.exitCode == 0) r.exitCode = exitcode::kInternal;  // no result is no success
        r.text = "The process for this unit ended without a result.";
    }
    r.outcome = exitcode::name(r.exitCode);
    return r;
}

std::string lineFor(const Unit& unit, std::size_t portWidth, bool download, bool bar, int width) {
    std::string head = unit.port + std::string(portWidth - unit.port.size() + 2, ' ');
    if (unit.result) {
        std::string tail = exitcode::name(unit.result->exitCode);
        if (unit.result->exitCode == exitcode::kSuccess && unit.result->command == UnitCommand::Version)
            tail += ": " + unit.result->version;
        else if (unit.result->caption == stringResource(kStrTitle))  // the title says nothing here
            tail += ": " + unit.result->text.substr(0, unit.result->text.find('\n'));
        else if (!unit.result->caption.empty())
            tail += ": " + unit.result->caption;
        return head + tail;
    }
    if (unit.fd < 0) return head + "ended";
    if (!unit.trackerStarted) return head + "starting";
    return head + unitLine(unit.tracker.view(SteadyClock::now()), download, bar, width - static_cast<int>(head.size()));
}

}  // namespace

std::string summaryTable(const std::vector<RunResult>& results) {
    std::size_t portWidth = 4;
    for (const auto& r : results) portWidth = std::max(portWidth, r.port.size());
    auto pad = [](std::string text, std::size_t width) {
        if (text.size() < width) text += std::string(width - text.size(), ' ');
        return text;
    };
    const bool download = !results.empty() && results.front().command == UnitCommand::Download;
    std::string text = pad("PORT", portWidth) + "  EXIT  " + pad("RESULT", 20) +
                       (download ? "UNIT-CRC  FILE-CRC  BLOCKS     " : "VERSION               ") + "SECONDS\n";
    for (const auto& r : results) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f", r.seconds);
        text += pad(r.port, portWidth) + "  " + pad(std::to_string(r.exitCode), 4) + "  " +
                pad(exitcode::name(r.exitCode), 20);
        if (download)
            text += pad(r.unitCrc.value_or("-"), 8) + "  " + pad(r.fileCrc.value_or("-"), 8) + "  " +
                    pad(std::to_string(r.blocksDone) + "/" + std::to_string(r.blocks), 9) + "  ";
        else
            text += pad(r.version.empty() ? "-" : r.version, 20) + "  ";
        text += seconds;
        text += "\n";
    }
    for (const auto& r : results) {
        const std::string shown = outcomeText(r);
        if (shown.empty() || (r.command == UnitCommand::Version && r.exitCode == exitcode::kSuccess)) continue;
        text += "\n" + r.port + ":\n" + shown;
    }
    return text;
}

int parentProcess() { return static_cast<int>(::getppid()); }

bool watchParent() {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    return ::getppid() != 1;
}

int runSeveral(const SeveralOptions& options) {
    const std::string self = selfPath();
    const bool download = options.command == UnitCommand::Download;
    std::vector<Unit> units(options.ports.size());
    std::size_t portWidth = 4;
    for (std::size_t i = 0; i < units.size(); ++i) {
        units[i].port = options.ports[i];
        portWidth = std::max(portWidth, units[i].port.size());
        if (!spawnUnit(units[i], options, self))
            Console::instance().line("unit-loader-cli: cannot start a process for " + units[i].port + ": " +
                                     std::strerror(errno));
    }

    Console& console = Console::instance();
    const bool bar = console.isTerminal() && !options.quiet;
    const bool plain = !console.isTerminal() && !options.quiet;
    const auto started = SteadyClock::now();
    std::optional<SteadyClock::time_point> termAt;
    if (options.timeoutSeconds)
        termAt = started +
                 std::chrono::ceil<std::chrono::milliseconds>(std::chrono::duration<double>(*options.timeoutSeconds)) +
                 kGrace;
    std::optional<SteadyClock::time_point> killAt;
    bool forwarded = false;
    SteadyClock::time_point lastDraw{};

    auto live = [&] { return std::any_of(units.begin(), units.end(), [](const Unit& u) { return u.fd >= 0; }); };
    auto signalAll = [&](int sig) {
        for (auto& u : units)
            if (u.pid > 0 && !u.reaped) ::kill(u.pid, sig);
    };
    // The stop passed on carries the signal this process got, for the units' texts.
    auto passOnStop = [&] {
        sigval value{};
        value.sival_int = signals::caught();
        for (auto& u : units)
            if (u.pid > 0 && !u.reaped) ::sigqueue(u.pid, SIGTERM, value);
    };

    while (live()) {
        auto now = SteadyClock::now();
        if (signals::caught() && !forwarded) {
            // Ctrl-C reaches the children from the terminal; SIGTERM to this process must be passed on.
            passOnStop();
            forwarded = true;
            signals::drain();
            killAt = now + kGrace;
        }
        if (termAt && now >= *termAt) {
            signalAll(SIGTERM);
            termAt.reset();
            killAt = now + kKillGrace;
        }
        if (killAt && now >= *killAt) {
            signalAll(SIGKILL);
            killAt.reset();
        }

        if (bar && now - lastDraw >= kRedraw) {
            std::vector<std::string> lines;
            for (const auto& u : units) lines.push_back(lineFor(u, portWidth, download, true, console.width() - 1));
            console.drawBlock(lines);
            lastDraw = now;
        }
        if (plain) {
            for (auto& u : units) {
                if (!u.dirty || u.result || (u.lastLine && now - *u.lastLine < kPlainLine)) continue;
                console.line(lineFor(u, portWidth, download, false, 0));
                u.lastLine = now;
                u.dirty = false;
            }
        }

        std::vector<pollfd> fds{{forwarded ? -1 : signals::fd(), POLLIN, 0}};
        for (const auto& u : units) fds.push_back({u.fd, POLLIN, 0});
        auto wait = bar ? kRedraw : kPlainLine;
        for (const auto& deadline : {termAt, killAt})
            if (deadline)
                wait = std::min(wait, std::max(0ms, std::chrono::ceil<std::chrono::milliseconds>(*deadline - now)));
        const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(wait.count()));
        if (ready <= 0) continue;
        for (std::size_t i = 0; i < units.size(); ++i)
            if (units[i].fd >= 0 && fds[i + 1].revents) readUnit(units[i]);
    }
    // Every pipe is closed: each child has exited or is about to, so these waits are short.
    for (auto& u : units) {
        if (u.pid <= 0 || u.reaped) continue;
        while (::waitpid(u.pid, &u.waitStatus, 0) < 0 && errno == EINTR) {
        }
        u.reaped = true;
    }
    if (bar) {
        std::vector<std::string> lines;
        for (const auto& u : units) lines.push_back(lineFor(u, portWidth, download, true, console.width() - 1));
        console.drawBlock(lines);
        console.releaseBlock();
    }

    std::vector<RunResult> results;
    int worst = exitcode::kSuccess;
    for (const auto& u : units) {
        results.push_back(finalResult(u, options));
        worst = exitcode::worse(worst, results.back().exitCode);
    }
    if (signals::caught()) worst = exitcode::worse(worst, exitcode::kInterrupted);
    if (options.json) {
        nlohmann::json all{{"units", nlohmann::json::array()}, {"exitCode", worst}};
        for (const auto& r : results) all["units"].push_back(toJson(r));
        std::printf("%s\n", all.dump(2).c_str());
    } else {
        std::fputs(summaryTable(results).c_str(), stdout);
    }
    std::fflush(stdout);
    return worst;
}

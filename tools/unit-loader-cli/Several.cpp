#include "Several.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "ChildEvent.h"
#include "ChildProcess.h"
#include "Console.h"
#include "ExitCode.h"
#include "Signals.h"
#include "Sinks.h"

using namespace std::chrono_literals;

namespace {

// A unit that has not ended this long after its own time-out, or after being told to stop,
// is stuck: first terminate, then kill.
constexpr auto kGrace = 15s;
constexpr auto kKillGrace = 5s;
constexpr auto kRedraw = 100ms;
constexpr auto kPlainLine = 1000ms;

struct Unit {
    std::string port;
    ChildProcess process;
    std::string pending;  // a line not yet complete
    ProgressTracker tracker;
    bool trackerStarted = false;
    std::optional<RunResult> result;
    std::string headline;
    std::optional<ChildProcess::Exit> exit;
    bool dirty = false;
    std::optional<SteadyClock::time_point> lastLine;

    bool live() const { return process.started() && !process.outputEnded(); }
};

bool spawnUnit(Unit& unit, const SeveralOptions& options, const std::string& self) {
    std::vector<std::string> args{self, options.command == UnitCommand::Download ? "download" : "version"};
    if (options.command == UnitCommand::Download) args.push_back(options.file);
    args.insert(args.end(), {"--port", unit.port, "--baud", options.baud, "--unit-child", options.library});
    if (options.timeoutSeconds) args.insert(args.end(), {"--timeout", std::to_string(*options.timeoutSeconds)});
    args.insert(args.end(), {"--stall-timeout", std::to_string(options.stallTimeoutSeconds)});
    args.insert(args.end(), options.childArgs.begin(), options.childArgs.end());
    return unit.process.start(args);
}

void takeLine(Unit& unit, const std::string& line, SteadyClock::time_point now) {
    const auto event = ChildEvent::fromLine(line);
    if (!event) return;
    if (event->kind == ChildEvent::Kind::Progress) {
        if (!unit.trackerStarted) unit.tracker.start(event->blockCount, event->bytes, now);
        unit.trackerStarted = true;
        unit.tracker.setBlocks(event->blocksDone, now);
        if (!event->status.empty()) unit.tracker.setStatus(event->status);
    } else {
        unit.result = event->result;
        unit.headline = event->headline;
    }
    unit.dirty = true;
}

void readUnit(Unit& unit) {
    unit.process.read(unit.pending);
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
    if (!unit.process.started() || !unit.exit) {
        r.exitCode = exitcode::kInternal;
        r.text = "The process for this unit could not be started.";
    } else if (const auto sig = unit.exit->signal) {
        r.exitCode = unit.exit->stopSignal ? exitcode::kInterrupted : exitcode::kInternal;
        r.text = "The process for this unit was ended by " + unit.exit->signalName + ".";
    } else {
        r.exitCode = unit.exit->code;
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
        else if (!unit.headline.empty())
            tail += ": " + unit.headline;
        return head + tail;
    }
    if (!unit.live()) return head + "ended";
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

int runSeveral(const SeveralOptions& options) {
    const std::string self = selfPath();
    const bool download = options.command == UnitCommand::Download;
    std::vector<Unit> units(options.ports.size());
    std::vector<ChildProcess*> processes;
    std::size_t portWidth = 4;
    for (std::size_t i = 0; i < units.size(); ++i) {
        units[i].port = options.ports[i];
        portWidth = std::max(portWidth, units[i].port.size());
        if (spawnUnit(units[i], options, self))
            processes.push_back(&units[i].process);
        else
            Console::instance().line("unit-loader-cli: cannot start a process for " + units[i].port + ": " +
                                     startError());
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

    auto live = [&] { return std::any_of(units.begin(), units.end(), [](const Unit& u) { return u.live(); }); };

    while (live()) {
        auto now = SteadyClock::now();
        if (signals::caught() && !forwarded) {
            // Ctrl-C reaches the children from the terminal; a stop request to this process
            // alone must be passed on, carrying what it was for the units' texts.
            for (auto& u : units) u.process.requestStop(signals::caught());
            forwarded = true;
            signals::drain();
            killAt = now + kGrace;
        }
        if (termAt && now >= *termAt) {
            for (auto& u : units) u.process.terminate();
            termAt.reset();
            killAt = now + kKillGrace;
        }
        if (killAt && now >= *killAt) {
            for (auto& u : units) u.process.kill();
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

        auto wait = bar ? kRedraw : kPlainLine;
        for (const auto& deadline : {termAt, killAt})
            if (deadline)
                wait = std::min(wait, std::max(0ms, std::chrono::ceil<std::chrono::milliseconds>(*deadline - now)));
        waitForChildren(processes, wait, !forwarded);
        for (auto& u : units)
            if (u.live()) readUnit(u);
    }
    // Every output has ended: each child has exited or is about to, so these waits are short.
    for (auto& u : units)
        if (u.process.started()) u.exit = u.process.wait();
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

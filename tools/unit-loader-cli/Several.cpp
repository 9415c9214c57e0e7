#include "Several.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

#include "Console.h"
#include "Signals.h"
#include "Sinks.h"
#include "download/ExitCode.h"
#include "units/ChildRun.h"

using namespace std::chrono_literals;

namespace {

constexpr auto kRedraw = 100ms;
constexpr auto kPlainLine = 1000ms;

// A unit's process as the table follows it; units::ChildRun supervises it.
struct Unit {
    std::string port;
    std::unique_ptr<units::ChildRun> run;
    ProgressTracker tracker;
    bool trackerStarted = false;
    std::optional<RunResult> result;
    std::string headline;
    bool dirty = false;
    std::optional<SteadyClock::time_point> lastLine;

    bool live() const { return run->live(); }
};

void takeEvent(Unit& unit, const ChildEvent& event, SteadyClock::time_point now) {
    if (event.kind == ChildEvent::Kind::Progress) {
        if (!unit.trackerStarted) unit.tracker.start(event.blockCount, event.bytes, now);
        unit.trackerStarted = true;
        unit.tracker.setBlocks(event.blocksDone, now);
        if (!event.status.empty()) unit.tracker.setStatus(event.status);
    } else {
        unit.result = event.result;
        unit.headline = event.headline;
    }
    unit.dirty = true;
}

void readUnit(Unit& unit) {
    const auto now = SteadyClock::now();
    unit.run->read([&](const ChildEvent& event) { takeEvent(unit, event, now); });
}

std::string lineFor(const Unit& unit, std::size_t portWidth, bool download, bool bar, int width) {
    std::string head = unit.port + std::string(portWidth - unit.port.size() + 2, ' ');
    if (unit.result) {
        std::string tail = exitcode::name(unit.result->exitCode);
        if (unit.result->exitCode == exitcode::kSuccess && unit.result->kind == RunKind::VersionCheck)
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
    const bool download = !results.empty() && results.front().kind == RunKind::Download;
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
        if (shown.empty() || (r.kind == RunKind::VersionCheck && r.exitCode == exitcode::kSuccess)) continue;
        text += "\n" + r.port + ":\n" + shown;
    }
    return text;
}

int runSeveral(const SeveralOptions& options) {
    const std::string self = units::selfPath();
    const bool download = options.command == RunKind::Download;
    std::vector<Unit> units(options.ports.size());
    std::vector<units::ChildRun*> runs;
    std::size_t portWidth = 4;
    for (std::size_t i = 0; i < units.size(); ++i) {
        Unit& unit = units[i];
        unit.port = options.ports[i];
        portWidth = std::max(portWidth, unit.port.size());
        units::ChildRequest request{self,
                                    options.command,
                                    options.file,
                                    unit.port,
                                    options.baud,
                                    options.library,
                                    options.timeoutSeconds,
                                    options.stallTimeoutSeconds,
                                    options.childArgs,
                                    options.expectSha256};
        unit.run = std::make_unique<units::ChildRun>(std::move(request));
        if (unit.run->start())
            runs.push_back(unit.run.get());
        else
            Console::instance().line("unit-loader-cli: cannot start a process for " + unit.port + ": " +
                                     units::startError());
    }

    Console& console = Console::instance();
    const bool bar = console.isTerminal() && !options.quiet;
    const bool plain = !console.isTerminal() && !options.quiet;
    const auto started = SteadyClock::now();
    // A unit still running this long after its own time-out is stuck.
    if (options.timeoutSeconds)
        for (auto* run : runs)
            run->endBy(
                started +
                std::chrono::ceil<std::chrono::milliseconds>(std::chrono::duration<double>(*options.timeoutSeconds)) +
                units::kStopGrace);
    bool forwarded = false;
    SteadyClock::time_point lastDraw{};

    auto live = [&] { return std::any_of(units.begin(), units.end(), [](const Unit& u) { return u.live(); }); };

    while (live()) {
        auto now = SteadyClock::now();
        if (signals::caught() && !forwarded) {
            // Ctrl-C reaches the children from the terminal; a stop request to this process
            // alone must be passed on, carrying what it was for the units' texts.
            for (auto* run : runs) run->askStop(signals::caught(), now);
            forwarded = true;
            signals::drain();
        }
        for (auto* run : runs) run->step(now);

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
        for (const auto* run : runs)
            if (const auto next = run->nextStep())
                wait = std::min(wait, std::max(0ms, std::chrono::ceil<std::chrono::milliseconds>(*next - now)));
        units::waitForRuns(runs, wait, !forwarded);
        for (auto& u : units)
            if (u.live()) readUnit(u);
    }
    // Every output has ended: each child has exited or is about to, so these waits are short.
    std::vector<RunResult> results;
    for (auto& u : units) results.push_back(u.run->finish().result);
    if (bar) {
        std::vector<std::string> lines;
        for (const auto& u : units) lines.push_back(lineFor(u, portWidth, download, true, console.width() - 1));
        console.drawBlock(lines);
        console.releaseBlock();
    }

    int worst = exitcode::kSuccess;
    for (const auto& r : results) worst = exitcode::worse(worst, r.exitCode);
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

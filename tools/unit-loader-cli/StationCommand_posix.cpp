#include "StationCommand.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>

#include "Console.h"
#include "Records.h"
#include "SafeText.h"
#include "Signals.h"
#include "download/ExitCode.h"
#include "station/StationFront.h"
#include "units/ChildProcess.h"

using namespace std::chrono_literals;

namespace {

constexpr auto kRedraw = 200ms;

std::string kindName(RunKind kind) { return kind == RunKind::Download ? "download" : "version"; }

// What the operator sees: one line per event, JSON lines, or on a terminal a table redrawn in
// place, drawn from the station's front core. The station calls it one event at a time; the
// table is drawn from the main thread too, so the core is reached under this object's lock.
class Display : public station::StationObserver {
public:
    enum class Mode { Lines, Json, Table };
    Display(station::StationFront& front, Mode mode) : front_(front), job_(front.job()), mode_(mode) {}

    void slotState(std::size_t slot, const station::SlotStatus& status) override {
        std::lock_guard lock(mutex_);
        front_.slotState(slot, status);
        const station::SlotState state = status.state;
        const std::string detail = status.detail();
        if (mode_ == Mode::Json) {
            emit({{"event", "slot_state"},
                  {"slot", jsonName(slot)},
                  {"state", station::stateName(state)},
                  {"detail", detail}});
        } else if (mode_ == Mode::Lines) {
            std::string text = station::stateName(state);
            if (state == station::SlotState::Pass || state == station::SlotState::Fail)
                text = state == station::SlotState::Pass ? "PASS" : "FAIL";
            line(name(slot) + ": " + text + (detail.empty() ? "" : ": " + safetext::terminalSafe(detail)));
        }
    }
    void unitStart(std::size_t slot, const std::string& unitId) override {
        std::lock_guard lock(mutex_);
        front_.unitStart(slot, unitId);
    }
    void attemptStart(std::size_t slot, RunKind kind, int attempt) override {
        std::lock_guard lock(mutex_);
        if (mode_ == Mode::Json)
            emit(
                {{"event", "attempt_start"}, {"slot", jsonName(slot)}, {"kind", kindName(kind)}, {"attempt", attempt}});
        else if (mode_ == Mode::Lines)
            line(name(slot) + ": " + kindName(kind) + " begins (attempt " + std::to_string(attempt) + ")");
    }
    void progress(std::size_t slot, std::uint32_t done, std::uint32_t blocks) override {
        std::lock_guard lock(mutex_);
        front_.progress(slot, done, blocks);
    }
    void attemptEnd(std::size_t slot, const station::AttemptEnd& end) override {
        std::lock_guard lock(mutex_);
        front_.attemptEnd(slot, end);
        const auto& o = end.outcome;
        if (mode_ == Mode::Json) {
            nlohmann::json j{{"event", "attempt_end"}, {"slot", jsonName(slot)},     {"kind", kindName(end.kind)},
                             {"attempt", end.attempt}, {"outcome", o.outcomeName()}, {"exit_code", o.exitCode},
                             {"record", o.recordId},   {"text", o.headline}};
            if (end.kind == RunKind::VersionCheck) j["version"] = o.version;
            emit(j);
        } else if (mode_ == Mode::Lines) {
            line(name(slot) + ": " + kindName(end.kind) + " ended: " + o.outcomeName() +
                 (end.kind == RunKind::VersionCheck && !o.version.empty() ? " \"" + safetext::quoted(o.version) + "\""
                                                                          : "") +
                 (o.recordId.empty() ? "" : " (record " + o.recordId + ")"));
        }
    }
    void unitEnd(std::size_t slot, const station::Verdict& verdict) override {
        std::lock_guard lock(mutex_);
        front_.unitEnd(slot, verdict);
        // Once per unit, unlike a slot's state, which shows a verdict again when the unit answers again.
        if (mode_ == Mode::Json)
            emit({{"event", "unit_end"},
                  {"slot", jsonName(slot)},
                  {"verdict", verdict.verdictName()},
                  {"reason", verdict.reasonName()},
                  {"outcome", exitcode::name(verdict.exitCode)},
                  {"why", verdict.pass() ? std::string() : verdict.why()}});
    }
    void alarm(std::size_t slot, const std::string& text) override {
        std::lock_guard lock(mutex_);
        front_.alarm(slot, text);
        if (mode_ == Mode::Json)
            emit({{"event", "alarm"}, {"slot", jsonName(slot)}, {"text", text}});
        else
            line(name(slot) + ": ALARM: " + safetext::terminalSafe(text));
    }
    void stationEnd(const station::Totals& t) override {
        std::lock_guard lock(mutex_);
        front_.stationEnd(t);
        const auto elapsed = std::chrono::duration<double>(SteadyClock::now() - started_).count();
        if (mode_ == Mode::Json) {
            emit({{"event", "station_end"},
                  {"reason", t.reason},
                  {"passes", t.passes},
                  {"fails", t.fails},
                  {"restarts", t.crashes},
                  {"exit_code", t.exitCode},
                  {"seconds", elapsed}});
            return;
        }
        if (mode_ == Mode::Table) drawLocked(true);
        std::string text = "station ended (" + t.reason + "): " + std::to_string(t.passes) + " passed, " +
                           std::to_string(t.fails) + " failed, yield " + station::yieldText(t.passes, t.fails);
        if (t.crashes) text += ", " + std::to_string(t.crashes) + " crashed runs";
        if (mode_ == Mode::Table)
            writeAll(kStandardError, text + "\n");  // under the table, drawn for the last time above
        else
            line(text);
    }

    // The table, in place: the cursor goes back to its first line and every line is rewritten
    // and cleared to its end, so nothing is blanked in between.
    void draw() {
        std::lock_guard lock(mutex_);
        drawLocked(false);
    }

private:
    // A slot's name as written to the terminal or a line: a control character cannot reach the screen.
    std::string name(std::size_t slot) const { return safetext::terminalSafe(job_.slots[slot].name); }
    // JSON escapes for itself, and a reader matches the name as the job has it.
    const std::string& jsonName(std::size_t slot) const { return job_.slots[slot].name; }
    static void emit(const nlohmann::json& j) {
        std::fputs((j.dump() + "\n").c_str(), stdout);
        std::fflush(stdout);
    }
    void line(const std::string& text) {
        if (mode_ == Mode::Table) {
            // Above the table: it is drawn again under the line.
            eraseLocked();
            writeAll(kStandardError, text + "\n");
            drawn_ = 0;
            drawLocked(false);
            return;
        }
        std::fputs((text + "\n").c_str(), stdout);
        std::fflush(stdout);
    }
    void eraseLocked() {
        if (drawn_ == 0) return;
        std::string up = "\r";
        for (int i = 1; i < drawn_; ++i) up += "\033[A";
        writeAll(kStandardError, up + "\033[J");
    }
    // Columns counted as a terminal draws them: a name in another script keeps the table straight.
    static std::string fit(const std::string& text, std::size_t columns) { return safetext::fitColumns(text, columns); }
    void drawLocked(bool last) {
        if (mode_ != Mode::Table) return;
        const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(SteadyClock::now() - started_);
        // One column short of the width: a line that fills the last column wraps on some
        // terminals, and a wrapped line would throw the redraw in place off by a line.
        const std::size_t width = static_cast<std::size_t>(std::max(Console::instance().width() - 1, 1));
        const auto& tiles = front_.tiles();
        std::size_t nameWidth = 4;
        for (std::size_t i = 0; i < tiles.size(); ++i)
            nameWidth = std::max(nameWidth, safetext::displayColumns(name(i)));
        nameWidth = std::min<std::size_t>(nameWidth, 16);
        std::vector<std::string> lines;
        lines.push_back(fit(fit(safetext::terminalSafe(job_.name), 18) + " " + front_.imageHash().substr(0, 8) +
                                " pass " + std::to_string(front_.passes()) + " fail " + std::to_string(front_.fails()) +
                                " yield " + front_.yield() + " quota " +
                                (job_.quota ? std::to_string(job_.quota) : std::string("-")) + " " +
                                station::elapsedText(elapsed),
                            width));
        const std::string columns =
            fit("SLOT", nameWidth) + " STATE     PROGRESS          LAST  VERSION            PASS FAIL ";
        const std::size_t detailWidth = width > columns.size() ? width - columns.size() : 0;
        lines.push_back(columns + fit("DETAIL", std::min<std::size_t>(detailWidth, 6)));
        for (std::size_t i = 0; i < tiles.size(); ++i) {
            const station::StationFront::Tile& r = tiles[i];
            const station::SlotState state = r.status.state;
            std::string bar = "-";
            if (state == station::SlotState::Loading && r.blocks) {
                const std::uint32_t filled = r.done * 10 / r.blocks;
                bar = "[" + std::string(filled, '#') + std::string(10 - filled, '.') + "] " +
                      std::to_string(r.done * 100 / r.blocks) + "%";
            }
            const std::string lastResult = r.last.empty() ? "-" : r.last.front() ? "PASS" : "FAIL";
            const char* colour = state == station::SlotState::Waiting ? "\033[2m" : "";
            const char* lastColour = lastResult == "PASS" ? "\033[32m" : lastResult == "FAIL" ? "\033[31m" : "";
            // Why it failed, who paused it, which retry; a pass's version is in its own column.
            const std::string detail =
                state == station::SlotState::Pass ? std::string() : safetext::terminalSafe(r.status.detail());
            const std::size_t detailColumns = safetext::displayColumns(detail);
            const bool inRow = detailColumns <= detailWidth;
            lines.push_back(std::string(colour) + fit(name(i), nameWidth) + " " + fit(station::stateName(state), 9) +
                            " " + fit(bar, 17) + " " + lastColour + fit(lastResult, 4) + "\033[0m" + colour + "  " +
                            fit(r.lastVersion.empty() ? "-" : safetext::terminalSafe(r.lastVersion), 18) + " " +
                            fit(std::to_string(r.passes), 4) + " " + fit(std::to_string(r.fails), 4) + " " +
                            (inRow ? detail : std::string()) + "\033[0m");
            // A reason too long for what is left of the line gets a line of its own, under the state.
            if (!inRow)
                lines.push_back(std::string(nameWidth + 1, ' ') +
                                fit(detail, width > nameWidth + 1 ? width - nameWidth - 1 : 0));
        }
        std::string text = "\r";
        for (int i = 1; i < drawn_; ++i) text += "\033[A";
        for (std::size_t i = 0; i < lines.size(); ++i) text += lines[i] + "\033[K" + (i + 1 < lines.size() ? "\n" : "");
        // A table shorter than the last one (a reason line gone) leaves nothing of it below.
        text += "\033[J";
        if (last) text += "\n";
        writeAll(kStandardError, text);
        drawn_ = last ? 0 : static_cast<int>(lines.size());
    }

    station::StationFront& front_;
    const station::Job& job_;
    const Mode mode_;
    std::mutex mutex_;
    int drawn_ = 0;
    const SteadyClock::time_point started_ = SteadyClock::now();
};

}  // namespace

int stationCommand(const StationArgs& args) {
    if (!signals::install()) {
        std::fprintf(stderr, "unit-loader-cli: cannot set up signal handling\n");
        return exitcode::kInternal;
    }
    station::StationFront front;
    const auto refused = [](const station::StationFront::Problem& p) {
        std::fprintf(stderr, "unit-loader-cli: %s\n", p.text.c_str());
        return p.exitCode;
    };
    if (const auto refusal = recordingRefusal(args.records)) {
        std::fprintf(stderr, "unit-loader-cli: %s\n", refusal->text.c_str());
        return refusal->exitCode;
    }
    if (auto problem = front.openJob(args.job)) return refused(*problem);
    const station::Job& job = front.job();
    if (job.scanUnitId) {
        std::fprintf(stderr,
                     "unit-loader-cli: the job asks for each unit's id to be scanned (unit_id = \"scan\"); run it "
                     "in the window: unit-loader --station %s\n",
                     args.job.c_str());
        return exitcode::kUsage;
    }
    std::string records;
    if (args.records.enabled) {
        records = recordsPathOf(args.records);
        if (auto problem = front.checkRecords(records)) return refused(*problem);
    }
    // Each unit runs in a copy of this program.
    const std::string operatorName = args.records.operatorName.empty() ? job.operatorName : args.records.operatorName;
    if (auto problem = front.prepare(units::selfPath(), records, operatorName)) return refused(*problem);
    signals::removeWhenEndedAtOnce(front.libraryPath());
    for (const std::string& text : front.startForwarding()) std::fprintf(stderr, "unit-loader-cli: %s\n", text.c_str());

    const Display::Mode mode = args.json                                                     ? Display::Mode::Json
                               : Console::instance().isTerminal() && ::isatty(STDOUT_FILENO) ? Display::Mode::Table
                                                                                             : Display::Mode::Lines;
    Display display(front, mode);
    front.start(display, station::Ending::WhenAllAlarmed);
    bool stopped = false;
    while (!front.waitEnded(mode == Display::Mode::Table ? kRedraw : 1000ms)) {
        if (signals::caught() && !stopped) {
            front.stop();
            stopped = true;
        }
        display.draw();
    }
    if (signals::caught() && !stopped) front.stop();
    const station::Totals totals = front.finish();
    for (const std::string& text : front.forwardNotes()) std::fprintf(stderr, "unit-loader-cli: %s\n", text.c_str());
    signals::sessionClosed();
    return signals::caught() ? exitcode::kInterrupted : totals.exitCode;
}

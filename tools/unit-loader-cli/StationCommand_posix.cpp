#include "StationCommand.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>

#include "Console.h"
#include "ExitCode.h"
#include "JobFile.h"
#include "RecordStore.h"
#include "Signals.h"
#include "Station.h"
#include "StationRuns.h"
#include "units/ChildProcess.h"

using namespace std::chrono_literals;

namespace {

constexpr auto kRedraw = 200ms;

std::string kindName(RunKind kind) { return kind == RunKind::Download ? "download" : "version"; }

// What the operator sees: one line per event, JSON lines, or on a terminal a table redrawn in
// place. The station calls it one event at a time; the table is drawn from the main thread.
class Display : public station::StationObserver {
public:
    enum class Mode { Lines, Json, Table };
    Display(const station::Job& job, const std::string& imageHash, Mode mode)
        : job_(job), hash_(imageHash), mode_(mode), rows_(job.slots.size()), started_(SteadyClock::now()) {}

    void slotState(std::size_t slot, const station::SlotStatus& status) override {
        std::lock_guard lock(mutex_);
        const station::SlotState state = status.state;
        const std::string detail = status.detail();
        Row& row = rows_[slot];
        row.state = state;
        if (state == station::SlotState::Pass || state == station::SlotState::Fail) {
            row.last = state == station::SlotState::Pass ? "PASS" : "FAIL";
        }
        if (state == station::SlotState::Loading) row.done = row.blocks = 0;
        if (mode_ == Mode::Json) {
            emit({{"event", "slot_state"},
                  {"slot", name(slot)},
                  {"state", station::stateName(state)},
                  {"detail", detail}});
        } else if (mode_ == Mode::Lines) {
            std::string text = station::stateName(state);
            if (state == station::SlotState::Pass || state == station::SlotState::Fail) text = row.last;
            line(name(slot) + ": " + text + (detail.empty() ? "" : ": " + detail));
        }
    }
    void attemptStart(std::size_t slot, RunKind kind, int attempt) override {
        std::lock_guard lock(mutex_);
        if (mode_ == Mode::Json)
            emit({{"event", "attempt_start"}, {"slot", name(slot)}, {"kind", kindName(kind)}, {"attempt", attempt}});
        else if (mode_ == Mode::Lines)
            line(name(slot) + ": " + kindName(kind) + " begins (attempt " + std::to_string(attempt) + ")");
    }
    void progress(std::size_t slot, std::uint32_t done, std::uint32_t blocks) override {
        std::lock_guard lock(mutex_);
        rows_[slot].done = done;
        rows_[slot].blocks = blocks;
    }
    void attemptEnd(std::size_t slot, const station::AttemptEnd& end) override {
        std::lock_guard lock(mutex_);
        const auto& o = end.outcome;
        if (!o.version.empty()) rows_[slot].version = o.version;
        if (mode_ == Mode::Json) {
            nlohmann::json j{{"event", "attempt_end"}, {"slot", name(slot)},   {"kind", kindName(end.kind)},
                             {"attempt", end.attempt}, {"outcome", o.outcomeName()}, {"exit_code", o.exitCode},
                             {"record", o.recordId},   {"text", o.headline}};
            if (end.kind == RunKind::VersionCheck) j["version"] = o.version;
            emit(j);
        } else if (mode_ == Mode::Lines) {
            line(name(slot) + ": " + kindName(end.kind) + " ended: " + o.outcomeName() +
                 (end.kind == RunKind::VersionCheck && !o.version.empty() ? " \"" + o.version + "\"" : "") +
                 (o.recordId.empty() ? "" : " (record " + o.recordId + ")"));
        }
    }
    void unitEnd(std::size_t slot, const station::Verdict& verdict) override {
        if (verdict.kind == station::Verdict::Kind::Interrupted) return;
        const bool pass = verdict.pass();
        std::lock_guard lock(mutex_);
        ++(pass ? rows_[slot].passes : rows_[slot].fails);
        ++(pass ? passes_ : fails_);
    }
    void alarm(std::size_t slot, const std::string& text) override {
        std::lock_guard lock(mutex_);
        rows_[slot].alarm = text;
        if (mode_ == Mode::Json)
            emit({{"event", "alarm"}, {"slot", name(slot)}, {"text", text}});
        else
            line(name(slot) + ": ALARM: " + text);
    }
    void stationEnd(const station::Totals& t) override {
        std::lock_guard lock(mutex_);
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
    struct Row {
        station::SlotState state = station::SlotState::Waiting;
        std::uint32_t done = 0, blocks = 0;
        std::string last = "-", version = "-", alarm;
        int passes = 0, fails = 0;
    };

    std::string name(std::size_t slot) const { return job_.slots[slot].name; }
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
    static std::string fit(std::string text, std::size_t width) {
        if (text.size() > width) text.resize(width);
        return text + std::string(width - text.size(), ' ');
    }
    void drawLocked(bool last) {
        if (mode_ != Mode::Table) return;
        const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(SteadyClock::now() - started_);
        std::vector<std::string> lines;
        lines.push_back(fit(job_.name, 18) + " " + hash_.substr(0, 8) + " pass " + std::to_string(passes_) + " fail " +
                        std::to_string(fails_) + " yield " + station::yieldText(passes_, fails_) + " quota " +
                        (job_.quota ? std::to_string(job_.quota) : std::string("-")) + " " +
                        station::elapsedText(elapsed));
        lines.push_back("SLOT    STATE     PROGRESS          LAST  VERSION            PASS FAIL");
        for (std::size_t i = 0; i < rows_.size(); ++i) {
            const Row& r = rows_[i];
            std::string bar = "-";
            if (r.state == station::SlotState::Loading && r.blocks) {
                const std::uint32_t filled = r.done * 10 / r.blocks;
                bar = "[" + std::string(filled, '#') + std::string(10 - filled, '.') + "] " +
                      std::to_string(r.done * 100 / r.blocks) + "%";
            }
            const char* colour = r.state == station::SlotState::Waiting ? "\033[2m" : "";
            const char* lastColour = r.last == "PASS" ? "\033[32m" : r.last == "FAIL" ? "\033[31m" : "";
            lines.push_back(std::string(colour) + fit(name(i), 7) + " " + fit(station::stateName(r.state), 9) + " " +
                            fit(bar, 17) + " " + lastColour + fit(r.last, 4) + "\033[0m" + colour + "  " +
                            fit(r.version, 18) + " " + fit(std::to_string(r.passes), 4) + " " +
                            fit(std::to_string(r.fails), 4) + "\033[0m");
        }
        std::string text = "\r";
        for (int i = 1; i < drawn_; ++i) text += "\033[A";
        for (std::size_t i = 0; i < lines.size(); ++i) text += lines[i] + "\033[K" + (i + 1 < lines.size() ? "\n" : "");
        if (last) text += "\n";
        writeAll(kStandardError, text);
        drawn_ = last ? 0 : static_cast<int>(lines.size());
    }

    const station::Job& job_;
    const std::string hash_;
    const Mode mode_;
    std::mutex mutex_;
    std::vector<Row> rows_;
    int passes_ = 0, fails_ = 0;
    int drawn_ = 0;
    const SteadyClock::time_point started_;
};

}  // namespace

int stationCommand(const StationArgs& args) {
    if (!signals::install()) {
        std::fprintf(stderr, "unit-loader-cli: cannot set up signal handling\n");
        return exitcode::kInternal;
    }
    const station::JobResult read = station::readJobFile(args.job);
    if (!read.job) {
        std::fprintf(stderr, "unit-loader-cli: %s\n", read.error.c_str());
        return exitcode::kUsage;
    }
    const station::Job& job = *read.job;
    std::string error;
    const auto image = station::loadImage(job, error);
    if (!image) {
        std::fprintf(stderr, "unit-loader-cli: %s\n", error.c_str());
        return exitcode::kFile;
    }

    StationRuns::Setup setup{
        units::selfPath(), {}, args.records.operatorName.empty() ? job.operatorName : args.records.operatorName};
    if (job.scanUnitId) {
        std::fprintf(stderr,
                     "unit-loader-cli: the job asks for each unit's id to be scanned (unit_id = \"scan\"); run it "
                     "in the window: unit-loader --station %s\n",
                     args.job.c_str());
        return exitcode::kUsage;
    }
    if (args.records.enabled) {
        setup.records = recordsPathOf(args.records);
        if (setup.records.empty()) {
            std::fprintf(stderr,
                         "unit-loader-cli: this user has no home directory for the records file; --records PATH "
                         "names one, --no-record runs without\n");
            return exitcode::kRecord;
        }
        // Refused before any unit is touched, not on the first unit of every slot.
        try {
            openRecordStore(setup.records);
        } catch (const RecordError& e) {
            std::fprintf(stderr, "unit-loader-cli: %s\n", e.what());
            return exitcode::kRecord;
        }
    }
    StationRuns runs;
    if (!runs.prepare(job, image->bytes, std::move(setup), error)) {
        std::fprintf(stderr, "unit-loader-cli: %s\n", error.c_str());
        return exitcode::kInternal;
    }
    signals::removeWhenEndedAtOnce(runs.libraryPath());

    const Display::Mode mode = args.json                                                     ? Display::Mode::Json
                               : Console::instance().isTerminal() && ::isatty(STDOUT_FILENO) ? Display::Mode::Table
                                                                                             : Display::Mode::Lines;
    Display display(job, image->sha256, mode);
    station::Station station(
        job, [&](std::size_t slot) { return runs.link(slot); }, display);
    station.start();
    bool stopped = false;
    while (!station.waitEnded(mode == Display::Mode::Table ? kRedraw : 1000ms)) {
        if (signals::caught() && !stopped) {
            station.stop();
            stopped = true;
        }
        display.draw();
    }
    if (signals::caught() && !stopped) station.stop();
    const station::Totals totals = station.finish();
    runs.remove();
    signals::sessionClosed();
    return signals::caught() ? exitcode::kInterrupted : totals.exitCode;
}

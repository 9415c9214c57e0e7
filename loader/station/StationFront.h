#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "station/JobFile.h"
#include "station/Station.h"

class StationRuns;
class Forwarder;

// The station's front without its toolkit, as MainDialog is the loader's window without its
// widgets: opening a job, finding the runner, the engine and its slots' runs, and the state
// both fronts show (the tallies, the yield, the pause and alarm state of each slot). The window
// (QtStationWindow) and the command line (unit-loader-cli station) only draw it.
//
// Not thread-safe: the engine's events reach it through the front (StationObserver), which
// calls it from one thread at a time (the window from its own thread, the command line under
// its lock), and so do the operator's commands.
namespace station {

// The last results a tile keeps.
inline constexpr std::size_t kLastResults = 8;

class StationFront : public StationObserver {
public:
    // Why the station could not start: the exit code as the table names it, and a text.
    struct Problem {
        int exitCode = 0;
        std::string text;
    };

    struct Tile {
        std::string name;
        SlotStatus status;
        std::uint32_t done = 0, blocks = 0;  // while loading
        std::string unitId;                  // the unit in the slot, as scanned
        std::string version;                 // the version of the unit in the slot, once read
        std::string lastVersion;             // the last version read in the slot
        std::deque<bool> last;               // the last units' results, newest first
        int passes = 0, fails = 0;
        bool held = false;            // paused by the operator
        bool alarmed = false;         // paused by the stop rule
        bool unacknowledged = false;  // its alarm is still to be acknowledged
        bool paused() const { return held || alarmed; }
        bool busy() const { return status.state == SlotState::Loading || status.state == SlotState::Checking; }
    };
    struct Alarm {
        std::size_t slot = 0;
        std::string text;
    };

    StationFront();
    // Stops the station and waits for its runs (each recorded).
    ~StationFront() override;
    StationFront(const StationFront&) = delete;
    StationFront& operator=(const StationFront&) = delete;

    // Reads the job and its image (read once, checked by its hash), and looks at every port.
    std::optional<Problem> openJob(const std::string& path);
    // Refused before any unit is touched, not on the first unit of every slot.
    std::optional<Problem> checkRecords(const std::string& records);
    // Writes the image and the protocol library where the runs read them, for runs of `runner`
    // (empty: found, units::findRunner) recording into `records` (empty: no record).
    std::optional<Problem> prepare(std::string runner, std::string records, std::string operatorName);
    // Forwards the records file's queue to a records server on a thread of its own, one for the
    // whole station (the runs only record): the job's records_server, else the settings'
    // RecordsServer. After prepare, before start; nothing without records. What the operator
    // should know (a server not used and why, one that is not verified), a line each.
    std::vector<std::string> startForwarding();
    // Starts every slot; the engine's events go to `observer` (the front), which hands them on
    // to this object on its own thread.
    void start(StationObserver& observer, Ending ending);

    const Job& job() const { return *job_; }
    const std::string& imageHash() const { return hash_; }
    // The protocol library's copy the runs load (for a process that must remove it when ended at once).
    const std::string& libraryPath() const;
    bool started() const { return station_ != nullptr; }

    // The engine's events, from the front.
    void slotState(std::size_t slot, const SlotStatus& status) override;
    void unitStart(std::size_t slot, const std::string& unitId) override;
    void attemptStart(std::size_t slot, RunKind kind, int attempt) override;
    void progress(std::size_t slot, std::uint32_t done, std::uint32_t blocks) override;
    void attemptEnd(std::size_t slot, const AttemptEnd& end) override;
    void unitEnd(std::size_t slot, const Verdict& verdict) override;
    void alarm(std::size_t slot, const std::string& text) override;
    void stationEnd(const Totals& totals) override;

    // What is shown.
    const std::vector<Tile>& tiles() const { return tiles_; }
    const std::vector<Alarm>& alarms() const { return alarms_; }
    int passes() const { return passes_; }
    int fails() const { return fails_; }
    std::string yield() const { return yieldText(passes_, fails_); }
    std::string quota() const;  // "3/10", "-"
    std::chrono::seconds elapsed() const;
    // The yield after each unit: minutes since the start, and percent.
    const std::vector<std::pair<double, double>>& yieldPoints() const { return yieldPoints_; }
    bool stationPaused() const { return stationPaused_; }
    bool stopping() const { return stopping_; }
    bool ended() const { return totals_.has_value(); }
    const std::optional<Totals>& totals() const { return totals_; }
    int busyCount() const;

    // The operator's commands, and whether they can be given now. An alarm is looked at
    // (acknowledged) before its slot or the station runs again.
    bool canTogglePause(std::size_t slot) const;
    void togglePause(std::size_t slot);
    bool canToggleStation() const;
    void toggleStation();
    void acknowledge();
    // Why the scanned id was refused (a unit in another slot, or one that has passed already).
    std::optional<std::string> setUnitId(std::size_t slot, const std::string& unitId);
    // No new download begins; the running ones end cleanly and are recorded as interrupted.
    void stop();
    // Until every slot has returned or `timeout` passes; then the totals are taken once.
    bool waitEnded(std::chrono::milliseconds timeout);
    // Joins the slots, then gives the forwarder a bounded time to send what they recorded; the
    // totals (reported once to the observer).
    Totals finish();
    // What the operator is told once forwarding has stopped (what stays queued, what the server
    // refused); none when all went.
    const std::vector<std::string>& forwardNotes() const { return forwardNotes_; }

private:
    std::optional<Job> job_;
    std::optional<Image> image_;
    std::string hash_;
    std::unique_ptr<StationRuns> runs_;
    std::string records_;
    std::unique_ptr<Forwarder> forwarder_;
    std::string server_;
    std::vector<std::string> forwardNotes_;
    std::unique_ptr<Station> station_;
    std::vector<Tile> tiles_;
    std::vector<Alarm> alarms_;
    std::vector<std::pair<double, double>> yieldPoints_;
    int passes_ = 0, fails_ = 0;
    bool stationPaused_ = false;
    bool stopping_ = false;
    std::optional<Totals> totals_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

}  // namespace station

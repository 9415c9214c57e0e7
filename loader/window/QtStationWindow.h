#pragma once

#include <QTimer>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "JobFile.h"
#include "Station.h"

class QFrame;
class QLabel;
class QLineEdit;
class QLineSeries;
class QProgressBar;
class QPushButton;
class QValueAxis;
class StationRuns;

// The production station for the operator at the line, read from a metre away: a tile per slot
// (state in large letters and colour, progress, the unit's version, its last results), the
// job and its counters above, a yield chart of this run below, and an alarm banner that stays
// until acknowledged. The engine is the command line's (loader/station); the slots' runs are
// unit-loader-cli processes, which record every attempt.
//
// Object names, for tests and accessibility: "job", "counters", "status", "pauseStation",
// "alarm" with "alarmText" and "acknowledge", "yieldChart"; each tile "slot-NAME" with "state",
// "detail", "progress", "version", "results", "unit", "scan" (a job with unit_id = "scan") and
// "pause".
class QtStationWindow : public QWidget {
public:
    struct Setup {
        std::string jobPath;
        std::string records;  // the records file every run writes to
        std::string program;  // the unit-loader-cli the runs are started from; empty: found
    };

    explicit QtStationWindow(QWidget* parent = nullptr);
    // Stops the station and waits for its runs to end (each recorded).
    ~QtStationWindow() override;

    // Reads the job and its image, checks the records file and starts every slot. False, with
    // `error` for the operator, when the station cannot start; no unit is touched then.
    bool start(const Setup& setup, std::string& error);

    // The unit-loader-cli beside this program, unless UNIT_LOADER_CLI names another.
    static std::string findCommandLineProgram();

    // Asked before closing while units load: true goes on (stop and close).
    std::function<bool(QWidget* parent, int loading)> confirmClose;
    bool ended() const { return ended_; }
    // Stops the station without asking and closes once every run has ended and been recorded.
    void stopAndClose();

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    class Relay;
    struct Tile {
        std::string name;
        QFrame* frame = nullptr;
        QLabel* state = nullptr;
        QLabel* detail = nullptr;
        QProgressBar* bar = nullptr;
        QLabel* version = nullptr;
        QLabel* results = nullptr;
        QLabel* unit = nullptr;
        QLineEdit* scan = nullptr;
        QPushButton* pause = nullptr;
        station::SlotState shown = station::SlotState::Waiting;
        bool held = false;     // paused by the operator
        bool alarmed = false;  // paused by the stop rule
        bool unacknowledged = false;
        std::deque<bool> last;  // the last units' results, newest first
        int passes = 0, fails = 0;
    };

    // Any thread: `f` runs on the window's thread.
    void post(std::function<void()> f);
    void build();
    QFrame* makeTile(Tile& tile, int stateFontPixels);
    void onState(std::size_t slot, const station::SlotStatus& status);
    void onProgress(std::size_t slot, std::uint32_t done, std::uint32_t blocks);
    void onUnitStart(std::size_t slot, const std::string& unitId);
    void onAttemptEnd(std::size_t slot, const station::AttemptEnd& end);
    void onUnitEnd(std::size_t slot, const station::Verdict& verdict);
    void onAlarm(std::size_t slot, const std::string& text);
    void checkEnded();
    void togglePause(std::size_t slot);
    void toggleStation();
    void acknowledge();
    void refreshButtons();
    void refreshCounters();
    int loadingCount() const;

    std::atomic<unsigned> posted_{0};
    std::optional<station::Job> job_;
    std::string hash_;
    std::unique_ptr<StationRuns> runs_;
    std::unique_ptr<Relay> relay_;
    std::unique_ptr<station::Station> station_;
    std::vector<Tile> tiles_;
    std::vector<std::string> alarms_;
    int passes_ = 0, fails_ = 0;
    bool stationPaused_ = false;
    bool closing_ = false;
    bool ended_ = false;
    std::string endReason_;
    std::chrono::steady_clock::time_point started_;
    QTimer clock_;
    QTimer ending_;

    QLabel* counters_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* pauseStation_ = nullptr;
    QFrame* alarm_ = nullptr;
    QLabel* alarmText_ = nullptr;
    QLineSeries* yield_ = nullptr;
    QValueAxis* minutes_ = nullptr;
};

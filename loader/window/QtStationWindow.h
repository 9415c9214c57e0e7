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

#include "station/StationFront.h"

class QFrame;
class QLabel;
class QLineEdit;
class QLineSeries;
class QProgressBar;
class QPushButton;
class QValueAxis;

// The production station for the operator at the line, read from a metre away: a tile per slot
// (state in large letters and colour, progress, the unit's version, its last results), the
// job and its counters above, a yield chart of this run below, and an alarm banner that stays
// until acknowledged. It draws the station's front core (station::StationFront), which the
// command line draws too; the slots' runs are unit-loader-cli processes, which record every attempt.
//
// Object names, for tests and accessibility: "job", "counters", "status", "server" (about the
// records server), "pauseStation", "alarm" with "alarmText" and "acknowledge", "yieldChart";
// each tile "slot-NAME" with "state", "detail", "progress", "version", "results", "unit",
// "scan" (a job with unit_id = "scan") and "pause".
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

    // Asked before closing while units load: true goes on (stop and close).
    std::function<bool(QWidget* parent, int loading)> confirmClose;
    bool ended() const { return front_.ended(); }
    // Stops the station without asking and closes once every run has ended and been recorded.
    void stopAndClose();

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    class Relay;
    // A tile's widgets; what they show is the core's.
    struct Tile {
        QFrame* frame = nullptr;
        QLabel* state = nullptr;
        QLabel* detail = nullptr;
        QProgressBar* bar = nullptr;
        QLabel* version = nullptr;
        QLabel* results = nullptr;
        QLabel* unit = nullptr;
        QLineEdit* scan = nullptr;
        QPushButton* pause = nullptr;
    };

    // Any thread: `f` runs on the window's thread.
    void post(std::function<void()> f);
    void build();
    // A tile sized for a window of `count` tiles.
    QFrame* makeTile(Tile& tile, const std::string& name, int count);
    void drawState(std::size_t slot);
    void onState(std::size_t slot, const station::SlotStatus& status);
    void onProgress(std::size_t slot, std::uint32_t done, std::uint32_t blocks);
    void onUnitStart(std::size_t slot, const std::string& unitId);
    void onAttemptEnd(std::size_t slot, const station::AttemptEnd& end);
    void onUnitEnd(std::size_t slot, const station::Verdict& verdict);
    void onAlarm(std::size_t slot, const std::string& text);
    // The chart's time axis for a run of `minutes`; false when its unit changed and every point,
    // the last one too, has been drawn again.
    bool scaleTime(double minutes);
    void checkEnded();
    void showServerNotes(const std::vector<std::string>& notes);
    void togglePause(std::size_t slot);
    void toggleStation();
    void acknowledge();
    void refreshButtons();
    void refreshCounters();

    std::atomic<unsigned> posted_{0};
    station::StationFront front_;
    std::unique_ptr<Relay> relay_;
    std::vector<Tile> tiles_;
    QTimer clock_;
    QTimer ending_;

    QLabel* counters_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* server_ = nullptr;  // about the records server
    QPushButton* pauseStation_ = nullptr;
    QFrame* alarm_ = nullptr;
    QLabel* alarmText_ = nullptr;
    QLineSeries* yield_ = nullptr;
    QValueAxis* minutes_ = nullptr;  // seconds for a short run
    bool seconds_ = true;
};

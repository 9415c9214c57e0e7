#include "station/StationFront.h"

#include <unistd.h>

#include "download/ExitCode.h"
#include "record/RecordServer.h"
#include "record/RecordStore.h"
#include "settings/SettingsFile.h"
#include "station/PortCheck.h"
#include "station/StationRuns.h"
#include "units/ChildRun.h"

namespace station {

StationFront::StationFront() = default;

StationFront::~StationFront() {
    if (station_) {
        station_->stop();
        station_->finish();
    }
    if (runs_) runs_->remove();
    if (forwarder_) forwarder_->stop(std::chrono::milliseconds(0));
}

std::optional<StationFront::Problem> StationFront::openJob(const std::string& path) {
    const JobResult read = readJobFile(path);
    if (!read.job) return Problem{exitcode::kUsage, read.error};
    job_ = *read.job;
    std::string error;
    image_ = loadImage(*job_, error);
    if (!image_) return Problem{exitcode::kFile, error};
    hash_ = image_->sha256;
    if (const auto ports = checkPorts(*job_, path))
        return Problem{ports->kind == PortProblem::Kind::SameDevice ? exitcode::kUsage : exitcode::kConnection,
                       ports->text};
    tiles_.clear();
    for (const Slot& slot : job_->slots) {
        Tile tile;
        tile.name = slot.name;
        tile.status.scan = job_->scanUnitId;
        tiles_.push_back(tile);
    }
    return std::nullopt;
}

std::optional<StationFront::Problem> StationFront::checkRecords(const std::string& records) {
    try {
        openRecordStore(records);
    } catch (const RecordError& e) {
        return Problem{exitcode::kRecord, e.what()};
    }
    return std::nullopt;
}

std::optional<StationFront::Problem> StationFront::prepare(std::string runner, std::string records,
                                                           std::string operatorName) {
    if (runner.empty()) runner = units::findRunner();
    if (::access(runner.c_str(), X_OK) != 0)
        return Problem{exitcode::kInternal,
                       "the station runs each unit through unit-loader-cli, and there is none at " + runner};
    records_ = records;
    runs_ = std::make_unique<StationRuns>();
    std::string error;
    if (!runs_->prepare(*job_, image_->bytes, {std::move(runner), std::move(records), std::move(operatorName)}, error))
        return Problem{exitcode::kInternal, error};
    image_.reset();  // the runs hold their private copy
    return std::nullopt;
}

std::vector<std::string> StationFront::startForwarding() {
    if (records_.empty() || forwarder_) return {};
    SettingsFile settings;
    const std::string fromSettings = settings.readFile() ? settings.get(kRecordsServerSettingsKey) : std::string();
    const ForwardPlan plan = forwardPlan(
        records_, {{job_->recordsServer, "the job's records_server"},
                   {fromSettings, std::string("the ") + kRecordsServerSettingsKey + " line of " + settings.path()}});
    if (!plan.forward) return plan.note.empty() ? std::vector<std::string>{} : std::vector<std::string>{plan.note};
    std::vector<std::string> notes;
    if (const std::string warning = unverifiedServerWarning(plan.url); !warning.empty())
        notes.push_back("warning: " + warning);
    Forwarder::Options options;
    options.recordsPath = records_;
    options.url = plan.url;
    server_ = plan.url;
    forwarder_ = std::make_unique<Forwarder>(std::move(options));
    forwarder_->start();
    return notes;
}

const std::string& StationFront::libraryPath() const { return runs_->libraryPath(); }

void StationFront::start(StationObserver& observer, Ending ending) {
    station_ = std::make_unique<Station>(
        *job_, [this](std::size_t slot) { return runs_->link(slot); }, observer, Timing{}, ending);
    started_ = std::chrono::steady_clock::now();
    station_->start();
}

void StationFront::slotState(std::size_t slot, const SlotStatus& status) {
    Tile& tile = tiles_.at(slot);
    tile.status = status;
    if (status.state == SlotState::Loading) {
        tile.done = tile.blocks = 0;
        tile.version.clear();
    }
    if (status.state == SlotState::Paused) tile.alarmed = status.pause == PauseCause::Alarm;
    // The engine pauses the whole station itself when a record cannot be kept.
    if (status.state == SlotState::Paused && status.pause == PauseCause::Station) stationPaused_ = true;
}

void StationFront::unitStart(std::size_t slot, const std::string& unitId) { tiles_.at(slot).unitId = unitId; }

void StationFront::attemptStart(std::size_t, RunKind, int) {}

void StationFront::progress(std::size_t slot, std::uint32_t done, std::uint32_t blocks) {
    Tile& tile = tiles_.at(slot);
    tile.done = done;
    tile.blocks = blocks;
}

void StationFront::attemptEnd(std::size_t slot, const AttemptEnd& end) {
    if (forwarder_) forwarder_->poke();  // its record has ended
    Tile& tile = tiles_.at(slot);
    if (end.kind == RunKind::VersionCheck && !end.outcome.version.empty()) tile.version = end.outcome.version;
    if (!end.outcome.version.empty()) tile.lastVersion = end.outcome.version;
}

void StationFront::unitEnd(std::size_t slot, const Verdict& verdict) {
    if (forwarder_) forwarder_->poke();
    if (verdict.kind == Verdict::Kind::Interrupted) return;  // counts neither way
    Tile& tile = tiles_.at(slot);
    const bool pass = verdict.pass();
    ++(pass ? tile.passes : tile.fails);
    ++(pass ? passes_ : fails_);
    tile.last.push_front(pass);
    if (tile.last.size() > kLastResults) tile.last.pop_back();
    const double minutes = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count() / 60.0;
    yieldPoints_.emplace_back(minutes, 100.0 * passes_ / (passes_ + fails_));
}

void StationFront::alarm(std::size_t slot, const std::string& text) {
    tiles_.at(slot).unacknowledged = true;
    alarms_.push_back({slot, text});
}

void StationFront::stationEnd(const Totals& totals) { totals_ = totals; }

std::string StationFront::quota() const {
    return job_ && job_->quota ? std::to_string(passes_) + "/" + std::to_string(job_->quota) : std::string("-");
}

std::chrono::seconds StationFront::elapsed() const {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started_);
}

int StationFront::busyCount() const {
    int n = 0;
    for (const Tile& tile : tiles_) n += tile.busy();
    return n;
}

bool StationFront::canTogglePause(std::size_t slot) const {
    const Tile& tile = tiles_.at(slot);
    return station_ && !ended() && !stopping_ && !(tile.alarmed && tile.unacknowledged);
}

void StationFront::togglePause(std::size_t slot) {
    if (!station_ || slot >= tiles_.size()) return;
    Tile& tile = tiles_[slot];
    if (tile.paused()) {
        station_->resumeSlot(slot);
        tile.held = tile.alarmed = false;
    } else {
        station_->pauseSlot(slot);
        tile.held = true;
    }
}

bool StationFront::canToggleStation() const {
    return station_ && !ended() && !stopping_ && !(stationPaused_ && !alarms_.empty());
}

void StationFront::toggleStation() {
    if (!station_) return;
    if (stationPaused_) {
        station_->resumeAll();
        stationPaused_ = false;
        for (Tile& tile : tiles_) tile.held = tile.alarmed = false;
    } else {
        station_->pauseAll();
        stationPaused_ = true;
    }
}

void StationFront::acknowledge() {
    alarms_.clear();
    for (Tile& tile : tiles_) tile.unacknowledged = false;
}

std::optional<std::string> StationFront::setUnitId(std::size_t slot, const std::string& unitId) {
    if (!station_ || unitId.empty()) return std::nullopt;
    if (auto refused = station_->setUnitId(slot, unitId)) return refused->text;
    return std::nullopt;
}

void StationFront::stop() {
    if (!station_ || stopping_) return;
    stopping_ = true;
    station_->stop();
}

bool StationFront::waitEnded(std::chrono::milliseconds timeout) { return station_ && station_->waitEnded(timeout); }

Totals StationFront::finish() {
    const Totals totals = station_->finish();
    if (runs_) runs_->remove();
    // Every run has ended and recorded: what is still queued gets a bounded moment, a stopped
    // station's interrupted attempts too.
    if (forwarder_) {
        forwarder_->poke();
        forwardNotes_ = forwardEndNotes(forwarder_->stop(Forwarder::kEndGrace), server_);
        forwarder_.reset();
    }
    return totals;
}

}  // namespace station

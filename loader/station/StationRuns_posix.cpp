#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "SafeText.h"
#include "UnitLoaderVersion.h"
#include "download/ExitCode.h"
#include "record/AttemptOf.h"
#include "record/RecordStore.h"
#include "station/Presence.h"
#include "station/StationRuns.h"
#include "units/ChildRun.h"

using namespace std::chrono_literals;

namespace {

// A download that makes no progress for this long ends (the unit's own limits come first).
constexpr double kStallSeconds = 60;
// A run that has said nothing for longer than it would take to end itself over no progress is
// stuck: it is ended as a stop request would end it.
constexpr auto kSilentLimit = 75s;
// A full disk or a file held by another program may clear up in a moment: a unit's verdict
// waits that long for its record, and no longer.
constexpr auto kVerdictRetryFor = 5s;
constexpr auto kVerdictRetryPause = 250ms;

}  // namespace

struct StationRuns::Shared {
    station::Job job;
    std::string image;  // the private copy
    std::string library;
    std::string program;
    std::string records;  // empty: no record
    std::string operatorName;
    std::uint64_t imageSize = 0;
};

namespace {

// A slot's connection: status polls from this process, and each run in a copy of this program
// (the protocol library serves one port per process), recording its own attempt.
class ChildSlotLink : public station::SlotLink {
public:
    ChildSlotLink(const StationRuns::Shared& shared, const station::Slot& slot)
        : shared_(shared), slot_(slot), probe_(slot.port, shared.job.baud, shared.job.presence) {}
    // A link dropped while its unit has no verdict yet: the slot's worker crashed under it, and
    // the station takes the unit in the slot for a new one.
    ~ChildSlotLink() override {
        if (unit_.id.empty()) return;
        station::Verdict crashed;
        crashed.kind = station::Verdict::Kind::RunCrashed;
        crashed.exitCode = exitcode::kInternal;
        crashed.headline = "the slot's worker crashed before the unit's verdict";
        try {
            unitEnd(crashed);
        } catch (...) {
            // Left begun: the next program that records marks it interrupted.
        }
    }

    station::Sign poll() override { return probe_.look(); }
    std::optional<std::string> version() override { return probe_.version(); }
    bool settle() override { return probe_.settle(); }
    void release() override { probe_.release(); }
    bool waitChange(std::chrono::milliseconds limit) override { return probe_.wait(limit); }

    std::optional<std::string> unitBegin(const std::string& unitId) override {
        unit_ = {};
        judgedDownload_.clear();
        judgedVersion_.clear();
        if (shared_.records.empty()) return std::nullopt;
        const station::Job& job = shared_.job;
        Attempt a;
        a.id = newAttemptId();
        a.kind = "unit";
        a.started_at = isoTime(std::chrono::system_clock::now());
        a.station = stationName();
        a.operator_ = operatorName();
        a.unit_id = unitId;
        a.port = slot_.port;
        a.port_id = stablePortId(slot_.port);
        a.baud = job.baud;
        a.file = job.imagePath;
        a.file_size = static_cast<std::int64_t>(shared_.imageSize);
        a.file_sha256 = job.imageSha256;
        a.loader_version = UL_VERSION;
        a.job = job.name;
        a.job_sha256 = job.fileSha256;
        a.expect_version = job.expectVersion;
        a.slot = slot_.name;
        a = withValidText(std::move(a));
        unitStarted_ = std::chrono::steady_clock::now();
        try {
            if (!store()->begin(a)) return "verdict " + a.id + " exists already";
        } catch (const RecordError& e) {
            store_.reset();
            return e.what();
        }
        unit_ = std::move(a);
        return std::nullopt;
    }

    std::optional<std::string> unitEnd(const station::Verdict& verdict) override {
        if (unit_.id.empty()) return std::nullopt;
        Attempt a = std::exchange(unit_, {});
        a.ended_at = isoTime(std::chrono::system_clock::now());
        a.duration_ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - unitStarted_)
                .count();
        a.verdict = verdict.verdictName();
        a.verdict_reason = verdict.reasonName();
        a.outcome = exitcode::name(verdict.exitCode);
        a.exit_code = verdict.exitCode;
        a.unit_version = verdict.version;
        a.box_text = verdict.why();
        a.download_id = judgedDownload_;
        a.version_id = judgedVersion_;
        a = withValidText(std::move(a));
        const auto until = std::chrono::steady_clock::now() + kVerdictRetryFor;
        for (;;) {
            try {
                store()->end(a);
                return std::nullopt;
            } catch (const RecordError& e) {
                store_.reset();
                if (e.kind() == RecordError::Kind::Other || std::chrono::steady_clock::now() >= until)
                    return "verdict " + a.id + ": " + e.what();
            }
            std::this_thread::sleep_for(kVerdictRetryPause);
        }
    }

    void requestStop() override {
        std::lock_guard lock(mutex_);
        stop_ = true;
        if (running_) running_->requestStop(SIGINT);
    }

    station::RunOutcome run(RunKind kind, int attempt, const std::string& unitId, const Progress& progress) override {
        const bool download = kind == RunKind::Download;
        units::ChildRequest request;
        request.program = shared_.program;
        request.kind = kind;
        request.file = shared_.image;
        if (download) request.expectSha256 = shared_.job.imageSha256;
        request.port = slot_.port;
        request.baud = std::to_string(shared_.job.baud);
        request.library = shared_.library;
        request.stallTimeoutSeconds = kStallSeconds;
        if (download) request.extra.push_back("--record-file=" + shared_.job.imagePath);
        // The run's own record says whether the unit reports the job's version.
        if (!download) request.extra.push_back("--expect-version=" + shared_.job.expectVersion);
        // The job's name is quoted: a quote in it must not end it early for whoever reads the note.
        std::string note =
            "station job \"" + safetext::quoted(shared_.job.name) + "\", slot " + safetext::terminalSafe(slot_.name);
        if (attempt > 1) note += ", retry " + std::to_string(attempt - 1);
        // Chosen here, so that a run whose process never reports is recorded all the same.
        const std::string attemptId = newAttemptId();
        if (shared_.records.empty()) {
            request.extra.push_back("--no-record");
        } else {
            request.extra.push_back("--records=" + shared_.records);
            request.extra.push_back("--attempt-id=" + attemptId);
            if (!unit_.id.empty()) request.extra.push_back("--verdict-id=" + unit_.id);
            request.extra.push_back("--note=" + note);
            if (!shared_.operatorName.empty()) request.extra.push_back("--operator=" + shared_.operatorName);
            if (!unitId.empty()) request.extra.push_back("--unit-id=" + unitId);
        }

        const auto began = std::chrono::system_clock::now();
        units::ChildRun child(std::move(request));
        {
            std::lock_guard lock(mutex_);
            if (stop_) return interrupted("stopped before it began");
            if (child.start()) running_ = &child.process();
        }
        std::uint32_t blocks = 0;
        const auto onProgress = [&](const ChildEvent& event) {
            if (!progress) return;
            if (event.blockCount) blocks = event.blockCount;
            progress(event.blocksDone, blocks);
        };
        const auto stopped = [&] {
            std::lock_guard lock(mutex_);
            return stop_;
        };
        const units::ChildEnd end = units::runToEnd(child, onProgress, stopped, kSilentLimit);
        {
            std::lock_guard lock(mutex_);
            running_ = nullptr;
        }
        station::RunOutcome o;
        o.exitCode = end.result.exitCode;
        o.recordId = end.recordId;
        if (!end.reported && !shared_.records.empty())
            o.recordId = recordUnreported(kind, attemptId, unitId, note, began, end);
        (download ? judgedDownload_ : judgedVersion_) = o.recordId;
        if (download) judgedVersion_.clear();
        o.version = end.result.version;
        o.headline = end.headline;
        o.crashed = end.crashed;
        // What the run says it loaded must be the job's image: one that loaded other bytes, or
        // says nothing of them, did not load the job whatever else it reports.
        if (download && end.result.fileCrc && end.result.fileSha256 != shared_.job.imageSha256 &&
            o.exitCode != exitcode::kImageMismatch) {
            o.exitCode = exitcode::kImageMismatch;
            o.headline = "the run loaded an image of SHA-256 " +
                         (end.result.fileSha256.empty() ? std::string("(not reported)") : end.result.fileSha256) +
                         ", not the job's " + shared_.job.imageSha256;
        }
        // The run reports a record it could not keep as the record error: with no attempt when
        // none could be begun (then nothing was sent), with its attempt when the end was lost.
        if (end.reported && o.exitCode == exitcode::kRecord)
            o.record =
                o.recordId.empty() ? station::RunOutcome::Record::NotBegun : station::RunOutcome::Record::NotEnded;
        o.poweredUp = end.result.poweredUp;
        return o;
    }

private:
    // A run that ended without the child's own result.
    static station::RunOutcome ended(int exitCode, const std::string& why) {
        station::RunOutcome o;
        o.exitCode = exitCode;
        o.headline = why;
        return o;
    }
    static station::RunOutcome interrupted(const std::string& why) { return ended(exitcode::kInterrupted, why); }

    std::string operatorName() const { return shared_.operatorName.empty() ? loginName() : shared_.operatorName; }
    // The records, opened for this slot's first unit (again after an error).
    RecordStore* store() {
        if (!store_) store_ = openRecordStore(shared_.records);
        return store_.get();
    }

    // A run whose process never reported (it could not be started, or died) has a record all the
    // same: the one it began is ended with how its process ended, or one is made. Its id, empty
    // when even that cannot be written.
    std::string recordUnreported(RunKind kind, const std::string& id, const std::string& unitId,
                                 const std::string& note, std::chrono::system_clock::time_point began,
                                 const units::ChildEnd& end) {
        try {
            AttemptFilter one;
            one.id = id;
            std::optional<Attempt> kept;
            for (Attempt& k : store()->query(one))
                if (k.id == id) kept = std::move(k);
            if (kept && !kept->ended_at.empty()) return id;
            Attempt a;
            if (kept) {
                a = std::move(*kept);
            } else {
                a.id = id;
                a.kind = kind == RunKind::Download ? "download" : "version";
                a.started_at = isoTime(began);
                a.station = stationName();
                a.operator_ = operatorName();
                a.unit_id = unitId;
                a.port = slot_.port;
                a.port_id = stablePortId(slot_.port);
                a.baud = shared_.job.baud;
                if (kind == RunKind::Download) {
                    a.file = shared_.job.imagePath;
                    a.file_size = static_cast<std::int64_t>(shared_.imageSize);
                    a.file_sha256 = shared_.job.imageSha256;
                }
                a.loader_version = UL_VERSION;
                a.note = note;
                a.verdict_id = unit_.id;
                a = withValidText(std::move(a));
                store()->begin(a);
            }
            const auto now = std::chrono::system_clock::now();
            a.ended_at = isoTime(now);
            if (!kept) a.duration_ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - began).count();
            a.outcome = exitcode::name(end.result.exitCode);
            a.exit_code = end.result.exitCode;
            a.box_text = end.headline;
            a.note += (a.note.empty() ? "" : "; ") + std::string("ended by the station: its process gave no result");
            store()->end(withValidText(std::move(a)));
            return id;
        } catch (const RecordError&) {
            store_.reset();
            return {};
        }
    }

    const StationRuns::Shared& shared_;
    const station::Slot& slot_;
    station::PresenceProbe probe_;
    std::mutex mutex_;
    bool stop_ = false;
    units::ChildProcess* running_ = nullptr;
    // Used by the slot's own thread only.
    std::unique_ptr<RecordStore> store_;
    Attempt unit_;  // the verdict on the unit in the slot, once begun
    std::chrono::steady_clock::time_point unitStarted_;
    std::string judgedDownload_, judgedVersion_;  // the unit's last runs' records
};

}  // namespace

StationRuns::StationRuns() = default;
StationRuns::~StationRuns() { remove(); }

void StationRuns::remove() {
    // The folder goes whole, the library copy in it with it: a process ended halfway leaves at
    // most a folder whose copy names it, which the next sweep takes.
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    dir_.clear();
    library_.remove();
}

bool StationRuns::prepare(const station::Job& job, const std::vector<std::uint8_t>& image, Setup setup,
                          std::string& error) {
    // The library copy first: it names this process, so that a folder left by a station that
    // was killed is swept with the copies of ended processes, its image copy with it.
    dir_ = makeCompanionFolder();
    if (dir_.empty()) {
        error = "cannot make a private folder for the image";
        return false;
    }
    if (!library_.extract(ExtractedLibrary::For::CommandLine, dir_ + "/")) {
        error = "cannot write the protocol library into " + dir_;
        return false;
    }
    const std::string path = dir_ + "/image.bin";
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    out.close();
    if (!out) {
        error = "cannot write the image to " + path;
        return false;
    }
    ::chmod(path.c_str(), 0400);
    shared_ = std::make_unique<Shared>(Shared{job, path, library_.path(), std::move(setup.program),
                                              std::move(setup.records), std::move(setup.operatorName), image.size()});
    return true;
}

std::unique_ptr<station::SlotLink> StationRuns::link(std::size_t slot) const {
    return std::make_unique<ChildSlotLink>(*shared_, shared_->job.slots.at(slot));
}

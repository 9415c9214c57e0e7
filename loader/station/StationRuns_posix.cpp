#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "SafeText.h"
#include "download/ExitCode.h"
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

}  // namespace

struct StationRuns::Shared {
    station::Job job;
    std::string image;  // the private copy
    std::string library;
    std::string program;
    std::string records;  // empty: no record
    std::string operatorName;
};

namespace {

// A slot's connection: status polls from this process, and each run in a copy of this program
// (the protocol library serves one port per process), recording its own attempt.
class ChildSlotLink : public station::SlotLink {
public:
    ChildSlotLink(const StationRuns::Shared& shared, const station::Slot& slot)
        : shared_(shared), slot_(slot), probe_(slot.port, shared.job.baud, shared.job.presence) {}

    station::Sign poll() override { return probe_.look(); }
    std::optional<std::string> version() override { return probe_.version(); }
    bool settle() override { return probe_.settle(); }
    void release() override { probe_.release(); }
    bool waitChange(std::chrono::milliseconds limit) override { return probe_.wait(limit); }

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
        if (shared_.records.empty()) {
            request.extra.push_back("--no-record");
        } else {
            request.extra.push_back("--records=" + shared_.records);
            // The job's name is quoted: a quote in it must not end it early for whoever reads the note.
            std::string note = "station job \"" + safetext::quoted(shared_.job.name) + "\", slot " +
                               safetext::terminalSafe(slot_.name);
            if (attempt > 1) note += ", retry " + std::to_string(attempt - 1);
            request.extra.push_back("--note=" + note);
            if (!shared_.operatorName.empty()) request.extra.push_back("--operator=" + shared_.operatorName);
            if (!unitId.empty()) request.extra.push_back("--unit-id=" + unitId);
        }

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

    const StationRuns::Shared& shared_;
    const station::Slot& slot_;
    station::PresenceProbe probe_;
    std::mutex mutex_;
    bool stop_ = false;
    units::ChildProcess* running_ = nullptr;
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
                                              std::move(setup.records), std::move(setup.operatorName)});
    return true;
}

std::unique_ptr<station::SlotLink> StationRuns::link(std::size_t slot) const {
    return std::make_unique<ChildSlotLink>(*shared_, shared_->job.slots.at(slot));
}

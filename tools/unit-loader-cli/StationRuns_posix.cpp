#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>

#include "ChildEvent.h"
#include "ChildProcess.h"
#include "ExitCode.h"
#include "Presence.h"
#include "StationRuns.h"

using namespace std::chrono_literals;

namespace {

using SteadyClock = std::chrono::steady_clock;

// A run that has not ended this long after being told to stop is stuck: terminate, then kill.
constexpr auto kStopGrace = 15s;
constexpr auto kKillGrace = 5s;
// A download that makes no progress for this long ends (the unit's own limits come first).
constexpr const char* kStallSeconds = "60";
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

    bool poll() override { return probe_.present(); }
    void release() override { probe_.release(); }
    bool waitChange(std::chrono::milliseconds limit) override { return probe_.wait(limit); }

    void requestStop() override {
        std::lock_guard lock(mutex_);
        stop_ = true;
        if (running_) running_->requestStop(SIGINT);
    }

    station::RunOutcome run(station::RunKind kind, int attempt, const std::string& unitId,
                            const Progress& progress) override {
        const bool download = kind == station::RunKind::Download;
        std::vector<std::string> args{shared_.program, download ? "download" : "version"};
        if (download) args.push_back(shared_.image);
        args.insert(args.end(), {"--port", slot_.port, "--baud", std::to_string(shared_.job.baud), "--unit-child",
                                 shared_.library, "--stall-timeout", kStallSeconds});
        if (download) args.push_back("--record-file=" + shared_.job.imagePath);
        if (shared_.records.empty()) {
            args.push_back("--no-record");
        } else {
            args.push_back("--records=" + shared_.records);
            std::string note = "station job \"" + shared_.job.name + "\", slot " + slot_.name;
            if (attempt > 1) note += ", retry " + std::to_string(attempt - 1);
            args.push_back("--note=" + note);
            if (!shared_.operatorName.empty()) args.push_back("--operator=" + shared_.operatorName);
            if (!unitId.empty()) args.push_back("--unit-id=" + unitId);
        }

        ChildProcess process;
        {
            std::lock_guard lock(mutex_);
            if (stop_) return interrupted("stopped before it began");
            if (!process.start(args)) return failed("the run's process could not be started: " + startError());
            running_ = &process;
        }
        std::string pending;
        std::optional<ChildEvent> result;
        constexpr auto kNever = SteadyClock::time_point::max();
        SteadyClock::time_point termAt = kNever, killAt = kNever;
        bool asked = false;
        std::uint32_t blocks = 0;
        auto lastHeard = SteadyClock::now();
        while (!process.outputEnded()) {
            waitForChildren({&process}, 100ms, false);
            const std::size_t before = pending.size();
            process.read(pending);
            if (pending.size() != before) lastHeard = SteadyClock::now();
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                auto event = ChildEvent::fromLine(pending.substr(0, end));
                pending.erase(0, end + 1);
                if (!event) continue;
                if (event->kind == ChildEvent::Kind::Result) {
                    result = std::move(event);
                } else if (progress) {
                    if (event->blockCount) blocks = event->blockCount;
                    progress(event->blocksDone, blocks);
                }
            }
            const auto now = SteadyClock::now();
            {
                std::lock_guard lock(mutex_);
                if (stop_ && !asked) {
                    asked = true;
                    termAt = now + kStopGrace;
                }
            }
            if (!asked && now - lastHeard > kSilentLimit) {
                asked = true;
                process.requestStop(SIGTERM);
                termAt = now + kStopGrace;
            }
            if (now >= termAt) {
                process.terminate();
                termAt = kNever;
                killAt = now + kKillGrace;
            }
            if (now >= killAt) {
                process.kill();
                killAt = kNever;
            }
        }
        const ChildProcess::Exit exit = process.wait();
        {
            std::lock_guard lock(mutex_);
            running_ = nullptr;
        }
        if (!result) {
            station::RunOutcome o = failed(
                exit.signal
                    ? "the run's process ended on signal " + std::to_string(*exit.signal) + " (" + exit.signalName + ")"
                    : "the run's process ended without a result (exit " + std::to_string(exit.code) + ")");
            // Stopped before it could answer (a Ctrl-C in its first moments) is no crash.
            o.crashed = !(exit.signal && exit.stopSignal);
            if (!o.crashed) o.exitCode = exitcode::kInterrupted;
            o.outcome = exitcode::name(o.exitCode);
            return o;
        }
        station::RunOutcome o;
        o.exitCode = result->result.exitCode;
        o.outcome = exitcode::name(o.exitCode);
        o.recordId = result->recordId;
        o.version = result->result.version;
        o.headline = result->headline;
        return o;
    }

private:
    // A run that ended without the child's own result.
    static station::RunOutcome ended(int exitCode, const std::string& why) {
        station::RunOutcome o;
        o.exitCode = exitCode;
        o.outcome = exitcode::name(o.exitCode);
        o.headline = why;
        return o;
    }
    static station::RunOutcome failed(const std::string& why) { return ended(exitcode::kInternal, why); }
    static station::RunOutcome interrupted(const std::string& why) { return ended(exitcode::kInterrupted, why); }

    const StationRuns::Shared& shared_;
    const station::Slot& slot_;
    station::PresenceProbe probe_;
    std::mutex mutex_;
    bool stop_ = false;
    ChildProcess* running_ = nullptr;
};

}  // namespace

StationRuns::StationRuns() = default;
StationRuns::~StationRuns() { remove(); }

void StationRuns::remove() {
    library_.remove();
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    dir_.clear();
}

bool StationRuns::prepare(const station::Job& job, const std::vector<std::uint8_t>& image, Setup setup,
                          std::string& error) {
    std::string pattern = (std::filesystem::temp_directory_path() / "unit-loader-station.XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        error = "cannot make a private folder for the image";
        return false;
    }
    dir_ = pattern;
    const std::string path = dir_ + "/image.bin";
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    out.close();
    if (!out) {
        error = "cannot write the image to " + path;
        return false;
    }
    ::chmod(path.c_str(), 0400);
    if (!library_.extract(ExtractedLibrary::For::CommandLine, dir_ + "/")) {
        error = "cannot write the protocol library into " + dir_;
        return false;
    }
    shared_ = std::make_unique<Shared>(Shared{job, path, library_.path(), std::move(setup.program),
                                              std::move(setup.records), std::move(setup.operatorName)});
    return true;
}

std::unique_ptr<station::SlotLink> StationRuns::link(std::size_t slot) const {
    return std::make_unique<ChildSlotLink>(*shared_, shared_->job.slots.at(slot));
}

std::string commandLineProgramBeside() {
    return (std::filesystem::path(selfPath()).parent_path() / "unit-loader-cli").string();
}

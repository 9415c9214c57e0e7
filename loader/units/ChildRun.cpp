#include "units/ChildRun.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>

#include "download/ExitCode.h"

using namespace std::chrono_literals;

namespace units {

namespace {

#ifdef _WIN32
constexpr const char* kRunnerName = "unit-loader-cli.exe";
#else
constexpr const char* kRunnerName = "unit-loader-cli";
#endif

std::string seconds(double value) { return std::to_string(value); }

// The result of a run whose child sent none, from how its process ended: a stop request is an
// interruption, anything else a crash; an exit code it left is kept (none is no success).
ChildEnd madeUp(const ChildRequest& request, const std::optional<ChildProcess::Exit>& exit,
                const std::string& startError) {
    ChildEnd end;
    RunResult& r = end.result;
    r.kind = request.kind;
    r.port = request.port;
    r.baud = request.baud;
    if (!exit) {
        r.exitCode = exitcode::kInternal;
        r.text = "The process for this unit could not be started.";
        end.headline = "the run's process could not be started: " + startError;
    } else if (exit->signal) {
        r.exitCode = exit->stopSignal ? exitcode::kInterrupted : exitcode::kInternal;
        end.crashed = !exit->stopSignal;
        r.text = "The process for this unit was ended by " + exit->signalName + ".";
        end.headline =
            "the run's process ended on signal " + std::to_string(*exit->signal) + " (" + exit->signalName + ")";
    } else {
        r.exitCode = exit->code == exitcode::kSuccess ? exitcode::kInternal : exit->code;
        end.crashed = r.exitCode != exitcode::kInterrupted;
        r.text = "The process for this unit ended without a result.";
        end.headline = "the run's process ended without a result (exit " + std::to_string(exit->code) + ")";
    }
    return end;
}

}  // namespace

std::string runnerBeside() { return (std::filesystem::path(selfPath()).parent_path() / kRunnerName).string(); }

std::string findRunner() {
    if (const char* named = std::getenv(kRunnerVariable); named && *named) return named;
    return runnerBeside();
}

std::vector<std::string> childCommandLine(const ChildRequest& q) {
    const bool download = q.kind == RunKind::Download;
    std::vector<std::string> args{q.program, download ? "download" : "version"};
    if (download) args.push_back(q.file);
    if (download && !q.expectSha256.empty()) args.push_back("--expect-sha256=" + q.expectSha256);
    args.insert(args.end(), {"--port", q.port, "--baud", q.baud, "--unit-child", q.library});
    if (q.timeoutSeconds) args.insert(args.end(), {"--timeout", seconds(*q.timeoutSeconds)});
    args.insert(args.end(), {"--stall-timeout", seconds(q.stallTimeoutSeconds)});
    args.insert(args.end(), q.extra.begin(), q.extra.end());
    return args;
}

ChildRun::ChildRun(ChildRequest request) : request_(std::move(request)) {}

bool ChildRun::start() {
    if (process_.start(childCommandLine(request_))) {
        lastHeard_ = Clock::now();
        return true;
    }
    startError_ = startError();
    return false;
}

bool ChildRun::read(const std::function<void(const ChildEvent&)>& onEvent) {
    const std::size_t before = pending_.size();
    process_.read(pending_);
    if (pending_.size() == before) return false;
    lastHeard_ = Clock::now();
    for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
        auto event = ChildEvent::fromLine(std::string_view(pending_).substr(0, end));
        pending_.erase(0, end + 1);
        if (!event) continue;
        if (event->kind == ChildEvent::Kind::Result) result_ = *event;
        if (onEvent) onEvent(*event);
    }
    return true;
}

void ChildRun::askStop(int cause, Clock::time_point now) {
    if (asked_) return;
    asked_ = true;
    if (cause) process_.requestStop(cause);
    endBy(now + kStopGrace);
}

void ChildRun::endBy(Clock::time_point at) {
    if (killAt_) return;  // terminated already
    if (!termAt_ || at < *termAt_) termAt_ = at;
}

void ChildRun::step(Clock::time_point now) {
    if (termAt_ && now >= *termAt_) {
        process_.terminate();
        termAt_.reset();
        killAt_ = now + kKillGrace;
    }
    if (killAt_ && now >= *killAt_) {
        process_.kill();
        killAt_ = Clock::time_point::max();  // once
    }
}

std::optional<Clock::time_point> ChildRun::nextStep() const {
    if (termAt_) return termAt_;
    if (killAt_ && *killAt_ != Clock::time_point::max()) return killAt_;
    return std::nullopt;
}

ChildEnd ChildRun::finish() {
    if (!process_.started()) return madeUp(request_, std::nullopt, startError_);
    const ChildProcess::Exit exit = process_.wait();
    if (!result_) return madeUp(request_, exit, startError_);
    ChildEnd end;
    end.result = result_->result;
    end.headline = result_->headline;
    end.recordId = result_->recordId;
    end.reported = true;
    return end;
}

void waitForRuns(const std::vector<ChildRun*>& runs, std::chrono::milliseconds timeout, bool stopRequests) {
    std::vector<ChildProcess*> processes;
    for (ChildRun* run : runs)
        if (run->started()) processes.push_back(&run->process());
    waitForChildren(processes, timeout, stopRequests);
}

ChildEnd runToEnd(ChildRun& run, const std::function<void(const ChildEvent&)>& progress,
                  const std::function<bool()>& stopped, std::optional<std::chrono::milliseconds> silentLimit) {
    const auto onEvent = [&](const ChildEvent& e) {
        if (e.kind == ChildEvent::Kind::Progress && progress) progress(e);
    };
    while (run.live()) {
        waitForRuns({&run}, 100ms, false);
        run.read(onEvent);
        const auto now = Clock::now();
        if (!run.asked() && stopped && stopped()) run.askStop(0, now);
        if (!run.asked() && silentLimit && now - run.lastHeard() > *silentLimit) run.askStop(SIGTERM, now);
        run.step(now);
    }
    return run.finish();
}

}  // namespace units

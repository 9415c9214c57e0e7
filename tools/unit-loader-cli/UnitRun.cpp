#include "UnitRun.h"

#include <cstdio>

#include "Console.h"
#include "Doorbell.h"
#include "SafeText.h"
#include "Signals.h"
#include "core/DialogCore.h"
#include "download/ExitCode.h"
#include "record/AttemptOf.h"
#include "session/Diagnose.h"

namespace {

// The queue the worker posts into, with a doorbell rung on every post, so one wait serves
// replies and stop requests alike.
class EventWindow : public WindowPoster {
public:
    Doorbell& doorbell() { return doorbell_; }
    MessageQueue& queue() { return queue_; }

protected:
    bool post(Message message) override {
        const bool ok = queue_.post(message.id, std::move(message.payload), message.detail);
        doorbell_.ring();
        return ok;
    }

private:
    Doorbell doorbell_;
    MessageQueue queue_;
};

// The window the engine talks to: no controls, no boxes on screen; texts and progress go to the
// sink, and the run's report is kept when it ends.
class CliFeedback : public HeadlessFeedback {
public:
    CliFeedback(WindowPoster& window, ProgressSink& sink) : HeadlessFeedback(&window), sink_(sink) {}

    void SetStatusText(const std::string& text) override {
        if (!ended_) sink_.status(text);
    }
    // The success end sets the bar back to 0 after its box; the count of blocks stays ours.
    void SetProgress(std::uint32_t position) override {
        if (!ended_) sink_.blocks(position);
    }
    void RunEnded(const RunReport& ended) override {
        ended_ = true;
        report = ended;
    }
    // A stop closes the session itself: what it clears is no news to the operator.
    void stopShowing() { ended_ = true; }

    std::optional<RunReport> report;

private:
    ProgressSink& sink_;
    bool ended_ = false;
};

std::string hex4(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

std::string hexPair(std::uint8_t high, std::uint8_t low) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X%02X", high, low);
    return text;
}

// What the program reports of a run, from the engine's report.
RunResult resultOf(const RunOptions& options, const RunReport& report, double seconds) {
    RunResult result;
    result.kind = options.command;
    result.port = options.port;
    result.baud = options.baud;
    result.exitCode = exitcode::ofReport(report).code;
    result.ended = report.outcome;
    result.caption = report.box.caption;
    result.text = report.box.text;
    result.headline = boxHeadline(report.box);
    if (report.outcome == Outcome::ConnectionFailure) result.explanation = explainPortFailure(options.port);
    if (report.fileProblem == FileProblem::OpenError) result.explanation = explainFileFailure(options.file);
    if (report.kind == RunKind::VersionCheck && report.outcome == Outcome::Success) result.version = report.unitVersion;
    if (report.kind == RunKind::Download && report.verified())
        result.unitCrc = hexPair(report.unitCrc5, report.unitCrc4);
    if (report.imageLoaded) {
        result.fileCrc = hex4(report.fileCrc);
        result.blocks = report.blockCount;
        result.bytes = report.fileSize;
    }
    result.blocksDone = report.blocksDone;
    result.seconds = seconds;
    result.poweredUp = report.poweredUp;
    return result;
}

}  // namespace

RunResult runUnit(const RunOptions& options, ProgressSink& sink) {
    const auto started = SteadyClock::now();
    EventWindow window;
    CliFeedback feedback(window, sink);
    DialogCore core(feedback, window, options.library);
    core.watch().setLimits({options.timeout, options.stallTimeout});
    const Connection connection = Connection::fromTexts(options.port, options.baud);

    auto seconds = [&] { return std::chrono::duration<double>(SteadyClock::now() - started).count(); };
    std::string loadedSha256;  // of the bytes loaded, when the run was told which to expect
    // Every way a run ends delivers its report; without one the program itself went wrong.
    auto internalError = [&] {
        RunResult result;
        result.kind = options.command;
        result.port = options.port;
        result.baud = options.baud;
        result.exitCode = exitcode::kInternal;
        result.seconds = seconds();
        return result;
    };
    auto ended = [&] {
        sink.tick();
        sink.finish();
        core.Shutdown();
        if (!feedback.report) return internalError();
        RunResult result = resultOf(options, *feedback.report, seconds());
        result.fileSha256 = loadedSha256;
        return result;
    };

    // The attempt is begun before anything goes to the unit; without a record nothing is sent.
    auto recordRefused = [&](const std::string& why) {
        RunResult result = internalError();
        result.exitCode = exitcode::kRecord;
        const ReportBox box = recordRefusedBox(why);
        result.caption = box.caption;
        result.text = box.text;
        result.headline = "no record could be begun: " + why;
        return result;
    };
    // A run whose end is not on disk has no record an auditor can trust: it says so, with what
    // to look at, and ends with the record error whatever the unit did.
    auto record = [&](RunResult result) {
        if (!options.expectVersion.empty() && result.kind == RunKind::VersionCheck &&
            result.exitCode == exitcode::kSuccess && result.version != options.expectVersion) {
            result.exitCode = exitcode::kVersionMismatch;
            result.headline =
                "the unit reports \"" + result.version + "\", the job expects \"" + options.expectVersion + "\"";
        }
        if (options.recorder && feedback.report)
            if (auto why = options.recorder->end(*feedback.report, result)) {
                Console::instance().line("unit-loader-cli: the end of the attempt was not recorded: " + *why);
                result.exitCode = exitcode::worse(result.exitCode, exitcode::kRecord);
                const ReportBox box = recordEndFailedBox(*why);
                result.explanation += (result.explanation.empty() ? "" : "\n") + box.caption + ": " + box.text;
                // Whoever shows one line of the run (a table of several, a station) shows this.
                result.headline = "the end of the attempt was not recorded: " + *why;
            }
        return result;
    };
    const RunStart start{options.command, connection.baud, options.file, nullptr, options.recordedFile};

    if (options.command == RunKind::Download) {
        if (!core.SelectDownloadFile(options.file)) {
            if (options.recorder)
                if (auto why = options.recorder->begin(start)) return recordRefused(*why);
            return record(ended());
        }
        RunStart loaded = start;
        loaded.image = &core.image();
        if (!options.expectSha256.empty()) loadedSha256 = sha256Hex(core.image().bytes().bytes());
        if (options.recorder)
            if (auto why = options.recorder->begin(loaded)) return recordRefused(*why);
        // Bytes that are not the image expected (a copy replaced on disk) go to no unit: the
        // attempt is recorded with what was found, and ends before anything is sent.
        if (loadedSha256 != options.expectSha256) {
            RunReport refused;
            refused.kind = RunKind::Download;
            refused.connection = connection;
            refused.file = options.file;
            refused.imageLoaded = true;
            refused.fileSize = core.fileSize();
            refused.fileCrc = core.image().fileCrc();
            refused.blockCount = core.blockCount();
            refused.blankBlocks = core.image().blankBlocks();
            refused.box = imageMismatchBox(options.expectSha256, loadedSha256);
            refused.startedAt = refused.endedAt = std::chrono::system_clock::now();
            feedback.report = refused;
            core.Shutdown();
            RunResult result = resultOf(options, refused, seconds());
            result.exitCode = exitcode::kImageMismatch;
            result.fileSha256 = loadedSha256;
            return record(result);
        }
        sink.started(core.blockCount(), core.fileSize());
        core.StartDownload(connection);
    } else {
        if (options.recorder)
            if (auto why = options.recorder->begin(start)) return recordRefused(*why);
        sink.started(0, 0);
        core.StartVersionCheck(connection);
    }

    while (core.isRunning()) {
        if (signals::caught()) core.watch().requestStop(signals::cause());
        if (const auto reason = core.dueStop()) {
            // Waiting for the exchange in progress is all that is left of a time-out: a stop
            // request now need not wait for it.
            if (*reason != StopReason::Interrupted) signals::setClosing(true);
            sink.tick();
            sink.finish();
            feedback.stopShowing();
            core.stopRun(*reason);
            signals::setClosing(false);
            break;
        }
        const Doorbell::Wake wake = window.doorbell().wait(core.watch().nextCheck(sink.nextTick()));
        if (wake == Doorbell::Wake::Error) {
            sink.tick();
            sink.finish();
            core.Shutdown();
            return internalError();
        }
        sink.tick();
        if (wake != Doorbell::Wake::Rung) continue;
        Message message;
        while (core.isRunning() && window.queue().take(message)) core.handleMessage(message);
    }

    // The bar stands one short through the verify when the last block is short; the window
    // resets it after its box, a terminal keeps the full picture.
    if (feedback.report && feedback.report->kind == RunKind::Download && feedback.report->outcome == Outcome::Success)
        sink.blocks(feedback.report->blockCount);
    return record(ended());
}

std::string outcomeText(const RunResult& r) {
    // The unit's bytes reach a terminal here: no escape sequence of a unit's may act on it.
    if (r.kind == RunKind::VersionCheck && r.exitCode == exitcode::kSuccess)
        return safetext::terminalSafe(r.version) + "\n";
    if (r.caption.empty() && r.text.empty()) return {};
    return r.caption + "\n" + r.text + "\n" + (r.explanation.empty() ? "" : r.explanation + "\n");
}

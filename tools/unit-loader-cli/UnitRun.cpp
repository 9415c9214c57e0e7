#include "UnitRun.h"

#include <cstdio>

#include "Console.h"
#include "Diagnose.h"
#include "DialogCore.h"
#include "Doorbell.h"
#include "ExitCode.h"
#include "SafeText.h"
#include "Signals.h"

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
    result.command = options.command;
    result.port = options.port;
    result.baud = options.baud;
    const exitcode::Ending e = exitcode::ofReport(report);
    result.exitCode = e.code;
    result.outcome = e.outcome;
    if (report.failure) {
        // Appended, not `"F" + ...`: g++ 12 at -O3 takes that for an overlapping copy (-Wrestrict).
        result.failure = "F";
        result.failure += std::to_string(failureNumber(*report.failure));
    }
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
    // Every way a run ends delivers its report; without one the program itself went wrong.
    auto internalError = [&] {
        RunResult result;
        result.command = options.command;
        result.port = options.port;
        result.baud = options.baud;
        result.exitCode = exitcode::kInternal;
        result.outcome = "internal error";
        result.seconds = seconds();
        return result;
    };
    auto ended = [&] {
        sink.tick();
        sink.finish();
        core.Shutdown();
        return feedback.report ? resultOf(options, *feedback.report, seconds()) : internalError();
    };

    // The attempt is begun before anything goes to the unit; without a record nothing is sent.
    auto recordRefused = [&](const std::string& why) {
        RunResult result = internalError();
        result.exitCode = exitcode::kRecord;
        result.outcome = exitcode::name(exitcode::kRecord);
        const ReportBox box = recordRefusedBox(why);
        result.caption = box.caption;
        result.text = box.text;
        return result;
    };
    // A run whose end is not on disk has no record an auditor can trust: it says so, with what
    // to look at, and ends with the record error whatever the unit did.
    auto record = [&](RunResult result) {
        if (options.recorder && feedback.report)
            if (auto why = options.recorder->end(*feedback.report, result)) {
                Console::instance().line("unit-loader-cli: the end of the attempt was not recorded: " + *why);
                result.exitCode = exitcode::worse(result.exitCode, exitcode::kRecord);
                result.outcome = exitcode::name(result.exitCode);
                const ReportBox box = recordEndFailedBox(*why);
                result.explanation += (result.explanation.empty() ? "" : "\n") + box.caption + ": " + box.text;
            }
        return result;
    };
    const RunStart start{options.command == UnitCommand::Download ? RunKind::Download : RunKind::VersionCheck,
                         connection.baud, options.file, nullptr, options.recordedFile};

    if (options.command == UnitCommand::Download) {
        if (!core.SelectDownloadFile(options.file)) {
            if (options.recorder)
                if (auto why = options.recorder->begin(start)) return recordRefused(*why);
            return record(ended());
        }
        RunStart loaded = start;
        loaded.image = &core.image();
        if (options.recorder)
            if (auto why = options.recorder->begin(loaded)) return recordRefused(*why);
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

nlohmann::json toJson(const RunResult& r) {
    // The unit's bytes (its version, the box that shows it) need not be UTF-8: escaped, as the
    // record keeps them, so that neither the output nor a unit's process fails on them.
    const auto text = [](const std::string& t) { return safetext::utf8Escaped(t); };
    nlohmann::json j;
    j["command"] = r.command == UnitCommand::Download ? "download" : "version";
    j["port"] = text(r.port);
    // A number where it is one, as a script compares it.
    if (!r.baud.empty() && r.baud.size() <= 9 && r.baud.find_first_not_of("0123456789") == std::string::npos)
        j["baud"] = std::stol(r.baud);
    else
        j["baud"] = text(r.baud);
    j["outcome"] = r.outcome;
    j["exitCode"] = r.exitCode;
    j["caption"] = text(r.caption);
    j["text"] = text(r.text);
    j["explanation"] = r.explanation.empty() ? nlohmann::json() : nlohmann::json(text(r.explanation));
    j["failure"] = r.failure.empty() ? nlohmann::json() : nlohmann::json(r.failure);
    if (r.command == UnitCommand::Version) j["version"] = text(r.version);
    j["unitCrc"] = r.unitCrc ? nlohmann::json(*r.unitCrc) : nlohmann::json();
    j["fileCrc"] = r.fileCrc ? nlohmann::json(*r.fileCrc) : nlohmann::json();
    j["blocks"] = r.blocks;
    j["blocksDone"] = r.blocksDone;
    j["bytes"] = r.bytes;
    j["seconds"] = r.seconds;
    return j;
}

RunResult resultFromJson(const nlohmann::json& j) {
    RunResult r;
    r.command = j.value("command", "download") == "version" ? UnitCommand::Version : UnitCommand::Download;
    r.port = j.value("port", "");
    if (j.contains("baud"))
        r.baud = j["baud"].is_number() ? std::to_string(j["baud"].get<long>()) : j.value("baud", "");
    r.outcome = j.value("outcome", "");
    r.exitCode = j.value("exitCode", exitcode::kInternal);
    r.caption = j.value("caption", "");
    r.text = j.value("text", "");
    if (j.contains("explanation") && j["explanation"].is_string()) r.explanation = j["explanation"];
    if (j.contains("failure") && j["failure"].is_string()) r.failure = j["failure"];
    r.version = j.value("version", "");
    if (j.contains("unitCrc") && j["unitCrc"].is_string()) r.unitCrc = j["unitCrc"].get<std::string>();
    if (j.contains("fileCrc") && j["fileCrc"].is_string()) r.fileCrc = j["fileCrc"].get<std::string>();
    r.blocks = j.value("blocks", 0u);
    r.blocksDone = j.value("blocksDone", 0u);
    r.bytes = j.value("bytes", std::uint64_t{0});
    r.seconds = j.value("seconds", 0.0);
    return r;
}

std::string outcomeText(const RunResult& r) {
    if (r.command == UnitCommand::Version && r.exitCode == exitcode::kSuccess) return r.version + "\n";
    if (r.caption.empty() && r.text.empty()) return {};
    return r.caption + "\n" + r.text + "\n" + (r.explanation.empty() ? "" : r.explanation + "\n");
}

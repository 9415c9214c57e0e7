#include "UnitRun.h"

#include <cstdio>

#include "Diagnose.h"
#include "DialogCore.h"
#include "Doorbell.h"
#include "ExitCode.h"
#include "Signals.h"
#include "UnitFrames.h"

namespace {

using namespace std::chrono_literals;

// A stop that takes longer than this to take effect is worth a word in the outcome.
constexpr auto kNoticeableWait = 500ms;

// The queue the worker posts into, with a doorbell rung on every post, so one wait serves
// replies and stop requests alike.
class EventWindow : public WindowPoster {
public:
    bool postMessage(MessageId id, std::unique_ptr<ByteBuffer> payload) override {
        const bool ok = queue_.post(id, std::move(payload));
        doorbell_.ring();
        return ok;
    }
    Doorbell& doorbell() { return doorbell_; }
    MessageQueue& queue() { return queue_; }

private:
    Doorbell doorbell_;
    MessageQueue queue_;
};

// The window the engine talks to: no controls, no boxes on screen; texts and progress go to the
// sink, and the boxes are read from the core once the run has ended.
class CliFeedback : public HeadlessFeedback {
public:
    CliFeedback(WindowPoster& window, ProgressSink& sink, const RunOptions& options)
        : HeadlessFeedback(&window, options.port, options.baud), sink_(sink) {}

    void SetStatusText(const std::string& text) override {
        if (!ended_) sink_.status(text);
    }
    // The success end sets the bar back to 0 after its box; the count of blocks stays ours.
    void SetProgress(std::uint32_t position) override {
        if (!ended_) sink_.blocks(position);
    }
    void SetVersionText(const std::string& text) override { version = text; }
    void ShowTableMessage(int) override { ended_ = true; }
    void ShowInfoMessage(const std::string&) override { ended_ = true; }
    void ShowMessagePair(const std::string&, const std::string&) override { ended_ = true; }

    std::string version;

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

std::string what(const RunOptions& options) {
    return options.command == UnitCommand::Download ? "download" : "version check";
}

// The line that closes a time-out or an interruption. Once the download start has gone out the
// unit stays in download mode, and a new download meets it there (F1 at once) unless it is
// switched off and on.
std::string closingLine(const RunOptions& options, const DialogCore& core) {
    if (options.command != UnitCommand::Download) return "The session was closed.";
    if (core.state() <= DownloadSequencer::kWaitDisable) return "The session was closed; download again.";
    return "The session was closed. The unit may still be in download mode: switch it off and on before the "
           "next download.";
}

std::string seconds1(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

std::string secondsG(std::chrono::milliseconds limit) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", std::chrono::duration<double>(limit).count());
    return text;
}

// What the run was waiting for, in an operator's words.
std::string waitingFor(const DialogCore& core) {
    if (core.versionCheckActive())
        return core.versionStep() == 1 ? "waiting for Disable before the version request"
                                       : "waiting for the version reply";
    static const char* const kDownload[] = {
        "idle",
        "waiting for Disable",
        "waiting for the acknowledgement of the download start",
        "waiting for the unit to finish erasing",
        "waiting for the acknowledgement of the first block",
        "waiting for ready after a block",
        "waiting for the acknowledgement of a block",
        "waiting for the acknowledgement of the last block",
        "waiting for ready after the last block",
        "waiting for the acknowledgement of the verify command",
        "waiting for the verify result",
        "waiting for Disable after the verify result D3 00",
        "waiting for Disable after the verify result D3 80",
        "passing over a blank block",
    };
    return core.state() < std::size(kDownload) ? kDownload[core.state()] : "in state " + std::to_string(core.state());
}

// One reply from the worker in an operator's words: the unit's code, named where the loader
// knows it, or that the exchange failed.
std::string replyWords(const Message& message, MessageId alarm) {
    if (message.id == alarm) return "nothing valid (the requests failed)";
    if (!message.payload || message.payload->size() < 3) return "a frame too short to hold a code";
    const ByteBuffer& r = *message.payload;
    namespace code = unitframe::reply;
    // The reply comes whole, check bytes included: byte 3 is data only in a frame longer than 5.
    char hex[16];
    if (r.size() > 3 && r[1] > unitframe::kSmallestFrame)
        std::snprintf(hex, sizeof hex, "%02X %02X", r[2], r[3]);
    else
        std::snprintf(hex, sizeof hex, "%02X", r[2]);
    const std::string bytes = std::string(" (") + hex + ")";
    if (unitframe::isBusy(r)) return "busy" + bytes;
    if (unitframe::isReady(r)) return "ready" + bytes;
    if (unitframe::isResult00(r) || unitframe::isResult80(r)) return "the verify result" + bytes;
    switch (r[2]) {
    case code::kDisable: return "Disable (1A)";
    case code::kReset: return "Reset (40)";
    case code::kAck: return "an acknowledgement (50)";
    case code::kVersion: return "a version reply (84)";
    default: return std::string("code ") + hex;
    }
}

}  // namespace

RunResult runUnit(const RunOptions& options, ProgressSink& sink) {
    const auto started = SteadyClock::now();
    RunResult result;
    result.command = options.command;
    result.port = options.port;
    result.baud = options.baud;

    EventWindow window;
    CliFeedback feedback(window, sink, options);
    DialogCore core(feedback, window, options.library);

    // `stopped`: the time the run was told to stop, for the time the exchange in progress took.
    auto finish = [&](int code, std::string outcome, std::optional<SteadyClock::time_point> stopped = {}) {
        sink.tick();
        sink.finish();
        core.Shutdown();
        signals::setClosing(false);
        const auto now = SteadyClock::now();
        result.exitCode = code;
        result.outcome = std::move(outcome);
        if (core.outcome() == Outcome::Failed && core.failure())
            result.failure = "F" + std::to_string(failureNumber(*core.failure()));
        if (result.caption.empty() && core.lastBox().kind != DialogCore::Box::None) {
            result.caption = core.lastBox().caption;
            result.text = core.lastBox().text;
        }
        if (stopped && now - *stopped >= kNoticeableWait && result.text.find('\n') != std::string::npos)
            result.text.insert(result.text.find('\n') + 1,
                               "The exchange in progress took " +
                                   seconds1(std::chrono::duration<double>(now - *stopped).count()) + " s to end.\n");
        if (options.command == UnitCommand::Download && result.blocksDone == 0) result.blocksDone = core.blocksDone();
        if (core.isLoaded()) {
            result.fileCrc = hex4(core.fileCrc());
            result.blocks = core.blockCount();
            result.bytes = core.fileSize();
        }
        if (core.outcome() == Outcome::ConnectionFailure) result.explanation = explainPortFailure(options.port);
        if (core.outcome() == Outcome::FileError && core.lastBox().kind == DialogCore::Box::Table &&
            core.lastBox().stringId == kStrFileOpenError)
            result.explanation = explainFileFailure(options.file);
        result.seconds = std::chrono::duration<double>(now - started).count();
        return result;
    };

    // How the engine said the run ended, as exit code and outcome word.
    auto ended = [&] {
        const exitcode::Ending e = exitcode::ofOutcome(core.outcome(), core.failure());
        return finish(e.code, e.outcome);
    };

    if (options.command == UnitCommand::Download) {
        if (!core.SelectDownloadFile(options.file)) return ended();
        sink.started(core.blockCount(), core.fileSize());
        core.StartDownload();
    } else {
        sink.started(0, 0);
        core.StartVersionCheck();
    }
    if (!core.isRunning()) return ended();

    // Without --timeout the deadline is never reached.
    const auto deadline = options.timeout ? started + *options.timeout : SteadyClock::time_point::max();
    // Progress is a change of state (a block acknowledged is one) or of the blocks passed.
    auto position = [&] {
        return std::tuple(core.state(), core.blocksDone(), core.versionCheckActive() ? core.versionStep() : 0);
    };
    auto lastPosition = position();
    auto movedAt = SteadyClock::now();
    std::string lastReply = "nothing";
    const MessageId alarm = registerMessage(msgname::kAlarm);
    while (core.isRunning()) {
        if (signals::caught()) {
            const auto now = SteadyClock::now();
            result.caption = "Interrupted";
            result.text = "The " + what(options) + " was stopped " + signals::cause() + ", " + waitingFor(core) +
                          ".\n" + closingLine(options, core);
            return finish(exitcode::kInterrupted, "interrupted", now);
        }
        auto wait = sink.nextTick();
        if (options.timeout) {
            const auto now = SteadyClock::now();
            if (now >= deadline) {
                // Waiting for the exchange in progress is all that is left: a stop request now
                // need not wait for it.
                signals::setClosing(true);
                result.caption = "Time-out";
                result.text = "The " + what(options) + " did not end within " + secondsG(*options.timeout) + " s, " +
                              waitingFor(core) + ".\n" + closingLine(options, core);
                RunResult r = finish(exitcode::kTimeout, "time-out");
                // The exchange in progress may have taken much longer than the limit.
                const bool late = r.seconds - std::chrono::duration<double>(*options.timeout).count() >=
                                  std::chrono::duration<double>(kNoticeableWait).count();
                r.text.insert(r.text.find(".\n"), "; it was stopped after " + seconds1(r.seconds) + " s" +
                                                      (late ? ", when the exchange in progress had ended" : ""));
                return r;
            }
            wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
        }
        if (options.stallTimeout) {
            const auto now = SteadyClock::now();
            const auto stallAt = movedAt + *options.stallTimeout;
            if (now >= stallAt) {
                signals::setClosing(true);
                result.caption = "No progress";
                result.text = "The " + what(options) + " made no progress for " + secondsG(*options.stallTimeout) +
                              " s, " + waitingFor(core) + "; the unit kept answering " + lastReply + ".\n" +
                              closingLine(options, core);
                return finish(exitcode::kTimeout, "stalled", now);
            }
            wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(stallAt - now));
        }
        const Doorbell::Wake wake = window.doorbell().wait(wait);
        if (wake == Doorbell::Wake::Error) return finish(exitcode::kInternal, "internal error");
        sink.tick();
        if (wake != Doorbell::Wake::Rung) continue;
        Message message;
        while (core.isRunning() && window.queue().take(message)) {
            if (message.id == alarm || message.payload) lastReply = replyWords(message, alarm);
            core.handleMessage(message);
            if (position() != lastPosition) {
                lastPosition = position();
                movedAt = SteadyClock::now();
            }
        }
    }

    if (core.outcome() == Outcome::Success && options.command == UnitCommand::Version)
        result.version = feedback.version;
    if (options.command == UnitCommand::Download &&
        (core.outcome() == Outcome::Success || core.outcome() == Outcome::Warning))
        result.unitCrc = hexPair(core.unitCrc5(), core.unitCrc4());
    if (options.command == UnitCommand::Download && core.outcome() == Outcome::Success) {
        // The bar stands one short through the verify when the last block is short; the window
        // resets it after its box, a terminal keeps the full picture.
        result.blocksDone = core.blockCount();
        sink.blocks(core.blockCount());
    }
    return ended();
}

nlohmann::json toJson(const RunResult& r) {
    nlohmann::json j;
    j["command"] = r.command == UnitCommand::Download ? "download" : "version";
    j["port"] = r.port;
    // A number where it is one, as a script compares it.
    if (!r.baud.empty() && r.baud.size() <= 9 && r.baud.find_first_not_of("0123456789") == std::string::npos)
        j["baud"] = std::stol(r.baud);
    else
        j["baud"] = r.baud;
    j["outcome"] = r.outcome;
    j["exitCode"] = r.exitCode;
    j["caption"] = r.caption;
    j["text"] = r.text;
    j["explanation"] = r.explanation.empty() ? nlohmann::json() : nlohmann::json(r.explanation);
    j["failure"] = r.failure.empty() ? nlohmann::json() : nlohmann::json(r.failure);
    if (r.command == UnitCommand::Version) j["version"] = r.version;
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

#include "UnitRun.h"

#include <cstdio>

#include "DialogCore.h"
#include "Doorbell.h"
#include "ExitCode.h"
#include "Signals.h"
#include "UnitFrames.h"

namespace {

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

// Where a download stood, for the texts of its time-out and interruption.
std::string where(const RunOptions& options, const DialogCore& core) {
    return options.command == UnitCommand::Download ? " in state " + std::to_string(core.state()) : "";
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

    auto finish = [&](int code, std::string outcome) {
        sink.tick();
        core.Shutdown();
        result.exitCode = code;
        result.outcome = std::move(outcome);
        if (core.outcome() == Outcome::Failed && core.failure())
            result.failure = "F" + std::to_string(failureNumber(*core.failure()));
        if (result.caption.empty() && core.lastBox().kind != DialogCore::Box::None) {
            result.caption = core.lastBox().caption;
            result.text = core.lastBox().text;
        }
        if (options.command == UnitCommand::Download && result.blocksDone == 0) result.blocksDone = core.blocksDone();
        if (core.isLoaded()) {
            result.fileCrc = hex4(core.fileCrc());
            result.blocks = core.blockCount();
            result.bytes = core.fileSize();
        }
        result.seconds = std::chrono::duration<double>(SteadyClock::now() - started).count();
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
        if (const int sig = signals::caught()) {
            result.caption = "Interrupted";
            result.text = "The " + what(options) + " was stopped by " + signals::name(sig) + where(options, core) +
                          ".\nThe session was closed" +
                          (options.command == UnitCommand::Download ? "; download again." : ".");
            return finish(exitcode::kInterrupted, "interrupted");
        }
        auto wait = sink.nextTick();
        if (options.timeout) {
            const auto now = SteadyClock::now();
            if (now >= deadline) {
                const double limit = std::chrono::duration<double>(*options.timeout).count();
                char seconds[32];
                std::snprintf(seconds, sizeof seconds, "%g", limit);
                result.caption = "Time-out";
                result.text = "The " + what(options) + " did not end within " + seconds + " s" + where(options, core) +
                              ".\nThe session was closed" +
                              (options.command == UnitCommand::Download ? "; download again." : ".");
                return finish(exitcode::kTimeout, "time-out");
            }
            wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
        }
        if (options.stallTimeout) {
            const auto now = SteadyClock::now();
            const auto stallAt = movedAt + *options.stallTimeout;
            if (now >= stallAt) {
                char seconds[32];
                std::snprintf(seconds, sizeof seconds, "%g",
                              std::chrono::duration<double>(*options.stallTimeout).count());
                result.caption = "No progress";
                result.text = "The " + what(options) + " made no progress for " + seconds + " s" +
                              where(options, core) + ", " + waitingFor(core) + "; the unit kept answering " +
                              lastReply + ".\nThe session was closed" +
                              (options.command == UnitCommand::Download ? "; download again." : ".");
                return finish(exitcode::kTimeout, "stalled");
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
    j["baud"] = r.baud;
    j["outcome"] = r.outcome;
    j["exitCode"] = r.exitCode;
    j["caption"] = r.caption;
    j["text"] = r.text;
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
    r.baud = j.value("baud", "");
    r.outcome = j.value("outcome", "");
    r.exitCode = j.value("exitCode", exitcode::kInternal);
    r.caption = j.value("caption", "");
    r.text = j.value("text", "");
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
    return r.caption + "\n" + r.text + "\n";
}

#include "Run.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "Console.h"
#include "ParentWatch.h"
#include "SettingsProblem.h"
#include "Several.h"
#include "Signals.h"
#include "Sinks.h"
#include "Trace.h"
#include "download/ExitCode.h"
#include "session/ExtractedLibrary.h"
#include "settings/SettingsFile.h"
#include "units/ChildEvent.h"
#include "units/ChildProcess.h"

namespace {

void note(const UnitArgs& args, const std::string& text) {
    if (!args.quiet) Console::instance().line("unit-loader-cli: " + text);
}

}  // namespace

bool positiveNumber(const std::string& text) {
    if (text.empty() || text.size() > 10) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    const long long value = std::stoll(text);
    return value > 0 && value <= 0x7FFFFFFF;
}

namespace {

// Port and baud rate not given come from the settings file beside the program, as the window
// preselects them; what the file lacks comes from the defaults, as for a missing file, with a
// note of what was wrong in it. The file is only read: a command-line run leaves no file behind.
void fillFromSettings(UnitArgs& args) {
    if (!args.ports.empty() && !args.baud.empty()) return;
    SettingsFile settings;
    const std::string& path = settings.path();
    std::error_code ec;
    const bool exists = std::filesystem::exists(path, ec);
    const bool read = settings.readFile();
    if (args.ports.empty()) {
        std::string port = read ? settings.get(SettingsFile::kPortKey) : "";
        if (!port.empty()) {
            note(args, "port " + port + " from " + path);
        } else {
            port = SettingsFile::kDefaultPort;
            if (exists)
                note(args, "no usable Port in " + path + ": " + settingsProblem(path, SettingsFile::kPortKey) +
                               "; port " + port + " (the default) is used");
            else
                note(args, "port " + port + " (default; no " + path + ")");
        }
        args.ports.push_back(port);
    }
    if (args.baud.empty()) {
        std::string baud = read ? settings.get(SettingsFile::kBaudKey) : "";
        if (positiveNumber(baud)) {
            note(args, "baud rate " + baud + " from " + path);
        } else if (!baud.empty()) {
            note(args, "baud rate \"" + baud + "\" from " + path + " is not a number; 9600 is used");
        } else if (exists) {
            note(args, "no usable Baudrate in " + path + ": " + settingsProblem(path, SettingsFile::kBaudKey) +
                           "; 9600 (the default) is used");
        } else {
            note(args, "baud rate 9600 (default; no " + path + ")");
        }
        args.baud = positiveNumber(baud) ? baud : SettingsFile::kDefaultBaud;
    }
}

// Seconds as the run takes them; 0 (or less) is no limit, and ten years is as good as for ever.
std::optional<std::chrono::milliseconds> limitOf(double seconds) {
    if (!(seconds > 0)) return std::nullopt;
    return std::chrono::ceil<std::chrono::milliseconds>(std::chrono::duration<double>(std::min(seconds, 3.2e8)));
}

}  // namespace

std::string secondsCheck(const std::string& text, bool zeroAllowed) {
    std::size_t used = 0;
    double value = 0;
    try {
        value = std::stod(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    const bool number = used == text.size() && used > 0 && !std::isnan(value);
    if (number && (value > 0 || (zeroAllowed && value == 0))) return {};
    return zeroAllowed ? "must be 0 (no limit) or more seconds" : "must be more than 0 seconds";
}

namespace {

// The recorder of a unit's attempt, unless records are off or this build keeps none. A result
// when the records file cannot be used: nothing may then be sent.
std::optional<RunResult> recorderFor(RunKind command, const UnitArgs& args, const std::string& port,
                                     std::unique_ptr<RunRecorder>& recorder) {
    if (!args.records.enabled) return std::nullopt;
    std::string why;
    if (recordsPathOf(args.records).empty())
        why = "this user has no home directory for the records file; --records PATH names one";
    else
        recorder = openRecorder(args.records, port, why);
    if (why.empty()) return std::nullopt;
    RunResult r;
    r.kind = command;
    r.port = port;
    r.baud = args.baud;
    r.exitCode = exitcode::kRecord;
    const ReportBox box = recordRefusedBox(why);
    r.caption = box.caption;
    r.text = box.text + "\n(--no-record runs without a record.)";
    r.headline = "no record could be begun: " + why;
    return r;
}

// A unit's own process: the parent chose port, baud rate and library; progress and result go
// back to it as JSON lines.
int runChild(RunKind command, const UnitArgs& args) {
    // Only a process this program started for a unit takes the option: it loads the library it
    // names, and reports in a form meant for the parent.
    const char* parent = std::getenv(units::kUnitParentVariable);
    if (!parent || std::string(parent) != std::to_string(parentProcess()) || args.ports.size() != 1) {
        std::fprintf(stderr, "unit-loader-cli: --unit-child is for unit-loader-cli's own use\n");
        return exitcode::kUsage;
    }
    signals::setParent(parentProcess());
    if (!watchParent()) return exitcode::kInterrupted;
    RunOptions options{command,
                       args.file,
                       args.ports.front(),
                       args.baud,
                       limitOf(args.timeout),
                       args.childLibrary,
                       limitOf(args.stallTimeout)};
    options.recordedFile = args.recordedFile;
    options.expectVersion = args.expectVersion;
    options.expectSha256 = args.expectSha256;
    ChildEventSink sink;
    std::unique_ptr<RunRecorder> recorder;
    std::optional<RunResult> refused;
    if (auto r = recorderFor(command, args, args.ports.front(), recorder)) refused = r;
    options.recorder = recorder.get();
    const RunResult result = refused ? *refused : runUnit(options, sink);
    ChildEvent event;
    event.kind = ChildEvent::Kind::Result;
    event.result = result;
    event.headline = result.headline;
    if (recorder) event.recordId = recorder->attemptId();
    ChildEventSink::emit(event);
    return result.exitCode;
}

}  // namespace

int runUnitCommand(RunKind command, UnitArgs args) {
    if (!signals::install()) {
        std::fprintf(stderr, "unit-loader-cli: cannot set up signal handling\n");
        return exitcode::kInternal;
    }
    if (!args.childLibrary.empty()) return runChild(command, args);
    if (!args.records.attemptId.empty() || !args.records.verdictId.empty() || !args.expectVersion.empty()) {
        std::fprintf(stderr,
                     "unit-loader-cli: --attempt-id, --verdict-id and --expect-version are for a station's runs\n");
        return exitcode::kUsage;
    }
    // A password typed on the command line is seen by everyone (ps) and kept in histories.
    if (urlHasPassword(args.records.server)) {
        std::fprintf(stderr, "unit-loader-cli: %s\n", passwordInUrlText().c_str());
        return exitcode::kUsage;
    }
    fillFromSettings(args);
    // No download or version check without a record, unless the user said so and the site lets
    // them: refused before the first byte.
    if (const auto refusal = recordingRefusal(args.records)) {
        std::fprintf(stderr, "unit-loader-cli: %s\n", refusal->text.c_str());
        return refusal->exitCode;
    }
    const std::set<std::string> distinct(args.ports.begin(), args.ports.end());
    if (distinct.size() != args.ports.size()) {
        std::fprintf(stderr, "unit-loader-cli: a port is given twice\n");
        return exitcode::kUsage;
    }

    ExtractedLibrary library;
    if (!library.extract(ExtractedLibrary::For::CommandLine)) {
        std::fprintf(stderr,
                     "unit-loader-cli: cannot write the protocol library beside the program or in a "
                     "temporary directory\n");
        return exitcode::kInternal;
    }
    signals::removeWhenEndedAtOnce(library.path());
    TraceListener trace;
    if (args.trace) trace.start();

    // The queue of the records file goes to the records server meanwhile, on a thread of its
    // own; the units' processes only record.
    const auto forwardNote = [&args](std::string text) { note(args, text); };
    std::string serverNote;
    const std::string server = args.records.enabled ? recordsServerOf(args.records, serverNote) : std::string();
    std::unique_ptr<Forwarder> forwarder = startForwarding(args.records, forwardNote);

    const bool download = command == RunKind::Download;
    int code;
    int outputError = 0;
    if (args.ports.size() > 1) {
        SeveralOptions several{command,        args.file, args.ports, args.baud, std::nullopt,
                               library.path(), args.json, args.quiet, 0,         {}};
        // Every unit's process records its own attempt, all in the same file.
        const std::string records = args.records.enabled ? recordsPathOf(args.records) : std::string();
        several.childArgs.push_back(records.empty() ? std::string("--no-record") : "--records=" + records);
        for (const auto& [option, value] : {std::pair{"--operator=", &args.records.operatorName},
                                            {"--unit-id=", &args.records.unitId},
                                            {"--note=", &args.records.note}})
            if (!value->empty()) several.childArgs.push_back(option + *value);
        several.expectSha256 = args.expectSha256;
        if (args.timeout > 0) several.timeoutSeconds = args.timeout;
        several.stallTimeoutSeconds = args.stallTimeout;
        code = runSeveral(several);
    } else {
        RunOptions options{command,
                           args.file,
                           args.ports.front(),
                           args.baud,
                           limitOf(args.timeout),
                           library.path(),
                           limitOf(args.stallTimeout)};
        options.expectSha256 = args.expectSha256;
        std::unique_ptr<RunRecorder> recorder;
        const std::optional<RunResult> refused = recorderFor(command, args, args.ports.front(), recorder);
        options.recorder = recorder.get();
        RunResult result;
        if (refused) {
            result = *refused;
        } else if (args.quiet) {
            QuietSink sink;
            result = runUnit(options, sink);
        } else if (Console::instance().isTerminal()) {
            TerminalBarSink sink(download);
            result = runUnit(options, sink);
        } else {
            PlainLineSink sink(download);
            result = runUnit(options, sink);
        }
        if (args.json)
            std::printf("%s\n", toJson(result).dump(2).c_str());
        else
            std::fputs(outcomeText(result).c_str(), stdout);
        std::fflush(stdout);
        outputError = errno;
        code = result.exitCode;
    }
    finishForwarding(std::move(forwarder), server, code == exitcode::kInterrupted, forwardNote);
    trace.stop();
    library.remove();
    // The caller says why the outcome could not be written: the reason of that write, not of what
    // was closed since.
    if (std::ferror(stdout)) errno = outputError;
    signals::sessionClosed();
    return code;
}

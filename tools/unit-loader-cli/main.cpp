// unit-loader-cli: downloads and version checks from the command line, through the same core
// as the window, for production lines and service scripts.
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "Console.h"
#include "ExitCode.h"
#include "FileCommands.h"
#include "Library.h"
#include "Ports.h"
#include "SettingsFile.h"
#include "Several.h"
#include "Signals.h"
#include "Sinks.h"
#include "Trace.h"
#include "UnitRun.h"

namespace {

struct UnitArgs {
    std::string file;
    std::vector<std::string> ports;
    std::string baud;
    double timeout = 0;
    double stallTimeout = 120;
    bool json = false;
    bool trace = false;
    bool quiet = false;
    std::string childLibrary;  // set only in a unit's own process, started by the parent
};

void note(const UnitArgs& args, const std::string& text) {
    if (!args.quiet) Console::instance().line("unit-loader-cli: " + text);
}

// The baud-rate text as the engine reads it: a positive decimal number, else 9600.
bool positiveNumber(const std::string& text) {
    if (text.empty() || text.size() > 10) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    const long long value = std::stoll(text);
    return value > 0 && value <= 0x7FFFFFFF;
}

// Port and baud rate not given come from the settings file beside the program, as the window
// preselects them. The file is only read: a command-line run leaves no file behind.
bool fillFromSettings(UnitArgs& args) {
    if (!args.ports.empty() && !args.baud.empty()) return true;
    SettingsFile settings;
    const bool read = settings.readFile();
    std::string port = read ? settings.get(SettingsFile::kPortKey) : SettingsFile::kDefaultPort;
    std::string baud = read ? settings.get(SettingsFile::kBaudKey) : SettingsFile::kDefaultBaud;
    const std::string from = read ? "from " + settings.path() : "(default; no " + settings.path() + ")";
    if (args.ports.empty()) {
        if (port.empty()) {
            std::fprintf(stderr, "unit-loader-cli: no port: give --port, or set Port in %s\n", settings.path().c_str());
            return false;
        }
        args.ports.push_back(port);
        note(args, "port " + port + " " + from);
    }
    if (args.baud.empty()) {
        if (!positiveNumber(baud)) {
            note(args, "baud rate \"" + baud + "\" " + from + " is not a number; 9600 is used");
            baud = "9600";
        } else {
            note(args, "baud rate " + baud + " " + from);
        }
        args.baud = baud;
    }
    return true;
}

// Seconds as the run takes them; 0 (or less) is no limit.
std::optional<std::chrono::milliseconds> limitOf(double seconds) {
    if (seconds <= 0) return std::nullopt;
    return std::chrono::ceil<std::chrono::milliseconds>(std::chrono::duration<double>(seconds));
}

// A unit's own process: the parent chose port, baud rate and library; progress and result go
// back to it as JSON lines.
int runChild(UnitCommand command, const UnitArgs& args) {
    if (!watchParent()) return exitcode::kInterrupted;
    RunOptions options{command,
                       args.file,
                       args.ports.front(),
                       args.baud,
                       limitOf(args.timeout),
                       args.childLibrary,
                       limitOf(args.stallTimeout)};
    ChildEventSink sink;
    const RunResult result = runUnit(options, sink);
    ChildEventSink::emit({{"event", "result"}, {"result", toJson(result)}});
    return result.exitCode;
}

int runUnitCommand(UnitCommand command, UnitArgs args) {
    if (!signals::install()) {
        std::fprintf(stderr, "unit-loader-cli: cannot set up signal handling\n");
        return exitcode::kInternal;
    }
    if (!args.childLibrary.empty()) return runChild(command, args);
    if (!fillFromSettings(args)) return exitcode::kUsage;
    const std::set<std::string> distinct(args.ports.begin(), args.ports.end());
    if (distinct.size() != args.ports.size()) {
        std::fprintf(stderr, "unit-loader-cli: a port is given twice\n");
        return exitcode::kUsage;
    }

    ExtractedLibrary library;
    if (!library.extract()) {
        std::fprintf(stderr,
                     "unit-loader-cli: cannot write the protocol library beside the program or in a "
                     "temporary directory\n");
        return exitcode::kInternal;
    }
    TraceListener trace;
    if (args.trace) trace.start();

    const bool download = command == UnitCommand::Download;
    int code;
    if (args.ports.size() > 1) {
        SeveralOptions several{command,      args.file,      args.ports, args.baud,
                               std::nullopt, library.path(), args.json,  args.quiet};
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
        RunResult result;
        if (args.quiet) {
            QuietSink sink;
            result = runUnit(options, sink);
        } else if (Console::instance().isTerminal()) {
            TerminalBarSink sink(download);
            result = runUnit(options, sink);
            sink.finish();
        } else {
            PlainLineSink sink(download);
            result = runUnit(options, sink);
        }
        if (args.json)
            std::printf("%s\n", toJson(result).dump(2).c_str());
        else
            std::fputs(outcomeText(result).c_str(), stdout);
        std::fflush(stdout);
        code = result.exitCode;
    }
    trace.stop();
    library.remove();
    return code;
}

void addUnitOptions(CLI::App& sub, UnitArgs& args) {
    sub.add_option("--port", args.ports,
                   "Serial port: a device (/dev/ttyUSB0), a name under /dev (ttyUSB0) or COMn (/dev/ttyS<n-1>).\n"
                   "Give it several times to load several units at once, one process each.\n"
                   "Default: Port in vsk_download_config.txt beside the program, else COM1")
        ->option_text("PORT")
        ->allow_extra_args(false);
    sub.add_option("--baud", args.baud,
                   "Baud rate (any positive number; default: Baudrate in the settings file, else 9600)")
        ->option_text("N")
        ->check([](const std::string& text) { return positiveNumber(text) ? std::string() : "not a positive number"; });
    sub.add_option("--timeout", args.timeout,
                   "Give up after this many seconds (the unit's busy and verify waits have no limit of their own)")
        ->option_text("SECONDS")
        ->check(CLI::PositiveNumber);
    sub.add_option("--stall-timeout", args.stallTimeout,
                   "Give up when the run has made no progress (no change of state, no block acknowledged)\n"
                   "for this many seconds, as when the unit stays busy; 0 waits for ever")
        ->option_text("SECONDS")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    sub.add_flag("--json", args.json, "Print one JSON object at the end instead of the outcome text");
    sub.add_flag("--trace", args.trace, "Print the trace mailslots' messages (DebugComm_px417, Debug_VSK_DOWNLOAD)");
    sub.add_flag("--quiet", args.quiet, "No progress and no notes; only the outcome");
    sub.add_option("--unit-child", args.childLibrary)->group("");  // a unit's own process
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Unit Loader on the command line: loads firmware into a unit over a serial line, reads its\n"
        "software version, and makes and checks download files."};
    app.name("unit-loader-cli");
    app.require_subcommand(1);
    const std::string exitCodes = "\nExit codes:\n" + exitcode::tableText(2) +
                                  "With several --port values: the worst of the units' codes, worst first\n"
                                  "130, 1, 3, 4, 20, 19..11, 5, 0.";
    app.footer(exitCodes);

    UnitArgs downloadArgs;
    auto* download =
        app.add_subcommand("download", "Download FILE into the unit; prints the outcome as the loader's box shows it");
    download->add_option("FILE", downloadArgs.file, "Download file (ends in its CRC-16 trailer, high byte first)")
        ->required();
    addUnitOptions(*download, downloadArgs);
    download->footer(exitCodes);

    UnitArgs versionArgs;
    auto* version = app.add_subcommand("version", "Read the unit's software version and print it");
    addUnitOptions(*version, versionArgs);
    version->footer(exitCodes);

    app.add_subcommand("ports", "List the serial devices of this machine, with their stable names");

    std::string checkFile;
    auto* check =
        app.add_subcommand("check", "Check a download file's trailer; print size, blocks, blank blocks and file CRC");
    check->add_option("FILE", checkFile, "Download file")->required();

    std::string sealIn, sealOut;
    auto* seal = app.add_subcommand("seal", "Write IN followed by its CRC-16 trailer (high byte first) to OUT");
    seal->add_option("IN", sealIn, "Image without trailer")->required();
    seal->add_option("OUT", sealOut, "Download file to write")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? exitcode::kSuccess : exitcode::kUsage;
    }

    if (*download) return runUnitCommand(UnitCommand::Download, downloadArgs);
    if (*version) return runUnitCommand(UnitCommand::Version, versionArgs);
    if (app.got_subcommand("ports")) return portsCommand();
    if (*check) return checkCommand(checkFile);
    if (*seal) return sealCommand(sealIn, sealOut);
    return exitcode::kUsage;
}

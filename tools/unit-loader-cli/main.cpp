// unit-loader-cli: downloads and version checks from the command line, through the same core
// as the window, for production lines and service scripts.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "Console.h"
#include "ExitCode.h"
#include "ExtractedLibrary.h"
#include "FileCommands.h"
#include "Ports.h"
#include "SettingsFile.h"
#include "SettingsProblem.h"
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

// A number of seconds as an option takes it: more than 0, or (`zeroAllowed`) 0 or more.
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

// A unit's own process: the parent chose port, baud rate and library; progress and result go
// back to it as JSON lines.
int runChild(UnitCommand command, const UnitArgs& args) {
    // Only a process this program started for a unit takes the option: it loads the library it
    // names, and reports in a form meant for the parent.
    const char* parent = std::getenv(kUnitParentVariable);
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
    fillFromSettings(args);
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
    signals::sessionClosed();
    return code;
}

void addUnitOptions(CLI::App& sub, UnitArgs& args, UnitCommand command) {
    const bool download = command == UnitCommand::Download;
    sub.add_option("--port", args.ports,
                   std::string("Serial port: a device (/dev/ttyUSB0), a name under /dev (ttyUSB0) or COMn "
                               "(/dev/ttyS<n-1>).\n") +
                       (download ? "Give it several times to load several units at once, one process each.\n"
                                 : "Give it several times to check several units at once, one process each.\n") +
                       "Default: Port in vsk_download_config.txt beside the program, else COM1")
        ->option_text("PORT")
        ->allow_extra_args(false);
    sub.add_option("--baud", args.baud,
                   "Baud rate (any positive number; default: Baudrate in the settings file, else 9600)")
        ->option_text("N")
        ->check([](const std::string& text) { return positiveNumber(text) ? std::string() : "not a positive number"; });
    sub.add_option("--timeout", args.timeout,
                   download ? "Give up after this many seconds (the unit's busy and verify waits have no limit of "
                              "their own)"
                            : "Give up after this many seconds")
        ->option_text("SECONDS")
        ->check([](const std::string& text) { return secondsCheck(text, false); });
    sub.add_option("--stall-timeout", args.stallTimeout,
                   download ? "Give up when the download has made no progress (no change of state, no block\n"
                              "acknowledged) for this many seconds, as when the unit stays busy; 0 waits for ever"
                            : "Give up when the version check has made no progress (still waiting for Disable,\n"
                              "or for the version reply) for this many seconds; 0 waits for ever")
        ->option_text("SECONDS")
        ->capture_default_str()
        ->check([](const std::string& text) { return secondsCheck(text, true); });
    sub.add_flag("--json", args.json,
                 download ? "Print one JSON object at the end instead of the outcome text"
                          : "Print one JSON object at the end instead of the version text");
    sub.add_flag("--trace", args.trace, "Print the trace mailslots' messages (DebugComm_px417, Debug_VSK_DOWNLOAD)");
    sub.add_flag("--quiet", args.quiet,
                 download ? "No progress and no notes; only the outcome" : "No notes; only the version or the outcome");
    sub.add_option("--unit-child", args.childLibrary)->group("");  // a unit's own process, started by the parent
    sub.footer("Exit codes: see unit-loader-cli --help.");
}

// What the run printed must have reached its reader: a full disk or a closed pipe is an error
// of its own, not a success.
int outputWritten(int code) {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return code;
    std::fprintf(stderr, "unit-loader-cli: cannot write the outcome to standard output: %s\n", std::strerror(errno));
    return exitcode::worse(code, exitcode::kInternal);
}

int run(int argc, char** argv) {
    CLI::App app{
        "Unit Loader on the command line: loads firmware into a unit over a serial line, reads its\n"
        "software version, and makes and checks download files."};
    app.name("unit-loader-cli");
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("unit-loader-cli ") + UL_VERSION);
    app.footer("\nExit codes:\n" + exitcode::tableText(2) +
               "With several --port values: the worst of the units' codes, worst first\n"
               "130, 1, 3, 4, 20, 19..11, 5, 0.");

    UnitArgs downloadArgs;
    auto* download =
        app.add_subcommand("download", "Download FILE into the unit; prints the outcome as the loader's box shows it");
    download->add_option("FILE", downloadArgs.file, "Download file (ends in its CRC-16 trailer, high byte first)")
        ->required();
    addUnitOptions(*download, downloadArgs, UnitCommand::Download);

    UnitArgs versionArgs;
    auto* version = app.add_subcommand(
        "version",
        "Read the unit's software version and print it: waits for the unit to report Disable, asks for\n"
        "its version and prints the text of the reply. Nothing is written to the unit.");
    addUnitOptions(*version, versionArgs, UnitCommand::Version);

    app.add_subcommand("ports", "List the serial devices of this machine, with their stable names");

    std::string checkFile;
    auto* check =
        app.add_subcommand("check", "Check a download file's trailer; print size, blocks, blank blocks and file CRC");
    check->add_option("FILE", checkFile, "Download file")->required();

    std::string sealIn, sealOut;
    auto* seal = app.add_subcommand("seal", "Write IN followed by its CRC-16 trailer (high byte first) to OUT");
    seal->add_option("IN", sealIn, "Image without trailer")->required();
    seal->add_option("OUT", sealOut, "Download file to write")->required();

    // A word that is no subcommand would otherwise be reported as a missing subcommand.
    std::string names;
    bool known = false;
    for (const CLI::App* sub : app.get_subcommands({})) {
        names += (names.empty() ? "" : ", ") + sub->get_name();
        known = known || (argc >= 2 && sub->get_name() == argv[1]);
    }
    if (argc < 2 || (argv[1][0] != '-' && !known)) {
        if (argc < 2)
            std::fprintf(stderr, "unit-loader-cli: a subcommand is required: %s\n", names.c_str());
        else
            std::fprintf(stderr, "unit-loader-cli: \"%s\" is not a subcommand; the subcommands are %s\n", argv[1],
                         names.c_str());
        std::fprintf(stderr, "Run with --help for more information.\n");
        return exitcode::kUsage;
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? exitcode::kSuccess : exitcode::kUsage;
    }

    if (*download) return runUnitCommand(UnitCommand::Download, downloadArgs);
    if (*version) return runUnitCommand(UnitCommand::Version, versionArgs);
    if (app.got_subcommand("ports")) return portsCommand();
    if (*check) return checkCommand(checkFile);
    if (*seal) {
        try {
            return sealCommand(sealIn, sealOut);
        } catch (const std::bad_alloc&) {
            std::fprintf(stderr, "unit-loader-cli: Memory Allocate Error\n");
            return exitcode::kFile;
        }
    }
    return exitcode::kUsage;
}

}  // namespace

int main(int argc, char** argv) { return outputWritten(run(argc, argv)); }

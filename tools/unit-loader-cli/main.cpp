// unit-loader-cli: downloads and version checks from the command line, through the same core
// as the window, for production lines and service scripts.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ExitCode.h"
#include "FileCommands.h"
#include "Ports.h"
#include "Run.h"
#include "UnitLoaderVersion.h"

namespace {

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

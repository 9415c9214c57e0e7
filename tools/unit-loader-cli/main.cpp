// unit-loader-cli: downloads and version checks from the command line, through the same core
// as the window, for production lines and service scripts.
#include <CLI/CLI.hpp>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "FileCommands.h"
#include "Ports.h"
#include "Run.h"
#include "SafeText.h"
#include "StationCommand.h"
#include "UnitLoaderVersion.h"
#include "download/ExitCode.h"

namespace {

// A text a person gives for the records: refused (exit code 2) when too long or not plain text.
CLI::Validator recordText(std::size_t maxBytes) {
    return CLI::Validator(
        [maxBytes](std::string& text) {
            const auto problem = safetext::givenTextProblem(text, maxBytes);
            return problem ? "the text " + *problem : std::string();
        },
        "");
}

void addUnitOptions(CLI::App& sub, UnitArgs& args, RunKind command) {
    const bool download = command == RunKind::Download;
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
    sub.add_option("--records", args.records.path,
                   "The records file, where every attempt is kept (default: $UNIT_LOADER_RECORDS, the Records line\n"
                   "of the settings file, else $XDG_DATA_HOME/unit-loader/records.sqlite; on Windows records.jsonl\n"
                   "beside the program). A name ending in .jsonl is a journal of JSON lines")
        ->option_text("PATH");
    sub.add_option("--records-server", args.records.server,
                   "Also forward every attempt to this shared records server, a PostgreSQL connection URL\n"
                   "(postgresql://user@host/db), in the background; while it cannot be reached the attempts\n"
                   "queue in the records file. The password comes from PGPASSFILE (~/.pgpass) or PGPASSWORD,\n"
                   "never from the URL (default: the RecordsServer line of the settings file)")
        ->option_text("URL");
    sub.add_flag("--no-record{false}", args.records.enabled, "Run without recording the attempt");
    sub.add_option("--operator", args.records.operatorName,
                   "Who loads the unit, for the record (default: the login name; at most 128 bytes)")
        ->option_text("NAME")
        ->check(recordText(safetext::kOperatorMax));
    sub.add_option("--unit-id", args.records.unitId, "The unit's serial number, for the record (at most 128 bytes)")
        ->option_text("ID")
        ->check(recordText(safetext::kUnitIdMax));
    sub.add_option("--note", args.records.note, "A note kept with the record (at most 1024 bytes)")
        ->option_text("TEXT")
        ->check(recordText(safetext::kNoteMax));
    sub.add_option("--unit-child", args.childLibrary)->group("");   // a unit's own process, started by the parent
    sub.add_option("--record-file", args.recordedFile)->group("");  // there: the file's name for the record
    // A station's run: the attempt's id, the verdict that judges it, the version its job expects.
    sub.add_option("--attempt-id", args.records.attemptId)->group("");
    sub.add_option("--verdict-id", args.records.verdictId)->group("");
    if (!download) sub.add_option("--expect-version", args.expectVersion)->group("");
    if (download)  // a station's run: the SHA-256 the image's bytes must have
        sub.add_option("--expect-sha256", args.expectSha256)
            ->group("")
            ->check(CLI::Validator(
                [](std::string& hex) {
                    for (char& c : hex) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                    return hex.size() == 64 && hex.find_first_not_of("0123456789abcdef") == std::string::npos
                               ? std::string()
                               : std::string("--expect-sha256 must be 64 hexadecimal digits (a SHA-256)");
                },
                ""));
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
               "130, 1, 6, 3, 4, 20, 19..11, 5, 0.");

    UnitArgs downloadArgs;
    auto* download =
        app.add_subcommand("download", "Download FILE into the unit; prints the outcome as the loader's box shows it");
    download->add_option("FILE", downloadArgs.file, "Download file (ends in its CRC-16 trailer, high byte first)")
        ->required();
    addUnitOptions(*download, downloadArgs, RunKind::Download);

    UnitArgs versionArgs;
    auto* version = app.add_subcommand(
        "version",
        "Read the unit's software version and print it: waits for the unit to report Disable, asks for\n"
        "its version and prints the text of the reply. Nothing is written to the unit.");
    addUnitOptions(*version, versionArgs, RunKind::VersionCheck);

    app.add_subcommand("ports", "List the serial devices of this machine, with their stable names");

    std::string checkFile;
    auto* check =
        app.add_subcommand("check", "Check a download file's trailer; print size, blocks, blank blocks and file CRC");
    check->add_option("FILE", checkFile, "Download file")->required();

    std::string sealIn, sealOut;
    auto* seal = app.add_subcommand("seal", "Write IN followed by its CRC-16 trailer (high byte first) to OUT");
    seal->add_option("IN", sealIn, "Image without trailer")->required();
    seal->add_option("OUT", sealOut, "Download file to write")->required();

    RecordsQuery records;
    auto* recordsCmd = app.add_subcommand(
        "records",
        "List, show, export, import or sum up the recorded attempts, bring the file up to date; forward them to a "
        "records server");
    recordsCmd->require_subcommand(1);
    for (const char* action : {"list", "show", "export", "summary"}) {
        const std::string name = action;
        auto* a = recordsCmd->add_subcommand(
            name, name == "list"   ? "The attempts, newest first"
                  : name == "show" ? "Every field of one attempt"
                  : name == "export"
                      ? "The attempts as CSV (a header row of the field names) or JSON lines"
                      : "Per day and port (with --server per day, station, port and unit version): attempts, passes,\n"
                        "first-pass yield, median duration, failures; then a station's units per day and job:\n"
                        "passes, fails, first-pass yield (passed on the first download), why they failed");
        a->add_option("--records", records.path, "The records file")->option_text("PATH");
        a->add_option("--since", records.since, "Started at or after (UTC, e.g. 2026-12-08)")->option_text("TIME");
        a->add_option("--until", records.until, "Started before")->option_text("TIME");
        a->add_option("--port", records.port, "Of this port, as given")->option_text("PORT");
        a->add_option("--outcome", records.outcome, "With this outcome (success, F3, interrupted, ...)")
            ->option_text("NAME");
        a->add_option("--unit-id", records.unitId, "Of this unit")->option_text("ID");
        a->add_option("--file-sha256", records.fileSha256, "Of this download file")->option_text("HEX");
        a->add_option("--station", records.station, "Of this station (host name)")->option_text("NAME");
        a->add_option("--unit-version", records.unitVersion, "Of units whose version check read this version")
            ->option_text("TEXT");
        a->add_option("--server", records.server,
                      name == "summary" ? "Ask the records server at this URL, across stations: per day, station, "
                                          "port and unit version"
                                        : "Ask the records server at this URL, across stations")
            ->option_text("URL");
        a->add_flag("--history", records.history,
                    "With --server: every version of each attempt the server keeps (an attempt that changed after "
                    "it was sent, such as an interrupted one completed by an import), not only the latest");
        if (name == "list")
            a->add_flag("--unsent", records.unsent,
                        "The attempts queued for the records server, oldest first, each set aside by the server's "
                        "refusal with its error");
        if (name == "show") a->add_option("ID", records.id, "The attempt's id (or its first digits)")->required();
        if (name == "export")
            a->add_option("--format", records.format, "csv or jsonl")
                ->check(CLI::IsMember({"csv", "jsonl"}))
                ->capture_default_str();
        a->callback([&records, name] { records.action = name; });
    }
    auto* import = recordsCmd->add_subcommand(
        "import", "Read journals (records.jsonl of the Windows loader) into the records file; twice adds nothing");
    import->add_option("--records", records.path, "The records file")->option_text("PATH");
    import->add_option("JOURNAL", records.journals, "Journal files")->required();
    import->callback([&records] { records.action = "import";
});
auto* units = recordsCmd->add_subcommand(
    "units", "Each unit's latest verdict from a station, newest first (a unit without an id is one of its own)");
units->add_option("--records", records.path, "The records file")->option_text("PATH");
units->add_option("--version", records.unitVersion, "Units whose latest verdict read this version")
    ->option_text("TEXT");
units->add_option("--job", records.job, "Units whose latest verdict is of this job")->option_text("NAME");
units->add_option("--unit-id", records.unitId, "This unit")->option_text("ID");
units->callback([&records] { records.action = "units"; });
auto* migrate = recordsCmd->add_subcommand(
    "migrate", "Bring the records file's schema up to date (the reading commands never change the file)");
migrate->add_option("--records", records.path, "The records file")->option_text("PATH");
migrate->callback([&records] { records.action = "migrate"; });
auto* verify = recordsCmd->add_subcommand(
    "verify",
    "Check the records file's chain of events: names every record or event changed, removed or inserted\n"
    "since it was recorded, the first one first");
verify->add_option("--records", records.path, "The records file")->option_text("PATH");
verify
    ->add_option("--server", records.server,
                 "Check the chains the records server at this URL keeps, against its copies of the records; with\n"
                 "--records, the file's own chain against the server's copy of it too")
    ->option_text("URL");
verify->callback([&records] { records.action = "verify"; });
auto* sync = recordsCmd->add_subcommand(
    "sync", "Send the attempts queued for the records server now; says how many went and how many stay");
sync->add_option("--records", records.path, "The records file")->option_text("PATH");
sync->add_option("--server", records.server, "The records server (default: RecordsServer in the settings file)")
    ->option_text("URL");
sync->callback([&records] { records.action = "sync"; });
auto* serverInit = recordsCmd->add_subcommand(
    "server-init", "Create the records server's tables, or bring them up to date (the forwarder does too)");
serverInit->add_option("--server", records.server, "The records server")->option_text("URL")->required();
serverInit->add_flag("--roles", records.roles,
                     "Also make the roles unit_loader_owner (owns the tables, migrates them) and unit_loader_writer\n"
                     "(may only read and append; the stations' login roles are made its members); needs a role\n"
                     "that may create roles");
serverInit->callback([&records] { records.action = "server-init"; });

StationArgs stationArgs;
auto* stationCmd =
    app.add_subcommand("station",
                       "Run a production station from a job file: each slot loads every unit put in, checks its\n"
                       "version against the job, records every attempt, and waits for the unit to be taken out");
stationCmd->add_option("JOB", stationArgs.job, "The job file (TOML; see docs/station.md)")->required();
stationCmd->add_flag("--json", stationArgs.json,
                     "JSON lines on standard output: slot_state, attempt_start, attempt_end, alarm, "
                     "station_end");
stationCmd->add_option("--records", stationArgs.records.path, "The records file (as for download)")
    ->option_text("PATH");
stationCmd->add_flag("--no-record{false}", stationArgs.records.enabled, "Run without recording the attempts");
stationCmd
    ->add_option("--operator", stationArgs.records.operatorName,
                 "Who runs the station, for the records (default: the job's operator, else the login name)")
    ->option_text("NAME")
    ->check(recordText(safetext::kOperatorMax));
stationCmd->footer(
    "Exit codes: 0 the quota was reached; 130 stopped (Ctrl-C, SIGTERM, SIGHUP) once every running\n"
    "download has ended; when every slot is paused by its failures, the worst code of those failures\n"
    "(7 for a unit reporting another version than the job's); 2 a bad job file; 3 the image is\n"
    "missing or is not the job's (both hashes are printed); 6 the records file cannot be used.");

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

if (*download) return runUnitCommand(RunKind::Download, downloadArgs);
if (*version) return runUnitCommand(RunKind::VersionCheck, versionArgs);
if (app.got_subcommand("ports")) return portsCommand();
if (*stationCmd) return stationCommand(stationArgs);
if (*recordsCmd) return recordsCommand(records);
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
}  // namespace

}  // namespace

int main(int argc, char** argv) { return outputWritten(run(argc, argv)); }

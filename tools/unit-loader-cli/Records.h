#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "UnitRun.h"
#include "record/RecordServer.h"

// Where the attempts of a download or version check go, as the options and settings say.
struct RecordOptions {
    bool enabled = true;       // --no-record turns it off
    std::string path;          // --records; else UNIT_LOADER_RECORDS, the settings' Records, the default
    std::string operatorName;  // --operator; else the login name
    std::string unitId;        // --unit-id
    std::string note;          // --note
    std::string server;        // --records-server; else the settings' RecordsServer
    // A station's run (its own process only): the attempt's id and the station's verdict on the unit.
    std::string attemptId = {};
    std::string verdictId = {};
};

// The records file to use: --records, else $UNIT_LOADER_RECORDS, else the settings file's
// "Records" line, else the default place.
std::string recordsPathOf(const RecordOptions& options);

// Why a run may not start as asked, before anything is sent: --no-record where the site's
// policy requires records (a usage error), or no place for the records file (a record error).
struct RecordingRefusal {
    int exitCode;
    std::string text;
};
std::optional<RecordingRefusal> recordingRefusal(const RecordOptions& options);

// A RunRecorder over the records file for the unit on `port`. Nothing, with `why` set, when the
// file cannot be used (then nothing may run).
std::unique_ptr<RunRecorder> openRecorder(const RecordOptions& options, const std::string& port, std::string& why);

// The records server to forward to: --records-server, else the settings file's
// "RecordsServer" line; empty for none. A settings line with a password in it is not used, and
// `why` says so.
std::string recordsServerOf(const RecordOptions& options, std::string& why);

// Starts forwarding the records file's queue to the records server in the background, when
// records are kept in an SQLite file and a server is named; nothing otherwise. `note` receives
// what the operator should know.
std::unique_ptr<Forwarder> startForwarding(const RecordOptions& options, const std::function<void(std::string)>& note);
// At the end of the command: a short, bounded chance to send what the run queued (none when
// the operator stopped the run), then the forwarder stops; says what stays queued.
void finishForwarding(std::unique_ptr<Forwarder> forwarder, const std::string& url, bool stopped,
                      const std::function<void(std::string)>& note);

// `unit-loader-cli records list|show|export|import|summary|sync|server-init`.
struct RecordsQuery {
    std::string action;  // list, show, export, import, summary, units, migrate, verify, sync, server-init
    std::string path;
    std::string server;  // --server: ask the records server instead of the local file
    std::string since, until, port, outcome, unitId, fileSha256, station, unitVersion;
    std::string job;  // units

    std::string id;                     // show
    std::string format = "csv";         // export
    std::vector<std::string> journals;  // import
    bool history = false;               // --history: every version the server keeps
    bool roles = false;                 // server-init --roles
    bool unsent = false;                // list --unsent: the queue for the server
};
int recordsCommand(const RecordsQuery& query);

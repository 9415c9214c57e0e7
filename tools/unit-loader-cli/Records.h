#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "UnitRun.h"

// Where the attempts of a download or version check go, as the options and settings say.
struct RecordOptions {
    bool enabled = true;       // --no-record turns it off
    std::string path;          // --records; else UNIT_LOADER_RECORDS, the settings' Records, the default
    std::string operatorName;  // --operator; else the login name
    std::string unitId;        // --unit-id
    std::string note;          // --note
};

// The records file to use: --records, else $UNIT_LOADER_RECORDS, else the settings file's
// "Records" line, else the default place.
std::string recordsPathOf(const RecordOptions& options);

// A RunRecorder over the records file for the unit on `port`. Nothing, with `why` set, when the
// file cannot be used (then nothing may run).
std::unique_ptr<RunRecorder> openRecorder(const RecordOptions& options, const std::string& port, std::string& why);

// `unit-loader-cli records list|show|export|import|summary`.
struct RecordsQuery {
    std::string action;  // list, show, export, import, summary
    std::string path;
    std::string since, until, port, outcome, unitId, fileSha256;
    std::string id;                     // show
    std::string format = "csv";         // export
    std::vector<std::string> journals;  // import
};
int recordsCommand(const RecordsQuery& query);

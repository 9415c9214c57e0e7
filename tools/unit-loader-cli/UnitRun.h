#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "Progress.h"
#include "download/DownloadImage.h"
#include "download/RunReport.h"
#include "units/RunResult.h"

class RunRecorder;

struct RunOptions {
    RunKind command = RunKind::Download;
    std::string file;  // downloads only
    std::string port;
    std::string baud;  // as the baud-rate list would give it
    std::optional<std::chrono::milliseconds> timeout;
    std::string library;  // the extracted px417 file
    // Ends a run that has neither changed state nor had a block acknowledged for this long.
    std::optional<std::chrono::milliseconds> stallTimeout;
    // Keeps the attempt, begun before anything goes to the unit; none: no record.
    RunRecorder* recorder = nullptr;
    // The file's name in the record when the run reads a copy of it (the station's image).
    std::string recordedFile = {};
    // A version check that reads another text than this one (when set) ends as a version
    // mismatch, in its record too.
    std::string expectVersion = {};
    // Downloads: the SHA-256 (lower-case hex) the file's bytes must have; empty: any.
    std::string expectSha256 = {};
};

// What a person reads: the box's caption, then its text and the explanation under it; a version
// check's version alone.
std::string outcomeText(const RunResult& result);

// Receives the progress of a run as it happens; every call comes from the run's own thread.
class ProgressSink {
public:
    virtual ~ProgressSink() = default;
    virtual void started(std::uint32_t blockCount, std::uint64_t bytes) = 0;
    virtual void blocks(std::uint32_t blocksDone) = 0;
    virtual void status(const std::string& text) = 0;
    // Called at least as often as the wait it asks for, and once more just before the run ends.
    virtual void tick() = 0;
    virtual std::chrono::milliseconds nextTick() const = 0;
    // The run has ended: show where it stood last, if that has not been shown.
    virtual void finish() {}
};

// What is known of an attempt before anything goes to the unit.
struct RunStart {
    RunKind kind = RunKind::Download;
    std::int32_t baud = 0;
    std::string file;                      // downloads only
    const DownloadImage* image = nullptr;  // the loaded file; none when it would not load
    std::string recordedFile = {};         // the file's name for the record, when not `file`
};

// Where a run's attempt is recorded (the records file).
class RunRecorder {
public:
    virtual ~RunRecorder() = default;
    // Before the first byte goes to the unit. An error text when no record can be begun: the
    // run is then not started.
    virtual std::optional<std::string> begin(const RunStart& start) = 0;
    // When the run has ended; an error text when its end could not be recorded.
    virtual std::optional<std::string> end(const RunReport& report, const RunResult& result) = 0;
    // The record's id once begun (empty before).
    virtual std::string attemptId() const = 0;
};

// One download or version check through the dialog core, pumped until it ends, the timeout
// or the stall timeout expires or SIGINT, SIGTERM or SIGHUP arrives. The session is closed
// whichever way it ends.
RunResult runUnit(const RunOptions& options, ProgressSink& sink);

#pragma once

#include <memory>
#include <optional>
#include <string>

#include "AttemptOf.h"
#include "RecordStore.h"
#include "download/DownloadImage.h"
#include "download/RunReport.h"

// Who runs the attempts and what the operator said of them.
struct AttemptPeople {
    std::string operatorName;  // empty: the login name
    std::string unitId;
    std::string note;
    // A station's run: the id its station chose for the attempt (empty: a new one), and the
    // station's verdict on the unit.
    std::string attemptId = {};
    std::string verdictId = {};
};

// One front's attempts on one port, into one records store: begun before the first byte goes to
// the unit, ended with the run's report. Used by the command line and the windows alike.
class AttemptRecorder {
public:
    AttemptRecorder(std::unique_ptr<RecordStore> store, AttemptPeople people, std::string port);

    // The error text when no record could be begun: then nothing may be sent. `image`: the
    // loaded download file, none for a version check or a file that would not load.
    std::optional<std::string> begin(RunKind kind, std::int32_t baud, const std::string& file,
                                     const DownloadImage* image);
    // When the run has ended; the error text (naming the attempt and the file) when its end could
    // not be recorded, tried again for a few seconds. Nothing to do without a begun attempt.
    std::optional<std::string> end(const RunReport& report, int exitCode);
    bool begun() const { return begun_; }
    const std::string& attemptId() const { return context_.id; }
    RecordStore& store() { return *store_; }

private:
    std::unique_ptr<RecordStore> store_;
    AttemptPeople people_;
    std::string port_;
    AttemptContext context_;
    bool begun_ = false;
};

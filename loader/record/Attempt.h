#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One download or version check as the records keep it. The names of the fields are the names
// of the columns and of every export; see docs/records.md.
struct Attempt {
    std::string id;          // random 128-bit, 32 hex digits
    std::string kind;        // "download", "version", or "unit" for a station's verdict on a unit
    std::string started_at;  // UTC, ISO 8601 with milliseconds
    std::string ended_at;    // empty while the attempt runs (or when its end was never recorded)
    std::optional<std::int64_t> duration_ms;
    std::string station;    // host name
    std::string operator_;  // "operator" in the records
    std::string unit_id;
    std::string port;     // as given
    std::string port_id;  // the stable name, and for a USB adapter vendor:product and serial
    std::int64_t baud = 0;
    std::string file;
    std::optional<std::int64_t> file_size;
    std::string file_sha256;
    std::string file_crc;  // "%04X"
    std::optional<std::int64_t> blank_blocks;
    std::string outcome;  // the exit code's name ("success", "F3", "interrupted", ...)
    std::optional<std::int64_t> exit_code;
    std::string box_caption;
    std::string box_text;
    std::string unit_crc;       // "%02X%02X", the verify result's bytes 5 and 4
    std::string verify_result;  // "D3 00" or "D3 80"
    std::string unit_version;
    std::string retries;     // "state:count" for each waiting state that retried, e.g. "1:2 3:50"
    std::string link_error;  // of the last failed exchange ("no reply", ...), empty for none
    std::string loader_version;
    std::string note;
    // A station's unit verdict (kind "unit"): the job, what it expects, the slot and the verdict
    // ("pass", "fail" or "interrupted") with its reason ("wrong version", "run failed", "run
    // crashed", "removed"), and the last download and version check it judged. Those attempts
    // carry the verdict's id in verdict_id.
    std::string job;
    std::string job_sha256;
    std::string expect_version;
    std::string slot;
    std::string verdict;
    std::string verdict_reason;
    std::string verdict_id;
    std::string download_id;
    std::string version_id;

    // Not fields of the attempt (the fields above are what the station recorded; imports,
    // merges and conflicts look at those only). `version`: the records server keeps an attempt
    // that changed after it was sent (a begun one ended, an interrupted one completed by an
    // import) as a new version beside the old one. `received_at` and `received_by` are what the
    // server stamped on the version it keeps (its clock, its login role); empty for a local record.
    std::int64_t version = 1;
    std::string received_at;
    std::string received_by;
};

// The field names in their order, as the exports write them.
const std::vector<std::string>& attemptFieldNames();
// Whether the field is one a station's verdict added (job ... version_id): empty in every
// record made before them.
bool verdictField(const std::string& name);
// The fields as text in that order (empty for a value not set).
std::vector<std::string> attemptFieldValues(const Attempt& attempt);
// The attempt with every text valid UTF-8: bytes that are not (a unit's version in another
// encoding, a file name) escaped as \xNN, never dropped. What a record keeps.
Attempt withValidText(Attempt attempt);
// The reverse, for imports: false when the names are not the attempt's.
bool attemptFromFields(const std::vector<std::string>& names, const std::vector<std::string>& values, Attempt& attempt);

// What an import may do with an incoming attempt, given the one kept under its id (none: not
// kept). An ended record never changes: an import adds what is new, and may only complete an
// attempt kept without an end (begun, or marked interrupted); anything else that differs is a
// conflict, kept beside the original with the reason.
enum class MergeKind { Add, Same, Complete, Conflict };
struct Merge {
    MergeKind kind = MergeKind::Add;
    std::string reason;  // of a conflict: which fields differ
};
Merge mergeOf(const Attempt* kept, const Attempt& incoming);

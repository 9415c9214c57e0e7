#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Attempt.h"
#include "RecordChain.h"

// Why the records could not be used; each says what to do about it.
class RecordError : public std::runtime_error {
public:
    enum class Kind { CannotOpen, ReadOnly, Full, Corrupt, Locked, Missing, Other };
    RecordError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

// Which attempts a query wants; empty fields match everything.
struct AttemptFilter {
    std::string since;  // started_at at or after (a prefix such as "2026-12-08" will do)
    std::string until;  // started_at before
    std::string port;
    std::string outcome;
    std::string unitId;
    std::string fileSha256;
    std::string id;  // one attempt: the whole id, or a prefix of it
    std::string station;
    std::string unitVersion;
    // A records server's every version of each attempt, not only its latest. Local records keep
    // one version of each.
    bool history = false;
    std::string kind = {};  // "download", "version", "unit"
};

// Whether the attempt is one the filter asks for.
bool attemptMatches(const AttemptFilter& filter, const Attempt& attempt);

// A journal line that is no event of a journal (a line cut short by a crash, an edited one).
struct SkippedLine {
    std::int64_t line = 0;  // from 1
    std::string why;
};

// What an import did with one attempt (see mergeOf).
enum class Imported {
    Added,          // not kept before
    Completed,      // kept without an end; the import's end (or interruption) was added
    Unchanged,      // kept as the journal has it, or the journal has nothing more
    Conflict,       // differs from the kept record, which stays: kept beside it now
    ConflictKnown,  // that same conflict was kept before
};
struct ImportResult {
    Imported what = Imported::Unchanged;
    std::string reason;  // of a conflict
};

// A records file's chain of events and the records it covers as they are now (RecordChain.h).
struct ChainState {
    std::string fileId;  // the file's own id, made with its chain
    std::vector<recordchain::Event> events;
    std::vector<recordchain::Record> records;
    // A journal's: what its lines show altered besides, and how many lines come from before it
    // kept a chain (not covered by it).
    std::vector<recordchain::Break> found;
    std::int64_t beforeChain = 0;
};

// Where attempts are kept. An attempt is written twice: begun before the first byte goes to
// the unit, ended when the run has ended; each write is on disk when the call returns.
class RecordStore {
public:
    virtual ~RecordStore() = default;
    // Throws RecordError. An id already there is left as it is (false): a second import adds
    // nothing.
    virtual bool begin(const Attempt& attempt) = 0;
    virtual void end(const Attempt& attempt) = 0;
    // Newest first.
    virtual std::vector<Attempt> query(const AttemptFilter& filter) = 0;
    // An attempt read from elsewhere (a journal, named by `source`): added when new, completed
    // when kept without an end, else left as it is; a conflicting one is kept beside it.
    virtual ImportResult importAttempt(const Attempt& attempt, const std::string& source) = 0;
    // Where conflicts are kept, as the operator is told ("the table conflicts of PATH").
    virtual std::string conflictPlace() const = 0;
    // The lines the last query passed over (a journal's), for the reader to report.
    virtual std::vector<SkippedLine> skipped() const { return {}; }
    // What a reader should know of the file (an older schema, and the command that updates it).
    virtual std::string note() const { return {}; }
    virtual const std::string& path() const = 0;
    // The chain of events, read as it is; nothing for a store that keeps none (a journal, a file
    // of an older schema).
    virtual std::optional<ChainState> chain() { return std::nullopt; }
    // The chain goes to the records server too, after the attempts: the file's id (empty when it
    // keeps no chain), the events the server has not acknowledged, oldest first, at most `limit`,
    // and how many there are; every event up to `upTo` acknowledged.
    virtual std::string chainFileId() { return {}; }
    virtual std::vector<recordchain::Event> unsentEvents(std::size_t /*limit*/) { return {}; }
    virtual std::int64_t unsentEventCount() { return 0; }
    virtual void markEventsSent(std::int64_t /*upTo*/) {}

    // The forward queue for a records server: every ended attempt is queued until a server has
    // acknowledged it. A store without one (a journal) queues nothing.
    virtual bool queues() const { return false; }
    // The oldest queued attempts, at most `limit`.
    virtual std::vector<Attempt> unsent(std::size_t /*limit*/) { return {}; }
    // Only after the server committed them, as unsent() gave them: an attempt that changed
    // meanwhile stays queued, as its next version.
    virtual void markSent(const std::vector<Attempt>& /*sent*/) {}
    // Queued attempts not set aside.
    virtual std::int64_t unsentCount() { return 0; }
    // Attempts the server refused (its error for each): kept queued, but passed over by unsent()
    // until they change or retryRefused(), so that one bad row never holds up the ones after it.
    struct Refusal {
        std::string id;
        std::string error;
    };
    virtual void setAside(const std::vector<Refusal>& /*refused*/) {}
    // Sends the attempts set aside again; how many there were.
    virtual std::int64_t retryRefused() { return 0; }
    // Every queued attempt, oldest first, with the server's error for one set aside.
    struct Queued {
        Attempt attempt;
        std::string refused;
        std::string refusedAt;
    };
    virtual std::vector<Queued> queued() { return {}; }
};

// Whether the records are opened to record or only to read. Reading never writes: no file or
// folder is made, no schema brought up to date, no attempt marked, nothing appended; an attempt
// of this station whose process has gone without an end is shown as interrupted, as the next
// program that records will mark it. A file that is not there is RecordError::Kind::Missing.
enum class RecordAccess { Write, Read };

// What openRecordStore opens at `path`: an SQLite file, which keeps a forward queue, or a journal,
// which keeps none. The one rule of it.
enum class StoreKind { Sqlite, Journal };
StoreKind recordStoreKind(const std::string& path);

// Opens the records file at `path` (to write: made when missing, its schema brought up to date,
// and the attempts of this station whose process has gone without an end marked interrupted).
// Throws RecordError. On Linux an SQLite file, or a journal when the name ends with ".jsonl"; on
// Windows always a journal.
std::unique_ptr<RecordStore> openRecordStore(const std::string& path, RecordAccess access = RecordAccess::Write);
// An SQLite file (Linux).
std::unique_ptr<RecordStore> openSqliteStore(const std::string& path, RecordAccess access);
// A journal: JSON lines, one per begun or ended attempt, each on disk when the call returns. It
// is what the Windows build keeps (no SQLite there), and what `records import` reads.
std::unique_ptr<RecordStore> openJournalStore(const std::string& path, RecordAccess access);

// What an import of a journal did.
struct ImportCount {
    int attempts = 0;   // in the journal
    int added = 0;      // not in the records before
    int completed = 0;  // kept without an end before; completed now
    int unended = 0;    // without an end in the journal: taken as interrupted
    struct Conflict {
        std::string id;
        std::string reason;
        bool known = false;  // kept by an earlier import
    };
    std::vector<Conflict> conflicts;
    std::vector<SkippedLine> skipped;
};
// Reads the journal at `path` into `into` (see RecordStore::importAttempt): a journal imported
// twice changes nothing. Throws RecordError.
ImportCount importJournal(const std::string& path, RecordStore& into);

// Where the records live when nothing says otherwise. Linux: $XDG_DATA_HOME/unit-loader/
// records.sqlite, else ~/.local/share/unit-loader/records.sqlite, empty for a user without a
// home directory. Windows: "records.jsonl" beside the program and its settings file.
std::string defaultRecordsPath();
// The records file to use: `given` (--records) when set, else $UNIT_LOADER_RECORDS, else the
// settings file's "Records" value, else the default place.
std::string recordsPathOf(const std::string& given, const std::string& settingsValue);
inline constexpr const char* kRecordsSettingsKey = "Records";

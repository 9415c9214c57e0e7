#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Attempt.h"

// Why the records could not be used; each says what to do about it.
class RecordError : public std::runtime_error {
public:
    enum class Kind { CannotOpen, ReadOnly, Full, Corrupt, Locked, Other };
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
    virtual const std::string& path() const = 0;
};

// Opens (or makes) the records file at `path`, bringing its schema up to date and marking the
// attempts of this station whose process has gone without an end as interrupted. Throws
// RecordError.
std::unique_ptr<RecordStore> openRecordStore(const std::string& path);

// Where the records live when nothing says otherwise: $XDG_DATA_HOME/unit-loader/records.sqlite,
// else ~/.local/share/unit-loader/records.sqlite; empty for a user without a home directory.
std::string defaultRecordsPath();

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Attempt.h"

// Tamper evidence for a records file: every change to a record (an attempt begun, ended, marked
// interrupted or imported; a unit's verdict) appends an event to a chain. Each event holds the
// SHA-256 of the record as that change left it and a link: the SHA-256 of the previous event's
// link and of its own fields. Editing, removing or inserting a record, or an event, breaks either
// a record's digest or a link. Without a secret anybody can rebuild a whole chain, so the chain
// proves most once it is forwarded: the server keeps each file's chain as it arrived.
namespace recordchain {

// The link before the first event.
inline const std::string kGenesis(64, '0');

struct Event {
    std::int64_t seq = 0;  // from 1, without gaps
    std::string at;        // UTC, ISO 8601
    std::string event;     // "begin", "end", "interrupted", "import", "adopt", "verdict"
    std::string recordId;
    std::string digest;  // of the record as the change left it
    std::string prev;    // the previous event's link (kGenesis for the first)
    std::string link;
};

// The SHA-256 of an attempt's fields (not of its server version).
std::string digestOf(const Attempt& attempt);
// The SHA-256 of any record's fields, in their order.
std::string digestOfFields(const std::vector<std::string>& names, const std::vector<std::string>& values);
// What `event.link` must be, given its other fields.
std::string linkOf(const Event& event);
// The next event after `last` (none: the first).
Event next(const std::optional<Event>& last, std::string at, std::string event, std::string recordId,
           std::string digest);

// A record as it is now: its id and the digest of its fields.
struct Record {
    std::string id;
    std::string digest;
};

struct Break {
    enum class Kind {
        EventChanged,    // an event's fields no longer give its link
        EventRemoved,    // a gap in the numbers
        EventInserted,   // an event that does not follow the one before it
        RecordChanged,   // a record that differs from what its last event says
        RecordRemoved,   // an event's record is not there
        RecordInserted,  // a record no event speaks of
        Unreadable,      // a journal line whose link cannot be read (`detail`: which line)
        // Against the server's copy of the chain:
        RemovedHere,        // an event the server holds that the file no longer has
        DiffersFromServer,  // an event the file holds otherwise than the server
        Refused,            // an event the server refused when it came (`detail`: why)
        NotOnServer,        // an ended record the chain speaks of that the server does not have
        ServerCopyDiffers,  // the server's copy of a record is not what its last event says
    };
    Kind kind = Kind::EventChanged;
    std::int64_t seq = 0;  // where it shows (0: no event)
    std::string recordId;
    std::string detail;
    std::string text() const;  // one line for a person
};

struct Check {
    std::int64_t events = 0;
    std::int64_t records = 0;
    std::vector<Break> breaks;  // in the order of the chain; records no event names last
};
// Checks the events (in order of their numbers) and the records they cover.
Check check(const std::vector<Event>& events, const std::vector<Record>& records);
// Checks a chain as a records server keeps it: its events, the ones it refused, and the server's
// copies of the records (only ended records reach a server; a record it lacks whose last event is
// a begin is still running).
Check checkServer(const std::vector<Event>& events, const std::vector<Break>& refused,
                  const std::vector<Record>& serverRecords);
// A records file's chain against the server's copy of it: what the file lost or holds otherwise.
std::vector<Break> compare(const std::vector<Event>& file, const std::vector<Event>& server);

}  // namespace recordchain

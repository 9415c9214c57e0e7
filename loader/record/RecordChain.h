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
    };
    Kind kind = Kind::EventChanged;
    std::int64_t seq = 0;  // where it shows (0: no event)
    std::string recordId;
    std::string text() const;  // one line for a person
};

struct Check {
    std::int64_t events = 0;
    std::int64_t records = 0;
    std::vector<Break> breaks;  // in the order of the chain; records no event names last
};
// Checks the events (in order of their numbers) and the records they cover.
Check check(const std::vector<Event>& events, const std::vector<Record>& records);

}  // namespace recordchain

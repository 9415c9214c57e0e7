#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Attempt.h"
#include "RecordChain.h"

// One line of a journal: {"v":1,"event":"begin","pid":N,"attempt":{...}} when an attempt is
// begun, {"v":1,"event":"end","attempt":{...}} when it has ended, and
// {"v":1,"event":"conflict","source":"...","reason":"...","attempt":{...}} for an imported
// attempt that differs from the one kept (which stays as it is). Each line written since the
// journal keeps a chain has "chain":{"seq","at","event","digest","prev","link"} too
// (RecordChain.h; the record is the line's attempt); readers of before ignore it.
struct JournalEvent {
    enum class Kind { Begin, End, Conflict };
    Kind kind = Kind::Begin;
    Attempt attempt;
    std::optional<std::int64_t> pid;  // a begin's process
    std::string source;               // a conflict's journal
    std::string reason;               // and why it conflicts
    std::optional<recordchain::Event> chain;
    bool chainUnreadable = false;  // a "chain" that is not one: the line was altered
};

// The event of a line (without its line end); nothing, with `why` set, for a line that is no
// event of this journal. Never throws, whatever the bytes.
std::optional<JournalEvent> parseJournalLine(std::string_view line, std::string& why);
// The event as one line, its newline included; valid UTF-8 whatever the attempt's bytes.
std::string journalLine(const JournalEvent& event);

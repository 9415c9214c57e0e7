#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "RecordStore.h"

// What the journal needs of the system, one file per platform.
namespace journalfile {

// How long an appender waits for another process's lock before it gives up with an error.
inline constexpr std::chrono::seconds kLockWait{10};

// The journal held open and locked against every other appender (readers take no lock), so that
// reading how it ends and appending after it is one step: each event's link names the one before.
class Appender {
public:
    virtual ~Appender() = default;
    virtual std::uint64_t size() const = 0;
    // The bytes [at, at + n), fewer at the end of the file; throws RecordError when it cannot read.
    virtual std::string read(std::uint64_t at, std::size_t n) const = 0;
    // Appends `text` in one write, starting on a line of its own, and has it on disk before
    // returning. The error, with what to do about it, when it could not.
    virtual std::optional<RecordError> appendSynced(const std::string& text) = 0;
};

// Opens the journal at `path` to append (made, with its folder, when missing) and locks it,
// waiting at most kLockWait. Throws RecordError.
std::unique_ptr<Appender> openLocked(const std::string& path);

// This process, and whether the process with that id has gone.
std::int64_t processId();
bool processGone(std::int64_t pid);

}  // namespace journalfile

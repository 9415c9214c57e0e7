#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "RecordStore.h"

// What the journal needs of the system, one file per platform.
namespace journalfile {

// Appends `text` to the file (made, with its folder, when missing) in one write, and has it on
// disk before returning. The error, with what to do about it, when it could not.
std::optional<RecordError> appendSynced(const std::string& path, const std::string& text);
// This process, and whether the process with that id has gone.
std::int64_t processId();
bool processGone(std::int64_t pid);

}  // namespace journalfile

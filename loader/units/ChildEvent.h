#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "units/RunResult.h"

// What a unit's own process tells its parent, one JSON line each: its progress while it runs,
// and its result at the end. Both sides are this program, but a parent and a child of different
// builds must not misread each other: every line carries the version, and a line of a newer
// version is not taken. Older lines are read as they were meant: version 1's result has no
// "poweredUp", which reads as false.
struct ChildEvent {
    // 2: the result says whether the unit powered up during the run; a parent of version 1 would
    // take a swapped unit's run for the first unit's.
    static constexpr int kVersion = 2;
    static constexpr int kOldestVersion = 1;
    enum class Kind { Progress, Result };

    Kind kind = Kind::Progress;
    // Progress
    std::uint32_t blockCount = 0;
    std::uint64_t bytes = 0;
    std::uint32_t blocksDone = 0;
    std::string status;
    // Result, and its line in the parent's table: the box's caption, or the first line of a box
    // whose caption is only the program's title.
    RunResult result;
    std::string headline;
    std::string recordId;  // the attempt's record, when one was kept

    // The line, its newline included.
    std::string toLine() const;
    // Nothing for a line that is no event of this version.
    static std::optional<ChildEvent> fromLine(std::string_view line);
};

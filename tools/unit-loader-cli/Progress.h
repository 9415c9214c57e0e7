#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

using SteadyClock = std::chrono::steady_clock;

// Where a run stands, as a person reads it.
struct ProgressView {
    std::uint32_t blocksDone = 0;
    std::uint32_t blockCount = 0;
    std::uint64_t bytesDone = 0;
    std::uint64_t bytesTotal = 0;
    std::optional<double> bytesPerSecond;  // once there is a rate to tell
    std::optional<double> secondsLeft;
    std::string status;
};

// Follows the blocks passed and the status line of one run and works out rate and time left.
class ProgressTracker {
public:
    void start(std::uint32_t blockCount, std::uint64_t bytesTotal, SteadyClock::time_point now);
    void setBlocks(std::uint32_t blocksDone, SteadyClock::time_point now);
    void setStatus(const std::string& status) { status_ = status; }
    ProgressView view(SteadyClock::time_point now) const;

private:
    std::uint32_t blockCount_ = 0;
    std::uint64_t bytesTotal_ = 0;
    std::uint32_t blocksDone_ = 0;
    std::string status_;
    // The rate is measured from the first block on, so the erase does not drag it down.
    std::optional<SteadyClock::time_point> firstBlockAt_;
    std::uint64_t firstBlockBytes_ = 0;
};

std::string formatRate(double bytesPerSecond);  // "812 B/s", "3.4 kB/s", "1.2 MB/s"
std::string formatDuration(double seconds);     // "0:07", "12:03", "1:02:03"
// "17/68 blocks  25%  4182/16728 bytes  3.1 kB/s  0:04 left  Downloading"
std::string progressText(const ProgressView& view);
// The same behind a bar of `barWidth` cells: "[#####-----] ..."
std::string progressBar(const ProgressView& view, int barWidth);
// A bar and as much of the text as fit in `width` columns: the bar shrinks first (down to 10
// cells), then the bytes, the status, the blocks and the bar go, in that order; percent, rate
// and time left stay to the last.
std::string progressLine(const ProgressView& view, int width);

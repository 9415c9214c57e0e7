#include "Progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {
constexpr std::uint64_t kBlockSize = 246;
constexpr double kMinRateWindow = 0.25;  // seconds; a shorter span gives a wild rate
}  // namespace

void ProgressTracker::start(std::uint32_t blockCount, std::uint64_t bytesTotal, SteadyClock::time_point) {
    blockCount_ = blockCount;
    bytesTotal_ = bytesTotal;
    blocksDone_ = 0;
    firstBlockAt_.reset();
}

void ProgressTracker::setBlocks(std::uint32_t blocksDone, SteadyClock::time_point now) {
    blocksDone_ = blocksDone;
    if (blocksDone > 0 && !firstBlockAt_) {
        firstBlockAt_ = now;
        firstBlockBytes_ = std::min<std::uint64_t>(blocksDone * kBlockSize, bytesTotal_);
    }
}

ProgressView ProgressTracker::view(SteadyClock::time_point now) const {
    ProgressView v;
    v.blocksDone = blocksDone_;
    v.blockCount = blockCount_;
    v.bytesTotal = bytesTotal_;
    v.bytesDone = std::min<std::uint64_t>(std::uint64_t{blocksDone_} * kBlockSize, bytesTotal_);
    v.status = status_;
    if (firstBlockAt_) {
        const double span = std::chrono::duration<double>(now - *firstBlockAt_).count();
        if (span >= kMinRateWindow && v.bytesDone > firstBlockBytes_) {
            v.bytesPerSecond = static_cast<double>(v.bytesDone - firstBlockBytes_) / span;
            v.secondsLeft = static_cast<double>(v.bytesTotal - v.bytesDone) / *v.bytesPerSecond;
        }
    }
    return v;
}

std::string formatRate(double bytesPerSecond) {
    char text[32];
    if (bytesPerSecond < 1000)
        std::snprintf(text, sizeof text, "%.0f B/s", bytesPerSecond);
    else if (bytesPerSecond < 1e6)
        std::snprintf(text, sizeof text, "%.1f kB/s", bytesPerSecond / 1e3);
    else
        std::snprintf(text, sizeof text, "%.1f MB/s", bytesPerSecond / 1e6);
    return text;
}

std::string formatDuration(double seconds) {
    const long total = std::lround(std::max(0.0, seconds));
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    return text;
}

namespace {
enum Part : unsigned { kBlocks = 1, kBytes = 2, kStatus = 4, kAll = 7 };

std::string textOf(const ProgressView& v, unsigned parts) {
    const unsigned percent =
        v.blockCount == 0 ? 0u : static_cast<unsigned>(std::uint64_t{v.blocksDone} * 100 / v.blockCount);
    char text[128];
    std::string line;
    if (parts & kBlocks) {
        std::snprintf(text, sizeof text, "%u/%u blocks  ", v.blocksDone, v.blockCount);
        line += text;
    }
    std::snprintf(text, sizeof text, "%3u%%", percent);
    line += text;
    if (parts & kBytes) {
        std::snprintf(text, sizeof text, "  %llu/%llu bytes", static_cast<unsigned long long>(v.bytesDone),
                      static_cast<unsigned long long>(v.bytesTotal));
        line += text;
    }
    line += "  " + (v.bytesPerSecond ? formatRate(*v.bytesPerSecond) : std::string("-- B/s"));
    line += "  " + (v.secondsLeft ? formatDuration(*v.secondsLeft) : std::string("-:--")) + " left";
    if ((parts & kStatus) && !v.status.empty()) line += "  " + v.status;
    return line;
}

// "[#####-----] "
std::string barCells(const ProgressView& v, int barWidth) {
    const int width = std::max(barWidth, 1);
    const int filled =
        v.blockCount == 0 ? 0
                          : static_cast<int>(std::uint64_t{v.blocksDone} * static_cast<unsigned>(width) / v.blockCount);
    std::string line = "[";
    line.append(static_cast<std::size_t>(filled), '#');
    line.append(static_cast<std::size_t>(width - filled), '-');
    return line + "] ";
}
}  // namespace

std::string progressText(const ProgressView& v) { return textOf(v, kAll); }

std::string progressLine(const ProgressView& v, int width) {
    constexpr int kMinBar = 10, kMaxBar = 40;
    const unsigned fewer[] = {kAll, kBlocks | kStatus, kBlocks, 0};
    for (unsigned parts : fewer) {
        const std::string text = textOf(v, parts);
        const int room = width - static_cast<int>(text.size()) - 3;  // "[", "] "
        if (room >= kMinBar) return barCells(v, std::min(room, kMaxBar)) + text;
    }
    for (unsigned parts : fewer) {
        const std::string text = textOf(v, parts);
        if (static_cast<int>(text.size()) <= width) return text;
    }
    return textOf(v, 0).substr(0, static_cast<std::size_t>(std::max(width, 0)));
}

std::string progressBar(const ProgressView& v, int barWidth) { return barCells(v, barWidth) + progressText(v); }

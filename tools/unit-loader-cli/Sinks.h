#pragma once

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>

#include "Progress.h"
#include "UnitRun.h"
#include "units/ChildEvent.h"

// One line for a run in progress: the bar (or the plain text) for a download, the status line
// alone for a version check.
std::string unitLine(const ProgressView& view, bool download, bool bar, int width);

// A bar redrawn in place on the terminal.
class TerminalBarSink : public ProgressSink {
public:
    explicit TerminalBarSink(bool download) : download_(download) {}
    void started(std::uint32_t blockCount, std::uint64_t bytes) override;
    void blocks(std::uint32_t blocksDone) override;
    void status(const std::string& text) override;
    void tick() override;
    std::chrono::milliseconds nextTick() const override;
    // Leaves the last picture of a download on screen; a version check's status goes.
    void finish() override;

private:
    void draw(SteadyClock::time_point now);
    bool download_;
    std::string shown_;  // the line on screen
    ProgressTracker tracker_;
    std::string status_;
    bool dirty_ = false;
    bool drawn_ = false;
    SteadyClock::time_point lastDraw_{};
};

// Plain lines of a download, at most one a second, and the last one at the end, for logs and
// pipes. A version check's status words would only clutter a log: it prints none.
class PlainLineSink : public ProgressSink {
public:
    explicit PlainLineSink(bool download) : download_(download) {}
    void started(std::uint32_t blockCount, std::uint64_t bytes) override;
    void blocks(std::uint32_t blocksDone) override;
    void status(const std::string& text) override;
    void tick() override;
    std::chrono::milliseconds nextTick() const override;
    void finish() override;

private:
    bool download_;
    ProgressTracker tracker_;
    bool dirty_ = false;
    std::optional<SteadyClock::time_point> lastLine_;
};

class QuietSink : public ProgressSink {
public:
    void started(std::uint32_t, std::uint64_t) override {}
    void blocks(std::uint32_t) override {}
    void status(const std::string&) override {}
    void tick() override {}
    std::chrono::milliseconds nextTick() const override { return std::chrono::seconds(1); }
};

// A unit's process reports to the process that started it: one JSON object a line on its
// standard output, progress a few times a second and the result at the end.
class ChildEventSink : public ProgressSink {
public:
    void started(std::uint32_t blockCount, std::uint64_t bytes) override;
    void blocks(std::uint32_t blocksDone) override;
    void status(const std::string& text) override;
    void tick() override;
    std::chrono::milliseconds nextTick() const override;
    void finish() override;
    static void emit(const ChildEvent& event);

private:
    void send();
    std::uint32_t blockCount_ = 0;
    std::uint64_t bytes_ = 0;
    std::uint32_t blocksDone_ = 0;
    std::string status_;
    bool dirty_ = false;
    SteadyClock::time_point lastSent_{};
};

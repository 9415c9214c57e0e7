#include "Sinks.h"

#include <algorithm>
#include <cerrno>

#include "Console.h"

using namespace std::chrono_literals;

namespace {
constexpr auto kRedraw = 100ms;  // a bar faster than this only flickers
constexpr auto kPlainLine = 1000ms;
constexpr auto kChildEvent = 200ms;
constexpr auto kIdleTick = 1000ms;  // rate and time left move even without news

std::chrono::milliseconds until(SteadyClock::time_point then) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(then - SteadyClock::now());
    return std::max(left, 0ms);
}
}  // namespace

std::string unitLine(const ProgressView& view, bool download, bool bar, int width) {
    if (!download) return view.status.empty() ? "waiting for the unit" : view.status;
    if (!bar) return progressText(view);
    return progressLine(view, width);
}

void TerminalBarSink::started(std::uint32_t blockCount, std::uint64_t bytes) {
    tracker_.start(blockCount, bytes, SteadyClock::now());
    dirty_ = true;
}

void TerminalBarSink::blocks(std::uint32_t blocksDone) {
    tracker_.setBlocks(blocksDone, SteadyClock::now());
    dirty_ = true;
}

// An acknowledgement empties the window's status line between any two replies; shown, that
// would only flicker, so the last status the unit reported stays.
void TerminalBarSink::status(const std::string& text) {
    if (text.empty() || text == status_) return;
    status_ = text;
    tracker_.setStatus(text);
    // The status line matters more than smoothness: show each one as it comes.
    draw(SteadyClock::now());
}

// Drawn only when it differs from what is on screen: a status word the line has no room for, or
// a reply that changes nothing shown, is no reason to draw again.
void TerminalBarSink::draw(SteadyClock::time_point now) {
    Console& console = Console::instance();
    std::string line = unitLine(tracker_.view(now), download_, true, console.width() - 1);
    lastDraw_ = now;
    dirty_ = false;
    if (drawn_ && line == shown_) return;
    console.drawBlock({line});
    shown_ = std::move(line);
    drawn_ = true;
}

void TerminalBarSink::tick() {
    const auto now = SteadyClock::now();
    if (now - lastDraw_ >= (dirty_ ? kRedraw : kIdleTick)) draw(now);
}

std::chrono::milliseconds TerminalBarSink::nextTick() const {
    return until(lastDraw_ + (dirty_ ? kRedraw : kIdleTick));
}

void TerminalBarSink::finish() {
    if (!download_) {
        Console::instance().clearBlock();
        return;
    }
    if (dirty_ || drawn_) draw(SteadyClock::now());
    Console::instance().releaseBlock();
}

void PlainLineSink::started(std::uint32_t blockCount, std::uint64_t bytes) {
    tracker_.start(blockCount, bytes, SteadyClock::now());
}

void PlainLineSink::blocks(std::uint32_t blocksDone) {
    tracker_.setBlocks(blocksDone, SteadyClock::now());
    dirty_ = true;
}

void PlainLineSink::status(const std::string& text) {
    if (text.empty()) return;
    tracker_.setStatus(text);
    dirty_ = true;
}

void PlainLineSink::tick() {
    const auto now = SteadyClock::now();
    if (!download_ || !dirty_ || (lastLine_ && now - *lastLine_ < kPlainLine)) return;
    Console::instance().line(unitLine(tracker_.view(now), download_, false, 0));
    lastLine_ = now;
    dirty_ = false;
}

void PlainLineSink::finish() {
    if (!download_ || !dirty_) return;
    Console::instance().line(unitLine(tracker_.view(SteadyClock::now()), download_, false, 0));
    dirty_ = false;
}

std::chrono::milliseconds PlainLineSink::nextTick() const {
    if (!download_ || !dirty_) return kIdleTick;
    return lastLine_ ? until(*lastLine_ + kPlainLine) : 0ms;
}

void ChildEventSink::emit(const ChildEvent& event) { writeAll(kStandardOutput, event.toLine()); }

void ChildEventSink::send() {
    ChildEvent event;
    event.blockCount = blockCount_;
    event.bytes = bytes_;
    event.blocksDone = blocksDone_;
    event.status = status_;
    emit(event);
    lastSent_ = SteadyClock::now();
    dirty_ = false;
}

void ChildEventSink::started(std::uint32_t blockCount, std::uint64_t bytes) {
    blockCount_ = blockCount;
    bytes_ = bytes;
    send();
}

void ChildEventSink::blocks(std::uint32_t blocksDone) {
    blocksDone_ = blocksDone;
    dirty_ = true;
}

void ChildEventSink::status(const std::string& text) {
    if (text.empty() || text == status_) return;
    status_ = text;
    send();
}

void ChildEventSink::tick() {
    if (dirty_ && SteadyClock::now() - lastSent_ >= kChildEvent) send();
}

// The parent's last line of the unit shows where it ended.
void ChildEventSink::finish() {
    if (dirty_) send();
}

std::chrono::milliseconds ChildEventSink::nextTick() const {
    return dirty_ ? until(lastSent_ + kChildEvent) : kIdleTick;
}

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
    const std::string text = progressText(view);
    const int barWidth = std::clamp(width - static_cast<int>(text.size()) - 4, 10, 40);
    return progressBar(view, barWidth);
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

void TerminalBarSink::draw(SteadyClock::time_point now) {
    Console& console = Console::instance();
    console.drawBlock({unitLine(tracker_.view(now), download_, true, console.width() - 1)});
    lastDraw_ = now;
    dirty_ = false;
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
    if (!dirty_ || (lastLine_ && now - *lastLine_ < kPlainLine)) return;
    Console::instance().line(unitLine(tracker_.view(now), download_, false, 0));
    lastLine_ = now;
    dirty_ = false;
}

std::chrono::milliseconds PlainLineSink::nextTick() const {
    if (!dirty_) return kIdleTick;
    return lastLine_ ? until(*lastLine_ + kPlainLine) : 0ms;
}

void ChildEventSink::emit(const nlohmann::json& event) { writeAll(kStandardOutput, event.dump() + "\n"); }

void ChildEventSink::send() {
    emit({{"event", "progress"},
          {"blockCount", blockCount_},
          {"bytes", bytes_},
          {"blocksDone", blocksDone_},
          {"status", status_}});
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

std::chrono::milliseconds ChildEventSink::nextTick() const {
    return dirty_ ? until(lastSent_ + kChildEvent) : kIdleTick;
}

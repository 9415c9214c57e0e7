#include "Console.h"

Console& Console::instance() {
    static Console console;
    return console;
}

void Console::writeLocked(const std::string& text) { writeAll(kStandardError, text); }

// The cursor stands at the end of the block's last line; go to the start of its first line
// and clear everything below.
void Console::eraseBlockLocked() {
    if (block_.empty()) return;
    std::string text = "\r";
    for (std::size_t i = 1; i < block_.size(); ++i) text += "\033[A";
    text += "\033[J";
    writeLocked(text);
}

void Console::drawBlock(const std::vector<std::string>& lines) {
    if (!terminal_) return;
    std::lock_guard lock(mutex_);
    // One column short of the width: a line that fills the last column wraps on some terminals.
    const std::size_t columns = static_cast<std::size_t>(width() - 1);
    std::vector<std::string> cut;
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        cut.push_back(lines[i].size() > columns ? lines[i].substr(0, columns) : lines[i]);
        text += cut.back() + (i + 1 < lines.size() ? "\n" : "");
    }
    eraseBlockLocked();
    writeLocked(text);
    block_ = std::move(cut);
}

void Console::releaseBlock() {
    std::lock_guard lock(mutex_);
    if (block_.empty()) return;
    writeLocked("\n");
    block_.clear();
}

void Console::clearBlock() {
    std::lock_guard lock(mutex_);
    eraseBlockLocked();
    block_.clear();
}

void Console::line(const std::string& text) {
    std::lock_guard lock(mutex_);
    const std::vector<std::string> block = block_;
    eraseBlockLocked();
    writeLocked(text + "\n");
    if (!block.empty()) {
        std::string redraw;
        for (std::size_t i = 0; i < block.size(); ++i) redraw += block[i] + (i + 1 < block.size() ? "\n" : "");
        writeLocked(redraw);
    }
}

#pragma once

#include <mutex>
#include <string>
#include <vector>

inline constexpr int kStandardOutput = 1;
inline constexpr int kStandardError = 2;

// Writes all of `text` to `fd`, continuing short writes; gives up quietly on an error (a closed
// pipe or terminal leaves nobody to tell).
void writeAll(int fd, const std::string& text);

// Standard error shared by progress, notes and trace lines. On a terminal, progress is a block
// of lines redrawn in place; a note or trace line is printed above it and the block follows.
// Terminal detection, width and writing are one file per platform.
class Console {
public:
    static Console& instance();

    bool isTerminal() const { return terminal_; }
    // Columns of the terminal (80 when it does not say).
    int width() const;

    // Replaces the progress block with these lines (terminal only; each cut to the width).
    void drawBlock(const std::vector<std::string>& lines);
    // Leaves the progress block on screen as it is and moves below it.
    void releaseBlock();
    // Erases the progress block.
    void clearBlock();
    // One whole line above the progress block.
    void line(const std::string& text);

private:
    Console();
    void eraseBlockLocked();
    void writeLocked(const std::string& text);

    std::mutex mutex_;
    bool terminal_ = false;
    std::vector<std::string> block_;
};

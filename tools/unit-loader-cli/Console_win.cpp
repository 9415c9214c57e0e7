#include <windows.h>

#include "Console.h"

namespace {

HANDLE standardHandle(int fd) { return ::GetStdHandle(fd == kStandardError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE); }

// The bar is redrawn with escape sequences: only a console that understands them counts as a
// terminal; anything else (a pipe, a file, an older console) gets plain lines.
bool virtualTerminal() {
    HANDLE h = standardHandle(kStandardError);
    DWORD mode = 0;
    if (h == INVALID_HANDLE_VALUE || !h || !::GetConsoleMode(h, &mode)) return false;
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) ||
           ::SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING | ENABLE_PROCESSED_OUTPUT);
}

}  // namespace

Console::Console() : terminal_(virtualTerminal()) {}

int Console::width() const {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (::GetConsoleScreenBufferInfo(standardHandle(kStandardError), &info)) {
        const int columns = info.srWindow.Right - info.srWindow.Left + 1;
        if (columns >= 20) return columns;
    }
    return 80;
}

void writeAll(int fd, const std::string& text) {
    HANDLE h = standardHandle(fd);
    std::size_t done = 0;
    while (done < text.size()) {
        DWORD n = 0;
        if (!::WriteFile(h, text.data() + done, static_cast<DWORD>(text.size() - done), &n, nullptr) || n == 0) return;
        done += n;
    }
}

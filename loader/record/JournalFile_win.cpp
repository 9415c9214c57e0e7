#include <windows.h>

#include <filesystem>

#include "JournalFile.h"
#include "RecordFile.h"

namespace journalfile {

namespace {

RecordError errorOf(DWORD error, const std::string& path) {
    const std::string where = "the records journal " + path + ": error " + std::to_string(error);
    switch (error) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return RecordError(RecordError::Kind::Full, where + " (the disk is full); free some space, then run again");
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
        return RecordError(
            RecordError::Kind::ReadOnly,
            where + " (no access); make the file and its folder writable, or name another with --records");
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return RecordError(RecordError::Kind::Locked, where + " (another program holds it); close it and run again");
    default: return RecordError(RecordError::Kind::CannotOpen, where);
    }
}

struct Handle {
    HANDLE h;
    ~Handle() {
        if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    }
};

}  // namespace

namespace {

// The lock is on one byte far beyond any journal's end: a region lock on Windows also stops
// other processes' reads, and readers take no lock.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;

class WinAppender : public Appender {
public:
    WinAppender(HANDLE h, std::string path) : file_{h}, path_(std::move(path)) {}
    ~WinAppender() override {
        OVERLAPPED at{};
        at.OffsetHigh = kLockOffsetHigh;
        ::UnlockFileEx(file_.h, 0, 1, 0, &at);
    }
    WinAppender(const WinAppender&) = delete;
    WinAppender& operator=(const WinAppender&) = delete;

    bool lock() {
        OVERLAPPED at{};
        at.OffsetHigh = kLockOffsetHigh;
        return ::LockFileEx(file_.h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
    }

    std::uint64_t size() const override {
        LARGE_INTEGER size{};
        if (!::GetFileSizeEx(file_.h, &size)) throw errorOf(::GetLastError(), path_);
        return static_cast<std::uint64_t>(size.QuadPart);
    }

    std::string read(std::uint64_t at, std::size_t n) const override {
        std::string bytes(n, '\0');
        std::size_t got = 0;
        while (got < n) {
            OVERLAPPED where{};
            const std::uint64_t from = at + got;
            where.Offset = static_cast<DWORD>(from & 0xFFFFFFFFu);
            where.OffsetHigh = static_cast<DWORD>(from >> 32);
            DWORD r = 0;
            if (!::ReadFile(file_.h, bytes.data() + got, static_cast<DWORD>(n - got), &r, &where)) {
                const DWORD error = ::GetLastError();
                if (error == ERROR_HANDLE_EOF) break;
                throw errorOf(error, path_);
            }
            if (r == 0) break;
            got += r;
        }
        bytes.resize(got);
        return bytes;
    }

    std::optional<RecordError> appendSynced(const std::string& text) override {
        // A line cut short (a crash, a full disk) must not swallow the event after it: every
        // event starts on a line of its own.
        char last = '\n';
        LARGE_INTEGER size{};
        if (::GetFileSizeEx(file_.h, &size) && size.QuadPart > 0) {
            OVERLAPPED at{};
            const auto lastAt = static_cast<ULONGLONG>(size.QuadPart - 1);
            at.Offset = static_cast<DWORD>(lastAt & 0xFFFFFFFFu);
            at.OffsetHigh = static_cast<DWORD>(lastAt >> 32);
            DWORD got = 0;
            if (!::ReadFile(file_.h, &last, 1, &got, &at) || got != 1) last = '\n';
        }
        std::string line(last == '\n' ? 0 : 1, '\n');
        line += text;
        DWORD written = 0;
        if (!::WriteFile(file_.h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr))
            return errorOf(::GetLastError(), path_);
        if (written != line.size()) return errorOf(ERROR_DISK_FULL, path_);
        if (!::FlushFileBuffers(file_.h)) return errorOf(::GetLastError(), path_);
        return std::nullopt;
    }

private:
    Handle file_;
    std::string path_;
};

}  // namespace

std::unique_ptr<Appender> openLocked(const std::string& path) {
    recordfile::makeFolders(path);
    if (auto refused = recordfile::refuseLink(path, "records journal")) throw *refused;
    // Append access only: every write lands at the end. Read access to see how the file ends.
    const HANDLE h = ::CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_DATA,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) throw errorOf(::GetLastError(), path);
    auto appender = std::make_unique<WinAppender>(h, path);
    // Another process appends for a moment only; one that holds the lock longer has hung.
    const ULONGLONG giveUp = ::GetTickCount64() + static_cast<ULONGLONG>(kLockWait.count()) * 1000;
    while (!appender->lock()) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) throw errorOf(error, path);
        if (::GetTickCount64() >= giveUp)
            throw RecordError(
                RecordError::Kind::Locked,
                "the records journal " + path + " stays locked by another program; end it, then run again");
        ::Sleep(5);
    }
    return appender;
}

std::int64_t processId() { return static_cast<std::int64_t>(::GetCurrentProcessId()); }

bool processGone(std::int64_t pid) {
    if (pid <= 0) return true;
    HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!process) return ::GetLastError() != ERROR_ACCESS_DENIED;
    const bool gone = ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    ::CloseHandle(process);
    return gone;
}

}  // namespace journalfile

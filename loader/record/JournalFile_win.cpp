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

std::optional<RecordError> appendSynced(const std::string& path, const std::string& text) {
    recordfile::makeFolders(path);
    if (auto refused = recordfile::refuseLink(path, "records journal")) return refused;
    // Append access only: every write lands at the end, also with other processes appending.
    // Read access to see how the file ends.
    Handle file{::CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (file.h == INVALID_HANDLE_VALUE) return errorOf(::GetLastError(), path);
    // A line cut short (a crash, a full disk) must not swallow the event after it: every event
    // starts on a line of its own.
    char last = '\n';
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(file.h, &size) && size.QuadPart > 0) {
        OVERLAPPED at{};
        const auto lastAt = static_cast<ULONGLONG>(size.QuadPart - 1);
        at.Offset = static_cast<DWORD>(lastAt & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(lastAt >> 32);
        DWORD got = 0;
        if (!::ReadFile(file.h, &last, 1, &got, &at) || got != 1) last = '\n';
    }
    std::string line(last == '\n' ? 0 : 1, '\n');
    line += text;
    DWORD written = 0;
    if (!::WriteFile(file.h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr))
        return errorOf(::GetLastError(), path);
    if (written != line.size()) return errorOf(ERROR_DISK_FULL, path);
    if (!::FlushFileBuffers(file.h)) return errorOf(::GetLastError(), path);
    return std::nullopt;
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

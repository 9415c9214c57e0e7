#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "JournalFile.h"

namespace journalfile {

namespace {

RecordError errorOf(int error, const std::string& path) {
    const std::string where = "the records journal " + path + ": " + std::strerror(error);
    switch (error) {
    case ENOSPC:
    case EDQUOT: return RecordError(RecordError::Kind::Full, where + "; free some disk space, then run again");
    case EROFS:
    case EACCES:
    case EPERM:
        return RecordError(RecordError::Kind::ReadOnly,
                           where + "; make the file and its folder writable, or name another with --records");
    default: return RecordError(RecordError::Kind::CannotOpen, where);
    }
}

}  // namespace

std::optional<RecordError> appendSynced(const std::string& path, const std::string& text) {
    std::error_code ec;
    const auto parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return errorOf(errno, path);
    // One write per event: processes appending at once never interleave inside a line.
    const ssize_t n = ::write(fd, text.data(), text.size());
    const int writeError = errno;
    const bool synced = n == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
    const int syncError = errno;
    ::close(fd);
    if (n < 0) return errorOf(writeError, path);
    if (n != static_cast<ssize_t>(text.size())) return errorOf(ENOSPC, path);
    if (!synced) return errorOf(syncError, path);
    return std::nullopt;
}

std::int64_t processId() { return ::getpid(); }

bool processGone(std::int64_t pid) { return pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM); }

}  // namespace journalfile

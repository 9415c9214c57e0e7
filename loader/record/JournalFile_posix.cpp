#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "JournalFile.h"
#include "RecordFile.h"

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
    recordfile::makeFolders(path);
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 && errno == ELOOP) return recordfile::linkRefused(path, "records journal");
    if (fd < 0) return errorOf(errno, path);
    // A line cut short (a crash, a full disk) must not swallow the event after it: every event
    // starts on a line of its own.
    struct stat before {};
    char last = '\n';
    if (::fstat(fd, &before) == 0 && before.st_size > 0 && ::pread(fd, &last, 1, before.st_size - 1) != 1) last = '\n';
    std::string line(last == '\n' ? 0 : 1, '\n');
    line += text;
    // One write per event: processes appending at once never interleave inside a line.
    const ssize_t n = ::write(fd, line.data(), line.size());
    const int writeError = errno;
    if (n >= 0 && n != static_cast<ssize_t>(line.size())) {
        // Written in part: taken back, unless another process has appended since.
        const off_t end = ::lseek(fd, 0, SEEK_CUR);
        struct stat after {};
        // Should that fail too, the next event still starts on a fresh line.
        if (end >= n && ::fstat(fd, &after) == 0 && after.st_size == end && ::ftruncate(fd, end - n) != 0) {
        }
    }
    const bool synced = n == static_cast<ssize_t>(line.size()) && ::fsync(fd) == 0;
    const int syncError = errno;
    ::close(fd);
    if (n < 0) return errorOf(writeError, path);
    if (n != static_cast<ssize_t>(line.size())) return errorOf(ENOSPC, path);
    if (!synced) return errorOf(syncError, path);
    return std::nullopt;
}

std::int64_t processId() { return ::getpid(); }

bool processGone(std::int64_t pid) { return pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM); }

}  // namespace journalfile

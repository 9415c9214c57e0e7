#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

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

namespace {

class PosixAppender : public Appender {
public:
    PosixAppender(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    ~PosixAppender() override { ::close(fd_); }  // the lock goes with the descriptor
    PosixAppender(const PosixAppender&) = delete;
    PosixAppender& operator=(const PosixAppender&) = delete;

    std::uint64_t size() const override {
        struct stat st {};
        if (::fstat(fd_, &st) != 0) throw errorOf(errno, path_);
        return static_cast<std::uint64_t>(st.st_size);
    }

    std::string read(std::uint64_t at, std::size_t n) const override {
        std::string bytes(n, '\0');
        std::size_t got = 0;
        while (got < n) {
            const ssize_t r = ::pread(fd_, bytes.data() + got, n - got, static_cast<off_t>(at + got));
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) throw errorOf(errno, path_);
            if (r == 0) break;
            got += static_cast<std::size_t>(r);
        }
        bytes.resize(got);
        return bytes;
    }

    std::optional<RecordError> appendSynced(const std::string& text) override {
        // A line cut short (a crash, a full disk) must not swallow the event after it: every
        // event starts on a line of its own.
        struct stat before {};
        const bool sized = ::fstat(fd_, &before) == 0;
        char last = '\n';
        if (sized && before.st_size > 0 && ::pread(fd_, &last, 1, before.st_size - 1) != 1) last = '\n';
        std::string line(last == '\n' ? 0 : 1, '\n');
        line += text;
        // One write per event: readers, who take no lock, never see two events inside one line.
        const ssize_t n = ::write(fd_, line.data(), line.size());
        const int writeError = errno;
        if (n > 0 && n != static_cast<ssize_t>(line.size())) {
            // Written in part: taken back (the lock keeps every other appender out). Should that
            // fail too, the next event still starts on a fresh line.
            if (sized && ::ftruncate(fd_, before.st_size) != 0) {
            }
        }
        if (n < 0) return errorOf(writeError, path_);
        if (n != static_cast<ssize_t>(line.size())) return errorOf(ENOSPC, path_);
        if (::fsync(fd_) != 0) return errorOf(errno, path_);
        return std::nullopt;
    }

private:
    int fd_;
    std::string path_;
};

}  // namespace

std::unique_ptr<Appender> openLocked(const std::string& path) {
    recordfile::makeFolders(path);
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 && errno == ELOOP) throw recordfile::linkRefused(path, "records journal");
    if (fd < 0) throw errorOf(errno, path);
    auto appender = std::make_unique<PosixAppender>(fd, path);
    // Another process appends for a moment only; one that holds the lock longer has hung.
    const auto giveUp = std::chrono::steady_clock::now() + kLockWait;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) throw errorOf(errno, path);
        if (std::chrono::steady_clock::now() >= giveUp)
            throw RecordError(
                RecordError::Kind::Locked,
                "the records journal " + path + " stays locked by another program; end it, then run again");
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return appender;
}

std::int64_t processId() { return ::getpid(); }

bool processGone(std::int64_t pid) { return pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM); }

}  // namespace journalfile

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "platform/ProgramDirectory.h"
#include "session/EmbeddedResource.h"
#include "session/ExtractedLibrary.h"
#include "session/platform/System.h"

namespace {
// Code loaded from a directory that others may write could be swapped between writing and
// loading it: only one owned by this user (or root) and writable by nobody else will do.
bool onlyUserCanWrite(const std::string& dir) {
    struct stat st {};
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_uid == ::geteuid() || st.st_uid == 0) &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// "px417.<pid>.so": the pid, else 0.
pid_t copyOwner(const char* name) {
    const std::size_t length = std::strlen(name);
    if (length < 10 || std::strncmp(name, "px417.", 6) != 0 || std::strcmp(name + length - 3, ".so") != 0) return 0;
    pid_t pid = 0;
    for (const char* c = name + 6; c < name + length - 3; ++c) {
        if (*c < '0' || *c > '9' || pid > 99999999) return 0;
        pid = pid * 10 + (*c - '0');
    }
    return pid;
}

// Removes the copies in the directory open as `dirFd` that a run left when it was killed
// (SIGKILL, the out-of-memory killer) before it could remove them: files of this user whose
// process no longer exists. A live run's copy is never touched. True when one was removed.
bool removeStaleIn(int dirFd) {
    DIR* dir = ::fdopendir(::dup(dirFd));
    if (!dir) return false;
    bool removed = false;
    while (const dirent* entry = ::readdir(dir)) {
        const pid_t pid = copyOwner(entry->d_name);
        if (pid <= 0 || pid == ::getpid()) continue;
        struct stat st {};
        if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            st.st_uid != ::geteuid())
            continue;
        if (::kill(pid, 0) == 0 || errno != ESRCH) continue;  // alive, or another user's
        removed = ::unlinkat(dirFd, entry->d_name, 0) == 0 || removed;
    }
    ::closedir(dir);
    return removed;
}

constexpr const char* kCompanionPrefix = "unit-loader-station.";

// Every file in the directory open as `dirFd` (no folders: a companion folder holds none).
void removeFilesIn(int dirFd) {
    DIR* dir = ::fdopendir(::dup(dirFd));
    if (!dir) return;
    ::rewinddir(dir);  // the duplicate shares the position the sweep's reading left at the end
    while (const dirent* entry = ::readdir(dir)) {
        struct stat st {};
        if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode))
            ::unlinkat(dirFd, entry->d_name, 0);
    }
    ::closedir(dir);
}

// The same beside the program and in this user's private directories of earlier runs, which go
// too once their stale copy has gone; a companion folder goes with what else it holds.
void removeStaleCopies(const std::string& programDir, const std::string& tmpDir) {
    if (!programDir.empty()) {
        const int fd = ::open(programDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            removeStaleIn(fd);
            ::close(fd);
        }
    }
    const int tmp = ::open(tmpDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (tmp < 0) return;
    if (DIR* dir = ::fdopendir(::dup(tmp))) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::size_t length = std::strlen(entry->d_name);
            const bool companion = std::strncmp(entry->d_name, kCompanionPrefix, std::strlen(kCompanionPrefix)) == 0 &&
                                   length == std::strlen(kCompanionPrefix) + 6;
            if (!companion && (std::strncmp(entry->d_name, "unit-loader-", 12) != 0 || length != 18)) continue;
            const int sub = ::openat(tmp, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub < 0) continue;
            struct stat st {};
            // Only a directory of this user's that nobody else may enter is one of ours.
            if (::fstat(sub, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0 && removeStaleIn(sub)) {
                if (companion) removeFilesIn(sub);
                ::unlinkat(tmp, entry->d_name, AT_REMOVEDIR);  // fails, harmlessly, if anything else is in it
            }
            ::close(sub);
        }
        ::closedir(dir);
    }
    ::close(tmp);
}

std::string temporaryRoot() {
    const char* tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}
}  // namespace

bool ExtractedLibrary::extract(For, const std::string& directory) {
    remove();
    const std::string name = "px417." + std::to_string(::getpid()) + ".so";
    const std::string dir = directory.empty() ? platform::programDirectory() : directory;
    // An installed program (/usr/bin) leaves its directory alone and uses a private one.
    const bool beside = !dir.empty() && !platform::isSystemProgramDirectory(dir);
    removeStaleCopies(beside ? dir : std::string(), temporaryRoot());
    if (beside && onlyUserCanWrite(dir) && extractLibrary(dir + name)) {
        path_ = dir + name;
        return true;
    }
    // mkdtemp makes the directory 0700: no other user can swap the file before it is loaded.
    std::string pattern = temporaryRoot() + "/unit-loader-XXXXXX";
    if (!::mkdtemp(pattern.data())) return false;
    privateDir_ = pattern;
    if (extractLibrary(privateDir_ + "/" + name)) {
        path_ = privateDir_ + "/" + name;
        return true;
    }
    remove();
    return false;
}

std::string makeCompanionFolder() {
    std::string pattern = temporaryRoot() + "/" + kCompanionPrefix + "XXXXXX";
    return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

void ExtractedLibrary::remove() {
    if (!path_.empty()) platform::removeFile(path_);
    if (!privateDir_.empty()) ::rmdir(privateDir_.c_str());
    path_.clear();
    privateDir_.clear();
}

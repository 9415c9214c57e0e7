#include <windows.h>

#include <cstring>

#include "platform/ProgramDirectory.h"
#include "session/EmbeddedResource.h"
#include "session/ExtractedLibrary.h"
#include "session/platform/System.h"

namespace {

// A process of that id is running. One another user owns counts as running, and so does a new
// process that was given the id again: its copy waits for a later sweep.
bool running(DWORD pid) {
    HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!process) return ::GetLastError() != ERROR_INVALID_PARAMETER;
    const bool alive = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    ::CloseHandle(process);
    return alive;
}

// The digits of `text` from `from` up to `end` as a process id, else 0.
DWORD idIn(const std::string& text, std::size_t from, std::size_t end) {
    if (end <= from || end - from > 10) return 0;
    unsigned long long id = 0;
    for (std::size_t i = from; i < end; ++i) {
        if (text[i] < '0' || text[i] > '9') return 0;
        id = id * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return id <= 0xFFFFFFFFull ? static_cast<DWORD>(id) : 0;
}

// "px417.<pid>.dll": the pid, else 0.
DWORD copyOwner(const std::string& name) {
    if (name.size() < 11 || name.compare(0, 6, "px417.") != 0 || _stricmp(name.c_str() + name.size() - 4, ".dll") != 0)
        return 0;
    return idIn(name, 6, name.size() - 4);
}

// Removes the copies in `dir` (ending with the separator) of processes that ended without
// removing theirs: killed, or ended at once by a second Ctrl-C while the library was loaded.
void removeStaleIn(const std::string& dir) {
    WIN32_FIND_DATAA found{};
    HANDLE search = ::FindFirstFileA((dir + "px417.*.dll").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const DWORD pid = copyOwner(found.cFileName);
        if (pid == 0 || pid == ::GetCurrentProcessId() || (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            running(pid))
            continue;
        ::DeleteFileA((dir + found.cFileName).c_str());  // a copy still loaded somewhere is refused
    } while (::FindNextFileA(search, &found));
    ::FindClose(search);
}

// The same beside the program and in the private directories ("unit-loader-<pid>-<n>") that
// command-line runs made under the user's temporary directory, which go too once empty.
void removeStaleCopies(const std::string& programDir, const std::string& tempDir) {
    if (!programDir.empty()) removeStaleIn(programDir);
    if (tempDir.empty()) return;
    WIN32_FIND_DATAA found{};
    HANDLE search = ::FindFirstFileA((tempDir + "unit-loader-*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const std::string name = found.cFileName;
        const std::size_t dash = name.find('-', 12);
        const DWORD pid = dash == std::string::npos ? 0 : idIn(name, 12, dash);
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || pid == 0 || pid == ::GetCurrentProcessId() ||
            running(pid))
            continue;
        removeStaleIn(tempDir + name + "\\");
        ::RemoveDirectoryA((tempDir + name).c_str());  // fails, harmlessly, if anything else is in it
    } while (::FindNextFileA(search, &found));
    ::FindClose(search);
}

std::string temporaryDirectory() {
    char temp[MAX_PATH + 1];
    const DWORD n = ::GetTempPathA(sizeof temp, temp);
    return n == 0 || n > MAX_PATH ? std::string() : std::string(temp, n);
}

// Another process has the file open for reading only (a window holding it) or loaded: a
// writer is refused with a sharing violation, unlike for a file that is read-only.
bool heldElsewhere(const std::string& path) {
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        ::CloseHandle(file);
        return false;
    }
    return ::GetLastError() == ERROR_SHARING_VIOLATION;
}

// Open for reading, shared for reading only: the library still loads from it, but nobody can
// replace or delete it while the handle is open.
void* hold(const std::string& path) {
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

}  // namespace

// The window: "px417.dll" beside the program, or "px417.<pid>.dll" there when another window
// holds that. A command-line run: "px417.<pid>.dll" beside the program, else in a directory of
// its own under the user's temporary directory.
bool ExtractedLibrary::extract(For user, const std::string& directory) {
    remove();
    const std::string dir = directory.empty() ? platform::programDirectory() : directory;
    const std::string temp = temporaryDirectory();
    removeStaleCopies(dir, temp);
    const std::string name = "px417." + std::to_string(::GetCurrentProcessId()) + ".dll";
    if (user == For::Window) {
        if (dir.empty()) return false;
        const std::string shared = dir + platform::libraryFileName();
        // A file that is read-only, or a folder that takes no file, still leaves the window
        // without a session; only another window's copy is reason for one of its own. (Asked
        // first: not every system refuses to move a file over a read-only one.)
        const DWORD attributes = ::GetFileAttributesA(shared.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) return false;
        bool own = heldElsewhere(shared);
        if (!own && !extractLibrary(shared)) {
            if (!heldElsewhere(shared)) return false;
            own = true;  // another window wrote it a moment ago
        }
        if (own && !extractLibrary(dir + name)) return false;
        path_ = own ? dir + name : shared;
        held_ = hold(path_);
        return true;
    }
    if (!dir.empty() && extractLibrary(dir + name)) {
        path_ = dir + name;
        return true;
    }
    if (temp.empty()) return false;
    for (unsigned attempt = 0; attempt < 100 && privateDir_.empty(); ++attempt) {
        const std::string candidate = temp + "unit-loader-" + std::to_string(::GetCurrentProcessId()) + "-" +
                                      std::to_string(::GetTickCount() + attempt);
        if (::CreateDirectoryA(candidate.c_str(), nullptr)) privateDir_ = candidate;
    }
    if (privateDir_.empty()) return false;
    if (extractLibrary(privateDir_ + "\\" + name)) {
        path_ = privateDir_ + "\\" + name;
        return true;
    }
    remove();
    return false;
}

void ExtractedLibrary::remove() {
    if (held_) ::CloseHandle(static_cast<HANDLE>(held_));
    held_ = nullptr;
    if (!path_.empty()) platform::removeFile(path_);
    if (!privateDir_.empty()) ::RemoveDirectoryA(privateDir_.c_str());
    path_.clear();
    privateDir_.clear();
}

#pragma once

#include <string>

// The embedded px417 written out for one process, and removed again when destroyed (or at
// remove). A command-line run writes a name of its own ("px417.<pid>.so" or ".dll"), so runs
// side by side never replace or delete each other's copy; when the program's directory cannot
// be written (an installed copy), or on Linux when others could write it too, the copy goes to a
// private directory of the user's. The window does the same on Linux; on Windows it writes
// "px417.dll" beside the program, as the Windows loader always has, and holds it open so that
// no other program replaces or deletes it; a second window in that folder, finding it held,
// writes "px417.<pid>.dll" instead. Before writing, copies left by processes that have ended
// (killed before they could remove theirs) are removed; a live process's copy never is.
// A private folder (0700) of this user's in the temporary directory, "unit-loader-station.XXXXXX",
// for a library copy and the files that go with it (a station's image copy). The copy is to be
// written into it first and the folder removed whole at the end: a folder whose copy's process
// has ended is then swept whole, with the copies, before any later extraction. Empty when none
// could be made. Linux: the station runs there only.
std::string makeCompanionFolder();

class ExtractedLibrary {
public:
    enum class For { CommandLine, Window };

    ExtractedLibrary() = default;
    ~ExtractedLibrary() { remove(); }
    ExtractedLibrary(const ExtractedLibrary&) = delete;
    ExtractedLibrary& operator=(const ExtractedLibrary&) = delete;

    // Writes the library into `directory` (ending with the path separator; the running
    // program's directory when empty), replacing any file of that name. False when no place
    // could take it; path() is then empty.
    bool extract(For user, const std::string& directory = {});
    // Deletes the file (a failure is ignored) and any directory made for it.
    void remove();
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::string privateDir_;
    void* held_ = nullptr;  // Windows: the handle that keeps others from replacing the file
};

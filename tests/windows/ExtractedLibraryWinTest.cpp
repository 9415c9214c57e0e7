// The copies of px417.dll the Windows programs write: a window's "px417.dll" that a second
// window in the same folder neither replaces nor deletes, and the sweep of copies whose
// process has ended, which never touches a running process's.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>
// Needs windows.h first.
#include <tlhelp32.h>

#include "TempDir.h"
#include "TestBytes.h"
#include "platform/ProgramDirectory.h"
#include "session/ExtractedLibrary.h"
#include "session/platform/System.h"

namespace {

namespace fs = std::filesystem;

std::string folderOf(const TempDir& dir) { return dir.path().string() + "\\"; }

// Another process that is running (Wine's and Windows' own services are).
DWORD liveProcessId() {
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    DWORD found = 0;
    for (BOOL more = ::Process32First(snapshot, &entry); more && found == 0; more = ::Process32Next(snapshot, &entry))
        if (entry.th32ProcessID != 0 && entry.th32ProcessID != ::GetCurrentProcessId()) found = entry.th32ProcessID;
    ::CloseHandle(snapshot);
    return found;
}

// An id no process has.
DWORD endedProcessId() {
    for (DWORD id = 99999996; id > 4; id -= 4) {
        HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, id);
        if (!process && ::GetLastError() == ERROR_INVALID_PARAMETER) return id;
        if (process) ::CloseHandle(process);
    }
    return 0;
}

TEST(ExtractedLibraryWin, ASecondWindowInTheFolderKeepsACopyOfItsOwn) {
    TempDir dir;
    const std::string folder = folderOf(dir);
    ExtractedLibrary first, second;
    ASSERT_TRUE(first.extract(ExtractedLibrary::For::Window, folder));
    EXPECT_EQ(first.path(), folder + "px417.dll");
    ASSERT_TRUE(second.extract(ExtractedLibrary::For::Window, folder));
    EXPECT_EQ(second.path(), folder + "px417." + std::to_string(::GetCurrentProcessId()) + ".dll");

    // Both load while held; closing the second window leaves the first one's file whole.
    for (const ExtractedLibrary* library : {&first, &second}) {
        platform::DynamicLibrary loaded;
        ASSERT_TRUE(loaded.open(library->path())) << library->path();
        EXPECT_NE(loaded.symbol("request"), nullptr);
    }
    const Bytes bytes = readFile(first.path());
    second.remove();
    EXPECT_FALSE(fs::exists(folder + "px417." + std::to_string(::GetCurrentProcessId()) + ".dll"));
    ASSERT_TRUE(fs::exists(first.path()));
    EXPECT_EQ(readFile(first.path()), bytes);
    platform::DynamicLibrary loaded;
    EXPECT_TRUE(loaded.open(first.path()));
    loaded.close();
    first.remove();
    EXPECT_TRUE(fs::is_empty(dir.path()));

    // A read-only px417.dll is no other window's: the window goes without a session, as before.
    writeFile(folder + "px417.dll", {1, 2, 3});
    ASSERT_TRUE(::SetFileAttributesA((folder + "px417.dll").c_str(), FILE_ATTRIBUTE_READONLY));
    ExtractedLibrary third;
    EXPECT_FALSE(third.extract(ExtractedLibrary::For::Window, folder));
    EXPECT_EQ(readFile(folder + "px417.dll"), (Bytes{1, 2, 3}));
    ::SetFileAttributesA((folder + "px417.dll").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(ExtractedLibraryWin, CopiesOfEndedProcessesAreRemovedAndLiveOnesKept) {
    TempDir dir;
    const std::string folder = folderOf(dir);
    const DWORD live = liveProcessId(), ended = endedProcessId();
    ASSERT_NE(live, 0u);
    ASSERT_NE(ended, 0u);
    const std::string endedCopy = folder + "px417." + std::to_string(ended) + ".dll";
    const std::string liveCopy = folder + "px417." + std::to_string(live) + ".dll";
    const std::string other = folder + "px417.notes.dll";
    for (const std::string& path : {endedCopy, liveCopy, other}) writeFile(path, {0x4D, 0x5A});
    // A private directory an ended run made under the temporary directory.
    const fs::path privateDir = fs::temp_directory_path() / ("unit-loader-" + std::to_string(ended) + "-1");
    fs::create_directory(privateDir);
    writeFile((privateDir / ("px417." + std::to_string(ended) + ".dll")).string(), {0x4D, 0x5A});

    ExtractedLibrary run;
    ASSERT_TRUE(run.extract(ExtractedLibrary::For::CommandLine, folder));
    EXPECT_FALSE(fs::exists(endedCopy));
    EXPECT_TRUE(fs::exists(liveCopy));
    EXPECT_TRUE(fs::exists(other));
    EXPECT_TRUE(fs::exists(run.path()));
    EXPECT_FALSE(fs::exists(privateDir));
    run.remove();
    std::error_code ec;
    fs::remove_all(privateDir, ec);
}

}  // namespace

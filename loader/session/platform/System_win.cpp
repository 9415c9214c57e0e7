#include "session/platform/System.h"

#include <windows.h>

#include <algorithm>

namespace platform {

const char* libraryFileName() { return "px417.dll"; }

bool replaceFile(const std::string& path, std::span<const std::uint8_t> bytes) {
    // A unique name beside the target, then one move over it.
    const std::string temp = path + "." + std::to_string(::GetCurrentProcessId()) + ".tmp";
    HANDLE file = ::CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    std::size_t done = 0;
    while (ok && done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
        DWORD written = 0;
        ok = ::WriteFile(file, bytes.data() + done, chunk, &written, nullptr) && written != 0;
        done += written;
    }
    if (!::CloseHandle(file)) ok = false;
    if (ok && ::MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    ::DeleteFileA(temp.c_str());
    return false;
}

bool removeFile(const std::string& path) { return ::DeleteFileA(path.c_str()) != 0; }

bool DynamicLibrary::open(const std::string& fullPath) {
    close();
    // Only a path with a directory part: LoadLibrary would otherwise search.
    if (fullPath.find_first_of("\\/") == std::string::npos) return false;
    handle_ = reinterpret_cast<void*>(::LoadLibraryA(fullPath.c_str()));
    return handle_ != nullptr;
}

void* DynamicLibrary::symbol(const char* name) const {
    return handle_ ? reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle_), name)) : nullptr;
}

void DynamicLibrary::close() {
    if (handle_) {
        ::FreeLibrary(static_cast<HMODULE>(handle_));
        handle_ = nullptr;
    }
}

}  // namespace platform

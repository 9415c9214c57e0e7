#pragma once

#include <cstdint>
#include <span>
#include <string>

// The operating-system services the session client needs beyond the shared ones.
namespace platform {

// File name of the protocol library on this platform.
const char* libraryFileName();

// Writes `bytes` to a temporary file beside `path` and renames it over `path`, so a copy
// that another process has mapped is never truncated. False leaves no partial file.
bool replaceFile(const std::string& path, std::span<const std::uint8_t> bytes);

bool removeFile(const std::string& path);

// The names of a user and of a group (Linux), empty when the system knows none; safe to ask from
// several threads at once (a station's slots do).
std::string userNameOf(unsigned id);
std::string groupNameOf(unsigned id);

// A library loaded at run time by full path, never through a search path.
class DynamicLibrary {
public:
    DynamicLibrary() = default;
    ~DynamicLibrary() { close(); }
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    bool open(const std::string& fullPath);
    void* symbol(const char* name) const;
    void close();
    bool isOpen() const { return handle_ != nullptr; }

private:
    void* handle_ = nullptr;
};

}  // namespace platform

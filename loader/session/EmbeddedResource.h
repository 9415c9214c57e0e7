#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// Resources carried inside the program file, found by type and name.
std::optional<std::span<const std::uint8_t>> findResource(std::string_view type, std::string_view name);

inline constexpr std::string_view kLibraryResourceType = "DLLFILE";
inline constexpr std::string_view kLibraryResourceName = "IDR_PX417_DLL";

// The program's directory followed by the library's file name; empty when the directory is unknown.
std::string libraryPath();

// Writes the embedded px417 library to `path` (libraryPath() when empty). False leaves no partial file.
bool extractLibrary(const std::string& path = {});

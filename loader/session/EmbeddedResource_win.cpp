#include <windows.h>

#include "session/EmbeddedResource.h"

// Resources of the program's own module, linked in from the resource script.
std::optional<std::span<const std::uint8_t>> findResource(std::string_view type, std::string_view name) {
    const std::string typeText(type), nameText(name);
    HRSRC found = ::FindResourceA(nullptr, nameText.c_str(), typeText.c_str());
    if (!found) return std::nullopt;
    const DWORD size = ::SizeofResource(nullptr, found);
    HGLOBAL loaded = ::LoadResource(nullptr, found);
    if (!loaded) return std::nullopt;
    const void* bytes = ::LockResource(loaded);
    if (!bytes) return std::nullopt;
    return std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(bytes), size);
}

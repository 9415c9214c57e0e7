#include "session/EmbeddedResource.h"

// The bytes of px417 as built, placed in the program by the generated blob source.
extern "C" const unsigned char ul_px417_blob_begin[];
extern "C" const unsigned char ul_px417_blob_end[];

std::optional<std::span<const std::uint8_t>> findResource(std::string_view type, std::string_view name) {
    if (type == kLibraryResourceType && name == kLibraryResourceName)
        return std::span<const std::uint8_t>(ul_px417_blob_begin,
                                             static_cast<std::size_t>(ul_px417_blob_end - ul_px417_blob_begin));
    return std::nullopt;
}

#pragma once

#include <cstddef>

// Memory blocks that cross the px417 boundary: the caller allocates the request block, the
// library frees it, and the other way round for the response. Both sides must use these.
namespace platform {

// Zero-filled block of `bytes` bytes; nullptr when it cannot be had.
char* globalAlloc(std::size_t bytes);
void globalFree(char* block);

}  // namespace platform

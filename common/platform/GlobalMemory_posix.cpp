#include "platform/GlobalMemory.h"

#include <cstdlib>

// On POSIX both modules share the C library's heap, so calloc/free pair up across the boundary.
namespace platform {

char* globalAlloc(std::size_t bytes) { return static_cast<char*>(std::calloc(bytes == 0 ? 1 : bytes, 1)); }

void globalFree(char* block) { std::free(block); }

}  // namespace platform

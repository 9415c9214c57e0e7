#include "platform/GlobalMemory.h"

#include <windows.h>

// Fixed global memory: the handle is the pointer, and either module may free what the other
// allocated, whatever C runtime each was linked with.
namespace platform {

char* globalAlloc(std::size_t bytes) {
    return static_cast<char*>(::GlobalAlloc(GMEM_ZEROINIT, bytes == 0 ? 1 : bytes));
}

void globalFree(char* block) {
    if (block) ::GlobalFree(block);
}

}  // namespace platform

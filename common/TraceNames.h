#pragma once

// The trace mailslots: px417 writes its requests and responses to one, the loader its worker's
// orders and Open results to the other. Listeners (trace-listen, the CLI's --trace) create them.
namespace tracename {
inline constexpr const char* kLibrary = "DebugComm_px417";
inline constexpr const char* kLoader = "Debug_VSK_DOWNLOAD";
}  // namespace tracename

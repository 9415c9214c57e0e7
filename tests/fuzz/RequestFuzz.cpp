// Fuzz target: px417's request export with no port open. Any text comes back as a response
// block; only the three methods are answered, and with no port nothing reaches a device.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Px417Call.h"

namespace {
// Cannot exist: nothing may be created under /proc/self.
constexpr const char* kNoSuchPort = "/proc/self/ul-fuzz-no-port";
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool loaded = load();
    static bool openTried = false;  // since the last Close
    FUZZ_CHECK(loaded);

    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string text = fuzzpx417::withPort(input, kNoSuchPort);
    const std::string method = fuzzpx417::methodOf(text);
    const std::string response = fuzzpx417::call(text);
    const CommMessage parsed = fuzzpx417::checkedResponse(response);

    const std::string refused = CommMessage(px417proto::kMemoryFailureLine).serialise();
    if (method == "Close") {
        FUZZ_CHECK(response == CommMessage(px417proto::kOkLine).serialise());
        openTried = false;
    } else if (method == "Open") {
        FUZZ_CHECK(response == refused);
        openTried = true;
    } else if (method == "Command") {
        // Without a port nothing is sent. A failed Open may leave a port held that was never
        // opened: nothing can be written to it.
        FUZZ_CHECK(response == refused || (openTried && parsed.startLine() == px417proto::kProtocolErrorLine &&
                                           parsed.get("Argument0") == "107"));
    } else {
        FUZZ_CHECK(response.empty());
    }
    return 0;
}

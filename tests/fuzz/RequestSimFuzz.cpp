// Fuzz target: px417's request export with a port open to a simulated unit. Whatever frame a
// Command carries, the answer is a checked reply frame or a transaction failure, and the port
// stays usable.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Crc16.h"
#include "Px417Call.h"
#include "UnitSimulator.h"

namespace {

struct Session {
    Session() {
        sim.start();
        FUZZ_CHECK(load());
        reopen();
    }
    void reopen() {
        FUZZ_CHECK(fuzzpx417::call(fuzzpx417::openRequest(sim.devicePath())).starts_with("COMM_PX417/1.0 200"));
    }

    unitsim::UnitSimulator sim;
};

void checkCommandResponse(const CommMessage& request, const CommMessage& response) {
    if (response.startLine() == px417proto::kMemoryFailureLine) {
        // With a port held, only a byte count that does not convert is refused.
        FUZZ_CHECK(!readNumber(request.get("Argument0")));
        return;
    }
    if (response.startLine() == px417proto::kProtocolErrorLine) {
        const auto result = readNumber(response.get("Argument0"));
        FUZZ_CHECK(result && (*result == 102 || *result == 105));
        return;
    }
    FUZZ_CHECK(response.startLine() == px417proto::kOkLine);
    const auto frame = base64Decode(response.get("Argument1"));
    FUZZ_CHECK(readNumber(response.get("Argument0")) == static_cast<std::int32_t>(frame.size()));
    FUZZ_CHECK(frame.size() >= 3 && frame[0] == 0xFC && frame[1] == frame.size());
    const std::uint16_t check = Crc16::of({frame.data(), frame.size() - 2});
    FUZZ_CHECK(frame[frame.size() - 2] == (check & 0xFF) && frame[frame.size() - 1] == (check >> 8));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Session session;

    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string text = fuzzpx417::withPort(input, session.sim.devicePath());
    CommMessage request;
    request.parse(fuzzpx417::seenText(text));
    const std::string method = request.get("Method");
    const CommMessage response = fuzzpx417::checkedResponse(fuzzpx417::call(text));

    if (method == "Command") checkCommandResponse(request, response);
    // Either one leaves the library without the port (a refused Open releases nothing, but
    // reopening costs little): the next input finds it open again.
    if (method == "Open" || method == "Close") session.reopen();
    return 0;
}

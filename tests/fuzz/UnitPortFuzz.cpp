// Fuzz target: px417's frame receiver fed an arbitrary byte stream. One status request after
// another meets the stream; every reply taken is a whole frame with a good check code, made of
// exactly the last bytes read, and a failed exchange hands back nothing.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "Crc16.h"
#include "FuzzCheck.h"
#include "UnitPort.h"

namespace {

// The line: the fuzzer's bytes, then silence.
class StreamPort : public BytePort {
public:
    explicit StreamPort(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool readByte(std::uint8_t& byte) override {
        if (position_ == bytes_.size()) return false;
        byte = bytes_[position_++];
        return true;
    }
    bool writeBytes(const std::uint8_t*, std::size_t) override { return true; }

    std::size_t position() const { return position_; }
    std::span<const std::uint8_t> bytes() const { return bytes_; }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    StreamPort line({data, size});
    UnitPort port(line);
    for (;;) {
        const std::size_t before = line.position();
        ByteBuffer command{0xFC, 0x05, 0x11};
        ByteBuffer reply;
        const std::int32_t result = port.transact(command, reply);
        FUZZ_CHECK(port.receiverState() == RX_IDLE);
        FUZZ_CHECK(command == (ByteBuffer{0xFC, 0x05, 0x11, 0x27, 0x56}));
        if (result == TRANSACT_OK) {
            const std::size_t n = reply.size();
            FUZZ_CHECK(n >= 3 && reply[0] == 0xFC && reply[1] == n);
            const std::uint16_t check = Crc16::of(reply.bytes().first(n - 2));
            FUZZ_CHECK(reply[n - 2] == (check & 0xFF) && reply[n - 1] == (check >> 8));
            // The frame ends with the last byte read: nothing after it was taken from the line.
            FUZZ_CHECK(line.position() - before >= n);
            const auto taken = line.bytes().subspan(line.position() - n, n);
            FUZZ_CHECK(std::equal(taken.begin(), taken.end(), reply.bytes().begin()));
        } else {
            FUZZ_CHECK(result == TRANSACT_NO_REPLY || result == TRANSACT_BAD_CHECK);
            FUZZ_CHECK(reply.empty());
        }
        if (line.position() == size) break;
    }
    return 0;
}

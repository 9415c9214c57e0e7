#include "UnitFrames.h"

#include "Crc16.h"

namespace unitframe {

ByteBuffer frame(std::uint8_t code, std::span<const std::uint8_t> data) {
    ByteBuffer f{kSync, static_cast<std::uint8_t>((data.size() + kSmallestFrame) % 256), code};
    f.append(data);
    return f;
}

ByteBuffer withCheck(ByteBuffer f) {
    Crc16 crc;
    crc.update(f.bytes());
    f.append(crc.low());
    f.append(crc.high());
    return f;
}

ByteBuffer statusRequest() { return frame(command::kStatusRequest); }
ByteBuffer startDownload() { return frame(command::kDownloadStart); }
ByteBuffer ack() { return frame(command::kAck); }
ByteBuffer versionRequest() { return frame(command::kVersionRequest); }

ByteBuffer writeBlock(std::uint32_t offset, std::span<const std::uint8_t> data) {
    // The length byte wraps like the unit's one byte; the download never sends more than a block.
    ByteBuffer f{kSync, static_cast<std::uint8_t>((data.size() + kBlockOverhead) % 256), command::kWriteBlock};
    f.appendU32(offset);
    f.append(data);
    return f;
}

ByteBuffer verify(const std::array<std::uint8_t, 6>& r) {
    const std::uint8_t data[] = {r[3], r[2], r[1], r[0], r[5], r[4]};
    return frame(command::kVerify, data);
}

std::string versionText(const ByteBuffer& reply) {
    constexpr std::uint32_t kFirstTextByte = 7;
    std::string text;
    if (reply.size() < 2) return text;
    const std::uint32_t frameLength = reply.at(1);
    for (std::uint32_t i = kFirstTextByte; i + 3 <= frameLength && i < reply.size(); ++i) {
        if (reply[i] == 0) break;
        text.push_back(static_cast<char>(reply[i]));
    }
    return text;
}

}  // namespace unitframe

#include "Crc16.h"

#include <array>

namespace {

struct Tables {
    std::array<std::uint8_t, 256> low{};
    std::array<std::uint8_t, 256> high{};
};

constexpr Tables makeTables() {
    Tables t;
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0x8408u : crc >> 1;
        t.low[i] = static_cast<std::uint8_t>(crc & 0xFF);
        t.high[i] = static_cast<std::uint8_t>(crc >> 8);
    }
    return t;
}

constexpr Tables kTables = makeTables();

}  // namespace

void Crc16::update(std::uint8_t byte) {
    const std::uint8_t i = byte ^ low_;
    low_ = kTables.low[i] ^ high_;
    high_ = kTables.high[i];
}

std::uint16_t Crc16::tableEntry(std::uint8_t i) {
    return static_cast<std::uint16_t>(kTables.high[i] * 256 + kTables.low[i]);
}

#pragma once

#include <cstdint>
#include <span>

// CRC-16/KERMIT accumulator (reflected polynomial 0x8408, initial 0, no final xor),
// kept as a low and a high register byte so the frame's check bytes fall out directly.
class Crc16 {
public:
    void reset() {
        low_ = 0;
        high_ = 0;
    }
    void update(std::uint8_t byte);
    void update(std::span<const std::uint8_t> bytes) {
        for (auto b : bytes) update(b);
    }
    std::uint8_t low() const { return low_; }
    std::uint8_t high() const { return high_; }
    std::uint16_t value() const { return static_cast<std::uint16_t>(high_ * 256 + low_); }

    // Entry i of the table: the CRC of the single byte i.
    static std::uint16_t tableEntry(std::uint8_t i);
    static std::uint16_t of(std::span<const std::uint8_t> bytes) {
        Crc16 crc;
        crc.update(bytes);
        return crc.value();
    }

private:
    std::uint8_t low_ = 0;
    std::uint8_t high_ = 0;
};

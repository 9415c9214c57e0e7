#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

// A growable run of bytes with a 32-bit length. Every operation that grows the buffer
// reports false when memory runs out and then leaves the old contents untouched.
class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(std::initializer_list<std::uint8_t> bytes) : bytes_(bytes) {}
    ByteBuffer(const std::uint8_t* data, std::size_t count);
    explicit ByteBuffer(std::span<const std::uint8_t> bytes);
    // Takes the bytes over without a copy; `bytes` must fit the 32-bit length.
    explicit ByteBuffer(std::vector<std::uint8_t>&& bytes) noexcept : bytes_(std::move(bytes)) {}

    ByteBuffer(const ByteBuffer&) = default;
    ByteBuffer& operator=(const ByteBuffer&) = default;
    ByteBuffer(ByteBuffer&&) noexcept = default;
    ByteBuffer& operator=(ByteBuffer&&) noexcept = default;

    bool append(const std::uint8_t* data, std::size_t count);
    bool append(std::span<const std::uint8_t> bytes) { return append(bytes.data(), bytes.size()); }
    bool append(std::uint8_t byte);
    bool appendU16(std::uint16_t value);  // least significant byte first
    bool appendU32(std::uint32_t value);  // least significant byte first

    bool replace(const std::uint8_t* data, std::size_t count);
    bool replace(std::uint8_t byte);

    // Cuts the buffer down to `count` bytes; a larger count leaves it as it is.
    void shrink(std::uint32_t count);
    void clear();
    bool copyFrom(const ByteBuffer& other) { return replace(other.data(), other.size()); }

    std::uint32_t size() const { return static_cast<std::uint32_t>(bytes_.size()); }
    bool empty() const { return bytes_.empty(); }
    const std::uint8_t* data() const { return bytes_.data(); }
    std::uint8_t* data() { return bytes_.data(); }
    std::uint8_t operator[](std::size_t i) const { return bytes_[i]; }
    std::uint8_t& operator[](std::size_t i) { return bytes_[i]; }
    std::span<const std::uint8_t> bytes() const { return bytes_; }

    // Byte at `i`, or `fallback` when the buffer is too short: replies from the line may be short.
    std::uint8_t at(std::size_t i, std::uint8_t fallback = 0) const { return i < bytes_.size() ? bytes_[i] : fallback; }

    friend bool operator==(const ByteBuffer& a, const ByteBuffer& b) { return a.bytes_ == b.bytes_; }

private:
    std::vector<std::uint8_t> bytes_;
};

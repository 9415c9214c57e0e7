#include "ByteBuffer.h"

#include <limits>
#include <new>

namespace {
constexpr std::size_t kMaxSize = std::numeric_limits<std::uint32_t>::max();
}

ByteBuffer::ByteBuffer(const std::uint8_t* data, std::size_t count) : bytes_(data, data + count) {}

ByteBuffer::ByteBuffer(std::span<const std::uint8_t> bytes) : bytes_(bytes.begin(), bytes.end()) {}

bool ByteBuffer::append(const std::uint8_t* data, std::size_t count) {
    if (count == 0) return true;
    if (count > kMaxSize - bytes_.size()) return false;
    try {
        // insert gives the strong guarantee: on bad_alloc the old contents stay.
        bytes_.insert(bytes_.end(), data, data + count);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool ByteBuffer::append(std::uint8_t byte) { return append(&byte, 1); }

bool ByteBuffer::appendU16(std::uint16_t value) {
    const std::uint8_t b[2] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)};
    return append(b, 2);
}

bool ByteBuffer::appendU32(std::uint32_t value) {
    const std::uint8_t b[4] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                               static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    return append(b, 4);
}

bool ByteBuffer::replace(const std::uint8_t* data, std::size_t count) {
    if (count > kMaxSize) return false;
    try {
        std::vector<std::uint8_t> fresh(data, data + count);
        bytes_.swap(fresh);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool ByteBuffer::replace(std::uint8_t byte) { return replace(&byte, 1); }

void ByteBuffer::shrink(std::uint32_t count) {
    if (count < bytes_.size()) bytes_.resize(count);
}

void ByteBuffer::clear() { std::vector<std::uint8_t>().swap(bytes_); }

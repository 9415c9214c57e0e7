#pragma once

// Bytes the tests are made of: unit frames built by the loader's own frame module, download
// files with their trailer, and files on disk.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "ByteBuffer.h"
#include "Crc16.h"
#include "UnitFrames.h"

using Bytes = std::vector<std::uint8_t>;

inline Bytes toBytes(const ByteBuffer& buffer) { return {buffer.bytes().begin(), buffer.bytes().end()}; }

// A unit frame without its check bytes, as the loader hands it to px417.
inline Bytes unitFrame(std::uint8_t code, const Bytes& data = {}) { return toBytes(unitframe::frame(code, data)); }
// A frame as it travels on the line: check code appended, low byte first.
inline Bytes onLine(const Bytes& frame) { return toBytes(unitframe::withCheck(ByteBuffer(frame))); }
// A reply as the unit sends it.
inline Bytes unitReply(std::uint8_t code, const Bytes& data = {}) { return onLine(unitFrame(code, data)); }

// A download file: the body, then its CRC-16 high byte first.
inline Bytes sealed(Bytes body) {
    const std::uint16_t crc = Crc16::of(body);
    body.push_back(static_cast<std::uint8_t>(crc >> 8));
    body.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    return body;
}

// Bytes that are never 0xFF, so no block is blank unless a test makes it so.
inline Bytes randomBody(std::size_t size, unsigned seed = 7) {
    std::mt19937 rng(seed);
    Bytes body(size);
    for (auto& b : body) b = static_cast<std::uint8_t>(rng() % 255);
    return body;
}

// A valid download file of `size` bytes (at least 2) with no blank block.
inline Bytes makeImage(std::size_t size, unsigned seed = 1) { return sealed(randomBody(size - 2, seed)); }

inline Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::string hex4(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

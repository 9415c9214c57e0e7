#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "ByteBuffer.h"

// The unit's frames as the loader builds them and the simulated unit answers them: sync byte,
// length byte, code, data. The length byte counts the whole frame on the line, the two check
// bytes included, which the device link appends (low byte first) as the frame goes out.
namespace unitframe {

inline constexpr std::uint8_t kSync = 0xFC;
// Sync, length, code and the two check bytes: the shortest frame there is.
inline constexpr std::uint32_t kSmallestFrame = 5;
// Data bytes of one write-block frame; the download file goes out in blocks of this size.
inline constexpr std::uint32_t kBlockSize = 246;
// A write-block frame beyond its data: sync, length, code, four offset bytes, two check bytes.
inline constexpr std::uint32_t kBlockOverhead = 9;

// Commands, host to unit.
namespace command {
inline constexpr std::uint8_t kStatusRequest = 0x11;
inline constexpr std::uint8_t kAck = 0x50;
inline constexpr std::uint8_t kVersionRequest = 0x84;
inline constexpr std::uint8_t kDownloadStart = 0xD0;
inline constexpr std::uint8_t kWriteBlock = 0xD1;
inline constexpr std::uint8_t kVerify = 0xD2;
}  // namespace command

// Replies, unit to host: the code in byte 2, the first data byte in byte 3.
namespace reply {
inline constexpr std::uint8_t kDisable = 0x1A;
inline constexpr std::uint8_t kReset = 0x40;
inline constexpr std::uint8_t kAck = 0x50;
inline constexpr std::uint8_t kVersion = 0x84;
inline constexpr std::uint8_t kVerifyResult = 0xD3;  // data 0x00 passed, 0x80 not
inline constexpr std::uint8_t kFlashStatus = 0xD4;   // data 0x00 ready, 0x80 busy
inline constexpr std::uint8_t kReady = 0x00;
inline constexpr std::uint8_t kBusy = 0x80;
inline constexpr std::uint8_t kResult00 = 0x00;
inline constexpr std::uint8_t kResult80 = 0x80;
}  // namespace reply

// A frame without its check bytes: sync, length (data + 5, modulo 256 like the unit's one
// byte), code, data.
ByteBuffer frame(std::uint8_t code, std::span<const std::uint8_t> data = {});
// The frame as it goes on the line: its check code appended, low byte first.
ByteBuffer withCheck(ByteBuffer frame);

// The loader's command frames, without check bytes.
ByteBuffer statusRequest();
ByteBuffer startDownload();
ByteBuffer writeBlock(std::uint32_t offset, std::span<const std::uint8_t> data);
// The six-byte record goes out in the order 3, 2, 1, 0, 5, 4.
ByteBuffer verify(const std::array<std::uint8_t, 6>& record);
ByteBuffer ack();
ByteBuffer versionRequest();

// Reply tests; each is false for a reply too short to hold the bytes it reads (an Alarm after a
// failed status request carries no bytes at all).
inline bool hasCode(const ByteBuffer& r, std::uint8_t code) { return r.size() > 2 && r[2] == code; }
inline bool hasCodeAndData(const ByteBuffer& r, std::uint8_t code, std::uint8_t data) {
    return r.size() > 3 && r[2] == code && r[3] == data;
}
inline bool isAck(const ByteBuffer& r) { return hasCode(r, reply::kAck); }
inline bool isDisable(const ByteBuffer& r) { return hasCode(r, reply::kDisable); }
inline bool isReady(const ByteBuffer& r) { return hasCodeAndData(r, reply::kFlashStatus, reply::kReady); }
inline bool isBusy(const ByteBuffer& r) { return hasCodeAndData(r, reply::kFlashStatus, reply::kBusy); }
inline bool isResult00(const ByteBuffer& r) { return hasCodeAndData(r, reply::kVerifyResult, reply::kResult00); }
inline bool isResult80(const ByteBuffer& r) { return hasCodeAndData(r, reply::kVerifyResult, reply::kResult80); }
inline bool isVersion(const ByteBuffer& r) { return hasCode(r, reply::kVersion); }
// The status a unit gives at its first requests after it powered up.
inline bool isReset(const ByteBuffer& r) { return hasCode(r, reply::kReset); }
// A unit in download mode: flash busy or ready, or a verify result it repeats until acknowledged.
inline bool inDownload(const ByteBuffer& r) {
    return hasCode(r, reply::kFlashStatus) || hasCode(r, reply::kVerifyResult);
}
// The text of a version reply: bytes 7 .. L-3 of a frame of length L (byte 1), clipped to what
// arrived, up to a zero byte.
std::string versionText(const ByteBuffer& reply);

}  // namespace unitframe

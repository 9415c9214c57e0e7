#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "ByteBuffer.h"
#include "UnitFrames.h"

class OperatorFeedback;

// The download file held in memory: opaque bytes whose last two are the CRC-16 of the rest,
// high byte first. Everything, trailer included, goes to the unit in 246-byte blocks.
class DownloadImage {
public:
    static constexpr std::uint32_t kBlockSize = unitframe::kBlockSize;

    // A file read and checked but not yet taken over, so that the reading, which takes a while
    // for a large file, can run on another thread than the boxes.
    struct File {
        enum class Error { None, Open, Memory, Invalid, Cancelled };
        Error error = Error::Open;
        std::vector<std::uint8_t> bytes;  // empty unless error is None
        std::uint16_t crc = 0;            // over the whole file, trailer included
    };

    // Replaces the image with the file at `path`. The old image is gone whatever happens; a
    // failure has shown its box ("File Open Error", "Memory Allocate Error" or
    // "ERROR: Invalid download file") and leaves nothing loaded. Same as clear, read, take.
    bool load(const std::string& path, OperatorFeedback& feedback);
    // Reads and checks the file at `path`; safe on any thread. Given up, between pieces of a few
    // megabytes, once `cancel` is set.
    static File read(const std::string& path, const std::atomic<bool>* cancel = nullptr);
    // Replaces the image with a read file, or shows the box of its failure and leaves nothing
    // loaded (nothing shown for a cancelled read).
    bool take(File file, OperatorFeedback& feedback);
    void clear();

    bool isLoaded() const { return !bytes_.empty(); }
    std::uint32_t size() const { return bytes_.size(); }
    // CRC-16 over the whole file, trailer included.
    std::uint16_t fileCrc() const { return fileCrc_; }
    // Blocks of 246 bytes, the last one possibly short.
    std::uint32_t blockCount() const { return size() / kBlockSize + (size() % kBlockSize != 0 ? 1 : 0); }

    // Bytes [offset, offset + length) as a new buffer, cut short at the end of the file.
    ByteBuffer blockAt(std::uint32_t offset, std::uint32_t length) const;
    // All bytes 0xFF (an empty block too).
    static bool isBlank(const ByteBuffer& block);

private:
    ByteBuffer bytes_;
    std::uint16_t fileCrc_ = 0;
};

#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "ByteBuffer.h"
#include "UnitFrames.h"
#include "download/RunReport.h"

// The download file held in memory: opaque bytes whose last two are the CRC-16 of the rest,
// high byte first. Everything, trailer included, goes to the unit in 246-byte blocks.
class DownloadImage {
public:
    static constexpr std::uint32_t kBlockSize = unitframe::kBlockSize;
    // The largest file a unit can take: its 32-bit address space.
    static constexpr std::uintmax_t kMaxFileSize = 0xFFFFFFFFu;

    // A file read and checked but not yet taken over, so that the reading, which takes a while
    // for a large file, can run on another thread than the boxes.
    struct File {
        FileProblem problem = FileProblem::OpenError;
        bool cancelled = false;
        std::vector<std::uint8_t> bytes;  // empty unless problem is None
        std::uint16_t crc = 0;            // over the whole file, trailer included
    };

    // Replaces the image with the file at `path`. The old image is gone whatever happens; a
    // failure (FileProblem::None is success) leaves nothing loaded. Same as read, then take.
    FileProblem load(const std::string& path);
    // Reads and checks the file at `path`; safe on any thread. Given up, between pieces of a few
    // megabytes, once `cancel` is set.
    static File read(const std::string& path, const std::atomic<bool>* cancel = nullptr);
    // Replaces the image with a read file, or leaves nothing loaded and says why (a cancelled
    // read is left to the caller: File::cancelled).
    FileProblem take(File file);
    void clear();

    bool isLoaded() const { return !bytes_.empty(); }
    std::uint32_t size() const { return bytes_.size(); }
    // CRC-16 over the whole file, trailer included.
    std::uint16_t fileCrc() const { return fileCrc_; }
    // Blocks of 246 bytes, the last one possibly short.
    std::uint32_t blockCount() const { return size() / kBlockSize + (size() % kBlockSize != 0 ? 1 : 0); }

    const ByteBuffer& bytes() const { return bytes_; }
    // Blocks a download passes over: full blocks of 0xFF after the first.
    std::uint32_t blankBlocks() const;

    // Bytes [offset, offset + length) as a new buffer, cut short at the end of the file.
    ByteBuffer blockAt(std::uint32_t offset, std::uint32_t length) const;
    // All bytes 0xFF (an empty block too).
    static bool isBlank(const ByteBuffer& block);

private:
    ByteBuffer bytes_;
    std::uint16_t fileCrc_ = 0;
};

#include "DownloadImage.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <utility>

#include "Crc16.h"

namespace {
// A failed allocation must come back as "Memory Allocate Error", not as an exception. Sizes
// beyond the 32-bit length of a ByteBuffer cannot be held at all.
bool allocate(std::vector<std::uint8_t>& buffer, std::uintmax_t size) {
    if (size > std::numeric_limits<std::uint32_t>::max()) return false;
    try {
        buffer.resize(static_cast<std::size_t>(size));
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}
}  // namespace

void DownloadImage::clear() {
    bytes_.clear();
    fileCrc_ = 0;
}

FileProblem DownloadImage::load(const std::string& path) {
    clear();

    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::is_regular_file(status)) {
        return FileProblem::OpenError;
    }
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec) {
        return FileProblem::OpenError;
    }

    std::vector<std::uint8_t> buffer;
    if (!allocate(buffer, size)) {
        return FileProblem::MemoryError;
    }

    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return FileProblem::OpenError;
    }
    // A file that shrank since its size was taken cannot be trusted any more than one that won't open.
    if (!buffer.empty() &&
        !in.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()))) {
        return FileProblem::OpenError;
    }
    in.close();

    // Under two bytes there is no trailer to check.
    const auto n = static_cast<std::uint32_t>(buffer.size());
    Crc16 crc;
    if (n >= 2) crc.update(std::span<const std::uint8_t>(buffer.data(), n - 2));
    if (n < 2 || crc.low() != buffer[n - 1] || crc.high() != buffer[n - 2]) {
        return FileProblem::Invalid;
    }
    crc.reset();
    crc.update(buffer);

    // Taken over, not copied: a large image is held once, not twice.
    bytes_ = ByteBuffer(std::move(buffer));
    fileCrc_ = crc.value();
    return FileProblem::None;
}

// The first block and a short last one always go out; the full blocks between (a full last
// one too) are passed over when blank.
std::uint32_t DownloadImage::blankBlocks() const {
    std::uint32_t blank = 0;
    for (std::uint32_t offset = kBlockSize; offset < size() && size() - offset >= kBlockSize; offset += kBlockSize) {
        const std::uint8_t* begin = bytes_.data() + offset;
        if (std::all_of(begin, begin + kBlockSize, [](std::uint8_t b) { return b == 0xFF; })) ++blank;
    }
    return blank;
}

ByteBuffer DownloadImage::blockAt(std::uint32_t offset, std::uint32_t length) const {
    if (offset >= size()) return {};
    const std::uint32_t n = std::min(length, size() - offset);
    return ByteBuffer(bytes_.data() + offset, n);
}

bool DownloadImage::isBlank(const ByteBuffer& block) {
    return std::all_of(block.bytes().begin(), block.bytes().end(), [](std::uint8_t b) { return b == 0xFF; });
}

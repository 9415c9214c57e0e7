#include "DownloadImage.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <utility>

#include "Crc16.h"
#include "OperatorFeedback.h"

namespace {
// A failed allocation must come back as "Memory Allocate Error", not as an exception. Sizes
// beyond the 32-bit length of a ByteBuffer cannot be held at all, nor, in a 32-bit program,
// those beyond what one vector may hold (2 GiB there), which resize refuses with length_error.
bool allocate(std::vector<std::uint8_t>& buffer, std::uintmax_t size) {
    if (size > std::numeric_limits<std::uint32_t>::max() || size > buffer.max_size()) return false;
    try {
        buffer.resize(static_cast<std::size_t>(size));
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
}
}  // namespace

void DownloadImage::clear() {
    bytes_.clear();
    fileCrc_ = 0;
}

bool DownloadImage::load(const std::string& path, OperatorFeedback& feedback) {
    clear();

    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::is_regular_file(status)) {
        feedback.ShowTableMessage(kStrFileOpenError);
        return false;
    }
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec) {
        feedback.ShowTableMessage(kStrFileOpenError);
        return false;
    }

    std::vector<std::uint8_t> buffer;
    if (!allocate(buffer, size)) {
        feedback.ShowTableMessage(kStrMemoryError);
        return false;
    }

    std::ifstream in(path, std::ios::binary);
    if (!in) {
        feedback.ShowTableMessage(kStrFileOpenError);
        return false;
    }
    // A file that shrank since its size was taken cannot be trusted any more than one that won't open.
    if (!buffer.empty() &&
        !in.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()))) {
        feedback.ShowTableMessage(kStrFileOpenError);
        return false;
    }
    in.close();

    // Under two bytes there is no trailer to check.
    const auto n = static_cast<std::uint32_t>(buffer.size());
    Crc16 crc;
    if (n >= 2) crc.update(std::span<const std::uint8_t>(buffer.data(), n - 2));
    if (n < 2 || crc.low() != buffer[n - 1] || crc.high() != buffer[n - 2]) {
        feedback.ShowMessagePair("ERROR: Invalid download file", "Select a valid software.");
        return false;
    }
    crc.reset();
    crc.update(buffer);

    // Taken over, not copied: a large image is held once, not twice.
    bytes_ = ByteBuffer(std::move(buffer));
    fileCrc_ = crc.value();
    return true;
}

ByteBuffer DownloadImage::blockAt(std::uint32_t offset, std::uint32_t length) const {
    if (offset >= size()) return {};
    const std::uint32_t n = std::min(length, size() - offset);
    return ByteBuffer(bytes_.data() + offset, n);
}

bool DownloadImage::isBlank(const ByteBuffer& block) {
    return std::all_of(block.bytes().begin(), block.bytes().end(), [](std::uint8_t b) { return b == 0xFF; });
}

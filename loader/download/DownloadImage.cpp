#include "download/DownloadImage.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <utility>

#include "Crc16.h"

namespace {
// Reading and checking go in pieces of this size, so that a read can be given up between them.
constexpr std::size_t kPiece = std::size_t{16} << 20;

// A failed allocation must come back as "Memory Allocate Error", not as an exception. Sizes
// beyond the 32-bit length of a ByteBuffer cannot be held at all, nor, in a 32-bit program,
// those beyond what one vector may hold (2 GiB there), which reserve refuses with length_error.
// Reserved, not filled: the buffer grows piece by piece as it is read, so that no pass over it
// comes before the reading.
bool allocate(std::vector<std::uint8_t>& buffer, std::uintmax_t size) {
    if (size > DownloadImage::kMaxFileSize || size > buffer.max_size()) return false;
    try {
        buffer.reserve(static_cast<std::size_t>(size));
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

FileProblem DownloadImage::load(const std::string& path) {
    clear();
    return take(read(path));
}

DownloadImage::File DownloadImage::read(const std::string& path, const std::atomic<bool>* cancel) {
    File file;
    auto failed = [&file](FileProblem problem) {
        file.problem = problem;
        file.bytes = {};
        return std::move(file);
    };
    const auto cancelled = [cancel] { return cancel && cancel->load(std::memory_order_relaxed); };
    auto givenUp = [&] {
        file.cancelled = true;
        return failed(FileProblem::OpenError);
    };

    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::is_regular_file(status)) return failed(FileProblem::OpenError);
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec) return failed(FileProblem::OpenError);

    if (!allocate(file.bytes, size)) return failed(FileProblem::MemoryError);
    if (cancelled()) return givenUp();

    std::ifstream in(path, std::ios::binary);
    if (!in) return failed(FileProblem::OpenError);
    // A file that shrank since its size was taken cannot be trusted any more than one that won't open.
    const auto n = static_cast<std::size_t>(size);
    for (std::size_t done = 0; done < n;) {
        if (cancelled()) return givenUp();
        const std::size_t piece = std::min(kPiece, n - done);
        file.bytes.resize(done + piece);  // within what was reserved: no allocation
        if (!in.read(reinterpret_cast<char*>(file.bytes.data() + done), static_cast<std::streamsize>(piece)))
            return failed(FileProblem::OpenError);
        done += piece;
    }
    in.close();

    // Under two bytes there is no trailer to check. The CRC of everything is the CRC of all but
    // the trailer carried on over the trailer: one pass.
    if (n < 2) return failed(FileProblem::Invalid);
    Crc16 crc;
    for (std::size_t done = 0; done < n - 2;) {
        if (cancelled()) return givenUp();
        const std::size_t piece = std::min(kPiece, n - 2 - done);
        crc.update(std::span<const std::uint8_t>(file.bytes.data() + done, piece));
        done += piece;
    }
    if (crc.low() != file.bytes[n - 1] || crc.high() != file.bytes[n - 2]) return failed(FileProblem::Invalid);
    crc.update(std::span<const std::uint8_t>(file.bytes.data() + n - 2, 2));
    file.crc = crc.value();
    file.problem = FileProblem::None;
    return file;
}

FileProblem DownloadImage::take(File file) {
    clear();
    if (file.problem != FileProblem::None) return file.problem;
    // Taken over, not copied: a large image is held once, not twice.
    bytes_ = ByteBuffer(std::move(file.bytes));
    fileCrc_ = file.crc;
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

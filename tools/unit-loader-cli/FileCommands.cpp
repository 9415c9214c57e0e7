#include "FileCommands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <vector>

#include "Crc16.h"
#include "download/DownloadImage.h"
#include "download/ExitCode.h"
#include "download/OperatorFeedback.h"
#include "session/Diagnose.h"

namespace fs = std::filesystem;

FileSummary summarise(const DownloadImage& image) {
    FileSummary s;
    s.size = image.size();
    s.blocks = image.blockCount();
    s.fileCrc = image.fileCrc();
    if (s.blocks > 0) s.lastBlockBytes = s.size - (s.blocks - 1) * DownloadImage::kBlockSize;
    s.blankBlocks = image.blankBlocks();
    return s;
}

int checkCommand(const std::string& path) {
    DownloadImage image;
    if (const FileProblem problem = image.load(path); problem != FileProblem::None) {
        const ReportBox box = fileProblemBox(problem);
        std::printf("%s\n%s\n", box.caption.c_str(), box.text.c_str());
        if (problem == FileProblem::OpenError) std::printf("%s\n", explainFileFailure(path).c_str());
        return exitcode::kFile;
    }
    const FileSummary s = summarise(image);
    std::printf(
        "File:         %s\n"
        "Size:         %u bytes\n"
        "Blocks:       %u of 246 bytes (last block %u bytes)\n"
        "Blank blocks: %u (passed over in a download)\n"
        "File CRC:     %04X\n",
        path.c_str(), s.size, s.blocks, s.lastBlockBytes, s.blankBlocks, s.fileCrc);
    return exitcode::kSuccess;
}

namespace {

// An output file that is written whole or not at all: a regular file (or a new one) is written
// beside its place and renamed over it at the end, so a full disk leaves the old file, and IN
// may be OUT; anything else (/dev/stdout, a FIFO) is written as it is.
class SealOutput {
public:
    explicit SealOutput(const std::string& path) : path_(path) {
        std::error_code ec;
        const auto status = fs::status(path, ec);
        if (ec || fs::is_regular_file(status)) {
            std::random_device random;
            temp_ = path + ".seal-" + std::to_string(random()) + ".tmp";
            file_ = std::fopen(temp_.c_str(), "wb");
            if (file_) {
                if (fs::exists(status)) fs::permissions(temp_, status.permissions(), ec);
                return;
            }
            temp_.clear();
        }
        file_ = std::fopen(path.c_str(), "wb");
    }
    ~SealOutput() {
        if (file_) std::fclose(file_);
        std::error_code ec;
        if (!temp_.empty()) fs::remove(temp_, ec);
    }
    SealOutput(const SealOutput&) = delete;
    SealOutput& operator=(const SealOutput&) = delete;

    bool isOpen() const { return file_ != nullptr; }
    bool write(const std::uint8_t* data, std::size_t size) { return std::fwrite(data, 1, size, file_) == size; }
    // Flushes and closes; then puts the file in its place. False, with errno, when any of it failed.
    bool close() {
        const bool ok = std::fflush(file_) == 0 && !std::ferror(file_);
        const int error = errno;
        const bool closed = std::fclose(file_) == 0;
        file_ = nullptr;
        if (!ok || !closed) {
            errno = ok ? errno : error;
            return false;
        }
        if (temp_.empty()) return true;
        std::error_code ec;
        fs::rename(temp_, path_, ec);
        if (ec) {
            errno = ec.value();
            return false;
        }
        temp_.clear();
        return true;
    }

private:
    std::string path_;
    std::string temp_;
    std::FILE* file_ = nullptr;
};

}  // namespace

int sealCommand(const std::string& inPath, const std::string& outPath) {
    std::FILE* in = std::fopen(inPath.c_str(), "rb");
    if (!in) {
        std::fprintf(stderr, "unit-loader-cli: cannot open %s: %s\n", inPath.c_str(), std::strerror(errno));
        return exitcode::kFile;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> inGuard(in, std::fclose);
    // A device has no end to read to (/dev/zero would fill the disk): a file or a pipe only.
    std::error_code ec;
    const auto type = std::filesystem::status(inPath, ec).type();
    if (type == std::filesystem::file_type::character || type == std::filesystem::file_type::block) {
        std::fprintf(stderr, "unit-loader-cli: %s is a device, not a file\n", inPath.c_str());
        return exitcode::kFile;
    }
    SealOutput out(outPath);
    if (!out.isOpen()) {
        std::fprintf(stderr, "unit-loader-cli: cannot write %s: %s\n", outPath.c_str(), std::strerror(errno));
        return exitcode::kFile;
    }
    // One pass, whatever the size: the CRC of everything, and beside it the CRC of all but the
    // last two bytes, to tell whether IN ends with a valid trailer already.
    Crc16 all, allButLast2;
    std::uint8_t last[2] = {};
    std::uint64_t size = 0;
    std::vector<std::uint8_t> chunk(1 << 16);
    for (;;) {
        const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), in);
        for (std::size_t i = 0; i < n; ++i) {
            all.update(chunk[i]);
            if (size + i >= 2) allButLast2.update(last[0]);
            last[0] = last[1];
            last[1] = chunk[i];
        }
        size += n;
        // IN may be a pipe or a device without end (/dev/zero): no more than a unit can take.
        if (size + 2 > DownloadImage::kMaxFileSize) {
            std::fprintf(stderr, "unit-loader-cli: %s is larger than 4 GiB, the unit's address space\n",
                         inPath.c_str());
            return exitcode::kFile;
        }
        if (n > 0 && !out.write(chunk.data(), n)) {
            std::fprintf(stderr, "unit-loader-cli: cannot write %s: %s\n", outPath.c_str(), std::strerror(errno));
            return exitcode::kFile;
        }
        if (n < chunk.size()) break;
    }
    if (std::ferror(in)) {
        std::fprintf(stderr, "unit-loader-cli: cannot read %s: %s\n", inPath.c_str(), std::strerror(errno));
        return exitcode::kFile;
    }
    const std::uint16_t trailer = all.value();
    const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(trailer >> 8), static_cast<std::uint8_t>(trailer & 0xFF)};
    if (!out.write(bytes, 2) || !out.close()) {
        std::fprintf(stderr, "unit-loader-cli: cannot write %s: %s\n", outPath.c_str(), std::strerror(errno));
        return exitcode::kFile;
    }
    if (size >= 2 && allButLast2.high() == last[0] && allButLast2.low() == last[1])
        std::fprintf(stderr,
                     "unit-loader-cli: warning: %s ends with a valid CRC trailer already (%02X%02X): it looks "
                     "sealed, and %s now has a second trailer\n",
                     inPath.c_str(), last[0], last[1], outPath.c_str());
    all.update(bytes[0]);
    all.update(bytes[1]);
    const std::uint64_t total = size + 2;
    const std::uint64_t blocks = (total + DownloadImage::kBlockSize - 1) / DownloadImage::kBlockSize;
    std::printf("%s: %llu bytes (%llu + trailer %04X), %llu blocks, file CRC %04X\n", outPath.c_str(),
                static_cast<unsigned long long>(total), static_cast<unsigned long long>(size), trailer,
                static_cast<unsigned long long>(blocks), all.value());
    return exitcode::kSuccess;
}

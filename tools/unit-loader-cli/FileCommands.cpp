#include "FileCommands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "Crc16.h"
#include "ExitCode.h"
#include "OperatorFeedback.h"

namespace {

// Keeps the box a file load would have shown.
class BoxFeedback : public HeadlessFeedback {
public:
    void ShowTableMessage(int id) override { show(stringResource(kStrTitle), stringResource(id)); }
    void ShowInfoMessage(const std::string& text) override { show(stringResource(kStrTitle), text); }
    void ShowMessagePair(const std::string& caption, const std::string& text) override { show(caption, text); }

    std::string box;

private:
    void show(const std::string& caption, const std::string& text) { box = caption + "\n" + text + "\n"; }
};

}  // namespace

FileSummary summarise(const DownloadImage& image) {
    FileSummary s;
    s.size = image.size();
    s.blocks = image.blockCount();
    s.fileCrc = image.fileCrc();
    if (s.blocks > 0) s.lastBlockBytes = s.size - (s.blocks - 1) * DownloadImage::kBlockSize;
    for (std::uint32_t k = 1; k < s.blocks; ++k) {
        const std::uint32_t offset = k * DownloadImage::kBlockSize;
        if (offset + DownloadImage::kBlockSize > s.size) break;  // a short last block is always sent
        if (DownloadImage::isBlank(image.blockAt(offset, DownloadImage::kBlockSize))) ++s.blankBlocks;
    }
    return s;
}

int checkCommand(const std::string& path) {
    BoxFeedback feedback;
    DownloadImage image;
    if (!image.load(path, feedback)) {
        std::fputs(feedback.box.c_str(), stdout);
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

int sealCommand(const std::string& inPath, const std::string& outPath) {
    std::ifstream in(inPath, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "unit-loader-cli: cannot open %s: %s\n", inPath.c_str(), std::strerror(errno));
        return exitcode::kFile;
    }
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        std::fprintf(stderr, "unit-loader-cli: cannot read %s\n", inPath.c_str());
        return exitcode::kFile;
    }
    in.close();
    const std::uint16_t trailer = Crc16::of(bytes);
    bytes.push_back(static_cast<std::uint8_t>(trailer >> 8));
    bytes.push_back(static_cast<std::uint8_t>(trailer & 0xFF));

    std::ofstream out(outPath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        std::fprintf(stderr, "unit-loader-cli: cannot write %s\n", outPath.c_str());
        return exitcode::kFile;
    }
    const std::size_t blocks = (bytes.size() + DownloadImage::kBlockSize - 1) / DownloadImage::kBlockSize;
    std::printf("%s: %zu bytes (%zu + trailer %04X), %zu blocks, file CRC %04X\n", outPath.c_str(), bytes.size(),
                bytes.size() - 2, trailer, blocks, Crc16::of(bytes));
    return exitcode::kSuccess;
}

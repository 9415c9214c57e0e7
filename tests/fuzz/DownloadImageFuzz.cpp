// Fuzz target: the download-file loader. The first input byte chooses whether the rest gets a
// correct trailer, so both the refusal and the loaded image are reached. A refused file shows
// a problem with a box of its own and leaves nothing loaded; a loaded one is the file, block by block.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <vector>

#include "Crc16.h"
#include "FuzzCheck.h"
#include "TempDir.h"
#include "download/DownloadImage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const TempDir dir;
    static const std::string path = dir.file("image.bin");
    if (size == 0) return 0;

    std::vector<std::uint8_t> file(data + 1, data + size);
    if (data[0] & 1) {
        const std::uint16_t crc = Crc16::of(file);
        file.push_back(static_cast<std::uint8_t>(crc >> 8));
        file.push_back(static_cast<std::uint8_t>(crc));
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));

    DownloadImage image;
    const FileProblem problem = image.load(path);
    const bool loaded = problem == FileProblem::None;
    const bool trailerGood = file.size() >= 2 && Crc16::of({file.data(), file.size() - 2}) ==
                                                     (file[file.size() - 2] << 8 | file[file.size() - 1]);
    FUZZ_CHECK(loaded == trailerGood);
    FUZZ_CHECK(image.isLoaded() == loaded);
    FUZZ_CHECK(loaded || fileProblemBox(problem).kind != ReportBox::Kind::None);
    if (!loaded) return 0;

    FUZZ_CHECK(image.size() == file.size());
    FUZZ_CHECK(image.fileCrc() == Crc16::of(file));
    FUZZ_CHECK(image.blockCount() == (file.size() + DownloadImage::kBlockSize - 1) / DownloadImage::kBlockSize);
    std::vector<std::uint8_t> joined;
    for (std::uint32_t k = 0; k < image.blockCount(); ++k) {
        const ByteBuffer block = image.blockAt(k * DownloadImage::kBlockSize, DownloadImage::kBlockSize);
        FUZZ_CHECK(block.size() == DownloadImage::kBlockSize || k + 1 == image.blockCount());
        joined.insert(joined.end(), block.bytes().begin(), block.bytes().end());
    }
    FUZZ_CHECK(joined == file);
    FUZZ_CHECK(image.blockAt(image.size(), DownloadImage::kBlockSize).empty());
    return 0;
}

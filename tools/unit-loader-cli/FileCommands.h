#pragma once

#include <cstdint>
#include <string>

#include "download/DownloadImage.h"

// What a download file holds, as the loader would cut it.
struct FileSummary {
    std::uint32_t size = 0;
    std::uint32_t blocks = 0;
    std::uint32_t lastBlockBytes = 0;
    std::uint32_t blankBlocks = 0;  // full all-0xFF blocks after the first: passed over, never sent
    std::uint16_t fileCrc = 0;
};
FileSummary summarise(const DownloadImage& image);

// `check FILE`: the loader's own validation; prints the summary, or the loader's failure box.
int checkCommand(const std::string& path);
// `seal IN OUT`: OUT = IN followed by CRC-16(IN), high byte first.
int sealCommand(const std::string& in, const std::string& out);

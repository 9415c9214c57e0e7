#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "session/Diagnose.h"

namespace fs = std::filesystem;

std::string lowerFirst(std::string text) {
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] - 'A' + 'a');
    return text;
}

namespace {
std::string fileReason(const std::string& path) {
    if (path.empty()) return "no file was given";
    std::error_code ec;
    const auto status = fs::status(path, ec);
    if (ec) return ec == std::errc::no_such_file_or_directory ? "no such file" : lowerFirst(ec.message());
    if (fs::is_directory(status)) return "a directory, not a file";
    // Opening a FIFO would wait for a writer; only what is a regular file is opened.
    if (fs::is_fifo(status)) return "a FIFO, not a regular file";
    if (!fs::is_regular_file(status)) return "not a regular file";
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return lowerFirst(std::strerror(errno));
    std::fclose(file);
    return "it opens now; it may have changed while it was read";
}
}  // namespace

std::string explainFileFailure(const std::string& path) { return "File " + path + ": " + fileReason(path) + "."; }

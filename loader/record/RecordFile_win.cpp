#include <filesystem>

#include "RecordFile.h"

// A file's access on Windows is its folder's: the journal beside the program, or where the
// settings say.
namespace recordfile {

void makeFolders(const std::string& path) {
    std::error_code ec;
    const auto parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);
}

std::optional<RecordError> refuseLink(const std::string& path, const std::string& what) {
    std::error_code ec;
    if (!std::filesystem::is_symlink(path, ec)) return std::nullopt;
    return linkRefused(path, what);
}

void makePrivate(const std::string&) {}

}  // namespace recordfile

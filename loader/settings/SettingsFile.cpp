#include "settings/SettingsFile.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "platform/ProgramDirectory.h"

namespace fs = std::filesystem;

namespace {
constexpr const char* kBlanks = " \t\r\n";

// The file is shared with the Windows program, whose text mode writes CR LF.
bool writeEntries(std::ofstream& out, const std::map<std::string, std::string>& entries) {
    for (const auto& [key, value] : entries) out << key << ',' << value << "\r\n";
    out.close();
    return static_cast<bool>(out);
}

// A name beside `path` that no other writer picks, two windows closing at once included.
std::string temporaryBeside(const std::string& path) {
    std::random_device random;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(random()));
    return path + suffix;
}
}  // namespace

std::string ConfigLineReader::trim(const std::string& text) {
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

bool ConfigLineReader::isComment(const std::string& line) {
    // A stray CR counts as blank here as it does in trimming: otherwise "\r#x,1" would be read as
    // the key "#x" and written back as a comment line that ends the file for the next read.
    const auto first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) return false;
    return line[first] == '#' || line.compare(first, 2, "//") == 0;
}

void ConfigLineReader::skipByteOrderMark(std::istream& in) {
    char mark[3] = {};
    if (in.read(mark, 3) && mark[0] == '\xEF' && mark[1] == '\xBB' && mark[2] == '\xBF') return;
    in.clear();
    in.seekg(0);
}

bool ConfigLineReader::next(std::string& line) {
    if (!std::getline(in_, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line = isComment(line) ? std::string() : trim(line);
    return true;
}

bool KeyValueFile::read(const std::string& path) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    path_ = path;
    ConfigLineReader::skipByteOrderMark(in);
    ConfigLineReader reader(in);
    std::string line;
    while (reader.next(line) && !line.empty()) {
        const auto comma = line.find(',');
        if (comma == std::string::npos) continue;  // a key alone has no value to take
        const std::string key = line.substr(0, comma);
        const auto second = line.find(',', comma + 1);
        const std::string value =
            line.substr(comma + 1, second == std::string::npos ? std::string::npos : second - comma - 1);
        if (!value.empty()) entries_.emplace(key, value);  // emplace keeps the first occurrence
    }
    return true;
}

bool KeyValueFile::write(const std::string& path) const {
    if (!fileTakesWrites(path)) return false;
    const std::string temp = temporaryBeside(path);
    std::error_code ec;
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) {
        // A directory that takes no new file (an installed copy with a writable settings file
        // in it) leaves no way but rewriting the file in place.
        if (!fs::exists(path, ec)) return false;
        std::ofstream inPlace(path, std::ios::binary | std::ios::trunc);
        return inPlace && writeEntries(inPlace, entries_);
    }
    if (!writeEntries(out, entries_)) {
        fs::remove(temp, ec);
        return false;
    }
    // The new file keeps the old one's access rights.
    const auto old = fs::status(path, ec);
    if (!ec && fs::exists(old)) fs::permissions(temp, old.permissions(), ec);
    fs::rename(temp, path, ec);
    if (ec) {
        // Rights taken from the old file may forbid removing it (Windows' read-only attribute).
        fs::permissions(temp, fs::perms::owner_write, fs::perm_options::add, ec);
        fs::remove(temp, ec);
        return false;
    }
    return true;
}

SettingsFile::SettingsFile() : SettingsFile(settingsPlace(platform::programDirectory())) {}

bool SettingsFile::writeFile() {
    if (makeDirectory_) {
        std::error_code ec;
        fs::create_directories(fs::path(path_).parent_path(), ec);
    }
    return entries_.write(path_);
}

bool SettingsFile::applyDefaults() {
    entries_.set(kPortKey, kDefaultPort);
    entries_.set(kBaudKey, kDefaultBaud);
    return writeFile();
}

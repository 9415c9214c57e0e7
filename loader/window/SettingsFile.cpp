#include "SettingsFile.h"

#include <fstream>

#include "platform/ProgramDirectory.h"

namespace {
constexpr const char* kBlanks = " \t\r\n";
}

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

bool ConfigLineReader::next(std::string& line) {
    if (!std::getline(in_, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line = isComment(line) ? std::string() : trim(line);
    return true;
}

bool KeyValueFile::read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    path_ = path;
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
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    // The file is shared with the Windows program, whose text mode writes CR LF.
    for (const auto& [key, value] : entries_) out << key << ',' << value << "\r\n" << std::flush;
    out.close();
    return static_cast<bool>(out);
}

SettingsFile::SettingsFile() : path_(platform::programDirectory() + kFileName) {}

bool SettingsFile::applyDefaults() {
    entries_.set(kPortKey, kDefaultPort);
    entries_.set(kBaudKey, kDefaultBaud);
    return writeFile();
}

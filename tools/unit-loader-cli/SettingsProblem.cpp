#include "SettingsProblem.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "settings/SettingsFile.h"

namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return text;
}

std::string inQuotes(const std::string& text) {
    return "\"" + (text.size() > 60 ? text.substr(0, 60) + "..." : text) + "\"";
}

}  // namespace

std::string settingsProblem(const std::string& path, const std::string& key) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(status)) return "it does not exist";
    if (!std::filesystem::is_regular_file(status)) return "it is not a regular file, so it is not read";
    std::ifstream in(path, std::ios::binary);
    if (!in) return "it cannot be read";
    ConfigLineReader::skipByteOrderMark(in);
    ConfigLineReader reader(in);
    std::string line;
    int number = 0;
    int stopLine = 0;  // the first empty or comment line: reading ends there
    const std::string wanted = lower(key);
    while (reader.next(line) && number < 10000) {
        ++number;
        if (line.empty()) {
            if (stopLine == 0) stopLine = number;
            continue;
        }
        const auto comma = line.find(',');
        const std::string lineKey = line.substr(0, comma);
        const std::string at = "line " + std::to_string(number) + " " + inQuotes(line);
        std::string found;
        const bool keyThenSeparator =
            lower(line).rfind(wanted, 0) == 0 &&
            (line.size() == key.size() || std::string(" \t=:").find(line[key.size()]) != std::string::npos);
        if (comma == std::string::npos && keyThenSeparator) {
            std::string value = line.substr(key.size());
            value.erase(0, value.find_first_not_of(" \t=:"));
            found = at + " has no comma between key and value (write " + key + "," + value + ")";
        } else if (comma != std::string::npos && lineKey == key) {
            const auto second = line.find(',', comma + 1);
            if (line.substr(comma + 1, second == std::string::npos ? second : second - comma - 1).empty())
                found = at + " gives " + key + " no value";
            else if (stopLine != 0)
                found = "reading stops at the empty or comment line " + std::to_string(stopLine) + ", before " + at;
            else
                return {};  // read as it should be
        } else if (comma != std::string::npos && lower(ConfigLineReader::trim(lineKey)) == wanted) {
            found = ConfigLineReader::trim(lineKey) == key
                        ? at + " has blanks next to the key; write " + key + "," +
                              ConfigLineReader::trim(line.substr(comma + 1))
                        : at + " has the key " + inQuotes(lineKey) + "; it must be written " + inQuotes(key);
        }
        if (!found.empty()) return found;
    }
    if (stopLine != 0 && stopLine < number)
        return "it has no " + key + " line before line " + std::to_string(stopLine) + ", where reading stops";
    return "it has no " + key + " line";
}

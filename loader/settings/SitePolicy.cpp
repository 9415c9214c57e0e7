#include "settings/SitePolicy.h"

#include <cstdlib>
#include <fstream>

#include "settings/SettingsFile.h"

namespace {

// Whether the file at `path` says "Records,required". Read as the settings file is, except that
// comment and empty lines are passed over instead of ending it: an administrator's notes above
// a rule must not switch the rule off.
bool requiresRecords(const std::string& path) {
    std::ifstream in(path);
    if (!in) return false;
    ConfigLineReader::skipByteOrderMark(in);
    ConfigLineReader reader(in);
    for (std::string line; reader.next(line);) {
        const std::size_t comma = line.find(',');
        if (comma == std::string::npos) continue;
        if (ConfigLineReader::trim(line.substr(0, comma)) == "Records" &&
            ConfigLineReader::trim(line.substr(comma + 1)) == "required")
            return true;
    }
    return false;
}

}  // namespace

SitePolicy readSitePolicy() {
    std::string extra;
    if (const char* named = std::getenv("UNIT_LOADER_POLICY")) extra = named;
    for (const std::string& path : {systemPolicyPath(), extra})
        if (!path.empty() && requiresRecords(path)) return {true, path};
    return {};
}

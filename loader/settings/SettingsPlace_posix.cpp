#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/ProgramDirectory.h"
#include "settings/SettingsFile.h"
#include "settings/SitePolicy.h"

namespace {

// "$XDG_CONFIG_HOME/unit-loader/", else "~/.config/unit-loader/"; empty without a home.
std::string userConfigDirectory() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/') return std::string(config) + "/unit-loader/";
    const char* home = std::getenv("HOME");
    if (!home || home[0] != '/') {
        const passwd* user = ::getpwuid(::getuid());
        home = user ? user->pw_dir : nullptr;
    }
    if (!home || home[0] != '/') return {};
    return std::string(home) + "/.config/unit-loader/";
}

}  // namespace

// A portable copy keeps the file beside itself, as the Windows loader does; an installed one
// (/usr/bin) never does, even for root, who may write there.
SettingsPlace settingsPlace(const std::string& programDir) {
    const std::string beside = programDir + SettingsFile::kFileName;
    if (programDir.empty() || (!platform::isSystemProgramDirectory(programDir) &&
                               (::access(beside.c_str(), F_OK) == 0 || ::access(programDir.c_str(), W_OK) == 0)))
        return {beside, false};
    const std::string user = userConfigDirectory();
    if (user.empty()) return {beside, false};
    return {user + SettingsFile::kFileName, true};
}

bool fileTakesWrites(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return true;  // none yet, or the writing will fail on its own
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return false;
    // root passes every check of the rights; anyone else is held to them (ACLs included).
    return ::geteuid() == 0 || ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

std::string systemPolicyPath() { return "/etc/unit-loader/policy"; }

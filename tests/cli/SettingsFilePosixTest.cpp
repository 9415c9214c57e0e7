// The settings file on Linux: its rights, which root passes every check of, and its place.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "TempDir.h"
#include "TestBytes.h"
#include "settings/SettingsFile.h"

namespace {

// Another user's settings file that nobody may write, in a folder this user may write: as root,
// whom its mode does not stop, it is still left as it is.
TEST(SettingsFilePosix, AnotherUsersReadOnlyFileStaysAsItIs) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
    TempDir dir;
    const std::string path = dir.file("vsk_download_config.txt");
    const std::string before = "Port,COM2\r\n";
    writeFile(path, Bytes(before.begin(), before.end()));
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    SettingsFile settings(path);
    ASSERT_TRUE(settings.readFile());
    settings.set("Baudrate", "38400");
    EXPECT_FALSE(settings.writeFile());
    const Bytes after = readFile(path);
    EXPECT_EQ(std::string(after.begin(), after.end()), before);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, 0444u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);

    // Writable by its owner only: root may still write it, as root may any such file.
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    EXPECT_TRUE(settings.writeFile());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(SettingsFilePosix, LivesBesideTheProgram) {
    const std::string path = SettingsFile().path();
    EXPECT_EQ(std::filesystem::path(path).filename(), "vsk_download_config.txt");
    EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::path(path).parent_path(),
                                            std::filesystem::canonical("/proc/self/exe").parent_path()));
}

// The order the Linux programs look in: beside a portable copy; never beside an installed one,
// whoever runs it (root may write /usr/bin); there the user's configuration directory.
TEST(SettingsFile, AnInstalledProgramKeepsItInTheUsersConfigurationDirectory) {
    TempDir dir;
    const std::string portable = dir.path().string() + "/";
    const std::string name = "/unit-loader/vsk_download_config.txt";
    ::setenv("XDG_CONFIG_HOME", (dir.path() / "config").c_str(), 1);
    EXPECT_EQ(settingsPlace(portable).path, portable + "vsk_download_config.txt");
    EXPECT_FALSE(settingsPlace(portable).userDirectory);
    for (const char* installed : {"/usr/bin/", "/usr/local/bin/", "/bin/"}) {
        EXPECT_EQ(settingsPlace(installed).path, (dir.path() / "config").string() + name) << installed;
        EXPECT_TRUE(settingsPlace(installed).userDirectory) << installed;
    }
    // A relative XDG_CONFIG_HOME is no place: the home's .config then.
    ::setenv("XDG_CONFIG_HOME", "config", 1);
    ::setenv("HOME", (dir.path() / "home").c_str(), 1);
    EXPECT_EQ(settingsPlace("/usr/bin/").path, (dir.path() / "home/.config").string() + name);
}

}  // namespace

// The settings file: what a file's lines load as, and what is written back.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "TempDir.h"
#include "TestBytes.h"
#include "settings/SettingsFile.h"

namespace {

std::string slurp(const std::string& path) {
    const Bytes bytes = readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

TEST(SettingsFile, LinesLoadByTheReadingRules) {
    struct Case {
        const char* name;
        std::string content;
        std::map<std::string, std::string> entries;
    };
    const std::vector<Case> cases = {
        {"plain", "Port,COM3\nBaudrate,38400\n", {{"Port", "COM3"}, {"Baudrate", "38400"}}},
        {"CR LF", "Port,COM3\r\nBaudrate,38400\r\n", {{"Port", "COM3"}, {"Baudrate", "38400"}}},
        {"keys are case-sensitive", "port,COM3\n", {{"port", "COM3"}}},
        {"blanks next to the comma are kept", "Port , COM3\n", {{"Port ", " COM3"}}},
        {"line trimmed at both ends", " \tPort,COM3 \t\n", {{"Port", "COM3"}}},
        {"third field ignored", "Port,COM3,extra\n", {{"Port", "COM3"}}},
        {"empty value skipped, later one taken", "Port,\nPort,COM4\n", {{"Port", "COM4"}}},
        {"first occurrence wins", "Port,COM3\nPort,COM4\n", {{"Port", "COM3"}}},
        {"a key alone is no entry", "Port\nBaudrate,9600\n", {{"Baudrate", "9600"}}},
        {"comment first stops at once", "# settings\nPort,COM3\n", {}},
        {"indented // comment stops too", "Port,COM3\n  // note\nBaudrate,19200\n", {{"Port", "COM3"}}},
        {"# later in a line is text", "Port,COM#3\n", {{"Port", "COM#3"}}},
        {"a stray CR before # still makes a comment", "Port,COM3\n\r#x,1\nBaudrate,19200\n", {{"Port", "COM3"}}},
        {"blank line stops", "Port,COM3\n\nBaudrate,19200\n", {{"Port", "COM3"}}},
        {"blanks-only line stops", "Port,COM3\n \t \nBaudrate,19200\n", {{"Port", "COM3"}}},
        {"no final line end", "Port,COM3", {{"Port", "COM3"}}},
        {"empty file", "", {}},
        {"UTF-8 byte-order mark skipped", "\xEF\xBB\xBFPort,COM3\r\n", {{"Port", "COM3"}}},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(dir.file("s.txt"), Bytes(c.content.begin(), c.content.end()));
        SettingsFile settings(dir.file("s.txt"));
        ASSERT_TRUE(settings.readFile());
        EXPECT_EQ(settings.entries().entries(), c.entries);
    }
}

TEST(SettingsFile, MissingFileIsNotReadAndDefaultsAreWritten) {
    TempDir dir;
    SettingsFile settings(dir.file("vsk_download_config.txt"));
    EXPECT_FALSE(settings.readFile());
    ASSERT_TRUE(settings.applyDefaults());
    EXPECT_EQ(slurp(dir.file("vsk_download_config.txt")), "Baudrate,9600\r\nPort,COM1\r\n");

    SettingsFile unwritable(dir.file("no-such-dir/vsk_download_config.txt"));
    EXPECT_FALSE(unwritable.applyDefaults());
}

// What the window does at shutdown: the entries read survive, sorted, with the two set.
TEST(SettingsFile, WritingBackKeepsEntriesSortedByKeyWithCrLf) {
    TempDir dir;
    const std::string text = "Zeta,1\nPort,COM3\nalpha,2\nEmpty,\nBaudrate,19200\n\nAfter,3\n";
    writeFile(dir.file("s.txt"), Bytes(text.begin(), text.end()));
    SettingsFile settings(dir.file("s.txt"));
    ASSERT_TRUE(settings.readFile());
    settings.set("Port", "COM7");
    settings.set("Baudrate", "38400");
    ASSERT_TRUE(settings.writeFile());
    EXPECT_EQ(slurp(dir.file("s.txt")), "Baudrate,38400\r\nPort,COM7\r\nZeta,1\r\nalpha,2\r\n");

    // A missing key reads empty and is then written as a line ending in the comma.
    EXPECT_EQ(settings.get("Extra"), "");
    ASSERT_TRUE(settings.writeFile());
    EXPECT_EQ(slurp(dir.file("s.txt")), "Baudrate,38400\r\nExtra,\r\nPort,COM7\r\nZeta,1\r\nalpha,2\r\n");
}

// The old file is replaced whole, never cut: no temporary file is left and its rights stay.
TEST(SettingsFile, WritingReplacesTheFileAndKeepsItsRights) {
    TempDir dir;
    const std::string path = dir.file("vsk_download_config.txt");
    writeFile(path, Bytes{'P', 'o', 'r', 't', ',', 'C', 'O', 'M', '2', '\n'});
    std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    // As the system reports them (Windows knows only whether a file is read-only).
    const auto rights = std::filesystem::status(path).permissions();
    SettingsFile settings(path);
    ASSERT_TRUE(settings.readFile());
    settings.set("Baudrate", "19200");
    ASSERT_TRUE(settings.writeFile());
    EXPECT_EQ(slurp(path), "Baudrate,19200\r\nPort,COM2\r\n");
    EXPECT_EQ(std::filesystem::status(path).permissions(), rights);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

// A settings file its owner made read-only keeps its bytes and its rights, however the folder
// would let a new file take its place; the write fails and leaves nothing beside it.
TEST(SettingsFile, AReadOnlyFileIsNotReplaced) {
    TempDir dir;
    const std::string path = dir.file("vsk_download_config.txt");
    const std::string before = "Port,COM2\r\n# kept as it is\r\n";
    writeFile(path, Bytes(before.begin(), before.end()));
    namespace fs = std::filesystem;
    const fs::perms readOnly = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
    fs::permissions(path, readOnly);
    const auto rights = fs::status(path).permissions();
    SettingsFile settings(path);
    ASSERT_TRUE(settings.readFile());
    settings.set("Baudrate", "19200");
    EXPECT_FALSE(settings.writeFile());
    EXPECT_FALSE(settings.applyDefaults());
    EXPECT_EQ(slurp(path), before);
    EXPECT_EQ(fs::status(path).permissions(), rights);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1);  // no temporary file left
    fs::permissions(path, fs::perms::owner_write, fs::perm_options::add);
}

}  // namespace

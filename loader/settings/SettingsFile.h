#pragma once

#include <istream>
#include <map>
#include <string>

// The loader's remembered choices: "vsk_download_config.txt" beside the program, one
// "key,value" line per entry. Read leniently (comment lines, first empty line ends the file,
// first occurrence of a key wins); written back whole, sorted by key, with CR LF line ends.
// Writing goes through a temporary file renamed over the old one, so a crash or a full disk
// never leaves a cut file.

// Delivers the lines of a settings file: split at LF (a CR before the LF dropped), trimmed of
// blanks, tabs, CR and LF, and a whole-line comment ("#" or "//" as the first thing on the
// line) delivered as an empty line.
class ConfigLineReader {
public:
    explicit ConfigLineReader(std::istream& in) : in_(in) {}
    // False at the end of the input.
    bool next(std::string& line);

    static bool isComment(const std::string& line);
    // Steps over a UTF-8 byte-order mark at the start of `in`, which some Windows editors write.
    static void skipByteOrderMark(std::istream& in);
    static std::string trim(const std::string& text);

private:
    std::istream& in_;
};

// Entries by key (byte-wise ascending, case-sensitive) and the path last read.
class KeyValueFile {
public:
    // Adds the entries of the file up to its first empty line. False when it cannot be opened or
    // is no regular file (a FIFO would hold the reader until some writer came).
    bool read(const std::string& path);
    // Writes every entry to a new file that then replaces the one at `path`. False when it
    // cannot be written (a read-only file among the reasons); the old file is then untouched
    // and nothing is left beside it.
    bool write(const std::string& path) const;

    // A missing key reads as the empty text and is kept with that value.
    std::string get(const std::string& key) { return entries_[key]; }
    void set(const std::string& key, const std::string& value) { entries_[key] = value; }
    bool contains(const std::string& key) const { return entries_.count(key) != 0; }

    const std::map<std::string, std::string>& entries() const { return entries_; }
    const std::string& path() const { return path_; }

private:
    std::map<std::string, std::string> entries_;
    std::string path_;
};

// Where the settings file of a program in `programDir` lives: beside the program when a file is
// there or the directory can be written, unless the program is installed (/usr/bin: see
// platform::isSystemProgramDirectory); otherwise in the user's configuration directory,
// "$XDG_CONFIG_HOME/unit-loader/" or "~/.config/unit-loader/". On Windows always beside it.
struct SettingsPlace {
    std::string path;
    bool userDirectory = false;  // the directory is made when the file is first written
};
SettingsPlace settingsPlace(const std::string& programDir);

// False when a file is at `path` that its owner made read-only (or this user has no right to
// write): it must then stay as it is, although its folder would let a new file be renamed over
// it. Decided from the file's own rights, not by trying: an administrator may write anything,
// but a file that grants writing to nobody is read-only for them too. One file per platform.
bool fileTakesWrites(const std::string& path);

class SettingsFile {
public:
    static constexpr const char* kFileName = "vsk_download_config.txt";
    static constexpr const char* kPortKey = "Port";
    static constexpr const char* kBaudKey = "Baudrate";
    static constexpr const char* kDefaultPort = "COM1";
    static constexpr const char* kDefaultBaud = "9600";

    // The file of the running program (see settingsPlace).
    SettingsFile();
    // The file at `path` (tests, other fronts).
    explicit SettingsFile(std::string path) : path_(std::move(path)) {}
    explicit SettingsFile(const SettingsPlace& place) : path_(place.path), makeDirectory_(place.userDirectory) {}

    bool readFile() { return entries_.read(path_); }
    // Port COM1 and Baudrate 9600, replacing what was there, then written out.
    bool applyDefaults();
    std::string get(const std::string& key) { return entries_.get(key); }
    void set(const std::string& key, const std::string& value) { entries_.set(key, value); }
    bool writeFile();

    const std::string& path() const { return path_; }
    const KeyValueFile& entries() const { return entries_; }

private:
    std::string path_;
    bool makeDirectory_ = false;
    KeyValueFile entries_;
};

// Fuzz target: the settings-file reader. Whatever the file holds, the entries taken have values
// and no separators, and what the program writes back reads back as the same entries.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <map>
#include <string>

#include "FuzzCheck.h"
#include "TempDir.h"
#include "settings/SettingsFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const TempDir dir;
    static const std::string input = dir.file("input.txt");
    static const std::string output = dir.file("output.txt");

    std::ofstream(input, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    KeyValueFile read;
    FUZZ_CHECK(read.read(input));
    for (const auto& [key, value] : read.entries()) {
        FUZZ_CHECK(!value.empty());
        FUZZ_CHECK(key.find_first_of(",\n") == std::string::npos);
        FUZZ_CHECK(value.find_first_of(",\n") == std::string::npos);
    }

    // Written back and read again, every entry is still there. Only blanks, tabs and CRs that
    // ended a value before a second comma go, as each line read is trimmed at its end.
    std::map<std::string, std::string> expected;
    for (const auto& [key, value] : read.entries()) {
        const auto end = value.find_last_not_of(" \t\r");
        if (end != std::string::npos) expected.emplace(key, value.substr(0, end + 1));
    }
    FUZZ_CHECK(read.write(output));
    KeyValueFile again;
    FUZZ_CHECK(again.read(output));
    FUZZ_CHECK(again.entries() == expected);
    return 0;
}

#include "SafeText.h"

#include <gtest/gtest.h>

namespace {

// Columns as a terminal draws them, and a text fitted to a width without splitting a character.
TEST(SafeText, ColumnsCountWhatATerminalDraws) {
    struct Case {
        const char* name;
        std::string text;
        std::size_t columns;  // displayColumns
        std::size_t fitTo;    // fitColumns(text, fitTo) ...
        std::string fitted;   // ... is this
    };
    const Case cases[] = {
        {"ASCII, padded", "A", 1, 4, "A   "},
        {"ASCII, cut", "Line 2", 6, 4, "Line"},
        {"accents are one column each", "\xC3\x9Cn\xC3\xAF", 3, 4, "\xC3\x9Cn\xC3\xAF "},
        {"a cut never splits a character", "\xC3\x9C\xC3\x9C\xC3\x9C", 3, 2, "\xC3\x9C\xC3\x9C"},
        {"wide characters take two", "\xE6\xA9\x9F\xE6\xA2\xB0", 4, 5, "\xE6\xA9\x9F\xE6\xA2\xB0 "},
        {"a wide character that does not fit leaves a space", "a\xE6\xA9\x9F", 3, 2, "a "},
        {"a combining mark takes none", "e\xCC\x81", 1, 2, "e\xCC\x81 "},
        {"an emoji takes two", "\xF0\x9F\x98\x80!", 3, 3, "\xF0\x9F\x98\x80!"},
        {"a byte that is no UTF-8 takes one",
         "\xFF"
         "a",
         2, 1, "\xFF"},
        {"nothing", "", 0, 2, "  "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(safetext::displayColumns(c.text), c.columns);
        EXPECT_EQ(safetext::fitColumns(c.text, c.fitTo), c.fitted);
        EXPECT_EQ(safetext::displayColumns(safetext::fitColumns(c.text, c.fitTo)), c.fitTo);
    }
}

}  // namespace

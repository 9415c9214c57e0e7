#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Text on its way into a record, a report or an auditor's screen: checked and escaped here, in
// one place, for every front.
namespace safetext {

// The longest texts a person may give for a record, in bytes.
inline constexpr std::size_t kUnitIdMax = 128;
inline constexpr std::size_t kOperatorMax = 128;
inline constexpr std::size_t kNoteMax = 1024;
inline constexpr std::size_t kJobNameMax = 128;

// Valid UTF-8 as it is; every byte that is not part of a valid sequence as \xNN (a unit's
// version in another encoding, say). Nothing is dropped.
std::string utf8Escaped(std::string_view bytes);
// For a terminal: as utf8Escaped, and every control character (C0, DEL, C1) as \r, \n, \t or
// \xNN (\u0080 to \u009F for C1), so that no text can move the cursor or recolour the screen.
// `keepLines`: line ends and tabs stay as they are (a CSV cell's lines).
std::string terminalSafe(std::string_view text, bool keepLines = false);
// Why a text a person gives (unit id, operator, note, job name) is refused: longer than
// `maxBytes`, a control character, or no UTF-8. Nothing when it will do.
std::optional<std::string> givenTextProblem(std::string_view text, std::size_t maxBytes);
// A text inside double quotes where the quotes mark where it ends (a record's note): each " and
// each backslash gets a backslash, and the rest is as terminalSafe makes it.
std::string quoted(std::string_view text);

// How many columns a terminal gives `text` (UTF-8): a wide character (CJK, most emoji) takes
// two, a combining mark or zero-width character none, every other character one, and so does
// a byte that is not UTF-8. Meant for text made terminalSafe: a control character counts one.
std::size_t displayColumns(std::string_view text);
// `text` in exactly `columns` columns: cut before the first character that does not fit (never
// inside one), then padded with spaces.
std::string fitColumns(std::string_view text, std::size_t columns);

// A CSV cell that a spreadsheet would take as a formula (starting with = + - @, a tab or a CR)
// made inert by a leading single quote.
std::string csvInert(std::string cell);

}  // namespace safetext

#include "SafeText.h"

#include <algorithm>
#include <iterator>

namespace safetext {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

// The length of the valid UTF-8 sequence at `i`, 0 when the byte there starts none.
std::size_t sequenceAt(std::string_view s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = b(i);
    if (lead < 0x80) return 1;
    std::size_t n = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF)
        n = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else
        return 0;
    if (i + n > s.size()) return 0;
    if (b(i + 1) < low || b(i + 1) > high) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
    return n;
}

void hexByte(std::string& out, unsigned char byte) {
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 15];
}

bool isControl(std::string_view s, std::size_t i, std::size_t n) {
    const auto lead = static_cast<unsigned char>(s[i]);
    if (n == 1) return lead < 0x20 || lead == 0x7F;
    return n == 2 && lead == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0;  // C1
}

// The code point of the sequence of `n` bytes at `i`; a byte that starts none stands for itself.
char32_t codePoint(std::string_view s, std::size_t i, std::size_t n) {
    const auto b = [&](std::size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(s[i + k])); };
    if (n <= 1) return b(0);
    char32_t c = b(0) & (0x7Fu >> n);
    for (std::size_t k = 1; k < n; ++k) c = (c << 6) | (b(k) & 0x3F);
    return c;
}

// The columns a terminal gives one code point, after the East Asian width tables: the ranges
// that matter for names and versions, not every corner of them.
std::size_t columnsOf(char32_t c) {
    struct Range {
        char32_t first, last;
    };
    static constexpr Range kZero[] = {{0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A},
                                      {0x064B, 0x065F}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F},
                                      {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF}};
    static constexpr Range kWide[] = {{0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
                                      {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},
                                      {0xA000, 0xA4CF},   {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},
                                      {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},
                                      {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD}};
    const auto in = [c](const auto& ranges) {
        return std::any_of(std::begin(ranges), std::end(ranges),
                           [c](const Range& r) { return c >= r.first && c <= r.last; });
    };
    return in(kZero) ? 0 : in(kWide) ? 2 : 1;
}

}  // namespace

std::string utf8Escaped(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = sequenceAt(bytes, i);
        if (n == 0) {
            hexByte(out, static_cast<unsigned char>(bytes[i]));
            ++i;
        } else {
            out.append(bytes.substr(i, n));
            i += n;
        }
    }
    return out;
}

std::string terminalSafe(std::string_view text, bool keepLines) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = sequenceAt(text, i);
        const auto lead = static_cast<unsigned char>(text[i]);
        if (n == 0) {
            hexByte(out, lead);
            ++i;
            continue;
        }
        if (!isControl(text, i, n) || (keepLines && (lead == '\r' || lead == '\n' || lead == '\t'))) {
            out.append(text.substr(i, n));
        } else if (n == 2) {
            const auto c1 = static_cast<unsigned char>(text[i + 1]);
            out += "\\u00";
            out += kHex[c1 >> 4];
            out += kHex[c1 & 15];
        } else if (lead == '\r') {
            out += "\\r";
        } else if (lead == '\n') {
            out += "\\n";
        } else if (lead == '\t') {
            out += "\\t";
        } else {
            hexByte(out, lead);
        }
        i += n;
    }
    return out;
}

std::optional<std::string> givenTextProblem(std::string_view text, std::size_t maxBytes) {
    if (text.size() > maxBytes) return "is longer than " + std::to_string(maxBytes) + " bytes";
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = sequenceAt(text, i);
        if (n == 0) return "is not UTF-8 text";
        if (isControl(text, i, n)) return "holds a control character (a tab, a line end, an escape, ...)";
        i += n;
    }
    return std::nullopt;
}

std::string quoted(std::string_view text) {
    // Quotes and backslashes first: the backslashes terminalSafe adds then stand for themselves.
    std::string out;
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return terminalSafe(out);
}

std::size_t displayColumns(std::string_view text) {
    std::size_t columns = 0;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = std::max<std::size_t>(sequenceAt(text, i), 1);
        columns += columnsOf(codePoint(text, i, n));
        i += n;
    }
    return columns;
}

std::string fitColumns(std::string_view text, std::size_t columns) {
    std::string out;
    std::size_t used = 0;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = std::max<std::size_t>(sequenceAt(text, i), 1);
        const std::size_t width = columnsOf(codePoint(text, i, n));
        if (used + width > columns) break;
        out.append(text.substr(i, n));
        used += width;
        i += n;
    }
    return out + std::string(columns - used, ' ');
}

std::string csvInert(std::string cell) {
    if (!cell.empty() && std::string_view("=+-@\t\r").find(cell.front()) != std::string_view::npos)
        cell.insert(0, 1, '\'');
    return cell;
}

}  // namespace safetext

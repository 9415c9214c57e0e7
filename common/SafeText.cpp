#include "SafeText.h"

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

std::string csvInert(std::string cell) {
    if (!cell.empty() && std::string_view("=+-@\t\r").find(cell.front()) != std::string_view::npos)
        cell.insert(0, 1, '\'');
    return cell;
}

}  // namespace safetext

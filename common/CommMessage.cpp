#include "CommMessage.h"

#include <boost/lexical_cast.hpp>

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Every character outside the alphabet, '=' included, is worth zero bits.
unsigned sextet(char c) {
    if (c >= 'A' && c <= 'Z') return static_cast<unsigned>(c - 'A');
    if (c >= 'a' && c <= 'z') return static_cast<unsigned>(c - 'a') + 26;
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0') + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return 0;
}

}  // namespace

std::string CommMessage::get(const std::string& name) const {
    auto it = fields_.find(name);
    return it == fields_.end() ? std::string() : it->second;
}

void CommMessage::parse(std::string_view text) {
    bool haveStart = false;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t lf = text.find('\n', pos);
        std::size_t end = lf == std::string_view::npos ? text.size() : lf;
        std::string_view line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        pos = end + 1;
        if (line.empty()) {
            if (lf == std::string_view::npos) break;
            continue;
        }
        if (!haveStart) {
            haveStart = true;
            startLine_ = std::string(line);
            std::size_t slash = line.find('/');
            if (slash != std::string_view::npos) {
                protocol_ = std::string(line.substr(0, slash));
                std::size_t space = line.find(' ', slash);
                if (space == std::string_view::npos) {
                    version_ = std::string(line.substr(slash + 1));
                } else {
                    version_ = std::string(line.substr(slash + 1, space - slash - 1));
                    std::string_view rest = line.substr(space + 1);
                    std::size_t gap = rest.find(' ');
                    if (!rest.empty() && gap != std::string_view::npos) {
                        insert("ResultCode", std::string(rest.substr(0, gap)));
                        insert("ResultMessage", std::string(rest.substr(gap + 1)));
                    }
                }
            }
        } else {
            std::size_t colon = line.find(':');
            if (colon != std::string_view::npos)
                insert(std::string(line.substr(0, colon)), trimBlanks(line.substr(colon + 1)));
        }
        if (lf == std::string_view::npos) break;
    }
}

std::string CommMessage::serialise() const {
    std::string out = startLine_ + "\r\n";
    for (const auto& [name, value] : fields_) {
        if (value.empty()) continue;
        out += name;
        out += ": ";
        out += value;
        out += "\r\n";
    }
    out += "\r\n";
    return out;
}

std::string base64Encode(const std::uint8_t* data, std::size_t count) {
    std::string out;
    out.reserve((count + 2) / 3 * 4);
    for (std::size_t i = 0; i < count; i += 3) {
        const std::size_t n = count - i < 3 ? count - i : 3;
        std::uint32_t group = static_cast<std::uint32_t>(data[i]) << 16;
        if (n > 1) group |= static_cast<std::uint32_t>(data[i + 1]) << 8;
        if (n > 2) group |= data[i + 2];
        out += kAlphabet[(group >> 18) & 63];
        out += kAlphabet[(group >> 12) & 63];
        out += n > 1 ? kAlphabet[(group >> 6) & 63] : '=';
        out += n > 2 ? kAlphabet[group & 63] : '=';
    }
    return out;
}

std::string base64Encode(const std::vector<std::uint8_t>& bytes) { return base64Encode(bytes.data(), bytes.size()); }

std::vector<std::uint8_t> base64Decode(std::string_view text) {
    std::vector<std::uint8_t> out;
    const std::size_t whole = text.size() / 4 * 4;
    out.reserve(whole / 4 * 3);
    std::size_t pads = 0;
    for (std::size_t i = 0; i < whole; i += 4) {
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            if (text[i + k] == '=') ++pads;
            group = (group << 6) | sextet(text[i + k]);
        }
        out.push_back(static_cast<std::uint8_t>(group >> 16));
        out.push_back(static_cast<std::uint8_t>(group >> 8));
        out.push_back(static_cast<std::uint8_t>(group));
    }
    out.resize(pads >= out.size() ? 0 : out.size() - pads);
    return out;
}

std::string trimBlanks(std::string_view text) {
    std::size_t b = 0, e = text.size();
    while (b < e && isBlank(text[b])) ++b;
    while (e > b && isBlank(text[e - 1])) --e;
    return std::string(text.substr(b, e - b));
}

std::optional<std::int32_t> readNumber(std::string_view value) {
    std::size_t e = value.size();
    while (e > 0 && isBlank(value[e - 1])) --e;
    std::string_view digits = value.substr(0, e);
    if (digits.empty()) return std::nullopt;
    std::size_t first = (digits[0] == '+' || digits[0] == '-') ? 1 : 0;
    if (first == digits.size()) return std::nullopt;
    for (std::size_t i = first; i < digits.size(); ++i)
        if (digits[i] < '0' || digits[i] > '9') return std::nullopt;
    try {
        return boost::lexical_cast<std::int32_t>(digits.data(), digits.size());
    } catch (const boost::bad_lexical_cast&) {
        return std::nullopt;  // out of the 32-bit range
    }
}

std::optional<std::uint32_t> readUnsigned(std::string_view value) {
    if (value.empty()) return std::nullopt;
    for (char c : value)
        if (c < '0' || c > '9') return std::nullopt;
    try {
        return boost::lexical_cast<std::uint32_t>(value.data(), value.size());
    } catch (const boost::bad_lexical_cast&) {
        return std::nullopt;
    }
}

std::string writeNumber(std::int64_t value) { return boost::lexical_cast<std::string>(value); }

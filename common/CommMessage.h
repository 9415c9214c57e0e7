#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The text message both deliverables speak: a start line, "name: value" field lines, an
// empty line. Fields iterate in byte-wise name order, which is also the order on the wire.
class CommMessage {
public:
    using Fields = std::map<std::string, std::string>;

    CommMessage() = default;
    explicit CommMessage(std::string startLine) : startLine_(std::move(startLine)) {}

    void setStartLine(std::string line) { startLine_ = std::move(line); }
    const std::string& startLine() const { return startLine_; }
    const std::string& protocol() const { return protocol_; }
    const std::string& version() const { return version_; }

    // Reading an absent field records it empty, which never shows in the text form.
    std::string& operator[](const std::string& name) { return fields_[name]; }
    // Read-only access that leaves the message as it is.
    std::string get(const std::string& name) const;
    // Does nothing when the name is already present.
    void insert(const std::string& name, const std::string& value) { fields_.emplace(name, value); }
    const Fields& fields() const { return fields_; }

    // Fills an empty message from text. Never fails.
    void parse(std::string_view text);
    std::string serialise() const;

private:
    std::string startLine_;
    std::string protocol_;
    std::string version_;
    Fields fields_;
};

std::string base64Encode(const std::uint8_t* data, std::size_t count);
std::string base64Encode(const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> base64Decode(std::string_view text);
// Strips spaces, TABs, CRs and LFs from both ends.
std::string trimBlanks(std::string_view text);

// Strict decimal number of a field value: optional sign, digits, then only blanks; must fit 32 bits.
std::optional<std::int32_t> readNumber(std::string_view value);
// Digits only (no sign), fitting 32 bits unsigned.
std::optional<std::uint32_t> readUnsigned(std::string_view value);
std::string writeNumber(std::int64_t value);

namespace px417proto {
inline constexpr const char* kRequestLine = "COMM_PX417/1.0";
inline constexpr const char* kOkLine = "COMM_PX417/1.0 200 OK";
inline constexpr const char* kMemoryFailureLine = "COMM_PX417/1.0 401 Memory Failure";
inline constexpr const char* kProtocolErrorLine = "COMM_PX417/1.0 403 Protcol Error";
}  // namespace px417proto

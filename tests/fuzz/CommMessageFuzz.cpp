// Fuzz target: message parsing and base64 decoding never fail, and what they produce
// survives a trip through its own text form.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "CommMessage.h"
#include "FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    CommMessage first;
    first.parse(text);
    CommMessage second;
    second.parse(first.serialise());
    FUZZ_CHECK(second.startLine() == first.startLine());
    FUZZ_CHECK(second.protocol() == first.protocol());
    FUZZ_CHECK(second.version() == first.version());
    // Empty values are never written; the start line alone may make some (an empty code).
    const auto nonEmpty = [](const CommMessage& m) {
        CommMessage::Fields kept;
        for (const auto& [name, value] : m.fields())
            if (!value.empty()) kept.emplace(name, value);
        return kept;
    };
    FUZZ_CHECK(nonEmpty(second) == nonEmpty(first));

    const auto bytes = base64Decode(text);
    FUZZ_CHECK(bytes.size() <= size / 4 * 3);
    FUZZ_CHECK(base64Decode(base64Encode(bytes)) == bytes);

    (void)readNumber(text);
    return 0;
}

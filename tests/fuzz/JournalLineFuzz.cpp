// Fuzz target: the journal's line reader, which reads journals edited by hand, cut short by a
// power loss or written by another build. Whatever the bytes, a line is an event or a skip with
// its reason, never a crash; an event written back is one line that reads back as the same event.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "record/JournalLine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    std::string why;
    const auto event = parseJournalLine(line, why);
    if (!event) {
        FUZZ_CHECK(!why.empty());
        return 0;
    }
    FUZZ_CHECK(!event->attempt.id.empty());

    const std::string written = journalLine(*event);
    FUZZ_CHECK(written.find('\n') == written.size() - 1);
    std::string again;
    const auto back = parseJournalLine(std::string_view(written).substr(0, written.size() - 1), again);
    FUZZ_CHECK(back);
    FUZZ_CHECK(back->kind == event->kind);
    FUZZ_CHECK(back->pid == event->pid);
    FUZZ_CHECK(attemptFieldValues(back->attempt) == attemptFieldValues(event->attempt));
    FUZZ_CHECK(back->chain.has_value() == event->chain.has_value());
    if (event->chain) FUZZ_CHECK(back->chain->seq == event->chain->seq);
    if (event->kind == JournalEvent::Kind::Conflict) {
        FUZZ_CHECK(back->source == event->source);
        FUZZ_CHECK(back->reason == event->reason);
    }
    return 0;
}

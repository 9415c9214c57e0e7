#include "Attempt.h"

#include <algorithm>
#include <charconv>

#include "SafeText.h"

namespace {

using Text = std::string Attempt::*;
using Number = std::optional<std::int64_t> Attempt::*;

struct Field {
    const char* name;
    Text text = nullptr;
    Number number = nullptr;
    std::int64_t Attempt::*plain = nullptr;
};

// clang-format off
const Field kFields[] = {
    {"id", &Attempt::id}, {"kind", &Attempt::kind}, {"started_at", &Attempt::started_at},
    {"ended_at", &Attempt::ended_at}, {"duration_ms", nullptr, &Attempt::duration_ms},
    {"station", &Attempt::station}, {"operator", &Attempt::operator_}, {"unit_id", &Attempt::unit_id},
    {"port", &Attempt::port}, {"port_id", &Attempt::port_id}, {"baud", nullptr, nullptr, &Attempt::baud},
    {"file", &Attempt::file}, {"file_size", nullptr, &Attempt::file_size}, {"file_sha256", &Attempt::file_sha256},
    {"file_crc", &Attempt::file_crc}, {"blank_blocks", nullptr, &Attempt::blank_blocks},
    {"outcome", &Attempt::outcome}, {"exit_code", nullptr, &Attempt::exit_code},
    {"box_caption", &Attempt::box_caption}, {"box_text", &Attempt::box_text}, {"unit_crc", &Attempt::unit_crc},
    {"verify_result", &Attempt::verify_result}, {"unit_version", &Attempt::unit_version},
    {"retries", &Attempt::retries}, {"link_error", &Attempt::link_error},
    {"loader_version", &Attempt::loader_version}, {"note", &Attempt::note},
    {"job", &Attempt::job}, {"job_sha256", &Attempt::job_sha256}, {"expect_version", &Attempt::expect_version},
    {"slot", &Attempt::slot}, {"verdict", &Attempt::verdict}, {"verdict_reason", &Attempt::verdict_reason},
    {"verdict_id", &Attempt::verdict_id}, {"download_id", &Attempt::download_id},
    {"version_id", &Attempt::version_id},
};
// clang-format on

std::optional<std::int64_t> number(const std::string& text) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

const std::vector<std::string>& attemptFieldNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> n;
        for (const Field& f : kFields) n.emplace_back(f.name);
        return n;
    }();
    return names;
}

bool verdictField(const std::string& name) {
    static const std::vector<std::string> added{"job",        "job_sha256",  "expect_version",
                                                "slot",       "verdict",     "verdict_reason",
                                                "verdict_id", "download_id", "version_id"};
    return std::find(added.begin(), added.end(), name) != added.end();
}

std::vector<std::string> attemptFieldValues(const Attempt& a) {
    std::vector<std::string> values;
    for (const Field& f : kFields) {
        if (f.text)
            values.push_back(a.*f.text);
        else if (f.number)
            values.push_back(a.*f.number ? std::to_string(*(a.*f.number)) : "");
        else
            values.push_back(std::to_string(a.*f.plain));
    }
    return values;
}

Attempt withValidText(Attempt a) {
    for (const Field& f : kFields)
        if (f.text) a.*f.text = safetext::utf8Escaped(a.*f.text);
    return a;
}

bool attemptFromFields(const std::vector<std::string>& names, const std::vector<std::string>& values, Attempt& a) {
    if (names.size() != values.size()) return false;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const Field* field = nullptr;
        for (const Field& f : kFields)
            if (names[i] == f.name) field = &f;
        if (!field) return false;
        if (field->text) {
            a.*field->text = values[i];
        } else if (field->number) {
            a.*field->number = values[i].empty() ? std::nullopt : number(values[i]);
            if (!values[i].empty() && !(a.*field->number)) return false;
        } else {
            const auto n = values[i].empty() ? std::optional<std::int64_t>(0) : number(values[i]);
            if (!n) return false;
            a.*field->plain = *n;
        }
    }
    return !a.id.empty();
}

Merge mergeOf(const Attempt* kept, const Attempt& incoming) {
    if (!kept) return {MergeKind::Add, {}};
    const auto& names = attemptFieldNames();
    const auto was = attemptFieldValues(*kept);
    const auto now = attemptFieldValues(incoming);
    std::string differ;
    for (std::size_t i = 0; i < names.size(); ++i)
        if (was[i] != now[i]) differ += (differ.empty() ? "" : ", ") + names[i];
    if (differ.empty()) return {MergeKind::Same, {}};
    const bool sameRun =
        kept->kind == incoming.kind && kept->station == incoming.station && kept->port == incoming.port;
    if (kept->ended_at.empty() && sameRun) {
        if (!incoming.ended_at.empty()) return {MergeKind::Complete, {}};
        // Neither has an end: only the outcome an interruption gives may be added.
        if (kept->outcome.empty() && !incoming.outcome.empty()) return {MergeKind::Complete, {}};
        return {MergeKind::Same, {}};
    }
    // A copy of a journal taken before the end was written: it has nothing the records lack.
    if (!kept->ended_at.empty() && incoming.ended_at.empty() && sameRun) return {MergeKind::Same, {}};
    return {MergeKind::Conflict, "differs in " + differ};
}

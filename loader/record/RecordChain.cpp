#include "RecordChain.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <span>

#include "AttemptOf.h"

namespace recordchain {

namespace {

std::string sha256Of(const std::string& text) {
    return sha256Hex(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

// Each part ends with a NUL, which no text of a record holds: no two lists of parts give one text.
std::string joined(std::initializer_list<const std::string*> parts) {
    std::string all;
    for (const std::string* p : parts) {
        all += *p;
        all += '\0';
    }
    return all;
}

}  // namespace

std::string digestOfFields(const std::vector<std::string>& names, const std::vector<std::string>& values) {
    std::string all;
    for (std::size_t i = 0; i < names.size() && i < values.size(); ++i) all += joined({&names[i], &values[i]});
    return sha256Of(all);
}

std::string digestOf(const Attempt& attempt) {
    return digestOfFields(attemptFieldNames(), attemptFieldValues(attempt));
}

std::string linkOf(const Event& e) {
    const std::string seq = std::to_string(e.seq);
    return sha256Of(joined({&e.prev, &seq, &e.at, &e.event, &e.recordId, &e.digest}));
}

Event next(const std::optional<Event>& last, std::string at, std::string event, std::string recordId,
           std::string digest) {
    Event e;
    e.seq = last ? last->seq + 1 : 1;
    e.at = std::move(at);
    e.event = std::move(event);
    e.recordId = std::move(recordId);
    e.digest = std::move(digest);
    e.prev = last ? last->link : kGenesis;
    e.link = linkOf(e);
    return e;
}

std::string Break::text() const {
    const std::string where = seq ? "event " + std::to_string(seq) : std::string("no event");
    switch (kind) {
    case Kind::EventChanged: return where + " was changed: its fields no longer give its link";
    case Kind::EventRemoved: return "events before " + where + " were removed: the numbers have a gap";
    case Kind::EventInserted: return where + " was inserted or replaced: it does not follow the event before it";
    case Kind::RecordChanged: return "record " + recordId + " was changed after " + where + " recorded it";
    case Kind::RecordRemoved: return "record " + recordId + " was removed: " + where + " recorded it";
    case Kind::RecordInserted: return "record " + recordId + " was inserted: no event records it";
    }
    return {};
}

Check check(const std::vector<Event>& events, const std::vector<Record>& records) {
    Check result;
    result.events = static_cast<std::int64_t>(events.size());
    result.records = static_cast<std::int64_t>(records.size());
    std::map<std::string, std::string> now;
    for (const Record& r : records) now[r.id] = r.digest;
    // The last event of each record says what the record must be now.
    std::map<std::string, const Event*> last;
    const Event* before = nullptr;
    for (const Event& e : events) {
        const std::int64_t expected = before ? before->seq + 1 : 1;
        if (e.seq != expected)
            result.breaks.push_back({Break::Kind::EventRemoved, e.seq, {}});
        else if (e.prev != (before ? before->link : kGenesis))
            result.breaks.push_back({Break::Kind::EventInserted, e.seq, {}});
        if (linkOf(e) != e.link) result.breaks.push_back({Break::Kind::EventChanged, e.seq, e.recordId});
        last[e.recordId] = &e;
        before = &e;
    }
    std::vector<Break> records_;
    for (const auto& [id, e] : last) {
        const auto it = now.find(id);
        if (it == now.end())
            records_.push_back({Break::Kind::RecordRemoved, e->seq, id});
        else if (it->second != e->digest)
            records_.push_back({Break::Kind::RecordChanged, e->seq, id});
    }
    std::sort(records_.begin(), records_.end(), [](const Break& a, const Break& b) { return a.seq < b.seq; });
    for (const Record& r : records)
        if (!last.count(r.id)) records_.push_back({Break::Kind::RecordInserted, 0, r.id});
    // Breaks of the chain and of the records, in the chain's order.
    result.breaks.insert(result.breaks.end(), records_.begin(), records_.end());
    std::stable_sort(result.breaks.begin(), result.breaks.end(), [](const Break& a, const Break& b) {
        const auto key = [](const Break& x) { return x.seq ? x.seq : INT64_MAX; };
        return key(a) < key(b);
    });
    return result;
}

}  // namespace recordchain

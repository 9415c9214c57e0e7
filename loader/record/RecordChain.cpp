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
    for (std::size_t i = 0; i < names.size() && i < values.size(); ++i) {
        // A verdict's fields count only when set: a record chained before they existed keeps its digest.
        if (values[i].empty() && verdictField(names[i])) continue;
        all += joined({&names[i], &values[i]});
    }
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
    case Kind::RecordChanged:
        return "record " + recordId + " was changed after " + where + " recorded it" +
               (detail.empty() ? "" : " (" + detail + ")");
    case Kind::RecordRemoved: return "record " + recordId + " was removed: " + where + " recorded it";
    case Kind::RecordInserted:
        return "record " + recordId + " was inserted: no event records it" +
               (detail.empty() ? "" : " (" + detail + ")");
    case Kind::Unreadable:
        return detail + " holds a link that cannot be read: it was altered (record " + recordId + ")";
    case Kind::RemovedHere: return where + " was removed from the records file: the server holds it";
    case Kind::DiffersFromServer: return where + " of the records file differs from the server's copy";
    case Kind::Refused: return where + " was refused by the server (" + detail + ")";
    case Kind::NotOnServer: return "record " + recordId + " is not on the server: " + where + " recorded it";
    case Kind::ServerCopyDiffers:
        return "the server's copy of record " + recordId + " is not what " + where + " recorded";
    }
    return {};
}

namespace {
void inChainOrder(std::vector<Break>& breaks) {
    std::stable_sort(breaks.begin(), breaks.end(), [](const Break& a, const Break& b) {
        const auto key = [](const Break& x) { return x.seq ? x.seq : INT64_MAX; };
        return key(a) < key(b);
    });
}
// Breaks of the links and numbers; the last event of each record.
std::map<std::string, const Event*> links(const std::vector<Event>& events, std::vector<Break>& breaks) {
    std::map<std::string, const Event*> last;
    const Event* before = nullptr;
    for (const Event& e : events) {
        const std::int64_t expected = before ? before->seq + 1 : 1;
        if (e.seq != expected)
            breaks.push_back({Break::Kind::EventRemoved, e.seq, {}, {}});
        else if (e.prev != (before ? before->link : kGenesis))
            breaks.push_back({Break::Kind::EventInserted, e.seq, {}, {}});
        if (linkOf(e) != e.link) breaks.push_back({Break::Kind::EventChanged, e.seq, e.recordId, {}});
        // A journal's conflict line keeps an import that was refused: it changes no record.
        if (e.event != "conflict") last[e.recordId] = &e;
        before = &e;
    }
    return last;
}
}  // namespace

Check checkServer(const std::vector<Event>& events, const std::vector<Break>& refused,
                  const std::vector<Record>& serverRecords) {
    Check result;
    result.events = static_cast<std::int64_t>(events.size());
    result.breaks = refused;
    const auto last = links(events, result.breaks);
    std::map<std::string, std::string> held;
    for (const Record& r : serverRecords) held[r.id] = r.digest;
    for (const auto& [id, e] : last) {
        const auto it = held.find(id);
        if (it != held.end()) {
            ++result.records;
            if (it->second != e->digest) result.breaks.push_back({Break::Kind::ServerCopyDiffers, e->seq, id, {}});
        } else if (e->event == "end" || e->event == "interrupted" || e->event == "import") {
            result.breaks.push_back({Break::Kind::NotOnServer, e->seq, id, {}});
        }
    }
    inChainOrder(result.breaks);
    return result;
}

std::vector<Break> compare(const std::vector<Event>& file, const std::vector<Event>& server) {
    std::map<std::int64_t, const Event*> here;
    for (const Event& e : file) here[e.seq] = &e;
    std::vector<Break> breaks;
    for (const Event& e : server) {
        const auto it = here.find(e.seq);
        if (it == here.end())
            breaks.push_back({Break::Kind::RemovedHere, e.seq, e.recordId, {}});
        else if (it->second->link != e.link)
            breaks.push_back({Break::Kind::DiffersFromServer, e.seq, e.recordId, {}});
    }
    return breaks;
}

Check check(const std::vector<Event>& events, const std::vector<Record>& records) {
    Check result;
    result.events = static_cast<std::int64_t>(events.size());
    result.records = static_cast<std::int64_t>(records.size());
    std::map<std::string, std::string> now;
    for (const Record& r : records) now[r.id] = r.digest;
    // The last event of each record says what the record must be now.
    const auto last = links(events, result.breaks);
    std::vector<Break> ofRecords;
    for (const auto& [id, e] : last) {
        const auto it = now.find(id);
        if (it == now.end())
            ofRecords.push_back({Break::Kind::RecordRemoved, e->seq, id, {}});
        else if (it->second != e->digest)
            ofRecords.push_back({Break::Kind::RecordChanged, e->seq, id, {}});
    }
    for (const Record& r : records)
        if (!last.count(r.id)) ofRecords.push_back({Break::Kind::RecordInserted, 0, r.id, {}});
    result.breaks.insert(result.breaks.end(), ofRecords.begin(), ofRecords.end());
    inChainOrder(result.breaks);
    return result;
}

}  // namespace recordchain

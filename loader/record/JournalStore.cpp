// The records as a journal of JSON lines: {"v":1,"event":"begin","pid":N,"attempt":{...}} when an
// attempt is begun, {"v":1,"event":"end","attempt":{...}} when it has ended. A line is appended
// and synced per event, never rewritten, so a crash loses at most the line being written.
#include <algorithm>
#include <fstream>
#include <map>
#include <set>

#include "AttemptJson.h"
#include "AttemptOf.h"
#include "JournalFile.h"
#include "RecordStore.h"

namespace {

constexpr int kJournalVersion = 1;
constexpr const char* kNoEnd = "no end recorded";

struct Entry {
    Attempt attempt;
    std::int64_t pid = 0;
    bool ended = false;
    std::size_t order = 0;  // of its first line
};

struct Journal {
    std::vector<Entry> entries;  // in the order they were begun
    int badLines = 0;
};

// Every attempt of the journal as its last line has it.
Journal readJournal(const std::string& path, bool mustExist) {
    Journal journal;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (mustExist)
            throw RecordError(RecordError::Kind::CannotOpen, "the records journal " + path + " cannot be read");
        return journal;
    }
    std::map<std::string, std::size_t> index;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        const auto event = nlohmann::json::parse(line, nullptr, false);
        Attempt attempt;
        if (!event.is_object() || event.value("v", 0) != kJournalVersion || !event.contains("attempt") ||
            !attemptFromJson(event["attempt"], attempt)) {
            ++journal.badLines;
            continue;
        }
        const std::string kind = event.value("event", "");
        if (kind != "begin" && kind != "end") {
            ++journal.badLines;
            continue;
        }
        auto [it, fresh] = index.try_emplace(attempt.id, journal.entries.size());
        if (fresh) journal.entries.push_back({attempt, 0, false, journal.entries.size()});
        Entry& entry = journal.entries[it->second];
        if (kind == "begin") {
            if (event.contains("pid") && event["pid"].is_number_integer()) entry.pid = event["pid"].get<std::int64_t>();
            if (!entry.ended) entry.attempt = attempt;
        } else {
            entry.attempt = attempt;
            entry.ended = true;
        }
    }
    return journal;
}

std::string eventLine(const char* kind, const Attempt& attempt, std::optional<std::int64_t> pid) {
    nlohmann::ordered_json event = {{"v", kJournalVersion}, {"event", kind}};
    if (pid) event["pid"] = *pid;
    event["attempt"] = attemptJson(attempt);
    return event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

Attempt interrupted(Attempt attempt) {
    attempt.outcome = "interrupted";
    attempt.note = attempt.note.empty() ? kNoEnd : attempt.note + "; " + kNoEnd;
    return attempt;
}

class JournalStore : public RecordStore {
public:
    explicit JournalStore(std::string path) : path_(std::move(path)) {
        const Journal journal = readJournal(path_, false);
        for (const Entry& e : journal.entries) {
            ids_.insert(e.attempt.id);
            // Begun here by a process that has gone: its end will never come.
            if (!e.ended && e.attempt.station == station_ && journalfile::processGone(e.pid))
                append(eventLine("end", interrupted(e.attempt), std::nullopt));
        }
    }

    bool begin(const Attempt& attempt) override {
        if (!ids_.insert(attempt.id).second) return false;
        append(eventLine("begin", attempt, journalfile::processId()));
        return true;
    }
    void end(const Attempt& attempt) override { append(eventLine("end", attempt, std::nullopt)); }

    std::vector<Attempt> query(const AttemptFilter& filter) override {
        Journal journal = readJournal(path_, false);
        std::vector<Entry*> matching;
        for (Entry& e : journal.entries)
            if (attemptMatches(filter, e.attempt)) matching.push_back(&e);
        std::sort(matching.begin(), matching.end(), [](const Entry* a, const Entry* b) {
            if (a->attempt.started_at != b->attempt.started_at) return a->attempt.started_at > b->attempt.started_at;
            return a->order > b->order;
        });
        std::vector<Attempt> out;
        for (Entry* e : matching) out.push_back(std::move(e->attempt));
        return out;
    }
    const std::string& path() const override { return path_; }

private:
    void append(const std::string& line) {
        if (auto error = journalfile::appendSynced(path_, line)) throw *error;
    }

    std::string path_;
    std::string station_ = stationName();
    std::set<std::string> ids_;
};

}  // namespace

bool attemptMatches(const AttemptFilter& f, const Attempt& a) {
    if (!f.since.empty() && a.started_at < f.since) return false;
    if (!f.until.empty() && !(a.started_at < f.until)) return false;
    if (!f.port.empty() && a.port != f.port) return false;
    if (!f.outcome.empty() && a.outcome != f.outcome) return false;
    if (!f.unitId.empty() && a.unit_id != f.unitId) return false;
    if (!f.fileSha256.empty() && a.file_sha256 != f.fileSha256) return false;
    if (!f.id.empty() && a.id.compare(0, f.id.size(), f.id) != 0) return false;
    if (!f.station.empty() && a.station != f.station) return false;
    if (!f.unitVersion.empty() && a.unit_version != f.unitVersion) return false;
    return true;
}

std::unique_ptr<RecordStore> openJournalStore(const std::string& path) { return std::make_unique<JournalStore>(path); }

ImportCount importJournal(const std::string& path, RecordStore& into) {
    const Journal journal = readJournal(path, true);
    ImportCount count;
    count.badLines = journal.badLines;
    for (const Entry& e : journal.entries) {
        ++count.attempts;
        if (into.begin(e.attempt)) ++count.added;
        // Its program is not on this machine to ask: an attempt the journal never ended is
        // taken as interrupted; a later import of the same journal with its end completes it.
        if (!e.ended) ++count.unended;
        into.end(e.ended ? e.attempt : interrupted(e.attempt));
    }
    return count;
}

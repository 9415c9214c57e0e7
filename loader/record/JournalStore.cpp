// The records as a journal of JSON lines (JournalLine.h). A line is appended and synced per
// event, never rewritten, so a crash loses at most the line being written.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "AttemptJson.h"
#include "AttemptOf.h"
#include "JournalFile.h"
#include "JournalLine.h"
#include "RecordFile.h"
#include "RecordStore.h"

namespace {

constexpr int kJournalVersion = 1;
constexpr const char* kNoEnd = "no end recorded";

std::optional<JournalEvent> parsed(std::string_view line, std::string& why) {
    const auto json = nlohmann::json::parse(line, nullptr, false);
    if (json.is_discarded()) {
        why = "not JSON (cut short?)";
        return std::nullopt;
    }
    if (!json.is_object()) {
        why = "not a JSON object";
        return std::nullopt;
    }
    const auto v = json.find("v");
    if (v == json.end() || !v->is_number_integer() || v->get<std::int64_t>() != kJournalVersion) {
        why = "\"v\" is not " + std::to_string(kJournalVersion);
        return std::nullopt;
    }
    const auto kind = json.find("event");
    if (kind == json.end() || !kind->is_string()) {
        why = "\"event\" is not a text";
        return std::nullopt;
    }
    JournalEvent event;
    const auto& name = kind->get_ref<const std::string&>();
    if (name == "begin")
        event.kind = JournalEvent::Kind::Begin;
    else if (name == "end")
        event.kind = JournalEvent::Kind::End;
    else if (name == "conflict")
        event.kind = JournalEvent::Kind::Conflict;
    else {
        why = "\"event\" is not begin, end or conflict";
        return std::nullopt;
    }
    const auto attempt = json.find("attempt");
    if (attempt == json.end() || !attemptFromJson(*attempt, event.attempt)) {
        why = "\"attempt\" is no attempt";
        return std::nullopt;
    }
    if (const auto pid = json.find("pid"); pid != json.end() && pid->is_number_integer())
        event.pid = pid->get<std::int64_t>();
    for (auto [key, into] : {std::pair{"source", &event.source}, std::pair{"reason", &event.reason}})
        if (const auto it = json.find(key); it != json.end() && it->is_string()) *into = it->get<std::string>();
    return event;
}

struct Entry {
    Attempt attempt;
    std::int64_t pid = 0;
    bool ended = false;
    std::size_t order = 0;  // of its first line
};

struct Journal {
    std::vector<Entry> entries;  // in the order they were begun
    std::map<std::string, std::size_t> index;
    std::set<std::string> conflicts;  // id and attempt of every conflict kept
    std::vector<SkippedLine> skipped;

    const Entry* find(const std::string& id) const {
        const auto it = index.find(id);
        return it == index.end() ? nullptr : &entries[it->second];
    }
};

std::string conflictKey(const Attempt& attempt) { return attempt.id + " " + attemptJson(attempt).dump(); }

// Every attempt of the journal as its last line has it.
Journal readJournal(const std::string& path, bool mustExist) {
    Journal journal;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (mustExist)
            throw RecordError(RecordError::Kind::CannotOpen, "the records journal " + path + " cannot be read");
        return journal;
    }
    std::int64_t number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        std::string why;
        auto event = parseJournalLine(line, why);
        if (!event) {
            journal.skipped.push_back({number, why});
            continue;
        }
        if (event->kind == JournalEvent::Kind::Conflict) {
            journal.conflicts.insert(conflictKey(event->attempt));
            continue;
        }
        auto [it, fresh] = journal.index.try_emplace(event->attempt.id, journal.entries.size());
        if (fresh) journal.entries.push_back({event->attempt, 0, false, journal.entries.size()});
        Entry& entry = journal.entries[it->second];
        if (event->kind == JournalEvent::Kind::Begin) {
            if (event->pid) entry.pid = *event->pid;
            if (!entry.ended) entry.attempt = std::move(event->attempt);
        } else {
            entry.attempt = std::move(event->attempt);
            entry.ended = true;
        }
    }
    return journal;
}

std::string eventLine(JournalEvent::Kind kind, const Attempt& attempt, std::optional<std::int64_t> pid) {
    JournalEvent event;
    event.kind = kind;
    event.attempt = attempt;
    event.pid = pid;
    return journalLine(event);
}

Attempt interrupted(Attempt attempt) {
    attempt.outcome = "interrupted";
    attempt.note = attempt.note.empty() ? kNoEnd : attempt.note + "; " + kNoEnd;
    return attempt;
}

class JournalStore : public RecordStore {
public:
    JournalStore(std::string path, RecordAccess access)
        : path_(std::move(path)), reading_(access == RecordAccess::Read) {
        if (auto refused = recordfile::refuseLink(path_, "records journal")) throw *refused;
        if (reading_) {
            std::error_code ec;
            if (!std::filesystem::exists(path_, ec))
                throw RecordError(RecordError::Kind::Missing, "no records journal at " + path_ + " yet");
            return;
        }
        const Journal journal = readJournal(path_, false);
        for (const Entry& e : journal.entries) {
            ids_.insert(e.attempt.id);
            // Begun here by a process that has gone: its end will never come.
            if (!e.ended && e.attempt.station == station_ && journalfile::processGone(e.pid))
                append(eventLine(JournalEvent::Kind::End, interrupted(e.attempt), std::nullopt));
        }
    }

    bool begin(const Attempt& attempt) override {
        if (!ids_.insert(attempt.id).second) return false;
        append(eventLine(JournalEvent::Kind::Begin, attempt, journalfile::processId()));
        return true;
    }
    void end(const Attempt& attempt) override {
        const Journal journal = readJournal(path_, false);
        const Entry* kept = journal.find(attempt.id);
        if (kept && !kept->attempt.ended_at.empty())
            throw RecordError(RecordError::Kind::Other, "the records journal " + path_ + ": attempt " + attempt.id +
                                                            " has ended already; an ended record is not changed");
        append(eventLine(JournalEvent::Kind::End, attempt, std::nullopt));
    }

    std::vector<Attempt> query(const AttemptFilter& filter) override {
        Journal journal = readJournal(path_, false);
        skipped_ = journal.skipped;
        std::vector<Entry*> matching;
        for (Entry& e : journal.entries) {
            // What opening it to record would mark, shown so without writing it.
            if (reading_ && !e.ended && e.attempt.station == station_ && journalfile::processGone(e.pid))
                e.attempt = interrupted(e.attempt);
            if (attemptMatches(filter, e.attempt)) matching.push_back(&e);
        }
        std::sort(matching.begin(), matching.end(), [](const Entry* a, const Entry* b) {
            if (a->attempt.started_at != b->attempt.started_at) return a->attempt.started_at > b->attempt.started_at;
            return a->order > b->order;
        });
        std::vector<Attempt> out;
        for (Entry* e : matching) out.push_back(std::move(e->attempt));
        return out;
    }

    ImportResult importAttempt(const Attempt& attempt, const std::string& source) override {
        // Read once for a whole import, and kept as this import changes it.
        if (!imported_) imported_ = readJournal(path_, false);
        Journal& journal = *imported_;
        const Entry* kept = journal.find(attempt.id);
        const Merge merge = mergeOf(kept ? &kept->attempt : nullptr, attempt);
        switch (merge.kind) {
        case MergeKind::Same: return {Imported::Unchanged, {}};
        case MergeKind::Add:
            // Begun and ended at once: its process is not here to end it.
            ids_.insert(attempt.id);
            append(eventLine(JournalEvent::Kind::Begin, attempt, std::nullopt) +
                   eventLine(JournalEvent::Kind::End, attempt, std::nullopt));
            journal.index.emplace(attempt.id, journal.entries.size());
            journal.entries.push_back({attempt, 0, true, journal.entries.size()});
            return {Imported::Added, {}};
        case MergeKind::Complete:
            append(eventLine(JournalEvent::Kind::End, attempt, std::nullopt));
            journal.entries[journal.index.at(attempt.id)].attempt = attempt;
            return {Imported::Completed, {}};
        case MergeKind::Conflict: break;
        }
        if (!journal.conflicts.insert(conflictKey(attempt)).second) return {Imported::ConflictKnown, merge.reason};
        JournalEvent event;
        event.kind = JournalEvent::Kind::Conflict;
        event.attempt = attempt;
        event.source = source;
        event.reason = merge.reason;
        append(journalLine(event));
        return {Imported::Conflict, merge.reason};
    }
    std::string conflictPlace() const override { return "as conflict lines in " + path_; }
    std::vector<SkippedLine> skipped() const override { return skipped_; }

    const std::string& path() const override { return path_; }

private:
    void append(const std::string& lines) {
        if (reading_)
            throw RecordError(RecordError::Kind::ReadOnly, "the records journal " + path_ + " was opened only to read");
        if (auto error = journalfile::appendSynced(path_, lines)) throw *error;
    }

    std::string path_;
    bool reading_;
    std::string station_ = stationName();
    std::set<std::string> ids_;
    std::optional<Journal> imported_;
    std::vector<SkippedLine> skipped_;
};

}  // namespace

std::optional<JournalEvent> parseJournalLine(std::string_view line, std::string& why) {
    try {
        return parsed(line, why);
    } catch (const std::exception& e) {
        // A field of a type nobody expected: no event of ours, whatever else it is.
        why = std::string("unreadable: ") + e.what();
        return std::nullopt;
    }
}

std::string journalLine(const JournalEvent& event) {
    static const char* const kNames[] = {"begin", "end", "conflict"};
    nlohmann::ordered_json json = {{"v", kJournalVersion}, {"event", kNames[static_cast<int>(event.kind)]}};
    if (event.pid) json["pid"] = *event.pid;
    if (event.kind == JournalEvent::Kind::Conflict) {
        json["source"] = event.source;
        json["reason"] = event.reason;
    }
    json["attempt"] = attemptJson(event.attempt);
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

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
    if (!f.kind.empty() && a.kind != f.kind) return false;
    return true;
}

std::unique_ptr<RecordStore> openJournalStore(const std::string& path, RecordAccess access) {
    return std::make_unique<JournalStore>(path, access);
}

ImportCount importJournal(const std::string& path, RecordStore& into) {
    const Journal journal = readJournal(path, true);
    ImportCount count;
    count.skipped = journal.skipped;
    for (const Entry& e : journal.entries) {
        ++count.attempts;
        // Its program is not on this machine to ask: an attempt the journal never ended is
        // taken as interrupted; a later import of the same journal with its end completes it.
        if (!e.ended) ++count.unended;
        const Attempt attempt = e.ended ? e.attempt : interrupted(e.attempt);
        const ImportResult result = into.importAttempt(attempt, path);
        switch (result.what) {
        case Imported::Added: ++count.added; break;
        case Imported::Completed: ++count.completed; break;
        case Imported::Unchanged: break;
        case Imported::Conflict:
        case Imported::ConflictKnown:
            count.conflicts.push_back({attempt.id, result.reason, result.what == Imported::ConflictKnown});
            break;
        }
    }
    return count;
}

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

std::optional<recordchain::Event> chainOf(const nlohmann::json& json, const std::string& recordId) {
    if (!json.is_object()) return std::nullopt;
    const auto seq = json.find("seq");
    if (seq == json.end() || !seq->is_number_integer()) return std::nullopt;
    recordchain::Event e;
    e.seq = seq->get<std::int64_t>();
    e.recordId = recordId;
    for (auto [key, into] : {std::pair{"at", &e.at}, std::pair{"event", &e.event}, std::pair{"digest", &e.digest},
                             std::pair{"prev", &e.prev}, std::pair{"link", &e.link}}) {
        const auto it = json.find(key);
        if (it == json.end() || !it->is_string()) return std::nullopt;
        *into = it->get<std::string>();
    }
    return e;
}

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
    if (const auto chain = json.find("chain"); chain != json.end()) {
        event.chain = chainOf(*chain, event.attempt.id);
        event.chainUnreadable = !event.chain;
    }
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
    // The chain: its events in the order of the lines, what the lines themselves show altered,
    // the attempts it covers, and the lines from before the journal kept one.
    std::vector<recordchain::Event> events;
    std::vector<recordchain::Break> altered;
    std::set<std::string> covered;
    std::int64_t beforeChain = 0;

    const Entry* find(const std::string& id) const {
        const auto it = index.find(id);
        return it == index.end() ? nullptr : &entries[it->second];
    }
};

std::string conflictKey(const Attempt& attempt) { return attempt.id + " " + attemptJson(attempt).dump(); }

void noteChain(Journal& journal, const JournalEvent& event, std::int64_t line) {
    using recordchain::Break;
    const std::string& id = event.attempt.id;
    const std::string where = "line " + std::to_string(line);
    if (event.chain) {
        journal.events.push_back(*event.chain);
        if (event.kind != JournalEvent::Kind::Conflict) journal.covered.insert(id);
        // The line is the record: its attempt must still be what its event recorded.
        if (recordchain::digestOf(event.attempt) != event.chain->digest)
            journal.altered.push_back({Break::Kind::RecordChanged, event.chain->seq, id, where});
    } else if (event.chainUnreadable) {
        journal.altered.push_back({Break::Kind::Unreadable, 0, id, where});
    } else if (!journal.events.empty()) {
        journal.altered.push_back({Break::Kind::RecordInserted, 0, id, where});
    } else {
        ++journal.beforeChain;
    }
}

// Every attempt of the journal as its last line has it; with `chain`, the chain's facts too.
Journal readJournal(const std::string& path, bool mustExist, bool chain = false) {
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
        if (chain) noteChain(journal, *event, number);
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

// The attempt as a reader of its line gets it back: bytes that are not UTF-8 are stored replaced.
Attempt asStored(const Attempt& attempt) {
    Attempt back;
    const auto json = nlohmann::json::parse(
        attemptJson(attempt).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), nullptr, false);
    return !json.is_discarded() && attemptFromJson(json, back) ? back : attempt;
}

// An event to append, and its name in the chain.
struct Pending {
    JournalEvent event;
    const char* name;
};

Pending pending(JournalEvent::Kind kind, const char* name, const Attempt& attempt,
                std::optional<std::int64_t> pid = std::nullopt) {
    JournalEvent event;
    event.kind = kind;
    event.attempt = attempt;
    event.pid = pid;
    return {std::move(event), name};
}

// The last event of the chain: the last line that carries one, read from the end backwards.
std::optional<recordchain::Event> lastChained(const journalfile::Appender& file) {
    constexpr std::size_t kChunk = 64 * 1024;
    std::uint64_t pos = file.size();
    std::string rest;  // the start of a line whose beginning lies before `pos`
    while (pos > 0 || !rest.empty()) {
        const std::uint64_t from = pos > kChunk ? pos - kChunk : 0;
        std::string bytes = pos > from ? file.read(from, static_cast<std::size_t>(pos - from)) : std::string();
        bytes += rest;
        pos = from;
        std::size_t end = bytes.size();
        for (;;) {
            const std::size_t nl = end == 0 ? std::string::npos : bytes.rfind('\n', end - 1);
            if (nl == std::string::npos && pos > 0) break;  // the line goes on before this chunk
            const std::size_t begin = nl == std::string::npos ? 0 : nl + 1;
            std::string_view line(bytes.data() + begin, end - begin);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            std::string why;
            if (!line.empty())
                if (auto event = parseJournalLine(line, why); event && event->chain) return event->chain;
            if (nl == std::string::npos) break;
            end = nl;
        }
        rest = pos > 0 ? bytes.substr(0, end) : std::string();
    }
    return std::nullopt;
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
                append({pending(JournalEvent::Kind::End, "interrupted", interrupted(e.attempt))});
        }
    }

    bool begin(const Attempt& attempt) override {
        if (!ids_.insert(attempt.id).second) return false;
        append({pending(JournalEvent::Kind::Begin, "begin", attempt, journalfile::processId())});
        return true;
    }
    void end(const Attempt& attempt) override {
        const Journal journal = readJournal(path_, false);
        const Entry* kept = journal.find(attempt.id);
        if (kept && !kept->attempt.ended_at.empty())
            throw RecordError(RecordError::Kind::Other, "the records journal " + path_ + ": attempt " + attempt.id +
                                                            " has ended already; an ended record is not changed");
        append({pending(JournalEvent::Kind::End, "end", attempt)});
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
            append({pending(JournalEvent::Kind::Begin, "import", attempt),
                    pending(JournalEvent::Kind::End, "import", attempt)});
            journal.index.emplace(attempt.id, journal.entries.size());
            journal.entries.push_back({attempt, 0, true, journal.entries.size()});
            return {Imported::Added, {}};
        case MergeKind::Complete:
            append({pending(JournalEvent::Kind::End, "import", attempt)});
            journal.entries[journal.index.at(attempt.id)].attempt = attempt;
            return {Imported::Completed, {}};
        case MergeKind::Conflict: break;
        }
        if (!journal.conflicts.insert(conflictKey(attempt)).second) return {Imported::ConflictKnown, merge.reason};
        Pending conflict = pending(JournalEvent::Kind::Conflict, "conflict", attempt);
        conflict.event.source = source;
        conflict.event.reason = merge.reason;
        append({std::move(conflict)});
        return {Imported::Conflict, merge.reason};
    }
    std::optional<ChainState> chain() override {
        Journal journal = readJournal(path_, true, true);
        ChainState state;
        state.events = std::move(journal.events);
        state.found = std::move(journal.altered);
        // An attempt with no chained line is reported by its lines: from before the chain, or inserted.
        for (const Entry& e : journal.entries)
            if (journal.covered.count(e.attempt.id))
                state.records.push_back({e.attempt.id, recordchain::digestOf(e.attempt)});
        state.beforeChain = journal.beforeChain;
        return state;
    }

    std::string conflictPlace() const override { return "as conflict lines in " + path_; }
    std::vector<SkippedLine> skipped() const override { return skipped_; }

    const std::string& path() const override { return path_; }

private:
    // Each event is linked to the one before it, read from the file's end under its lock: other
    // processes append to the same journal.
    void append(std::vector<Pending> events) {
        if (reading_)
            throw RecordError(RecordError::Kind::ReadOnly, "the records journal " + path_ + " was opened only to read");
        const auto file = journalfile::openLocked(path_);
        std::optional<recordchain::Event> last = lastChained(*file);
        std::string lines;
        for (Pending& p : events) {
            last = recordchain::next(last, isoTime(std::chrono::system_clock::now()), p.name, p.event.attempt.id,
                                     recordchain::digestOf(asStored(p.event.attempt)));
            p.event.chain = last;
            lines += journalLine(p.event);
        }
        if (auto error = file->appendSynced(lines)) throw *error;
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
    if (event.chain)
        json["chain"] = {{"seq", event.chain->seq},       {"at", event.chain->at},     {"event", event.chain->event},
                         {"digest", event.chain->digest}, {"prev", event.chain->prev}, {"link", event.chain->link}};
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

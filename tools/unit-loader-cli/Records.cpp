#include "Records.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <tuple>

#include "SafeText.h"
#include "download/ExitCode.h"
#include "record/AttemptJson.h"
#include "record/AttemptRecorder.h"
#include "record/RecordStore.h"
#include "settings/SettingsFile.h"
#include "settings/SitePolicy.h"

namespace {

// A cell a spreadsheet opens as text, and a terminal shows as text: no formula, no escape
// sequence, valid UTF-8; its lines kept.
std::string csvField(const std::string& raw) {
    const std::string value = safetext::csvInert(safetext::terminalSafe(raw, true));
    if (value.find_first_of(",\"\r\n") == std::string::npos) return value;
    std::string quoted = "\"";
    for (char c : value) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string csvLine(const std::vector<std::string>& fields) {
    std::string line;
    // Appended piece by piece: g++ 12 at -O3 takes `(i ? "," : "") + ...` for an overlapping
    // copy (-Wrestrict).
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i) line += ',';
        line += csvField(fields[i]);
    }
    return line + "\r\n";
}

Attempt terminalSafe(Attempt a) {
    const auto& names = attemptFieldNames();
    std::vector<std::string> values = attemptFieldValues(a);
    for (std::string& v : values) v = safetext::terminalSafe(v);
    attemptFromFields(names, values, a);
    return a;
}

std::string pad(std::string text, std::size_t width) {
    if (text.size() < width) text += std::string(width - text.size(), ' ');
    return text;
}

constexpr const char* kUnitKind = "unit";

// A station's verdicts per day and job: units that passed and failed (an interrupted one counts
// neither way), the first-pass yield (passed with one download) and why the others failed.
void unitSummary(const std::vector<Attempt>& records) {
    std::map<std::string, int> downloads;  // per verdict
    for (const Attempt& a : records)
        if (a.kind == "download" && !a.verdict_id.empty()) ++downloads[a.verdict_id];
    struct Group {
        int passes = 0, fails = 0, firstPass = 0, other = 0;
        std::map<std::string, int> reasons;
    };
    std::map<std::pair<std::string, std::string>, Group> groups;
    std::size_t jobWidth = 3;
    for (const Attempt& a : records) {
        if (a.kind != kUnitKind) continue;
        Group& g = groups[{a.started_at.substr(0, 10), a.job}];
        jobWidth = std::max(jobWidth, a.job.size());
        if (a.verdict == "pass") {
            ++g.passes;
            g.firstPass += downloads[a.id] <= 1 ? 1 : 0;
        } else if (a.verdict == "fail") {
            ++g.fails;
            ++g.reasons[a.verdict_reason.empty() ? a.outcome : a.verdict_reason];
        } else {
            ++g.other;
        }
    }
    if (groups.empty()) return;
    std::printf("\n%s  %s  %6s  %6s  %6s  %10s  %11s  %s\n", "DAY       ", pad("JOB", jobWidth).c_str(), "UNITS",
                "PASSES", "FAILS", "FIRST-PASS", "INTERRUPTED", "FAILED UNITS");
    for (const auto& [key, g] : groups) {
        const int units = g.passes + g.fails;
        char yield[16] = "-";
        if (units > 0) std::snprintf(yield, sizeof yield, "%.1f %%", 100.0 * g.firstPass / units);
        std::string reasons;
        for (const auto& [reason, count] : g.reasons)
            reasons += (reasons.empty() ? "" : ", ") + reason + " " + std::to_string(count);
        std::printf("%s  %s  %6d  %6d  %6d  %10s  %11d  %s\n", pad(key.first, 10).c_str(),
                    pad(key.second, jobWidth).c_str(), units, g.passes, g.fails, yield, g.other,
                    reasons.empty() ? "-" : reasons.c_str());
    }
}

// Per day and port; across stations (a server's records) also per station and unit version, so
// that "which units still carry 2.05" and each station's yield can be read off.
int summary(const std::vector<Attempt>& attempts, bool acrossStations) {
    struct Group {
        int attempts = 0;
        int passes = 0;
        std::map<std::string, std::pair<std::string, bool>> firstByUnit;  // unit -> (started_at, passed)
        std::vector<std::int64_t> durations;
        std::map<std::string, int> failures;
    };
    using Key = std::tuple<std::string, std::string, std::string, std::string>;  // day, station, port, version
    std::map<Key, Group> groups;
    for (const Attempt& a : attempts) {
        if (a.kind == kUnitKind) continue;  // a verdict: counted below
        Group& g = groups[acrossStations ? Key{a.started_at.substr(0, 10), a.station, a.port,
                                               a.unit_version.empty() ? "-" : a.unit_version}
                                         : Key{a.started_at.substr(0, 10), "", a.port, ""}];
        ++g.attempts;
        const bool passed = a.outcome == "success";
        if (passed)
            ++g.passes;
        else
            ++g.failures[a.outcome.empty() ? "unfinished" : a.outcome];
        // Attempts without a unit id are units of their own.
        const std::string unit = a.unit_id.empty() ? a.id : a.unit_id;
        auto [it, fresh] = g.firstByUnit.try_emplace(unit, a.started_at, passed);
        if (!fresh && a.started_at < it->second.first) it->second = {a.started_at, passed};
        if (a.duration_ms) g.durations.push_back(*a.duration_ms);
    }
    std::size_t stationWidth = 7, versionWidth = 7;
    for (const auto& [key, g] : groups) {
        stationWidth = std::max(stationWidth, std::get<1>(key).size());
        versionWidth = std::max(versionWidth, std::get<3>(key).size());
    }
    if (acrossStations)
        std::printf("%s  %s  %s  %s  %8s  %6s  %9s  %10s  %s\n", "DAY       ", pad("STATION", stationWidth).c_str(),
                    "PORT", pad("VERSION", versionWidth).c_str(), "ATTEMPTS", "PASSES", "FIRST-PASS", "MEDIAN-MS",
                    "FAILURES");
    else
        std::printf("%s  %s  %8s  %6s  %9s  %10s  %s\n", "DAY       ", "PORT", "ATTEMPTS", "PASSES", "FIRST-PASS",
                    "MEDIAN-MS", "FAILURES");
    for (auto& [key, g] : groups) {
        int firstPass = 0;
        for (const auto& [unit, first] : g.firstByUnit) firstPass += first.second ? 1 : 0;
        std::string median = "-";
        if (!g.durations.empty()) {
            std::sort(g.durations.begin(), g.durations.end());
            const std::size_t n = g.durations.size();
            median = std::to_string(n % 2 ? g.durations[n / 2] : (g.durations[n / 2 - 1] + g.durations[n / 2]) / 2);
        }
        std::string failures;
        for (const auto& [outcome, count] : g.failures)
            failures += (failures.empty() ? "" : ", ") + outcome + " " + std::to_string(count);
        char yield[16];
        std::snprintf(yield, sizeof yield, "%.1f %%", 100.0 * firstPass / static_cast<double>(g.firstByUnit.size()));
        const auto& [day, station, port, version] = key;
        if (acrossStations)
            std::printf("%s  %s  %s  %s  %8d  %6d  %9s  %10s  %s\n", pad(day, 10).c_str(),
                        pad(station, stationWidth).c_str(), port.c_str(), pad(version, versionWidth).c_str(),
                        g.attempts, g.passes, yield, median.c_str(), failures.empty() ? "-" : failures.c_str());
        else
            std::printf("%s  %s  %8d  %6d  %9s  %10s  %s\n", pad(day, 10).c_str(), port.c_str(), g.attempts, g.passes,
                        yield, median.c_str(), failures.empty() ? "-" : failures.c_str());
    }
    if (!acrossStations) unitSummary(attempts);
    return exitcode::kSuccess;
}

// `records units`: each unit's latest verdict, then those the filter asks for. A unit is its id;
// one without an id is a unit of its own.
int unitsList(const std::vector<Attempt>& records, const RecordsQuery& q) {
    std::map<std::string, const Attempt*> latest;
    for (const Attempt& a : records) {  // newest first
        if (a.kind != kUnitKind) continue;
        latest.try_emplace(a.unit_id.empty() ? a.id : a.unit_id, &a);
    }
    std::vector<const Attempt*> shown;
    for (const auto& [unit, a] : latest)
        if ((q.unitVersion.empty() || a->unit_version == q.unitVersion) && (q.job.empty() || a->job == q.job))
            shown.push_back(a);
    std::sort(shown.begin(), shown.end(),
              [](const Attempt* a, const Attempt* b) { return a->started_at > b->started_at; });
    std::printf("%-24s  %-12s  %-11s  %-14s  %-16s  %-16s  %-4s  %-20s  %s\n", "STARTED", "UNIT", "VERDICT", "REASON",
                "VERSION", "JOB", "SLOT", "PORT", "ID");
    for (const Attempt* raw : shown) {
        // What a unit, an operator or an edited file put in the records is shown, never obeyed by the terminal.
        const Attempt safe = terminalSafe(*raw);
        const Attempt* a = &safe;
        const std::string verdict = a->verdict.empty() ? (a->outcome.empty() ? "(running)" : a->outcome) : a->verdict;
        std::printf("%-24s  %-12s  %-11s  %-14s  %-16s  %-16s  %-4s  %-20s  %s\n", a->started_at.c_str(),
                    a->unit_id.empty() ? "-" : a->unit_id.c_str(), verdict.c_str(),
                    a->verdict_reason.empty() ? "-" : a->verdict_reason.c_str(),
                    a->unit_version.empty() ? "-" : a->unit_version.c_str(), a->job.c_str(), a->slot.c_str(),
                    a->port.c_str(), a->id.c_str());
    }
    return exitcode::kSuccess;
}

}  // namespace

std::string recordsPathOf(const RecordOptions& options) {
    if (!options.path.empty()) return options.path;
    SettingsFile settings;
    return recordsPathOf(options.path, settings.readFile() ? settings.get(kRecordsSettingsKey) : std::string());
}

std::optional<RecordingRefusal> recordingRefusal(const RecordOptions& options) {
    if (!options.enabled) {
        const SitePolicy policy = readSitePolicy();
        if (!policy.recordsRequired) return std::nullopt;
        return RecordingRefusal{exitcode::kUsage, "--no-record is not allowed on this machine: " + policy.source +
                                                      " requires a record of every run (Records,required)"};
    }
    if (!recordsPathOf(options).empty()) return std::nullopt;
    // Only the default place can be missing: a path that was named is used or refused.
    return RecordingRefusal{exitcode::kRecord,
                            "no record can be kept: this user has no home directory for the records file; "
                            "--records PATH names one, --no-record runs without"};
}

namespace {

class FileRecorder : public RunRecorder {
public:
    explicit FileRecorder(std::unique_ptr<AttemptRecorder> recorder) : recorder_(std::move(recorder)) {}
    std::optional<std::string> begin(const RunStart& start) override {
        recordedFile_ = start.recordedFile;
        auto why =
            recorder_->begin(start.kind, start.baud, recordedFile_.empty() ? start.file : recordedFile_, start.image);
        if (!why) id_ = recorder_->attemptId();
        return why;
    }
    std::optional<std::string> end(const RunReport& report, const RunResult& result) override {
        if (recordedFile_.empty() || report.file.empty()) return recorder_->end(report, result.exitCode);
        RunReport named = report;
        named.file = recordedFile_;
        return recorder_->end(named, result.exitCode);
    }
    std::string attemptId() const override { return id_; }

private:
    std::unique_ptr<AttemptRecorder> recorder_;
    std::string id_;
    std::string recordedFile_;
};

// Every line passed over is named, up to a screenful; the rest are counted.
void printSkipped(const std::vector<SkippedLine>& skipped, std::FILE* to) {
    constexpr std::size_t kShown = 20;
    for (std::size_t i = 0; i < skipped.size() && i < kShown; ++i)
        std::fprintf(to, "  line %lld skipped: %s\n", static_cast<long long>(skipped[i].line), skipped[i].why.c_str());
    if (skipped.size() > kShown) std::fprintf(to, "  and %zu more lines skipped\n", skipped.size() - kShown);
}

int importJournals(const std::vector<std::string>& journals, RecordStore& store) {
    int status = exitcode::kSuccess;
    for (const std::string& journal : journals) {
        try {
            const ImportCount n = importJournal(journal, store);
            std::printf("%s: %d attempts, %d new", journal.c_str(), n.attempts, n.added);
            if (n.completed) std::printf(", %d completed", n.completed);
            if (n.unended) std::printf(", %d without an end (taken as interrupted)", n.unended);
            std::size_t fresh = 0;
            for (const auto& c : n.conflicts) fresh += c.known ? 0 : 1;
            if (fresh)
                std::printf(", %zu %s kept %s", fresh, fresh == 1 ? "conflict" : "conflicts",
                            store.conflictPlace().c_str());
            if (n.conflicts.size() > fresh) std::printf(", %zu conflicts kept before", n.conflicts.size() - fresh);
            if (!n.skipped.empty()) std::printf(", %zu lines skipped", n.skipped.size());
            std::printf("\n");
            for (const auto& c : n.conflicts)
                if (!c.known)
                    std::printf("  conflict: attempt %s %s; the record kept is unchanged\n",
                                safetext::terminalSafe(c.id).c_str(), c.reason.c_str());
            printSkipped(n.skipped, stdout);
        } catch (const RecordError& e) {
            std::fprintf(stderr, "unit-loader-cli: %s\n", e.what());
            status = exitcode::kRecord;
        }
    }
    return status;
}

}  // namespace

std::unique_ptr<RunRecorder> openRecorder(const RecordOptions& options, const std::string& port, std::string& why) {
    why.clear();
    try {
        return std::make_unique<FileRecorder>(std::make_unique<AttemptRecorder>(
            openRecordStore(recordsPathOf(options)),
            AttemptPeople{options.operatorName, options.unitId, options.note, options.attemptId, options.verdictId},
            port));
    } catch (const RecordError& e) {
        why = e.what();
        return nullptr;
    }
}

std::string recordsServerOf(const RecordOptions& options, std::string& why) {
    why.clear();
    if (!options.server.empty()) return options.server;
    SettingsFile settings;
    const std::string url = settings.readFile() ? settings.get(kRecordsServerSettingsKey) : std::string();
    if (!url.empty() && urlHasPassword(url)) {
        why = std::string("the ") + kRecordsServerSettingsKey + " line of " + settings.path() +
              " is not used, and nothing is forwarded: " + passwordInUrlText();
        return {};
    }
    return url;
}

namespace {

// The forwarder's: a run's end waits for no more. The commands a person runs may wait longer.
constexpr std::chrono::seconds kConnectTimeout{2};
constexpr std::chrono::seconds kAskTimeout{10};
// `records sync`: the queue of a station that was away for weeks.
constexpr std::chrono::milliseconds kSyncLimit{300000};
// A server that refuses the connection is tried again for this long within it.
constexpr std::chrono::milliseconds kSyncRefusedRetry{10000};

Forwarder::Options forwardOptions(const std::string& path, const std::string& url, std::chrono::seconds timeout) {
    Forwarder::Options o;  // the pause between tries and the batch as they are
    o.recordsPath = path;
    o.url = url;
    o.connectTimeout = timeout;
    return o;
}

std::string attemptsText(int n) { return std::to_string(n) + (n == 1 ? " attempt" : " attempts"); }

}  // namespace

std::unique_ptr<Forwarder> startForwarding(const RecordOptions& options, const std::function<void(std::string)>& note) {
    if (!options.enabled) return nullptr;
    std::string why;
    const std::string url = recordsServerOf(options, why);
    if (!why.empty()) note(why);
    if (url.empty()) return nullptr;
    const std::string path = recordsPathOf(options);
    const ForwardPlan plan = forwardPlan(path, url);
    if (!plan.forward) {
        if (!plan.note.empty()) note(plan.note);
        return nullptr;
    }
    if (const std::string warning = unverifiedServerWarning(url); !warning.empty()) note("warning: " + warning);
    auto forwarder = std::make_unique<Forwarder>(forwardOptions(path, url, kConnectTimeout));
    forwarder->start();
    return forwarder;
}

void finishForwarding(std::unique_ptr<Forwarder> forwarder, const std::string& url, bool stopped,
                      const std::function<void(std::string)>& note) {
    if (!forwarder) return;
    forwarder->poke();
    const Forwarder::Tally t = forwarder->stop(stopped ? std::chrono::milliseconds(0) : Forwarder::kEndGrace);
    for (const std::string& text : forwardEndNotes(t, url)) note(text);
}

namespace {

int serverInit(const std::string& url, bool roles) {
    try {
        const auto server = connectRecordServer(url, kAskTimeout);
        const int version = roles ? server->migrateWithRoles() : server->migrate();
        std::printf(
            "records server %s: schema version %d%s\n", urlWithoutPassword(url).c_str(), version,
            roles ? "; roles unit_loader_owner (owns the tables) and unit_loader_writer (reads and appends)" : "");
        return exitcode::kSuccess;
    } catch (const RecordError& e) {
        std::fprintf(stderr, "unit-loader-cli: %s\n", e.what());
        return exitcode::kRecord;
    }
}

// What one check found: "intact", or every break, the first first. Whether it was intact.
bool reported(const std::string& what, const recordchain::Check& check, std::vector<recordchain::Break> more = {}) {
    std::vector<recordchain::Break> breaks = check.breaks;
    breaks.insert(breaks.end(), more.begin(), more.end());
    std::printf("%s: %lld events over %lld records", safetext::terminalSafe(what).c_str(),
                static_cast<long long>(check.events), static_cast<long long>(check.records));
    if (breaks.empty()) {
        std::printf(": intact\n");
        return true;
    }
    std::printf(": %zu %s\n", breaks.size(), breaks.size() == 1 ? "break" : "breaks");
    for (const recordchain::Break& b : breaks) std::printf("  %s\n", safetext::terminalSafe(b.text()).c_str());
    return false;
}

// The chains a records server keeps (only the file's, with `file`), each against the server's
// copies of its records; and the file's own chain against the server's copy of it.
int verifyServer(const std::string& url, RecordStore* file) {
    try {
        const auto server = connectRecordServer(url, kAskTimeout);
        std::optional<ChainState> local;
        if (file) {
            local = file->chain();
            if (!local) {
                std::fprintf(stderr, "unit-loader-cli: %s keeps no chain of events to verify\n", file->path().c_str());
                return exitcode::kRecord;
            }
            if (local->fileId.empty()) {
                std::fprintf(stderr,
                             "unit-loader-cli: %s is a journal, which is not sent to a records server: records "
                             "verify --records checks it here, records import reads it into an SQLite file\n",
                             file->path().c_str());
                return exitcode::kUsage;
            }
        }
        const std::vector<RecordServer::Chain> chains = server->chains(local ? local->fileId : std::string());
        std::vector<recordchain::Record> held;
        for (const Attempt& a : server->query({})) held.push_back({a.id, recordchain::digestOf(a)});
        bool intact = true;
        if (local) {
            const auto fileCheck = recordchain::check(local->events, local->records);
            const std::vector<recordchain::Event> none;
            const auto& serverEvents = chains.empty() ? none : chains.front().events;
            intact = reported(file->path(), fileCheck, recordchain::compare(local->events, serverEvents));
            if (chains.empty())
                std::printf("the records server %s holds none of this file's chain yet (records sync sends it)\n",
                            urlWithoutPassword(url).c_str());
        } else if (chains.empty()) {
            std::printf("the records server %s holds no chain yet\n", urlWithoutPassword(url).c_str());
        }
        for (const RecordServer::Chain& c : chains) {
            std::vector<recordchain::Break> refused;
            for (const RecordServer::ChainConflict& r : c.conflicts)
                refused.push_back({recordchain::Break::Kind::Refused, r.seq, {}, r.reason});
            intact = reported("on the server, the chain of station " + c.station + "'s file " + c.fileId,
                              recordchain::checkServer(c.events, refused, held)) &&
                     intact;
        }
        return intact ? exitcode::kSuccess : exitcode::kRecordsAltered;
    } catch (const RecordError& e) {
        std::fprintf(stderr, "unit-loader-cli: %s\n", e.what());
        return exitcode::kRecord;
    }
}

// The chain of the records file against its records: "intact", or every break, the first first.
int verifyChain(RecordStore& store) {
    std::optional<ChainState> chain;
    try {
        chain = store.chain();
    } catch (const RecordError& e) {
        std::fprintf(stderr, "unit-loader-cli: %s\n", e.what());
        return exitcode::kRecord;
    }
    if (!chain) {
        std::fprintf(stderr,
                     "unit-loader-cli: %s keeps no chain of events to verify (a records file of an "
                     "older schema: records migrate --records PATH starts its chain)\n",
                     store.path().c_str());
        return exitcode::kRecord;
    }
    const bool intact = reported(store.path(), recordchain::check(chain->events, chain->records), chain->found);
    if (chain->beforeChain > 0)
        std::printf("%lld %s from before the journal kept a chain %s not covered by it\n",
                    static_cast<long long>(chain->beforeChain), chain->beforeChain == 1 ? "line" : "lines",
                    chain->beforeChain == 1 ? "is" : "are");
    return intact ? exitcode::kSuccess : exitcode::kRecordsAltered;
}

int sync(const std::string& path, const std::string& url) {
    if (path.ends_with(".jsonl")) {
        std::fprintf(stderr,
                     "unit-loader-cli: %s is a journal, which keeps no queue for the records server: records "
                     "import reads it into an SQLite file, and records sync sends that\n",
                     path.c_str());
        return exitcode::kUsage;
    }
    try {
        // What the server refused before is tried again: the server may take it now.
        const auto store = openRecordStore(path);
        store->retryRefused();
        if (store->unsentCount() == 0 && store->unsentEventCount() == 0) {
            std::printf("0 attempts sent to %s: none queued\n", urlWithoutPassword(url).c_str());
            return exitcode::kSuccess;
        }
    } catch (const RecordError& e) {
        std::fprintf(stderr, "unit-loader-cli: %s\n", e.what());
        return exitcode::kRecord;
    }
    Forwarder::Options options = forwardOptions(path, url, kAskTimeout);
    options.refusedRetry = kSyncRefusedRetry;
    Forwarder forwarder(std::move(options));
    forwarder.start();
    const Forwarder::Tally t = forwarder.stop(kSyncLimit);
    std::printf("%s sent to %s", attemptsText(t.sent).c_str(), urlWithoutPassword(url).c_str());
    if (t.duplicates) std::printf(" (%d of them were there already)", t.duplicates);
    std::printf(", %d still queued", std::max(0, t.queued));
    if (!t.setAside.empty()) std::printf(", %zu set aside (refused by the server)", t.setAside.size());
    std::printf("\n");
    for (const RecordStore::Refusal& r : t.setAside)
        std::fprintf(stderr, "unit-loader-cli: attempt %s set aside: %s\n", safetext::terminalSafe(r.id).c_str(),
                     safetext::terminalSafe(r.error).c_str());
    // The server holds this file's chain otherwise than the file does: evidence for records verify.
    for (const RecordServer::ChainConflict& c : t.eventsRefused)
        std::fprintf(stderr,
                     "unit-loader-cli: event %lld of the records file's chain was refused by the server and kept "
                     "there as a conflict: %s; records verify --server names the break\n",
                     static_cast<long long>(c.seq), safetext::terminalSafe(c.reason).c_str());
    if (!t.eventsRefused.empty()) return exitcode::kRecordsAltered;
    if (!t.setAside.empty() && t.queued == 0 && t.lastError.empty()) return exitcode::kRecord;
    if (t.queued != 0 || !t.lastError.empty()) {
        std::fprintf(
            stderr, "unit-loader-cli: %s\n",
            t.lastError.empty() ? "the queue was not sent in time; run records sync again" : t.lastError.c_str());
        return exitcode::kRecord;
    }
    return exitcode::kSuccess;
}

// The queue for the records server, oldest first, with the server's error for an attempt it
// refused.
int listUnsent(RecordStore& store) {
    std::vector<RecordStore::Queued> queued;
    try {
        queued = store.queued();
    } catch (const RecordError& e) {
        std::fprintf(stderr, "unit-loader-cli: %s\n", e.what());
        return exitcode::kRecord;
    }
    std::printf("%-24s  %-8s  %-20s  %-14s  %-12s  %-32s  %2s  %s\n", "STARTED", "KIND", "PORT", "OUTCOME", "UNIT",
                "ID", "V", "SET ASIDE");
    for (RecordStore::Queued& q : queued) {
        const Attempt a = terminalSafe(q.attempt);
        std::printf("%-24s  %-8s  %-20s  %-14s  %-12s  %-32s  %2lld  %s\n", a.started_at.c_str(), a.kind.c_str(),
                    a.port.c_str(), a.outcome.c_str(), a.unit_id.empty() ? "-" : a.unit_id.c_str(), a.id.c_str(),
                    static_cast<long long>(a.version),
                    q.refused.empty() ? "-" : (q.refusedAt + " " + safetext::terminalSafe(q.refused)).c_str());
    }
    return exitcode::kSuccess;
}

}  // namespace

int recordsCommand(const RecordsQuery& q) {
    // A password typed on the command line is seen by everyone (ps) and kept in histories.
    if (urlHasPassword(q.server)) {
        std::fprintf(stderr, "unit-loader-cli: %s\n", passwordInUrlText().c_str());
        return exitcode::kUsage;
    }
    std::string server = q.server;
    if (q.action == "sync" || q.action == "server-init") {
        std::string why;
        if (server.empty()) server = recordsServerOf(RecordOptions{}, why);
        if (server.empty()) {
            std::fprintf(stderr, "unit-loader-cli: %s\n",
                         why.empty() ? "no records server: --server URL names one (or a RecordsServer line in "
                                       "the settings file)"
                                     : why.c_str());
            return exitcode::kUsage;
        }
        if (!recordServerBuilt()) {
            std::fprintf(stderr, "unit-loader-cli: this build cannot reach a records server\n");
            return exitcode::kRecord;
        }
    }

    if (const std::string warning = unverifiedServerWarning(server); !warning.empty())
        std::fprintf(stderr, "unit-loader-cli: warning: %s\n", warning.c_str());
    if (q.action == "server-init") return serverInit(server, q.roles);
    if (q.unsent && !q.server.empty()) {
        std::fprintf(stderr, "unit-loader-cli: --unsent lists the records file's queue, not a server's\n");
        return exitcode::kUsage;
    }
    if (q.history && q.server.empty()) {
        std::fprintf(stderr,
                     "unit-loader-cli: --history asks a records server (--server URL): the records file keeps one "
                     "version of each attempt\n");
        return exitcode::kUsage;
    }

    std::unique_ptr<RecordStore> store;
    std::unique_ptr<RecordServer> remote;
    const std::string path = recordsPathOf(RecordOptions{true, q.path, {}, {}, {}, {}});
    if (path.empty() && (q.server.empty() || q.action == "sync")) {
        std::fprintf(stderr,
                     "unit-loader-cli: this user has no home directory for the records file; --records PATH "
                     "names one\n");
        return exitcode::kUsage;
    }
    if (q.action == "sync") return sync(path, server);
    if (q.action == "verify" && !q.server.empty()) {
        // The file too when it is named.
        if (q.path.empty()) return verifyServer(q.server, nullptr);
        try {
            const auto file = openRecordStore(path, RecordAccess::Read);
            return verifyServer(q.server, file.get());
        } catch (const RecordError& e) {
            std::fprintf(stderr, "unit-loader-cli: %s\n", e.what());
            return exitcode::kRecord;
        }
    }
    // Only import and migrate write; every other command only reads.
    const bool writes = q.action == "import" || q.action == "migrate";
    bool missing = false;
    try {
        if (!q.server.empty())
            remote = connectRecordServer(q.server, kAskTimeout);
        else
            store = openRecordStore(path, writes ? RecordAccess::Write : RecordAccess::Read);
    } catch (const RecordError& e) {
        if (e.kind() != RecordError::Kind::Missing) {
            std::fprintf(stderr, "unit-loader-cli: %s\n", e.what());
            return exitcode::kRecord;
        }
        // Nothing recorded there yet: nothing to show, and nothing made by looking.
        std::fprintf(stderr, "unit-loader-cli: %s: nothing recorded there\n", e.what());
        missing = true;
    }
    if (q.action == "import") return importJournals(q.journals, *store);
    if (q.action == "verify") return missing ? exitcode::kRecord : verifyChain(*store);
    if (q.action == "migrate") {
        std::printf("%s: %s\n", path.c_str(),
                    path.ends_with(".jsonl") ? "a journal, which has no schema to bring up to date"
                                             : "the schema is up to date");
        return exitcode::kSuccess;
    }
    if (store && !store->note().empty()) std::fprintf(stderr, "unit-loader-cli: %s\n", store->note().c_str());
    AttemptFilter filter{q.since,      q.until, q.port,    q.outcome,     q.unitId,
                         q.fileSha256, q.id,    q.station, q.unitVersion, q.history};
    // A unit's version is that of its latest verdict, chosen after reading.
    if (q.action == "units") {
        filter.unitVersion.clear();
        filter.kind = kUnitKind;
    }
    std::vector<Attempt> attempts;
    try {
        if (!missing) attempts = remote ? remote->query(filter) : store->query(filter);
    } catch (const RecordError& e) {
        std::fprintf(stderr, "unit-loader-cli: %s\n", e.what());
        return exitcode::kRecord;
    }
    if (store && !store->skipped().empty()) {
        std::fprintf(stderr, "unit-loader-cli: %s: %zu lines skipped\n", path.c_str(), store->skipped().size());
        printSkipped(store->skipped(), stderr);
    }
    if (q.action == "units") return unitsList(attempts, q);
    // What a unit, an operator or an edited file put in the records is shown, never obeyed by the terminal.
    for (Attempt& a : attempts)
        if (q.action != "export") a = terminalSafe(a);
    if (q.action == "list" && q.unsent) return store ? listUnsent(*store) : exitcode::kSuccess;
    if (q.action == "list" && remote) {
        // Across stations: which station, and the unit's version where a check read it.
        // And which version of the attempt (V), when and from which login role the server had it.
        std::printf("%-24s  %-16s  %-8s  %-20s  %-14s  %-12s  %-16s  %-32s  %2s  %-24s  %s\n", "STARTED", "STATION",
                    "KIND", "PORT", "OUTCOME", "UNIT", "VERSION", "ID", "V", "RECEIVED", "BY");
        for (const Attempt& a : attempts)
            std::printf(
                "%-24s  %-16s  %-8s  %-20s  %-14s  %-12s  %-16s  %-32s  %2lld  %-24s  %s\n", a.started_at.c_str(),
                a.station.c_str(), a.kind.c_str(), a.port.c_str(), a.outcome.empty() ? "(running)" : a.outcome.c_str(),
                a.unit_id.empty() ? "-" : a.unit_id.c_str(), a.unit_version.empty() ? "-" : a.unit_version.c_str(),
                a.id.c_str(), static_cast<long long>(a.version), a.received_at.empty() ? "-" : a.received_at.c_str(),
                a.received_by.empty() ? "-" : safetext::terminalSafe(a.received_by).c_str());
        return exitcode::kSuccess;
    }
    if (q.action == "list") {
        std::printf("%-24s  %-8s  %-20s  %-14s  %-12s  %s\n", "STARTED", "KIND", "PORT", "OUTCOME", "UNIT", "ID");
        for (const Attempt& a : attempts)
            std::printf("%-24s  %-8s  %-20s  %-14s  %-12s  %s\n", a.started_at.c_str(), a.kind.c_str(), a.port.c_str(),
                        a.outcome.empty() ? "(running)" : a.outcome.c_str(),
                        a.unit_id.empty() ? "-" : a.unit_id.c_str(), a.id.c_str());
        return exitcode::kSuccess;
    }
    if (q.action == "show") {
        if (attempts.size() != 1) {
            std::fprintf(stderr, "unit-loader-cli: %s attempt has the id %s\n",
                         attempts.empty() ? "no" : "more than one", q.id.c_str());
            return exitcode::kUsage;
        }
        const auto& names = attemptFieldNames();
        const auto values = attemptFieldValues(attempts.front());
        for (std::size_t i = 0; i < names.size(); ++i)
            std::printf("%-15s %s\n", (names[i] + ":").c_str(), values[i].c_str());
        return exitcode::kSuccess;
    }
    if (q.action == "export") {
        // The fields, then what the server keeps of each version (empty in a local file's).
        if (q.format == "csv") {
            std::vector<std::string> names = attemptFieldNames();
            names.insert(names.end(), {"version", "received_at", "received_by"});
            std::fputs(csvLine(names).c_str(), stdout);
            for (const Attempt& a : attempts) {
                std::vector<std::string> values = attemptFieldValues(a);
                values.insert(values.end(), {std::to_string(a.version), a.received_at, a.received_by});
                std::fputs(csvLine(values).c_str(), stdout);
            }
        } else {
            for (const Attempt& a : attempts) {
                nlohmann::ordered_json j = attemptJson(a);
                j["version"] = a.version;
                const auto text = [](const std::string& t) {
                    return t.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(safetext::utf8Escaped(t));
                };
                j["received_at"] = text(a.received_at);
                j["received_by"] = text(a.received_by);
                std::printf("%s\n", j.dump().c_str());
            }
        }
        return exitcode::kSuccess;
    }
    return summary(attempts, remote != nullptr);
}

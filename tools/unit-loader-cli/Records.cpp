#include "Records.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "AttemptJson.h"
#include "AttemptRecorder.h"
#include "ExitCode.h"
#include "RecordStore.h"
#include "SettingsFile.h"

namespace {

std::string csvField(const std::string& value) {
    if (value.find_first_of(",\"\r\n") == std::string::npos) return value;
    std::string quoted = "\"";
    for (char c : value) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string csvLine(const std::vector<std::string>& fields) {
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) line += (i ? "," : "") + csvField(fields[i]);
    return line + "\r\n";
}

std::string pad(std::string text, std::size_t width) {
    if (text.size() < width) text += std::string(width - text.size(), ' ');
    return text;
}

int summary(const std::vector<Attempt>& attempts) {
    struct Group {
        int attempts = 0;
        int passes = 0;
        std::map<std::string, std::pair<std::string, bool>> firstByUnit;  // unit -> (started_at, passed)
        std::vector<std::int64_t> durations;
        std::map<std::string, int> failures;
    };
    std::map<std::pair<std::string, std::string>, Group> groups;
    for (const Attempt& a : attempts) {
        Group& g = groups[{a.started_at.substr(0, 10), a.port}];
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
        std::printf("%s  %s  %8d  %6d  %9s  %10s  %s\n", pad(key.first, 10).c_str(), key.second.c_str(), g.attempts,
                    g.passes, yield, median.c_str(), failures.empty() ? "-" : failures.c_str());
    }
    return exitcode::kSuccess;
}

}  // namespace

std::string recordsPathOf(const RecordOptions& options) {
    if (!options.path.empty()) return options.path;
    SettingsFile settings;
    return recordsPathOf(options.path, settings.readFile() ? settings.get(kRecordsSettingsKey) : std::string());
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

int importJournals(const std::vector<std::string>& journals, RecordStore& store) {
    int status = exitcode::kSuccess;
    for (const std::string& journal : journals) {
        try {
            const ImportCount n = importJournal(journal, store);
            std::printf("%s: %d attempts, %d new", journal.c_str(), n.attempts, n.added);
            if (n.unended) std::printf(", %d without an end (taken as interrupted)", n.unended);
            if (n.badLines) std::printf(", %d lines that are no journal event skipped", n.badLines);
            std::printf("\n");
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
        return std::make_unique<FileRecorder>(
            std::make_unique<AttemptRecorder>(openRecordStore(recordsPathOf(options)),
                                              AttemptPeople{options.operatorName, options.unitId, options.note}, port));
    } catch (const RecordError& e) {
        why = e.what();
        return nullptr;
    }
}

int recordsCommand(const RecordsQuery& q) {
    std::unique_ptr<RecordStore> store;
    const std::string path = recordsPathOf(RecordOptions{true, q.path, {}, {}, {}});
    if (path.empty()) {
        std::fprintf(stderr,
                     "unit-loader-cli: this user has no home directory for the records file; --records PATH "
                     "names one\n");
        return exitcode::kUsage;
    }
    try {
        store = openRecordStore(path);
    } catch (const RecordError& e) {
        std::fprintf(stderr, "unit-loader-cli: %s\n", e.what());
        return exitcode::kRecord;
    }
    if (q.action == "import") return importJournals(q.journals, *store);
    AttemptFilter filter{q.since, q.until, q.port, q.outcome, q.unitId, q.fileSha256, q.id};
    std::vector<Attempt> attempts;
    try {
        attempts = store->query(filter);
    } catch (const RecordError& e) {
        std::fprintf(stderr, "unit-loader-cli: %s\n", e.what());
        return exitcode::kRecord;
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
        if (q.format == "csv") {
            std::fputs(csvLine(attemptFieldNames()).c_str(), stdout);
            for (const Attempt& a : attempts) std::fputs(csvLine(attemptFieldValues(a)).c_str(), stdout);
        } else {
            for (const Attempt& a : attempts) std::printf("%s\n", attemptJson(a).dump().c_str());
        }
        return exitcode::kSuccess;
    }
    return summary(attempts);
}

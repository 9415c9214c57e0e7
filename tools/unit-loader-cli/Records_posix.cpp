#include "Records.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>

#include "AttemptOf.h"
#include "ExitCode.h"
#include "RecordStore.h"
#include "SettingsFile.h"

namespace {

constexpr const char* kRecordsKey = "Records";

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

nlohmann::ordered_json jsonOf(const Attempt& a) {
    nlohmann::ordered_json j = nlohmann::ordered_json::object();
    const auto& names = attemptFieldNames();
    const auto values = attemptFieldValues(a);
    for (std::size_t i = 0; i < names.size(); ++i) {
        const bool number = names[i] == "duration_ms" || names[i] == "baud" || names[i] == "file_size" ||
                            names[i] == "blank_blocks" || names[i] == "exit_code";
        if (values[i].empty())
            j[names[i]] = nullptr;
        else if (number)
            j[names[i]] = std::stoll(values[i]);
        else
            j[names[i]] = values[i];
    }
    return j;
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
    if (const char* env = std::getenv("UNIT_LOADER_RECORDS"); env && *env) return env;
    SettingsFile settings;
    if (settings.readFile())
        if (std::string path = settings.get(kRecordsKey); !path.empty()) return path;
    return defaultRecordsPath();
}

namespace {

class FileRecorder : public RunRecorder {
public:
    FileRecorder(RecordOptions options, std::string port, std::unique_ptr<RecordStore> store)
        : impl_(std::make_unique<Impl>()) {
        impl_->options = std::move(options);
        impl_->port = std::move(port);
        impl_->store = std::move(store);
    }
    std::optional<std::string> begin(const RunStart& start) override;
    std::optional<std::string> end(const RunReport& report, const RunResult& result) override;

private:
    struct Impl {
        RecordOptions options;
        std::string port;
        std::unique_ptr<RecordStore> store;
        AttemptContext context;
        bool begun = false;
    };
    std::unique_ptr<Impl> impl_;
};

}  // namespace

std::unique_ptr<RunRecorder> openRecorder(const RecordOptions& options, const std::string& port, std::string& why) {
    why.clear();
    try {
        return std::make_unique<FileRecorder>(options, port, openRecordStore(recordsPathOf(options)));
    } catch (const RecordError& e) {
        why = e.what();
        return nullptr;
    }
}

std::optional<std::string> FileRecorder::begin(const RunStart& start) {
    if (!impl_->store) return "the records file is not open";
    AttemptContext& c = impl_->context;
    c.id = newAttemptId();
    c.operatorName = impl_->options.operatorName.empty() ? loginName() : impl_->options.operatorName;
    c.unitId = impl_->options.unitId;
    c.port = impl_->port;
    c.portId = stablePortId(impl_->port);
    c.note = impl_->options.note;
    std::uint32_t size = 0, blank = 0;
    std::uint16_t crc = 0;
    if (start.image && start.image->isLoaded()) {
        c.fileSha256 = sha256Hex(start.image->bytes().bytes());
        size = start.image->size();
        crc = start.image->fileCrc();
        blank = start.image->blankBlocks();
    }
    try {
        impl_->store->begin(begunAttempt(start.kind, c, start.baud, start.file, size, crc, blank));
    } catch (const RecordError& e) {
        return e.what();
    }
    impl_->begun = true;
    return std::nullopt;
}

std::optional<std::string> FileRecorder::end(const RunReport& report, const RunResult& result) {
    if (!impl_->begun) return std::nullopt;
    try {
        impl_->store->end(endedAttempt(report, impl_->context, exitcode::name(result.exitCode), result.exitCode));
    } catch (const RecordError& e) {
        return e.what();
    }
    return std::nullopt;
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
            for (const Attempt& a : attempts) std::printf("%s\n", jsonOf(a).dump().c_str());
        }
        return exitcode::kSuccess;
    }
    return summary(attempts);
}

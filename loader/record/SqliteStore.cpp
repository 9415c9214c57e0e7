// The records in an SQLite file: WAL, so that many processes write at once; full sync, so that
// a begun or ended attempt is on disk when the call returns.
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <type_traits>

#include "AttemptJson.h"
#include "AttemptOf.h"
#include "RecordChain.h"
#include "RecordFile.h"
#include "RecordStore.h"

namespace {

constexpr int kBusyMs = 15000;

// Each step brings the schema from its index to the next version (user_version).
const char* const kMigrations[] = {
    "CREATE TABLE attempts ("
    " id TEXT PRIMARY KEY, kind TEXT NOT NULL, started_at TEXT NOT NULL, ended_at TEXT, duration_ms INTEGER,"
    " station TEXT, operator TEXT, unit_id TEXT, port TEXT, port_id TEXT, baud INTEGER, file TEXT,"
    " file_size INTEGER, file_sha256 TEXT, file_crc TEXT, blank_blocks INTEGER, outcome TEXT, exit_code INTEGER,"
    " box_caption TEXT, box_text TEXT, unit_crc TEXT, verify_result TEXT, unit_version TEXT, retries TEXT,"
    " link_error TEXT, loader_version TEXT, note TEXT,"
    " pid INTEGER);"  // the process that began it, to find attempts whose process has gone
    "CREATE INDEX attempts_started ON attempts(started_at);"
    "CREATE INDEX attempts_port ON attempts(port);",
    // The forward queue for a records server: an attempt is queued whenever its row is updated
    // with an outcome (ended, marked interrupted, imported), and leaves it only when a server
    // has committed it. The attempts recorded before there was a queue are queued too: the
    // server should know the station's history.
    "CREATE TABLE unsent (id TEXT PRIMARY KEY);"
    "INSERT INTO unsent (id) SELECT id FROM attempts WHERE outcome IS NOT NULL AND outcome <> '';"
    "CREATE TRIGGER attempts_queue AFTER UPDATE ON attempts WHEN NEW.outcome IS NOT NULL AND NEW.outcome <> ''"
    " BEGIN INSERT OR IGNORE INTO unsent (id) VALUES (NEW.id); END;",
    // An ended record never changes: an imported attempt that differs from the one kept is kept
    // here, beside it, as JSON with the journal it came from and why it conflicts; once.
    "CREATE TABLE conflicts (id INTEGER PRIMARY KEY, attempt_id TEXT NOT NULL, found_at TEXT NOT NULL,"
    " source TEXT NOT NULL, reason TEXT NOT NULL, attempt TEXT NOT NULL, UNIQUE (attempt_id, attempt));",
    // The server only appends: a change to an attempt after the server acknowledged it (an end
    // or an import's completion) goes as the attempt's next version. `sent_version` is the
    // version the server acknowledged; the attempts sent before are taken as its version 1.
    "ALTER TABLE attempts ADD COLUMN version INTEGER NOT NULL DEFAULT 1;"
    "ALTER TABLE attempts ADD COLUMN sent_version INTEGER;"
    "UPDATE attempts SET sent_version = 1 WHERE outcome IS NOT NULL AND outcome <> '' AND id NOT IN (SELECT id FROM "
    "unsent);"
    "DROP TRIGGER attempts_queue;"
    "CREATE TRIGGER attempts_queue AFTER UPDATE OF kind, started_at, ended_at, duration_ms, station, operator, unit_id,"
    " port, port_id, baud, file, file_size, file_sha256, file_crc, blank_blocks, outcome, exit_code, box_caption,"
    " box_text, unit_crc, verify_result, unit_version, retries, link_error, loader_version, note ON attempts"
    " WHEN NEW.outcome IS NOT NULL AND NEW.outcome <> ''"
    " BEGIN UPDATE attempts SET version = version + 1 WHERE id = NEW.id AND sent_version = version;"
    " INSERT OR IGNORE INTO unsent (id) VALUES (NEW.id); END;",
    // An attempt the server refused stays queued, set aside with the server's error, until it
    // changes (then it is tried again) or a records sync tries it again.
    "ALTER TABLE unsent ADD COLUMN refused TEXT;"
    "ALTER TABLE unsent ADD COLUMN refused_at TEXT;"
    "CREATE TRIGGER attempts_retry AFTER UPDATE OF kind, started_at, ended_at, duration_ms, station, operator, unit_id,"
    " port, port_id, baud, file, file_size, file_sha256, file_crc, blank_blocks, outcome, exit_code, box_caption,"
    " box_text, unit_crc, verify_result, unit_version, retries, link_error, loader_version, note ON attempts"
    " BEGIN UPDATE unsent SET refused = NULL, refused_at = NULL WHERE id = NEW.id; END;",
    // Tamper evidence (RecordChain.h): an event per change of a record, each linked to the one
    // before. The records kept before there was a chain are adopted into it as they are.
    "CREATE TABLE chain (seq INTEGER PRIMARY KEY, at TEXT NOT NULL, event TEXT NOT NULL, record_id TEXT NOT NULL,"
    " digest TEXT NOT NULL, prev TEXT NOT NULL, link TEXT NOT NULL);"
    "CREATE INDEX chain_record ON chain(record_id);"
    "CREATE TABLE chain_file (id TEXT NOT NULL, sent_seq INTEGER NOT NULL DEFAULT 0);"
    "INSERT INTO chain_file (id) VALUES (lower(hex(randomblob(16))));",
    // A station's verdict on each unit is a record of kind "unit"; the attempts it judged carry
    // its id.
    "ALTER TABLE attempts ADD COLUMN job TEXT;"
    "ALTER TABLE attempts ADD COLUMN job_sha256 TEXT;"
    "ALTER TABLE attempts ADD COLUMN expect_version TEXT;"
    "ALTER TABLE attempts ADD COLUMN slot TEXT;"
    "ALTER TABLE attempts ADD COLUMN verdict TEXT;"
    "ALTER TABLE attempts ADD COLUMN verdict_reason TEXT;"
    "ALTER TABLE attempts ADD COLUMN verdict_id TEXT;"
    "ALTER TABLE attempts ADD COLUMN download_id TEXT;"
    "ALTER TABLE attempts ADD COLUMN version_id TEXT;"
    "CREATE INDEX attempts_verdict ON attempts(verdict_id);"
    "CREATE INDEX attempts_unit ON attempts(unit_id);",
};
constexpr int kChainSchema = 6;
const char* const kColumns =
    "id, kind, started_at, ended_at, duration_ms, station, operator, unit_id, port, port_id, baud, file, file_size, "
    "file_sha256, file_crc, blank_blocks, outcome, exit_code, box_caption, box_text, unit_crc, verify_result, "
    "unit_version, retries, link_error, loader_version, note";
// The verdict's columns, which a file of schema 5 or older lacks.
const char* const kVerdictColumns =
    ", job, job_sha256, expect_version, slot, verdict, verdict_reason, verdict_id, download_id, version_id";
const char* const kNoVerdictColumns = ", NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL";
constexpr int kVerdictSchema = 7;
constexpr int kSchemaVersion = static_cast<int>(std::size(kMigrations));

std::string hostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "unknown";
    return name;
}

class Statement {
public:
    Statement(sqlite3* db, const std::string& sql, const std::function<void(int, const std::string&)>& fail) : db_(db) {
        const int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr);
        if (rc != SQLITE_OK) fail(rc, sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    void bind(int i, const std::string& text) { sqlite3_bind_text(stmt_, i, text.c_str(), -1, SQLITE_TRANSIENT); }
    void bind(int i, std::int64_t value) { sqlite3_bind_int64(stmt_, i, value); }
    void bind(int i, const std::optional<std::int64_t>& value) {
        if (value)
            bind(i, *value);
        else
            sqlite3_bind_null(stmt_, i);
    }
    int step() { return sqlite3_step(stmt_); }
    std::string text(int i) {
        const auto* t = sqlite3_column_text(stmt_, i);
        return t ? reinterpret_cast<const char*>(t) : "";
    }
    std::optional<std::int64_t> number(int i) {
        if (sqlite3_column_type(stmt_, i) == SQLITE_NULL) return std::nullopt;
        return sqlite3_column_int64(stmt_, i);
    }

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

class SqliteStore : public RecordStore {
public:
    SqliteStore(std::string path, RecordAccess access) : path_(std::move(path)) {
        std::error_code ec;
        for (const char* suffix : {"", "-wal", "-shm"})
            if (auto refused = recordfile::refuseLink(path_ + suffix, "records file")) throw *refused;
        if (access == RecordAccess::Read) {
            if (!std::filesystem::exists(path_, ec))
                throw RecordError(RecordError::Kind::Missing, "no records file at " + path_ + " yet");
        } else {
            // Private: SQLite gives its -wal and -shm files the mode of the file.
            recordfile::makeFolders(path_);
            recordfile::makePrivate(path_);
        }
        const int flags =
            SQLITE_OPEN_NOFOLLOW |
            (access == RecordAccess::Read ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        const int rc = sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr);
        // A file refused here leaves no handle behind: the destructor does not run for it.
        try {
            if (rc != SQLITE_OK) fail(rc, db_ ? sqlite3_errmsg(db_) : "cannot open");
            sqlite3_busy_timeout(db_, kBusyMs);
            if (access == RecordAccess::Read) {
                readable();
                return;
            }
            walMode();
            exec("PRAGMA synchronous=FULL");
            migrate();
            markInterrupted();
        } catch (...) {
            sqlite3_close(db_);
            throw;
        }
    }
    ~SqliteStore() override { sqlite3_close(db_); }

    bool begin(const Attempt& a) override {
        return transaction([&] {
            insert(a, static_cast<std::int64_t>(::getpid()));
            const bool added = sqlite3_changes(db_) > 0;
            if (added) appendEvent("begin", a.id);
            return added;
        });
    }

    void end(const Attempt& a) override {
        transaction([&] {
            update(a);
            if (sqlite3_changes(db_) == 0)
                throw RecordError(RecordError::Kind::Other, "the records file " + path_ + ": attempt " + a.id +
                                                                " was not begun here or has ended already; an ended "
                                                                "record is not changed");
            appendEvent("end", a.id);
            return true;
        });
    }

    std::string chainFileId() override {
        if (readVersion_ < kChainSchema) return {};
        Statement s(db_, "SELECT id FROM chain_file", failer());
        return s.step() == SQLITE_ROW ? s.text(0) : std::string();
    }
    std::vector<recordchain::Event> unsentEvents(std::size_t limit) override {
        if (readVersion_ < kChainSchema) return {};
        Statement s(db_,
                    "SELECT seq, at, event, record_id, digest, prev, link FROM chain WHERE seq > (SELECT sent_seq "
                    "FROM chain_file) ORDER BY seq LIMIT ?1",
                    failer());
        s.bind(1, static_cast<std::int64_t>(limit));
        return events(s);
    }
    void markEventsSent(std::int64_t upTo) override {
        Statement s(db_, "UPDATE chain_file SET sent_seq = max(sent_seq, ?1)", failer());
        s.bind(1, upTo);
        done(s);
    }
    std::int64_t unsentEventCount() override {
        if (readVersion_ < kChainSchema) return 0;
        Statement s(db_, "SELECT count(*) FROM chain WHERE seq > (SELECT sent_seq FROM chain_file)", failer());
        if (s.step() != SQLITE_ROW) fail(sqlite3_errcode(db_), sqlite3_errmsg(db_));
        return s.number(0).value_or(0);
    }

    std::optional<ChainState> chain() override {
        if (readVersion_ < kChainSchema) return std::nullopt;
        ChainState state;
        state.fileId = chainFileId();
        Statement all(db_, "SELECT seq, at, event, record_id, digest, prev, link FROM chain ORDER BY seq", failer());
        state.events = events(all);
        Statement rowsOf(db_, std::string("SELECT ") + columns() + " FROM attempts ORDER BY rowid", failer());
        for (const Attempt& a : rows(rowsOf)) state.records.push_back({a.id, recordchain::digestOf(a)});
        return state;
    }

    ImportResult importAttempt(const Attempt& a, const std::string& source) override {
        exec("BEGIN IMMEDIATE");
        try {
            AttemptFilter one;
            one.id = a.id;
            std::optional<Attempt> kept;
            for (Attempt& k : query(one))
                if (k.id == a.id) kept = std::move(k);
            const Merge merge = mergeOf(kept ? &*kept : nullptr, a);
            ImportResult result{Imported::Unchanged, merge.reason};
            switch (merge.kind) {
            case MergeKind::Same: break;
            case MergeKind::Add:
                insert(a, std::nullopt);
                appendEvent("import", a.id);
                if (!a.outcome.empty()) {
                    Statement s(db_, "INSERT OR IGNORE INTO unsent (id) VALUES (?1)", failer());
                    s.bind(1, a.id);
                    done(s);
                }
                result.what = Imported::Added;
                break;
            case MergeKind::Complete:
                update(a);
                result.what = sqlite3_changes(db_) > 0 ? Imported::Completed : Imported::Unchanged;
                if (result.what == Imported::Completed) appendEvent("import", a.id);
                break;
            case MergeKind::Conflict: {
                Statement s(db_,
                            "INSERT OR IGNORE INTO conflicts (attempt_id, found_at, source, reason, attempt) "
                            "VALUES (?1, ?2, ?3, ?4, ?5)",
                            failer());
                s.bind(1, a.id);
                s.bind(2, isoTime(std::chrono::system_clock::now()));
                s.bind(3, source);
                s.bind(4, merge.reason);
                s.bind(5, attemptJson(a).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
                done(s);
                result.what = sqlite3_changes(db_) > 0 ? Imported::Conflict : Imported::ConflictKnown;
                break;
            }
            }
            exec("COMMIT");
            return result;
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }
    std::string conflictPlace() const override { return "in the table conflicts of " + path_; }

    std::string note() const override { return note_; }

    std::vector<Attempt> query(const AttemptFilter& f) override {
        Statement s(db_,
                    std::string("SELECT ") + columns() +
                        " FROM attempts WHERE (?1 = '' OR started_at >= ?1) AND (?2 = '' OR started_at < ?2) "
                        "AND (?3 = '' OR port = ?3) AND (?4 = '' OR outcome = ?4) AND (?5 = '' OR unit_id = ?5) "
                        "AND (?6 = '' OR file_sha256 = ?6) AND (?7 = '' OR substr(id, 1, length(?7)) = ?7) "
                        "AND (?8 = '' OR station = ?8) AND (?9 = '' OR unit_version = ?9) "
                        "AND (?10 = '' OR kind = ?10) ORDER BY started_at DESC, rowid DESC",
                    failer());
        const std::string* binds[] = {&f.since,      &f.until, &f.port,    &f.outcome,     &f.unitId,
                                      &f.fileSha256, &f.id,    &f.station, &f.unitVersion, &f.kind};
        for (int i = 0; i < 10; ++i) s.bind(i + 1, *binds[i]);
        std::vector<Attempt> found = rows(s);
        if (reading_) {
            // What opening it to record would mark, shown so without writing it.
            const auto gone = goneWithoutEnd();
            for (Attempt& a : found)
                if (std::find(gone.begin(), gone.end(), a.id) != gone.end()) markedInterrupted(a);
        }
        return found;
    }

    bool queues() const override { return true; }

    std::vector<Attempt> unsent(std::size_t limit) override {
        Statement s(db_,
                    std::string("SELECT ") + columns() +
                        " FROM attempts WHERE id IN (SELECT id FROM unsent WHERE refused IS NULL) "
                        "ORDER BY started_at, rowid LIMIT ?1",
                    failer());
        s.bind(1, static_cast<std::int64_t>(limit));
        return rows(s);
    }

    void markSent(const std::vector<Attempt>& sent) override {
        if (sent.empty()) return;
        exec("BEGIN IMMEDIATE");
        try {
            for (const Attempt& a : sent) {
                AttemptFilter one;
                one.id = a.id;
                std::optional<Attempt> now;
                for (Attempt& k : query(one))
                    if (k.id == a.id) now = std::move(k);
                if (!now) continue;
                Statement acknowledged(
                    db_, "UPDATE attempts SET sent_version = max(coalesce(sent_version, 0), ?2) WHERE id = ?1",
                    failer());
                acknowledged.bind(1, a.id);
                acknowledged.bind(2, a.version);
                done(acknowledged);
                if (now->version != a.version) continue;  // changed after it was acknowledged: queued as it is
                // Changed while it was on its way: the server has the version as it was, so the
                // change goes as the next one.
                const bool changed = attemptFieldValues(*now) != attemptFieldValues(a);
                Statement s(db_,
                            changed ? "UPDATE attempts SET version = version + 1 WHERE id = ?1"
                                    : "DELETE FROM unsent WHERE id = ?1",
                            failer());
                s.bind(1, a.id);
                done(s);
            }
            exec("COMMIT");
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }

    std::int64_t unsentCount() override {
        Statement s(db_, "SELECT count(*) FROM unsent WHERE refused IS NULL", failer());
        const int rc = s.step();
        if (rc != SQLITE_ROW) fail(rc, sqlite3_errmsg(db_));
        return s.number(0).value_or(0);
    }

    void setAside(const std::vector<Refusal>& refused) override {
        const std::string now = isoTime(std::chrono::system_clock::now());
        for (const Refusal& r : refused) {
            Statement s(db_, "UPDATE unsent SET refused = ?2, refused_at = ?3 WHERE id = ?1", failer());
            s.bind(1, r.id);
            s.bind(2, r.error);
            s.bind(3, now);
            done(s);
        }
    }

    std::int64_t retryRefused() override {
        exec("UPDATE unsent SET refused = NULL, refused_at = NULL WHERE refused IS NOT NULL");
        return sqlite3_changes(db_);
    }

    std::vector<Queued> queued() override {
        if (readVersion_ < 2) return {};       // no queue yet
        const bool marks = readVersion_ >= 5;  // an older file read as it is sets nothing aside
        Statement s(db_,
                    std::string("SELECT ") + columns() + (marks ? ", u.refused, u.refused_at" : ", NULL, NULL") +
                        " FROM attempts JOIN unsent u USING (id) ORDER BY started_at, attempts.rowid",
                    failer());
        std::vector<std::pair<std::string, std::string>> refusals;
        std::vector<Queued> out;
        std::vector<Attempt> attempts = rows(s, &refusals);
        for (std::size_t i = 0; i < attempts.size(); ++i)
            out.push_back({std::move(attempts[i]), refusals[i].first, refusals[i].second});
        return out;
    }

    const std::string& path() const override { return path_; }

private:
    [[noreturn]] void fail(int rc, const std::string& detail) const {
        const std::string where = "the records file " + path_ + ": " + detail;
        switch (rc & 0xFF) {
        case SQLITE_READONLY:
            throw RecordError(RecordError::Kind::ReadOnly,
                              where + "; make the file and its folder writable, or name another with --records");
        case SQLITE_CANTOPEN:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            throw RecordError(RecordError::Kind::CannotOpen,
                              where +
                                  "; check that its folder exists and may be written, or name another file "
                                  "with --records");
        case SQLITE_FULL:
        case SQLITE_IOERR: throw RecordError(RecordError::Kind::Full, where + "; free some disk space, then run again");
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            throw RecordError(RecordError::Kind::Corrupt,
                              where +
                                  "; the file is damaged or no records file: move it aside (keep it for the "
                                  "records it may hold) and run again, or name another with --records");
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            throw RecordError(RecordError::Kind::Locked,
                              where +
                                  "; another program holds it locked: close it (an open sqlite3 session, say) "
                                  "and run again");
        default: throw RecordError(RecordError::Kind::Other, where);
        }
    }
    // An id already there is left as it is.
    void insert(const Attempt& a, std::optional<std::int64_t> pid) {
        Statement s(db_,
                    "INSERT INTO attempts (id, kind, started_at, ended_at, duration_ms, station, operator, unit_id, "
                    "port, port_id, baud, file, file_size, file_sha256, file_crc, blank_blocks, outcome, exit_code, "
                    "box_caption, box_text, unit_crc, verify_result, unit_version, retries, link_error, "
                    "loader_version, note, job, job_sha256, expect_version, slot, verdict, verdict_reason, "
                    "verdict_id, download_id, version_id, pid) VALUES (?1, ?2, ?3, NULLIF(?4, ''), ?5, ?6, ?7, ?8, "
                    "?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19, ?20, ?21, ?22, ?23, ?24, ?25, ?26, ?27, "
                    "?28, ?29, ?30, ?31, ?32, ?33, ?34, ?35, ?36, ?37) "
                    "ON CONFLICT(id) DO NOTHING",
                    failer());
        bindAll(s, a);
        s.bind(37, pid);
        done(s);
    }
    // Only a record without an end: one that has ended is never changed.
    void update(const Attempt& a) {
        Statement s(db_,
                    "UPDATE attempts SET kind = ?2, started_at = ?3, ended_at = NULLIF(?4, ''), duration_ms = ?5, "
                    "station = ?6, operator = ?7, unit_id = ?8, port = ?9, port_id = ?10, baud = ?11, file = ?12, "
                    "file_size = ?13, file_sha256 = ?14, file_crc = ?15, blank_blocks = ?16, outcome = ?17, "
                    "exit_code = ?18, box_caption = ?19, box_text = ?20, unit_crc = ?21, verify_result = ?22, "
                    "unit_version = ?23, retries = ?24, link_error = ?25, loader_version = ?26, note = ?27, "
                    "job = ?28, job_sha256 = ?29, expect_version = ?30, slot = ?31, verdict = ?32, "
                    "verdict_reason = ?33, verdict_id = ?34, download_id = ?35, version_id = ?36 "
                    "WHERE id = ?1 AND ended_at IS NULL",
                    failer());
        bindAll(s, a);
        done(s);
    }
    std::function<void(int, const std::string&)> failer() const {
        return [this](int rc, const std::string& detail) { fail(rc, detail); };
    }
    // `work` in one transaction, which it ends: a record and its chain event are written together.
    template <typename Work>
    std::invoke_result_t<Work> transaction(Work&& work) {
        exec("BEGIN IMMEDIATE");
        try {
            auto result = work();
            exec("COMMIT");
            return result;
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }
    std::vector<recordchain::Event> events(Statement& s) {
        std::vector<recordchain::Event> out;
        for (int rc; (rc = s.step()) != SQLITE_DONE;) {
            if (rc != SQLITE_ROW) fail(rc, sqlite3_errmsg(db_));
            out.push_back({s.number(0).value_or(0), s.text(1), s.text(2), s.text(3), s.text(4), s.text(5), s.text(6)});
        }
        return out;
    }
    // The chain's next event for the record `id` as it is now; within the caller's transaction.
    void appendEvent(const std::string& event, const std::string& id) {
        Statement row(db_, std::string("SELECT ") + columns() + " FROM attempts WHERE id = ?1", failer());
        row.bind(1, id);
        const std::vector<Attempt> found = rows(row);
        if (found.empty()) return;
        std::optional<recordchain::Event> last;
        {
            Statement s(db_,
                        "SELECT seq, at, event, record_id, digest, prev, link FROM chain ORDER BY seq DESC LIMIT 1",
                        failer());
            if (s.step() == SQLITE_ROW)
                last = recordchain::Event{
                    s.number(0).value_or(0), s.text(1), s.text(2), s.text(3), s.text(4), s.text(5), s.text(6)};
        }
        const recordchain::Event e = recordchain::next(last, isoTime(std::chrono::system_clock::now()), event, id,
                                                       recordchain::digestOf(found.front()));
        Statement s(db_,
                    "INSERT INTO chain (seq, at, event, record_id, digest, prev, link) VALUES (?1, ?2, ?3, ?4, ?5, ?6, "
                    "?7)",
                    failer());
        s.bind(1, e.seq);
        int i = 2;
        for (const std::string* t : {&e.at, &e.event, &e.recordId, &e.digest, &e.prev, &e.link}) s.bind(i++, *t);
        done(s);
    }
    void exec(const std::string& sql) {
        char* message = nullptr;
        const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
        const std::string detail = message ? message : "";
        sqlite3_free(message);
        if (rc != SQLITE_OK) fail(rc, detail);
    }
    // Changing the journal mode takes the file to itself, and SQLite does not wait for that:
    // a second program (or the forwarder's connection) opening a new file at the same moment
    // got "database is locked" at once. It waits as for any other lock.
    void walMode() {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyMs);
        for (;;) {
            char* message = nullptr;
            const int rc = sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, &message);
            const std::string detail = message ? message : "";
            sqlite3_free(message);
            if (rc == SQLITE_OK) return;
            if ((rc & 0xFF) != SQLITE_BUSY || std::chrono::steady_clock::now() >= until) fail(rc, detail);
            sqlite3_sleep(10);
        }
    }
    void done(Statement& s) {
        const int rc = s.step();
        if (rc != SQLITE_DONE) fail(rc, sqlite3_errmsg(db_));
    }
    void bindAll(Statement& s, const Attempt& a) {
        int i = 1;
        for (const std::string* t : {&a.id, &a.kind, &a.started_at, &a.ended_at}) s.bind(i++, *t);
        s.bind(i++, a.duration_ms);
        for (const std::string* t : {&a.station, &a.operator_, &a.unit_id, &a.port, &a.port_id}) s.bind(i++, *t);
        s.bind(i++, a.baud);
        s.bind(i++, a.file);
        s.bind(i++, a.file_size);
        s.bind(i++, a.file_sha256);
        s.bind(i++, a.file_crc);
        s.bind(i++, a.blank_blocks);
        s.bind(i++, a.outcome);
        s.bind(i++, a.exit_code);
        for (const std::string* t :
             {&a.box_caption, &a.box_text, &a.unit_crc, &a.verify_result, &a.unit_version, &a.retries, &a.link_error,
              &a.loader_version, &a.note, &a.job, &a.job_sha256, &a.expect_version, &a.slot, &a.verdict,
              &a.verdict_reason, &a.verdict_id, &a.download_id, &a.version_id})
            s.bind(i++, *t);
    }
    // With `extra`, two more columns of text after the version.
    std::vector<Attempt> rows(Statement& s, std::vector<std::pair<std::string, std::string>>* extra = nullptr) {
        std::vector<Attempt> out;
        for (int rc; (rc = s.step()) != SQLITE_DONE;) {
            if (rc != SQLITE_ROW) fail(rc, sqlite3_errmsg(db_));
            Attempt a;
            int c = 0;
            a.id = s.text(c++);
            a.kind = s.text(c++);
            a.started_at = s.text(c++);
            a.ended_at = s.text(c++);
            a.duration_ms = s.number(c++);
            a.station = s.text(c++);
            a.operator_ = s.text(c++);
            a.unit_id = s.text(c++);
            a.port = s.text(c++);
            a.port_id = s.text(c++);
            a.baud = s.number(c++).value_or(0);
            a.file = s.text(c++);
            a.file_size = s.number(c++);
            a.file_sha256 = s.text(c++);
            a.file_crc = s.text(c++);
            a.blank_blocks = s.number(c++);
            a.outcome = s.text(c++);
            a.exit_code = s.number(c++);
            a.box_caption = s.text(c++);
            a.box_text = s.text(c++);
            a.unit_crc = s.text(c++);
            a.verify_result = s.text(c++);
            a.unit_version = s.text(c++);
            a.retries = s.text(c++);
            a.link_error = s.text(c++);
            a.loader_version = s.text(c++);
            a.note = s.text(c++);
            for (std::string* t : {&a.job, &a.job_sha256, &a.expect_version, &a.slot, &a.verdict, &a.verdict_reason,
                                   &a.verdict_id, &a.download_id, &a.version_id})
                *t = s.text(c++);
            a.version = s.number(c++).value_or(1);
            if (extra) extra->emplace_back(s.text(c), s.text(c + 1));
            out.push_back(std::move(a));
        }
        return out;
    }
    // A file of an older schema, read as it is, keeps one version of each attempt.
    std::string versionColumn() const { return readVersion_ < 4 ? ", 1" : ", version"; }
    // Every column of an attempt, as rows() reads them, for the schema the file has.
    std::string columns() const {
        return std::string(kColumns) + (readVersion_ < kVerdictSchema ? kNoVerdictColumns : kVerdictColumns) +
               versionColumn();
    }
    int userVersion() {
        Statement s(db_, "PRAGMA user_version", failer());
        const int rc = s.step();
        if (rc != SQLITE_ROW) fail(rc, sqlite3_errmsg(db_));
        return static_cast<int>(s.number(0).value_or(0));
    }
    void migrate() {
        if (userVersion() == kSchemaVersion) return;
        exec("BEGIN IMMEDIATE");
        try {
            const int from = userVersion();  // another process may have migrated meanwhile
            if (from > kSchemaVersion)
                throw RecordError(RecordError::Kind::Other,
                                  "the records file " + path_ + " was made by a newer Unit Loader (schema " +
                                      std::to_string(from) + "); use that one, or name another file with --records");
            for (int v = from; v < kSchemaVersion; ++v) exec(kMigrations[v]);
            if (from < kChainSchema) {
                // What was kept before the chain enters it as it is now.
                std::vector<std::string> ids;
                Statement s(db_, "SELECT id FROM attempts ORDER BY rowid", failer());
                for (int rc; (rc = s.step()) == SQLITE_ROW;) ids.push_back(s.text(0));
                for (const std::string& id : ids) appendEvent("adopt", id);
            }
            exec("PRAGMA user_version = " + std::to_string(kSchemaVersion));
            exec("COMMIT");
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }
    // The attempts begun on this station by a process that no longer exists: their end will
    // never come.
    std::vector<std::string> goneWithoutEnd() {
        std::vector<std::string> gone;
        Statement s(db_,
                    "SELECT id, pid FROM attempts WHERE ended_at IS NULL AND station = ?1 AND "
                    "(outcome IS NULL OR outcome = '')",
                    failer());
        s.bind(1, station_);
        for (int rc; (rc = s.step()) == SQLITE_ROW;) {
            const std::int64_t pid = s.number(1).value_or(0);
            if (pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)) continue;
            gone.push_back(s.text(0));
        }
        return gone;
    }
    static void markedInterrupted(Attempt& a) {
        a.outcome = "interrupted";
        a.note = a.note.empty() ? "no end recorded" : a.note + "; no end recorded";
    }
    void markInterrupted() {
        for (const std::string& id : goneWithoutEnd()) {
            transaction([&] {
                Statement s(db_,
                            "UPDATE attempts SET outcome = 'interrupted', note = CASE WHEN note IS NULL OR note = '' "
                            "THEN 'no end recorded' ELSE note || '; no end recorded' END WHERE id = ?1 AND ended_at "
                            "IS NULL AND (outcome IS NULL OR outcome = '')",
                            failer());
                s.bind(1, id);
                done(s);
                if (sqlite3_changes(db_) > 0) appendEvent("interrupted", id);
                return true;
            });
        }
    }
    // Opened only to read: a schema this loader can read, and a word on an older one.
    void readable() {
        reading_ = true;
        const int version = userVersion();
        readVersion_ = version;
        if (version > kSchemaVersion)
            throw RecordError(RecordError::Kind::Other, "the records file " + path_ +
                                                            " was made by a newer Unit Loader (schema " +
                                                            std::to_string(version) + "); use that one to read it");
        const std::string migrate = "unit-loader-cli records migrate --records " + path_;
        if (version == 0)
            throw RecordError(RecordError::Kind::Other, "the records file " + path_ +
                                                            " holds no records schema yet; reading does not make "
                                                            "one: " +
                                                            migrate + " does");
        if (version < kSchemaVersion)
            note_ = "the records file " + path_ + " has schema version " + std::to_string(version) +
                    " (this loader's is " + std::to_string(kSchemaVersion) + "); reading leaves it so: " + migrate +
                    " brings it up to date, as the next run that records does";
    }

    std::string path_;
    std::string station_ = hostName();
    sqlite3* db_ = nullptr;
    bool reading_ = false;
    int readVersion_ = kSchemaVersion;
    std::string note_;
};

}  // namespace

std::unique_ptr<RecordStore> openSqliteStore(const std::string& path, RecordAccess access) {
    return std::make_unique<SqliteStore>(path, access);
}

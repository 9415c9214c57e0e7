// The shared records server on PostgreSQL through libpqxx. The schema is the loader's own: a
// version table and the steps that bring it from each version to the next, applied under an
// advisory lock so that stations starting at once migrate it once.
#include <libpq-fe.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <pqxx/pqxx>

#include "RecordServer.h"

namespace {

constexpr long kMigrationLock = 417417417;  // pg_advisory_xact_lock: one migration at a time
// `records server-init --roles`: the tables' owner, who alone migrates them, and the role the
// stations' login roles are members of, which may only read and append.
constexpr const char* kOwnerRole = "unit_loader_owner";
constexpr const char* kWriterRole = "unit_loader_writer";

const char* const kSteps[] = {
    "CREATE TABLE attempts ("
    " id text PRIMARY KEY, kind text NOT NULL, started_at text NOT NULL, ended_at text, duration_ms bigint,"
    " station text, operator text, unit_id text, port text, port_id text, baud bigint, file text,"
    " file_size bigint, file_sha256 text, file_crc text, blank_blocks bigint, outcome text, exit_code bigint,"
    " box_caption text, box_text text, unit_crc text, verify_result text, unit_version text, retries text,"
    " link_error text, loader_version text, note text,"
    " received_at timestamptz NOT NULL DEFAULT now());"  // when the server had it first
    "CREATE INDEX attempts_started ON attempts (started_at);"
    "CREATE INDEX attempts_station ON attempts (station, started_at);"
    "CREATE INDEX attempts_unit_version ON attempts (unit_version, unit_id);",
    // Append-only: a change to an attempt is its next version, never an UPDATE. The server
    // stamps each row with its own clock and the login role that sent it, whatever the row says;
    // a site may tie login roles to stations in station_roles, and then refuses a row of another
    // station from that role. An attempt's versions all belong to its first station.
    "ALTER TABLE attempts ADD COLUMN version bigint NOT NULL DEFAULT 1;"
    "ALTER TABLE attempts ADD COLUMN received_by text;"  // unknown for the rows kept before
    "ALTER TABLE attempts ALTER COLUMN received_by SET DEFAULT session_user;"
    "ALTER TABLE attempts DROP CONSTRAINT attempts_pkey;"
    "ALTER TABLE attempts ADD PRIMARY KEY (id, version);"
    "CREATE TABLE station_roles (role name NOT NULL, station text NOT NULL, PRIMARY KEY (role, station));"
    "CREATE FUNCTION unit_loader_received() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN"
    " NEW.received_at := now(); NEW.received_by := session_user;"
    " IF EXISTS (SELECT 1 FROM station_roles WHERE role = session_user) AND NOT EXISTS"
    "  (SELECT 1 FROM station_roles WHERE role = session_user AND station = NEW.station) THEN"
    "  RAISE EXCEPTION 'the role % may not record attempts of station %', session_user, NEW.station"
    "   USING ERRCODE = 'UL001', HINT = 'station_roles ties each role to its stations';"
    " END IF;"
    " IF EXISTS (SELECT 1 FROM attempts WHERE id = NEW.id AND station IS DISTINCT FROM NEW.station) THEN"
    "  RAISE EXCEPTION 'attempt % is of another station than %', NEW.id, NEW.station"
    "   USING ERRCODE = 'UL002';"
    " END IF;"
    " RETURN NEW; END $$;"
    "CREATE TRIGGER attempts_received BEFORE INSERT ON attempts FOR EACH ROW EXECUTE FUNCTION unit_loader_received();",
    // Each records file's chain of events, as it arrived: the server itself checks that an event
    // follows the last one it holds of that file (number, link, station); one that does not is
    // kept aside in chain_conflicts with the reason, never in the chain. One file at a time.
    "CREATE TABLE chain (file_id text NOT NULL, seq bigint NOT NULL, at text NOT NULL, event text NOT NULL,"
    " record_id text NOT NULL, digest text NOT NULL, prev text NOT NULL, link text NOT NULL, station text NOT NULL,"
    " received_at timestamptz NOT NULL DEFAULT now(), received_by text DEFAULT session_user,"
    " PRIMARY KEY (file_id, seq));"
    "CREATE TABLE chain_conflicts (file_id text NOT NULL, seq bigint NOT NULL, at text NOT NULL, event text NOT NULL,"
    " record_id text NOT NULL, digest text NOT NULL, prev text NOT NULL, link text NOT NULL, station text NOT NULL,"
    " reason text NOT NULL, received_at timestamptz NOT NULL DEFAULT now(), received_by text DEFAULT session_user,"
    " UNIQUE (file_id, seq, link));"
    "CREATE FUNCTION unit_loader_chain() RETURNS trigger LANGUAGE plpgsql AS $$"
    " DECLARE last_seq bigint; last_link text; last_station text; held text; why text; nul bytea := decode('00', "
    "'hex');"
    " BEGIN"
    " NEW.received_at := now(); NEW.received_by := session_user;"
    " IF EXISTS (SELECT 1 FROM station_roles WHERE role = session_user) AND NOT EXISTS"
    "  (SELECT 1 FROM station_roles WHERE role = session_user AND station = NEW.station) THEN"
    "  RAISE EXCEPTION 'the role % may not record events of station %', session_user, NEW.station"
    "   USING ERRCODE = 'UL001', HINT = 'station_roles ties each role to its stations';"
    " END IF;"
    " PERFORM pg_advisory_xact_lock(hashtext(NEW.file_id));"
    " SELECT link INTO held FROM chain WHERE file_id = NEW.file_id AND seq = NEW.seq;"
    " IF held = NEW.link THEN RETURN NULL; END IF;"
    " SELECT seq, link, station INTO last_seq, last_link, last_station FROM chain WHERE file_id = NEW.file_id"
    "  ORDER BY seq DESC LIMIT 1;"
    " IF last_seq IS NULL THEN last_seq := 0; last_link := repeat('0', 64); END IF;"
    " IF held IS NOT NULL THEN why := 'the server holds another event ' || NEW.seq || ' of this file';"
    " ELSIF NEW.seq <> last_seq + 1 THEN why := 'the server''s last event of this file is ' || last_seq;"
    " ELSIF NEW.prev <> last_link THEN why := 'it does not follow event ' || last_seq || ' the server holds';"
    " ELSIF NEW.link <> encode(sha256(convert_to(NEW.prev, 'UTF8') || nul || convert_to(NEW.seq::text, 'UTF8') || nul"
    "  || convert_to(NEW.at, 'UTF8') || nul || convert_to(NEW.event, 'UTF8') || nul || convert_to(NEW.record_id, "
    "'UTF8')"
    "  || nul || convert_to(NEW.digest, 'UTF8') || nul), 'hex') THEN why := 'its fields do not give its link';"
    " ELSIF last_station IS DISTINCT FROM NEW.station AND last_station IS NOT NULL THEN"
    "  why := 'the file''s chain is of station ' || last_station;"
    " END IF;"
    " IF why IS NOT NULL THEN"
    "  INSERT INTO chain_conflicts (file_id, seq, at, event, record_id, digest, prev, link, station, reason)"
    "   VALUES (NEW.file_id, NEW.seq, NEW.at, NEW.event, NEW.record_id, NEW.digest, NEW.prev, NEW.link, NEW.station,"
    " why)"
    "   ON CONFLICT DO NOTHING;"
    "  RETURN NULL;"
    " END IF;"
    " RETURN NEW; END $$;"
    "CREATE TRIGGER chain_follows BEFORE INSERT ON chain FOR EACH ROW EXECUTE FUNCTION unit_loader_chain();",
    // A station's verdict on each unit (kind "unit"), and the verdict each attempt was judged by.
    "ALTER TABLE attempts ADD COLUMN job text, ADD COLUMN job_sha256 text, ADD COLUMN expect_version text,"
    " ADD COLUMN slot text, ADD COLUMN verdict text, ADD COLUMN verdict_reason text, ADD COLUMN verdict_id text,"
    " ADD COLUMN download_id text, ADD COLUMN version_id text;"
    "CREATE INDEX attempts_verdict ON attempts (verdict_id);",
};
constexpr int kServerSchema = static_cast<int>(std::size(kSteps));

const char* const kColumns =
    "id, kind, started_at, ended_at, duration_ms, station, operator, unit_id, port, port_id, baud, file, file_size, "
    "file_sha256, file_crc, blank_blocks, outcome, exit_code, box_caption, box_text, unit_crc, verify_result, "
    "unit_version, retries, link_error, loader_version, note, job, job_sha256, expect_version, slot, verdict, "
    "verdict_reason, verdict_id, download_id, version_id";

// libpq's messages run over several lines; a record error is one.
std::string oneLine(const std::string& text) {
    std::string out;
    bool space = false;
    for (char c : text) {
        if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
            space = !out.empty();
            continue;
        }
        if (space) out += ' ';
        space = false;
        out += c;
    }
    return out;
}

// libpq never repeats a password in its messages; should one ever carry "password=...", the
// value goes.
std::string withoutPasswordValue(std::string text) {
    for (std::size_t at = text.find("password="); at != std::string::npos; at = text.find("password=", at + 1)) {
        const std::size_t from = at + 9;
        const std::size_t end = text.find_first_of(" &'\"", from);
        text.replace(from, end == std::string::npos ? std::string::npos : end - from, "...");
    }
    return text;
}

// The URL with a bounded connect and a name the server's activity view shows, unless it sets
// them itself.
std::string withConnectOptions(const std::string& url, std::chrono::seconds timeout) {
    const bool isUrl = url.starts_with("postgresql://") || url.starts_with("postgres://");
    std::string out = url;
    const auto add = [&](const std::string& key, const std::string& value) {
        if (url.find(key + "=") != std::string::npos) return;
        if (isUrl)
            out += (out.find('?') == std::string::npos ? "?" : "&") + key + "=" + value;
        else
            out += " " + key + "=" + value;
    };
    add("connect_timeout", std::to_string(std::max<long long>(1, timeout.count())));
    add("application_name", "unit-loader");
    return out;
}

class PgServer : public RecordServer {
public:
    PgServer(const std::string& url, std::chrono::seconds timeout) : shown_(urlWithoutPassword(url)) {
        if (urlHasPassword(url)) throw RecordError(RecordError::Kind::CannotOpen, passwordInUrlText());
        try {
            connection_ = std::make_unique<pqxx::connection>(withConnectOptions(url, timeout));
        } catch (const pqxx::broken_connection& e) {
            throw failure(RecordError::Kind::CannotOpen, e.what());
        } catch (const std::exception& e) {
            // A URL libpq cannot read, say.
            throw failure(RecordError::Kind::CannotOpen, e.what());
        }
        socket_ = connection_->sock();
    }

    int migrate() override { return migrated(false); }
    int migrateWithRoles() override { return migrated(true); }

    Sent send(const std::vector<Attempt>& attempts) override {
        return guarded([&] {
            Sent sent;
            try {
                pqxx::work w(*connection_);
                for (const Attempt& a : attempts) sent.added += insert(w, a);
                w.commit();
                return sent;
            } catch (const pqxx::sql_error& e) {
                if (!refusesRow(e.sqlstate())) throw;
            }
            // A row the server refuses: each row again, on a savepoint of its own, so that the
            // others go without it.
            sent.added = 0;
            pqxx::work w(*connection_);
            for (const Attempt& a : attempts) {
                w.exec("SAVEPOINT attempt");
                try {
                    sent.added += insert(w, a);
                    w.exec("RELEASE SAVEPOINT attempt");
                } catch (const pqxx::sql_error& e) {
                    if (!refusesRow(e.sqlstate())) throw;
                    w.exec("ROLLBACK TO SAVEPOINT attempt");
                    sent.refused.push_back({a.id, oneLine(e.what())});
                }
            }
            w.commit();
            return sent;
        });
    }

    EventsSent sendEvents(const std::string& fileId, const std::string& station,
                          const std::vector<recordchain::Event>& events) override {
        return guarded([&] {
            EventsSent sent;
            pqxx::work w(*connection_);
            for (const recordchain::Event& e : events) {
                const pqxx::result r = w.exec_params(
                    "INSERT INTO chain (file_id, seq, at, event, record_id, digest, prev, link, station) VALUES ($1, "
                    "$2, $3, $4, $5, $6, $7, $8, $9)",
                    fileId, e.seq, e.at, e.event, e.recordId, e.digest, e.prev, e.link, station);
                if (r.affected_rows() > 0) {
                    ++sent.added;
                    continue;
                }
                // Held already, or kept aside: the conflict says which.
                const pqxx::result why =
                    w.exec_params("SELECT reason FROM chain_conflicts WHERE file_id = $1 AND seq = $2 AND link = $3",
                                  fileId, e.seq, e.link);
                if (!why.empty()) sent.refused.push_back({e.seq, why[0][0].c_str()});
            }
            w.commit();
            return sent;
        });
    }

    std::vector<Chain> chains(const std::string& fileId) override {
        return guarded([&] {
            pqxx::nontransaction n(*connection_);
            std::vector<Chain> out;
            const auto chainOf = [&](const std::string& id, const std::string& station) -> Chain& {
                if (out.empty() || out.back().fileId != id) out.push_back({id, station, {}, {}});
                return out.back();
            };
            for (const pqxx::row& row :
                 n.exec_params("SELECT file_id, station, seq, at, event, record_id, digest, prev, link FROM chain "
                               "WHERE ($1 = '' OR file_id = $1) ORDER BY file_id, seq",
                               fileId))
                chainOf(row[0].c_str(), row[1].c_str())
                    .events.push_back({row[2].as<std::int64_t>(), row[3].c_str(), row[4].c_str(), row[5].c_str(),
                                       row[6].c_str(), row[7].c_str(), row[8].c_str()});
            for (const pqxx::row& row : n.exec_params("SELECT file_id, station, seq, reason FROM chain_conflicts "
                                                      "WHERE ($1 = '' OR file_id = $1) ORDER BY file_id, seq",
                                                      fileId)) {
                const std::string id = row[0].c_str();
                auto it = std::find_if(out.begin(), out.end(), [&](const Chain& c) { return c.fileId == id; });
                if (it == out.end()) it = out.insert(out.end(), Chain{id, row[1].c_str(), {}, {}});
                it->conflicts.push_back({row[2].as<std::int64_t>(), row[3].c_str()});
            }
            return out;
        });
    }

    std::vector<Attempt> query(const AttemptFilter& f) override {
        return guarded([&] {
            pqxx::nontransaction n(*connection_);
            const pqxx::result r = n.exec_params(
                std::string("SELECT ") + kColumns +
                    ", version, to_char(received_at AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'), "
                    "coalesce(received_by, '') FROM attempts WHERE ($1 = '' OR started_at >= $1) AND ($2 = '' OR "
                    "started_at < $2) "
                    "AND ($3 = '' OR port = $3) AND ($4 = '' OR outcome = $4) AND ($5 = '' OR unit_id = $5) "
                    "AND ($6 = '' OR file_sha256 = $6) AND ($7 = '' OR left(id, length($7)) = $7) "
                    "AND ($8 = '' OR station = $8) AND ($9 = '' OR unit_version = $9) "
                    "AND ($10 OR version = (SELECT max(v.version) FROM attempts v WHERE v.id = attempts.id)) "
                    "AND ($11 = '' OR kind = $11) ORDER BY started_at DESC, id DESC, version DESC",
                f.since, f.until, f.port, f.outcome, f.unitId, f.fileSha256, f.id, f.station, f.unitVersion, f.history,
                f.kind);
            std::vector<Attempt> out;
            for (const pqxx::row& row : r) {
                Attempt a;
                int c = 0;
                auto text = [&] { return row[c++].c_str(); };
                auto number = [&]() -> std::optional<std::int64_t> {
                    const pqxx::field field = row[c++];
                    if (field.is_null()) return std::nullopt;
                    return field.as<std::int64_t>();
                };
                a.id = text();
                a.kind = text();
                a.started_at = text();
                a.ended_at = text();
                a.duration_ms = number();
                a.station = text();
                a.operator_ = text();
                a.unit_id = text();
                a.port = text();
                a.port_id = text();
                a.baud = number().value_or(0);
                a.file = text();
                a.file_size = number();
                a.file_sha256 = text();
                a.file_crc = text();
                a.blank_blocks = number();
                a.outcome = text();
                a.exit_code = number();
                a.box_caption = text();
                a.box_text = text();
                a.unit_crc = text();
                a.verify_result = text();
                a.unit_version = text();
                a.retries = text();
                a.link_error = text();
                a.loader_version = text();
                a.note = text();
                for (std::string* t : {&a.job, &a.job_sha256, &a.expect_version, &a.slot, &a.verdict, &a.verdict_reason,
                                       &a.verdict_id, &a.download_id, &a.version_id})
                    *t = text();
                a.version = number().value_or(1);
                a.received_at = text();
                a.received_by = text();
                out.push_back(std::move(a));
            }
            return out;
        });
    }

    // shutdown(), not close(): the descriptor stays libpq's, and the call blocked on it returns.
    void cut() override {
        const int fd = socket_.load();
        if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    }

private:
    // Refused for what the row holds: bad data (class 22, such as text that is no UTF-8), a
    // constraint (23), or the receipt trigger's own refusals (UL). Anything else (the connection,
    // rights to the table, a server shutting down) concerns every row alike.
    static bool refusesRow(const std::string& state) {
        return state.starts_with("22") || state.starts_with("23") || state.starts_with("UL");
    }
    static int insert(pqxx::transaction_base& t, const Attempt& a) {
        const pqxx::result r = t.exec_params(
            std::string("INSERT INTO attempts (") + kColumns +
                ", version) VALUES ($1, $2, $3, NULLIF($4, ''), $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, "
                "$15, $16, $17, $18, $19, $20, $21, $22, $23, $24, $25, $26, $27, $28, $29, $30, $31, $32, $33, $34, "
                "$35, $36, $37) ON CONFLICT (id, version) DO NOTHING",
            a.id, a.kind, a.started_at, a.ended_at, a.duration_ms, a.station, a.operator_, a.unit_id, a.port, a.port_id,
            a.baud, a.file, a.file_size, a.file_sha256, a.file_crc, a.blank_blocks, a.outcome, a.exit_code,
            a.box_caption, a.box_text, a.unit_crc, a.verify_result, a.unit_version, a.retries, a.link_error,
            a.loader_version, a.note, a.job, a.job_sha256, a.expect_version, a.slot, a.verdict, a.verdict_reason,
            a.verdict_id, a.download_id, a.version_id, a.version);
        return static_cast<int>(r.affected_rows());
    }

    int migrated(bool roles) {
        int at = 0;
        try {
            return guarded([&] {
                if (!roles) {
                    // Up to date, as it nearly always is: no lock, and no right to create tables needed.
                    pqxx::nontransaction look(*connection_);
                    if (!look.exec("SELECT to_regclass('unit_loader_schema')")[0][0].is_null())
                        at = look.exec("SELECT coalesce(max(version), 0) FROM unit_loader_schema")[0][0].as<int>();
                    if (at == kServerSchema) return kServerSchema;
                }
                pqxx::work w(*connection_);
                w.exec("SELECT pg_advisory_xact_lock(" + std::to_string(kMigrationLock) + ")");
                if (roles) setUpRoles(w);
                // The tables' owner migrates them: whoever runs this as a member of that role
                // acts as it, so that what a step makes has the same owner.
                const pqxx::result owner = w.exec(
                    "SELECT pg_get_userbyid(relowner) FROM pg_class WHERE oid = to_regclass('unit_loader_schema')");
                const std::string by = roles ? kOwnerRole : owner.empty() ? std::string() : owner[0][0].c_str();
                if (!by.empty()) w.exec("SET LOCAL ROLE " + w.quote_name(by));
                w.exec("CREATE TABLE IF NOT EXISTS unit_loader_schema (version integer NOT NULL)");
                const pqxx::result r = w.exec("SELECT max(version) FROM unit_loader_schema");
                const int from = r[0][0].is_null() ? 0 : r[0][0].as<int>();
                if (from > kServerSchema)
                    throw RecordError(RecordError::Kind::Other, "the records server " + shown_ +
                                                                    " has the schema of a newer Unit Loader (" +
                                                                    std::to_string(from) + "); use that one");
                for (int v = from; v < kServerSchema; ++v) w.exec(kSteps[v]);
                w.exec("DELETE FROM unit_loader_schema");
                w.exec("INSERT INTO unit_loader_schema (version) VALUES (" + std::to_string(kServerSchema) + ")");
                if (by == kOwnerRole) grantWriter(w);
                w.commit();
                return kServerSchema;
            });
        } catch (const RecordError& e) {
            // A station's role that finds an older schema may not bring it up to date.
            if (roles || at == 0 || std::string(e.what()).find("permission denied") == std::string::npos) throw;
            throw RecordError(e.kind(), std::string(e.what()) + "; the server's schema is at version " +
                                            std::to_string(at) + " and this loader's is " +
                                            std::to_string(kServerSchema) +
                                            ": the tables' owner brings it up to date with records server-init");
        }
    }

    // The owner and writer roles, made once; the one who sets them up may act as the owner, and
    // the tables made before (by any role) become the owner's.
    static void setUpRoles(pqxx::work& w) {
        for (const char* role : {kOwnerRole, kWriterRole})
            w.exec(std::string("DO $$ BEGIN IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = '") + role +
                   "') THEN CREATE ROLE " + role + " NOLOGIN; END IF; END $$");
        if (!w.exec(std::string("SELECT pg_has_role(current_user, '") + kOwnerRole + "', 'USAGE')")[0][0].as<bool>())
            w.exec(std::string("GRANT ") + kOwnerRole + " TO current_user");
        // Only the owner creates anything: not the writer, and not PUBLIC (as a database made
        // before PostgreSQL 15 still lets it).
        w.exec(std::string("GRANT USAGE, CREATE ON SCHEMA public TO ") + kOwnerRole);
        w.exec("REVOKE CREATE ON SCHEMA public FROM PUBLIC");
        w.exec(std::string("GRANT USAGE ON SCHEMA public TO ") + kWriterRole);
        for (const char* table : {"attempts", "station_roles", "unit_loader_schema", "chain", "chain_conflicts"})
            if (!w.exec(std::string("SELECT to_regclass('") + table + "')")[0][0].is_null())
                w.exec(std::string("ALTER TABLE ") + table + " OWNER TO " + kOwnerRole);
        if (!w.exec("SELECT to_regprocedure('unit_loader_received()')")[0][0].is_null())
            w.exec(std::string("ALTER FUNCTION unit_loader_received() OWNER TO ") + kOwnerRole);
        if (!w.exec("SELECT to_regprocedure('unit_loader_chain()')")[0][0].is_null())
            w.exec(std::string("ALTER FUNCTION unit_loader_chain() OWNER TO ") + kOwnerRole);
    }

    // The writer reads and appends; nobody else but the owner has any right to the tables.
    static void grantWriter(pqxx::work& w) {
        const std::string tables = "attempts, station_roles, unit_loader_schema, chain, chain_conflicts";
        w.exec("REVOKE ALL ON " + tables + " FROM PUBLIC");
        w.exec("REVOKE ALL ON " + tables + " FROM " + kWriterRole);
        w.exec(std::string("GRANT SELECT, INSERT ON attempts, chain, chain_conflicts TO ") + kWriterRole);
        w.exec(std::string("GRANT SELECT ON station_roles, unit_loader_schema TO ") + kWriterRole);
    }

    RecordError failure(RecordError::Kind kind, const std::string& detail) const {
        std::string text = "the records server " + shown_ + ": " + withoutPasswordValue(oneLine(detail));
        if (detail.find("password") != std::string::npos)
            text += "; put the password in the file PGPASSFILE names (~/.pgpass by default) or in PGPASSWORD";
        // libpq's words name no file: the operator is to look at the CA the URL trusts.
        if (detail.find("certificate verify failed") != std::string::npos)
            text +=
                "; the server's certificate is not signed by the CA that sslrootcert names (~/.postgresql/root.crt "
                "when the URL names none): it may be another server, or the site's CA file is not that one";
        return RecordError(kind, text);
    }
    template <typename F>
    auto guarded(F&& f) -> decltype(f()) {
        try {
            return f();
        } catch (const RecordError&) {
            throw;
        } catch (const pqxx::in_doubt_error& e) {
            // The commit may or may not have happened: the attempts stay queued, and a resend
            // adds nothing when it did.
            throw failure(RecordError::Kind::Other, std::string("no acknowledgement: ") + e.what());
        } catch (const pqxx::broken_connection& e) {
            throw failure(RecordError::Kind::CannotOpen, e.what());
        } catch (const std::exception& e) {
            throw failure(RecordError::Kind::Other, e.what());
        }
    }

    std::string shown_;
    std::unique_ptr<pqxx::connection> connection_;
    std::atomic<int> socket_{-1};
};

}  // namespace

bool recordServerBuilt() { return true; }

ServerUrlReading readServerUrl(const std::string& url) {
    ServerUrlReading reading;
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(url.c_str(), &error);
    // What libpq cannot read it will not use either; its message is not passed on, as it may
    // quote the URL.
    PQfreemem(error);
    if (!options) return reading;
    std::string host, hostaddr, sslmode;
    for (const PQconninfoOption* o = options; o->keyword; ++o) {
        const std::string key = o->keyword;
        const bool given = o->val && *o->val;
        if ((key == "password" || key == "sslpassword") && given) reading.password = true;
        if (key == "host" && given) host = o->val;
        if (key == "hostaddr" && given) hostaddr = o->val;
        if (key == "sslmode" && given) sslmode = o->val;
    }
    PQconninfoFree(options);
    // libpq falls back on the environment for what the URL leaves out.
    const auto fromEnvironment = [](std::string& value, const char* name) {
        if (const char* v = std::getenv(name); value.empty() && v) value = v;
    };
    fromEnvironment(host, "PGHOST");
    fromEnvironment(hostaddr, "PGHOSTADDR");
    fromEnvironment(sslmode, "PGSSLMODE");
    bool tcp = !hostaddr.empty();
    // A host list: a name that is not a directory (a Unix socket's) is reached over TCP.
    for (std::size_t from = 0; from <= host.size() && !host.empty();) {
        const std::size_t comma = host.find(',', from);
        const std::string one = host.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
        if (!one.empty() && one[0] != '/' && one[0] != '@') tcp = true;
        if (comma == std::string::npos) break;
        from = comma + 1;
    }
    reading.unverifiedTcp = tcp && sslmode != "verify-full" && sslmode != "verify-ca";
    return reading;
}

std::unique_ptr<RecordServer> connectRecordServer(const std::string& url, std::chrono::seconds connectTimeout) {
    return std::make_unique<PgServer>(url, connectTimeout);
}

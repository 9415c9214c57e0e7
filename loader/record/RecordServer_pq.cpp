// The shared records server on PostgreSQL through libpqxx. The schema is the loader's own: a
// version table and the steps that bring it from each version to the next, applied under an
// advisory lock so that stations starting at once migrate it once.
#include <libpq-fe.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>
#include <pqxx/pqxx>

#include "RecordServer.h"

namespace {

constexpr long kMigrationLock = 417417417;  // pg_advisory_xact_lock: one migration at a time

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
};
constexpr int kServerSchema = static_cast<int>(std::size(kSteps));

const char* const kColumns =
    "id, kind, started_at, ended_at, duration_ms, station, operator, unit_id, port, port_id, baud, file, file_size, "
    "file_sha256, file_crc, blank_blocks, outcome, exit_code, box_caption, box_text, unit_crc, verify_result, "
    "unit_version, retries, link_error, loader_version, note";

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

    int migrate() override {
        return guarded([&] {
            {
                // Up to date, as it nearly always is: no lock, and no right to create tables needed.
                pqxx::nontransaction look(*connection_);
                if (!look.exec("SELECT to_regclass('unit_loader_schema')")[0][0].is_null() &&
                    look.exec("SELECT coalesce(max(version), 0) FROM unit_loader_schema")[0][0].as<int>() ==
                        kServerSchema)
                    return kServerSchema;
            }
            pqxx::work w(*connection_);
            w.exec("SELECT pg_advisory_xact_lock(" + std::to_string(kMigrationLock) + ")");
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
            w.commit();
            return kServerSchema;
        });
    }

    int send(const std::vector<Attempt>& attempts) override {
        return guarded([&] {
            pqxx::work w(*connection_);
            int added = 0;
            for (const Attempt& a : attempts) {
                const pqxx::result r = w.exec_params(
                    std::string("INSERT INTO attempts (") + kColumns +
                        ") VALUES ($1, $2, $3, NULLIF($4, ''), $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, "
                        "$16, $17, $18, $19, $20, $21, $22, $23, $24, $25, $26, $27) ON CONFLICT (id) DO NOTHING",
                    a.id, a.kind, a.started_at, a.ended_at, a.duration_ms, a.station, a.operator_, a.unit_id, a.port,
                    a.port_id, a.baud, a.file, a.file_size, a.file_sha256, a.file_crc, a.blank_blocks, a.outcome,
                    a.exit_code, a.box_caption, a.box_text, a.unit_crc, a.verify_result, a.unit_version, a.retries,
                    a.link_error, a.loader_version, a.note);
                added += static_cast<int>(r.affected_rows());
            }
            w.commit();
            return added;
        });
    }

    std::vector<Attempt> query(const AttemptFilter& f) override {
        return guarded([&] {
            pqxx::nontransaction n(*connection_);
            const pqxx::result r = n.exec_params(
                std::string("SELECT ") + kColumns +
                    " FROM attempts WHERE ($1 = '' OR started_at >= $1) AND ($2 = '' OR started_at < $2) "
                    "AND ($3 = '' OR port = $3) AND ($4 = '' OR outcome = $4) AND ($5 = '' OR unit_id = $5) "
                    "AND ($6 = '' OR file_sha256 = $6) AND ($7 = '' OR left(id, length($7)) = $7) "
                    "AND ($8 = '' OR station = $8) AND ($9 = '' OR unit_version = $9) "
                    "ORDER BY started_at DESC, id DESC",
                f.since, f.until, f.port, f.outcome, f.unitId, f.fileSha256, f.id, f.station, f.unitVersion);
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
    RecordError failure(RecordError::Kind kind, const std::string& detail) const {
        std::string text = "the records server " + shown_ + ": " + withoutPasswordValue(oneLine(detail));
        if (detail.find("password") != std::string::npos)
            text += "; put the password in the file PGPASSFILE names (~/.pgpass by default) or in PGPASSWORD";
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

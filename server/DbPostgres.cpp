// The PostgreSQL backend of the database interface, over libpq. Parameters
// go as text (bytes in binary), results come as text; `?` placeholders
// become $1, $2... here.
#include "Db.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cstdlib>
#include <optional>

namespace nvserver::db {
namespace {

constexpr Oid kByteaOid = 17;
constexpr Oid kTextOid = 25;
// The advisory lock that migrations hold: any number, the same on every node.
constexpr long long kSchemaLock = 0x4e69766178656c;

struct ResultDeleter {
    void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

// `?` outside quoted text and identifiers becomes $n, `?n` becomes $n; the
// numbers never used are recorded, since PostgreSQL cannot guess a type for
// a parameter the statement does not mention.
std::string Numbered(const std::string& sql, std::vector<bool>& used) {
    std::string out;
    int n = 0;
    char quote = 0;
    for (std::size_t i = 0; i < sql.size(); ++i) {
        const char ch = sql[i];
        if (quote != 0) {
            if (ch == quote)
                quote = 0;
        } else if (ch == '\'' || ch == '"') {
            quote = ch;
        } else if (ch == '?') {
            std::size_t end = i + 1;
            while (end < sql.size() && sql[end] >= '0' && sql[end] <= '9')
                ++end;
            const int number = end > i + 1 ? std::stoi(sql.substr(i + 1, end - i - 1)) : ++n;
            n = std::max(n, number);
            if (used.size() < static_cast<std::size_t>(number))
                used.resize(static_cast<std::size_t>(number), false);
            used[static_cast<std::size_t>(number - 1)] = true;
            out += '$' + std::to_string(number);
            i = end - 1;
            continue;
        }
        out += ch;
    }
    return out;
}

std::string Trimmed(const char* message) {
    std::string s = message ? message : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

class PgConnection;

class PgStatement final : public Statement {
  public:
    PgStatement(PgConnection& c, const std::string& sql) : c_(c), sql_(Numbered(sql, used_)) {}

    Statement& Bind(int i, std::int64_t v) override { return Set(i, std::to_string(v), 0); }
    Statement& Bind(int i, const std::string& v) override { return Set(i, v, 0); }
    Statement& BindBlob(int i, const std::string& v) override { return Set(i, v, 1); }
    Statement& BindNull(int i) override {
        Grow(i);
        values_[static_cast<std::size_t>(i - 1)].reset();
        return *this;
    }
    bool Step() override;
    void Reset() override {
        result_.reset();
        row_ = -1;
        values_.clear();
        formats_.clear();
    }
    std::int64_t Int(int i) override { return std::strtoll(PQgetvalue(result_.get(), row_, i), nullptr, 10); }
    bool IsNull(int i) override { return PQgetisnull(result_.get(), row_, i) != 0; }
    std::string Text(int i) override {
        const char* v = PQgetvalue(result_.get(), row_, i);
        if (PQftype(result_.get(), i) != kByteaOid)
            return std::string(v, static_cast<std::size_t>(PQgetlength(result_.get(), row_, i)));
        std::size_t n = 0;
        unsigned char* bytes = PQunescapeBytea(reinterpret_cast<const unsigned char*>(v), &n);
        if (bytes == nullptr)
            throw DbError("database read: out of memory", false);
        std::string out(reinterpret_cast<const char*>(bytes), n);
        PQfreemem(bytes);
        return out;
    }
    std::int64_t Changes() override {
        const char* n = result_ ? PQcmdTuples(result_.get()) : "";
        return *n ? std::strtoll(n, nullptr, 10) : 0;
    }

  private:
    void Grow(int i) {
        if (values_.size() < static_cast<std::size_t>(i)) {
            values_.resize(static_cast<std::size_t>(i));
            formats_.resize(static_cast<std::size_t>(i), 0);
        }
    }
    Statement& Set(int i, std::string v, int format) {
        Grow(i);
        values_[static_cast<std::size_t>(i - 1)] = std::move(v);
        formats_[static_cast<std::size_t>(i - 1)] = format;
        return *this;
    }

    PgConnection& c_;
    std::vector<bool> used_; // before sql_, which fills it
    std::string sql_;
    std::vector<std::optional<std::string>> values_;
    std::vector<int> formats_;
    Result result_;
    int row_ = -1;
};

class PgConnection final : public Connection {
  public:
    explicit PgConnection(const std::string& conninfo) {
        char* error = nullptr;
        PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &error);
        if (options == nullptr) {
            const std::string why = Trimmed(error);
            PQfreemem(error);
            throw DbError("bad PostgreSQL connection string: " + why, false);
        }
        bool password = false;
        for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o)
            password = password || (std::string(o->keyword) == "password" && o->val != nullptr && *o->val);
        PQconninfoFree(options);
        if (password)
            throw DbError("the PostgreSQL connection string holds a password: put it in a password file "
                          "(passfile=FILE in the connection string, or PGPASSFILE) instead",
                          false);
        conn_ = PQconnectdb(conninfo.c_str());
        if (conn_ == nullptr)
            throw DbError("cannot connect to PostgreSQL: out of memory", true);
        // NOTICEs (an existing table, say) are not the operator's business.
        PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
        if (PQstatus(conn_) != CONNECTION_OK) {
            const std::string why = Trimmed(PQerrorMessage(conn_));
            PQfinish(conn_);
            throw DbError("cannot connect to PostgreSQL: " + why, true);
        }
    }
    ~PgConnection() override { PQfinish(conn_); }

    Backend backend() const override { return Backend::Postgres; }
    std::unique_ptr<Statement> Prepare(const std::string& sql) override {
        return std::make_unique<PgStatement>(*this, sql);
    }
    // Several statements may go at once only without parameters.
    void Exec(const std::string& sql) override { Run(sql, {}, {}, {}, {}, true); }
    void Begin(bool exclusive) override {
        Exec("BEGIN");
        inTransaction_ = true;
        if (exclusive)
            Exec("SELECT pg_advisory_xact_lock(" + std::to_string(kSchemaLock) + ")");
    }
    void Commit() override {
        inTransaction_ = false;
        Exec("COMMIT");
    }
    void Rollback() noexcept override {
        inTransaction_ = false;
        if (PQstatus(conn_) == CONNECTION_OK)
            PQclear(PQexec(conn_, "ROLLBACK"));
    }
    int SchemaVersion() override {
        const Result known = Run("SELECT to_regclass('nivaxel_schema') IS NOT NULL", {}, {}, {});
        if (std::string(PQgetvalue(known.get(), 0, 0)) != "t")
            return 0;
        const Result r = Run("SELECT version FROM nivaxel_schema", {}, {}, {});
        return PQntuples(r.get()) > 0 ? std::atoi(PQgetvalue(r.get(), 0, 0)) : 0;
    }
    void SetSchemaVersion(int version) override {
        Exec("CREATE TABLE IF NOT EXISTS nivaxel_schema(version INTEGER NOT NULL)");
        Exec("DELETE FROM nivaxel_schema");
        Exec("INSERT INTO nivaxel_schema(version) VALUES(" + std::to_string(version) + ")");
    }

    void AddTextFunction(const std::string&, std::string (*)(const std::string&)) override {}

    Result Run(const std::string& sql, const std::vector<const char*>& values, const std::vector<int>& lengths,
               const std::vector<int>& formats, const std::vector<Oid>& types = {}, bool script = false) {
        Reconnect();
        Result r(script ? PQexec(conn_, sql.c_str())
                        : PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()),
                                       types.empty() ? nullptr : types.data(), values.data(), lengths.data(),
                                       formats.data(), 0));
        const ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
            return r;
        const char* state = r ? PQresultErrorField(r.get(), PG_DIAG_SQLSTATE) : nullptr;
        const bool lost = PQstatus(conn_) != CONNECTION_OK;
        // 57P: the server shutting down or refusing new work (admin shutdown,
        // crash recovery, cannot connect now): out of reach as well.
        const bool shuttingDown = state != nullptr && std::string(state).rfind("57P", 0) == 0;
        throw DbError("database: " + Trimmed(PQerrorMessage(conn_)), lost || shuttingDown);
    }

  private:
    // A lost link is opened again before the next statement, never inside a
    // transaction: that one is gone with the link, and its owner must know.
    void Reconnect() {
        if (PQstatus(conn_) == CONNECTION_OK)
            return;
        if (inTransaction_)
            throw DbError("database: the link to PostgreSQL was lost in a transaction", true);
        PQreset(conn_);
        if (PQstatus(conn_) != CONNECTION_OK)
            throw DbError("cannot connect to PostgreSQL: " + Trimmed(PQerrorMessage(conn_)), true);
    }

    PGconn* conn_ = nullptr;
    bool inTransaction_ = false;
};

bool PgStatement::Step() {
    if (!result_) {
        std::vector<const char*> values;
        std::vector<int> lengths;
        // A parameter bound but not mentioned (a filter left out) goes as text.
        std::vector<Oid> types;
        for (std::size_t i = 0; i < values_.size(); ++i) {
            const auto& v = values_[i];
            values.push_back(v ? v->data() : nullptr);
            lengths.push_back(v ? static_cast<int>(v->size()) : 0);
            types.push_back(i < used_.size() && used_[i] ? 0 : kTextOid);
        }
        result_ = c_.Run(sql_, values, lengths, formats_, types);
        row_ = -1;
    }
    if (row_ + 1 >= PQntuples(result_.get()))
        return false;
    ++row_;
    return true;
}

} // namespace

std::unique_ptr<Connection> OpenPostgres(const std::string& conninfo) { return std::make_unique<PgConnection>(conninfo); }

} // namespace nvserver::db

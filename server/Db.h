// A small database interface (connection, statement, bind, step/rows,
// transaction) with two backends: the embedded SQLite and PostgreSQL over
// libpq. SQL is written once, with `?` placeholders; what the two dialects
// spell differently is kept here and in Db.cpp, nowhere else.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace nvserver::db {

enum class Backend { Sqlite, Postgres };

struct DbError : std::runtime_error {
    // True when the database itself is out of reach (server down, link
    // lost), as opposed to a statement it refused: the caller answers 503 and
    // tries again later, the connection reconnecting by itself.
    bool unavailable;
    DbError(const std::string& what, bool unavailableNow = false) : std::runtime_error(what), unavailable(unavailableNow) {}
};

class Statement {
  public:
    virtual ~Statement() = default;
    // Parameters count from 1, as in the SQL's `?` order.
    virtual Statement& Bind(int i, std::int64_t v) = 0;
    virtual Statement& Bind(int i, const std::string& text) = 0;
    // Bytes, any of them NUL or not UTF-8.
    virtual Statement& BindBlob(int i, const std::string& bytes) = 0;
    virtual Statement& BindNull(int i) = 0;
    // Runs the statement on the first call; true while there is a row.
    virtual bool Step() = 0;
    // Ready to run again, bindings cleared.
    virtual void Reset() = 0;
    virtual std::int64_t Int(int column) = 0;
    virtual bool IsNull(int column) = 0;
    // Text or blob columns, as bytes.
    virtual std::string Text(int column) = 0;
    // Rows changed by the last run.
    virtual std::int64_t Changes() = 0;
};

class Connection {
  public:
    virtual ~Connection() = default;
    virtual Backend backend() const = 0;
    virtual std::unique_ptr<Statement> Prepare(const std::string& sql) = 0;
    // One or more statements without parameters.
    virtual void Exec(const std::string& sql) = 0;
    // A write transaction; on PostgreSQL `exclusive` also takes the
    // database-wide lock that migrations hold, so that nodes starting
    // together migrate one after the other.
    virtual void Begin(bool exclusive = false) = 0;
    virtual void Commit() = 0;
    virtual void Rollback() noexcept = 0;
    // The schema version recorded in the database (0 for a new one).
    virtual int SchemaVersion() = 0;
    // Inside a transaction.
    virtual void SetSchemaVersion(int version) = 0;
    // A one-argument text function callable from SQL (SQLite only; on
    // PostgreSQL such a function is created in SQL by the schema's owner).
    virtual void AddTextFunction(const std::string& name, std::string (*fn)(const std::string&)) = 0;
};

// Rolls back unless committed.
class Transaction {
  public:
    explicit Transaction(Connection& c, bool exclusive = false) : c_(c) { c_.Begin(exclusive); }
    ~Transaction() {
        if (!done_)
            c_.Rollback();
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Commit() {
        c_.Commit();
        done_ = true;
    }

  private:
    Connection& c_;
    bool done_ = false;
};

// `path` ":memory:" gives a private in-memory database. A write waits up to
// `busyMs` for another connection's transaction.
std::unique_ptr<Connection> OpenSqlite(const std::string& path, int busyMs = 2000);
// A libpq connection string or postgresql:// URI. A password in it is
// refused: it belongs in a password file (`passfile=` or PGPASSFILE), never
// on a command line.
std::unique_ptr<Connection> OpenPostgres(const std::string& conninfo);

// The dialect's spelling of a schema's or statement's words: `{id}` an
// integer key the database numbers itself, `{blob}` a byte column. INTEGER
// is 64 bits on both, and WITHOUT ROWID only means something to SQLite.
// Everything else is common SQL (ON CONFLICT upserts, RETURNING id, "user"
// quoted, lower() on both sides for a LIKE that ignores case).
std::string SchemaSql(Backend backend, const std::string& schema);

// Brings the database to migrations.size(), one transaction per step, each
// step's text passed through SchemaSql. A database newer than this program
// is refused rather than written with an old schema's idea of it.
void Migrate(Connection& c, const std::vector<std::string>& migrations);

} // namespace nvserver::db

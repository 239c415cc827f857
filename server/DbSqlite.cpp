// The SQLite backend of the database interface.
#include "Db.h"

#include <sqlite3.h>

namespace nvserver::db {
namespace {

// Busy, locked, full disk, I/O: the database is there but cannot be written
// now. Anything else is the statement's own fault.
bool Transient(int rc) {
    const int primary = rc & 0xFF;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED || primary == SQLITE_FULL ||
           primary == SQLITE_IOERR || primary == SQLITE_CANTOPEN;
}

[[noreturn]] void Fail(sqlite3* db, int rc, const std::string& what) {
    throw DbError("database " + what + ": " + sqlite3_errmsg(db), Transient(rc));
}

class SqliteStatement final : public Statement {
  public:
    SqliteStatement(sqlite3* db, const std::string& sql) : db_(db) {
        const int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr);
        if (rc != SQLITE_OK)
            Fail(db, rc, "prepare");
    }
    ~SqliteStatement() override { sqlite3_finalize(stmt_); }

    Statement& Bind(int i, std::int64_t v) override {
        sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    Statement& Bind(int i, const std::string& v) override {
        sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& BindBlob(int i, const std::string& v) override {
        sqlite3_bind_blob(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& BindNull(int i) override {
        sqlite3_bind_null(stmt_, i);
        return *this;
    }
    // Once done it stays done until Reset, as on PostgreSQL (SQLite would
    // run it again).
    bool Step() override {
        if (done_)
            return false;
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW)
            return true;
        done_ = true;
        if (rc != SQLITE_DONE)
            Fail(db_, rc, "step");
        changes_ = sqlite3_changes64(db_);
        // Finished, it no longer holds a commit back.
        sqlite3_reset(stmt_);
        return false;
    }
    void Reset() override {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
        done_ = false;
    }
    std::int64_t Int(int i) override { return sqlite3_column_int64(stmt_, i); }
    bool IsNull(int i) override { return sqlite3_column_type(stmt_, i) == SQLITE_NULL; }
    std::string Text(int i) override {
        const void* p = sqlite3_column_blob(stmt_, i);
        const int n = sqlite3_column_bytes(stmt_, i);
        return p ? std::string(static_cast<const char*>(p), static_cast<std::size_t>(n)) : std::string();
    }
    std::int64_t Changes() override { return changes_; }

  private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
    std::int64_t changes_ = 0;
    bool done_ = false;
};

void CallText(sqlite3_context* ctx, int, sqlite3_value** argv) {
    const auto* p = sqlite3_value_text(argv[0]);
    if (p == nullptr) {
        sqlite3_result_null(ctx);
        return;
    }
    const auto fn = reinterpret_cast<std::string (*)(const std::string&)>(sqlite3_user_data(ctx));
    const std::string out =
        fn(std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(sqlite3_value_bytes(argv[0]))));
    sqlite3_result_text(ctx, out.data(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

class SqliteConnection final : public Connection {
  public:
    SqliteConnection(const std::string& path, int busyMs) {
        const int rc = sqlite3_open_v2(path.c_str(), &db_,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
        if (rc != SQLITE_OK) {
            const std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close(db_);
            throw DbError("cannot open " + path + ": " + msg, Transient(rc));
        }
        sqlite3_busy_timeout(db_, busyMs);
        try {
            // WAL with NORMAL survives the process being killed at any
            // point; only a power cut may lose the last commits.
            Exec("PRAGMA journal_mode=WAL");
            Exec("PRAGMA synchronous=NORMAL");
            Exec("PRAGMA foreign_keys=ON");
        } catch (...) {
            sqlite3_close(db_);
            throw;
        }
    }
    ~SqliteConnection() override { sqlite3_close(db_); }

    Backend backend() const override { return Backend::Sqlite; }
    std::unique_ptr<Statement> Prepare(const std::string& sql) override {
        return std::make_unique<SqliteStatement>(db_, sql);
    }
    void Exec(const std::string& sql) override {
        const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK)
            Fail(db_, rc, "exec");
    }
    // IMMEDIATE: the write lock at the start, so a transaction never fails
    // half-way for want of it.
    void Begin(bool) override { Exec("BEGIN IMMEDIATE"); }
    // A statement left half-read would make SQLite refuse the commit; on
    // PostgreSQL its rows were all fetched already. Here they are dropped:
    // read what matters before committing.
    void Commit() override {
        for (sqlite3_stmt* st = sqlite3_next_stmt(db_, nullptr); st != nullptr; st = sqlite3_next_stmt(db_, st))
            if (sqlite3_stmt_busy(st))
                sqlite3_reset(st);
        Exec("COMMIT");
    }
    void Rollback() noexcept override { sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr); }
    int SchemaVersion() override {
        SqliteStatement s(db_, "PRAGMA user_version");
        return s.Step() ? static_cast<int>(s.Int(0)) : 0;
    }
    void SetSchemaVersion(int version) override { Exec("PRAGMA user_version=" + std::to_string(version)); }
    void AddTextFunction(const std::string& name, std::string (*fn)(const std::string&)) override {
        const int rc = sqlite3_create_function(db_, name.c_str(), 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC,
                                               reinterpret_cast<void*>(fn), CallText, nullptr, nullptr);
        if (rc != SQLITE_OK)
            Fail(db_, rc, "function " + name);
    }

  private:
    sqlite3* db_ = nullptr;
};

} // namespace

std::unique_ptr<Connection> OpenSqlite(const std::string& path, int busyMs) {
    return std::make_unique<SqliteConnection>(path, busyMs);
}

} // namespace nvserver::db

// One prepared statement of the store's own units, finalised on every path;
// failures throw StoreError. Private to the Store*.cpp files.
#pragma once

#include "Store.h"

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace nvserver {

class Sql {
  public:
    Sql(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &s_, nullptr) != SQLITE_OK)
            Fail("prepare");
    }
    ~Sql() { sqlite3_finalize(s_); }
    Sql(const Sql&) = delete;
    Sql& operator=(const Sql&) = delete;
    Sql& Bind(int i, const std::string& v) {
        sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Sql& Bind(int i, std::int64_t v) {
        sqlite3_bind_int64(s_, i, v);
        return *this;
    }
    Sql& BindNull(int i) {
        sqlite3_bind_null(s_, i);
        return *this;
    }
    bool Step() {
        const int rc = sqlite3_step(s_);
        if (rc == SQLITE_ROW)
            return true;
        if (rc != SQLITE_DONE)
            Fail("step");
        return false;
    }
    std::int64_t Int(int i) { return sqlite3_column_int64(s_, i); }
    bool IsNull(int i) { return sqlite3_column_type(s_, i) == SQLITE_NULL; }
    std::string Text(int i) {
        const void* p = sqlite3_column_blob(s_, i);
        return p ? std::string(static_cast<const char*>(p), static_cast<std::size_t>(sqlite3_column_bytes(s_, i)))
                 : std::string();
    }
    int Changes() { return sqlite3_changes(db_); }

  private:
    [[noreturn]] void Fail(const char* what) {
        throw StoreError(std::string("database ") + what + ": " + sqlite3_errmsg(db_));
    }
    sqlite3* db_;
    sqlite3_stmt* s_ = nullptr;
};

// A write transaction of the store's own units; rolls back unless committed.
class SqlTransaction {
  public:
    explicit SqlTransaction(sqlite3* db) : db_(db) {
        if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
            throw StoreError(std::string("database begin: ") + sqlite3_errmsg(db_));
    }
    SqlTransaction(const SqlTransaction&) = delete;
    SqlTransaction& operator=(const SqlTransaction&) = delete;
    void Commit() {
        if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
            throw StoreError(std::string("database commit: ") + sqlite3_errmsg(db_));
        done_ = true;
    }
    ~SqlTransaction() {
        if (!done_)
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }

  private:
    sqlite3* db_;
    bool done_ = false;
};

} // namespace nvserver

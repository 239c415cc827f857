// One statement in the common SQL, spelt for the backend; failures throw
// db::DbError. The Store and its units share it.
#pragma once

#include "Db.h"

#include <cstdint>
#include <memory>
#include <string>

namespace nvserver {

class Sql {
  public:
    Sql(db::Connection& c, const std::string& sql) : s_(c.Prepare(db::SchemaSql(c.backend(), sql))) {}
    Sql& Bind(int i, const std::string& v) {
        s_->Bind(i, v);
        return *this;
    }
    Sql& Bind(int i, std::int64_t v) {
        s_->Bind(i, v);
        return *this;
    }
    Sql& BindBlob(int i, const std::string& v) {
        s_->BindBlob(i, v);
        return *this;
    }
    Sql& BindNull(int i) {
        s_->BindNull(i);
        return *this;
    }
    bool Step() { return s_->Step(); }
    // Runs it to the end: the first row's first column (RETURNING id).
    std::int64_t Returned() {
        const std::int64_t id = s_->Step() ? s_->Int(0) : 0;
        while (s_->Step()) {
        }
        return id;
    }
    void Reset() { s_->Reset(); }
    std::int64_t Int(int i) { return s_->Int(i); }
    bool IsNull(int i) { return s_->IsNull(i); }
    std::string Text(int i) { return s_->Text(i); }
    std::int64_t Changes() { return s_->Changes(); }

  private:
    std::unique_ptr<db::Statement> s_;
};

// A write transaction of the store's own units; rolls back unless committed.
using SqlTransaction = db::Transaction;

} // namespace nvserver

// An alert's ledger read from the database itself, so that both backends
// are timed on the same query and the server is not asked.
#pragma once

#include "StationFrames.h"
#include "support/PostgresInstance.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace nvbench {

// How many of an alert's ledger rows record a send and an acknowledgement.
class Ledger {
  public:
    virtual ~Ledger() = default;
    struct Counts {
        long sent = -1, acknowledged = -1, sends = -1;
    };
    virtual Counts Of(long alert) = 0;

    // Polls until `field` reaches n; the time of that poll, or 0 after 300 s.
    std::int64_t WaitFor(long alert, long Counts::*field, long n) {
        const std::int64_t deadline = NowNs() + 300'000'000'000;
        while (NowNs() < deadline) {
            if (Of(alert).*field >= n)
                return NowNs();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return 0;
    }

  protected:
    static constexpr const char* kQuery =
        "SELECT count(*) FILTER (WHERE sent_count > 0), count(*) FILTER (WHERE state = 'acknowledged'), "
        "coalesce(sum(sent_count), 0) FROM deliveries WHERE alert_id = ";
};

class PostgresLedger final : public Ledger {
  public:
    explicit PostgresLedger(const std::string& conninfo) : pg_(PQconnectdb(conninfo.c_str())) {}
    ~PostgresLedger() override { PQfinish(pg_); }
    Counts Of(long alert) override {
        Counts c;
        PGresult* r = PQexec(pg_, (kQuery + std::to_string(alert)).c_str());
        if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1)
            c = {std::atol(PQgetvalue(r, 0, 0)), std::atol(PQgetvalue(r, 0, 1)), std::atol(PQgetvalue(r, 0, 2))};
        else
            std::fprintf(stderr, "ledger query: %s", PQerrorMessage(pg_));
        PQclear(r);
        return c;
    }

  private:
    PGconn* pg_;
};

class SqliteLedger final : public Ledger {
  public:
    explicit SqliteLedger(const std::string& path) {
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_busy_timeout(db_, 1000);
    }
    ~SqliteLedger() override { sqlite3_close(db_); }
    Counts Of(long alert) override {
        Counts c;
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db_, (kQuery + std::to_string(alert)).c_str(), -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW)
            c = {sqlite3_column_int(s, 0), sqlite3_column_int(s, 1), sqlite3_column_int(s, 2)};
        else
            std::fprintf(stderr, "ledger query: %s\n", sqlite3_errmsg(db_));
        sqlite3_finalize(s);
        return c;
    }

  private:
    sqlite3* db_ = nullptr;
};

// A fresh database on the instance for each run, so that every run starts empty.
inline std::string FreshDatabase(const nvtest::PostgresInstance& pg) {
    static int runs = 0;
    const std::string name = "nvbench" + std::to_string(++runs);
    PGconn* c = PQconnectdb(pg.Conninfo().c_str());
    PQclear(PQexec(c, ("CREATE DATABASE " + name).c_str()));
    PQfinish(c);
    std::string conninfo = pg.Conninfo();
    conninfo.replace(conninfo.find("dbname=postgres"), 15, "dbname=" + name);
    return conninfo;
}

} // namespace nvbench

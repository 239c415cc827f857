// One server per SQLite data directory: a lock on DIR/serve.lock held for
// the process's life. Several servers on one directory would each deliver
// only their own alerts; several nodes share a PostgreSQL database instead.
#pragma once

#include <string>

namespace nvserver {

class DataDirLock {
  public:
    // Takes the lock, or leaves it free and says why in error().
    explicit DataDirLock(const std::string& dir);
    ~DataDirLock();
    DataDirLock(const DataDirLock&) = delete;
    DataDirLock& operator=(const DataDirLock&) = delete;

    bool held() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }

  private:
    int fd_ = -1;
    std::string error_;
};

} // namespace nvserver

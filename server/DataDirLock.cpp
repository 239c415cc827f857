#include "DataDirLock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace nvserver {

DataDirLock::DataDirLock(const std::string& dir) {
    const std::string path = dir + "/serve.lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error_ = "cannot open " + path + ": " + std::strerror(errno);
        return;
    }
    // flock, not fcntl: its lock belongs to this open file, so no other
    // open of the same file in this process can drop it by closing.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        if (e == EWOULDBLOCK) {
            char pid[32] = {};
            const ssize_t n = ::pread(fd, pid, sizeof pid - 1, 0);
            std::string owner = n > 0 ? std::string(pid, static_cast<std::size_t>(n)) : std::string();
            owner.erase(owner.find_last_not_of(" \n") + 1);
            error_ = "the data directory " + dir + " is in use by another nivaxel-server" +
                     (owner.empty() ? std::string() : " (pid " + owner + ")") +
                     "; an SQLite data directory serves one node only: to run several nodes, put them on "
                     "one PostgreSQL database (see \"Several nodes\" in server/README.md)";
        } else {
            error_ = "cannot lock " + path + ": " + std::strerror(e);
        }
        ::close(fd);
        return;
    }
    // The owner's pid, for the message a second server shows; the lock
    // holds without it.
    const std::string pid = std::to_string(::getpid()) + "\n";
    const bool recorded =
        ::ftruncate(fd, 0) == 0 && ::pwrite(fd, pid.data(), pid.size(), 0) == static_cast<ssize_t>(pid.size());
    static_cast<void>(recorded);
    fd_ = fd;
}

DataDirLock::~DataDirLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

} // namespace nvserver

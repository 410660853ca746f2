#include "platform/posix/update_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace kdx::platform {

namespace {

// What the file says of its holder: its process ID and that process's name.
std::string HolderText(int fd) {
    char buffer[32] = {};
    const ssize_t n = pread(fd, buffer, sizeof buffer - 1, 0);
    if (n <= 0) return "another process";
    std::string pid(buffer, static_cast<size_t>(n));
    pid.erase(pid.find_last_not_of(" \n") + 1);
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) return "another process";
    std::string name;
    std::getline(std::ifstream("/proc/" + pid + "/comm"), name);
    return "process " + pid + (name.empty() ? "" : " (" + name + ")");
}

}  // namespace

UpdateLock::~UpdateLock() {
    if (fd_ >= 0) close(fd_);
}

// /run/lock is writable by everyone. A link planted there must not lead root's open
// elsewhere, only a plain file is taken, and a file another user left there (which the
// kernel's protected_regular rule keeps root from opening with O_CREAT, and which its owner
// could hold locked for ever) is replaced by root's own.
int UpdateLock::OpenFile(const std::string& path, std::string& detail) {
    constexpr int kFlags = O_CLOEXEC | O_NOFOLLOW | O_NOCTTY;
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = open(path.c_str(), O_RDWR | O_CREAT | kFlags, 0644);
        // Root's file is read-only to others; a lock needs no more than reading.
        if (fd < 0 && errno == EACCES) fd = open(path.c_str(), O_RDONLY | kFlags);
        if (fd < 0) {
            detail = path + ": " + std::strerror(errno);
            return -1;
        }
        struct stat st{};
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            close(fd);
            detail = path + ": not a regular file";
            return -1;
        }
        if (geteuid() != 0 || st.st_uid == 0) return fd;
        close(fd);
        unlink(path.c_str());
    }
    detail = path + ": left there by another user";
    return -1;
}

UpdateLock::Outcome UpdateLock::Take(const std::string& path, std::string& detail) {
    const int fd = OpenFile(path, detail);
    if (fd < 0) return Outcome::Failed;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        detail = error == EWOULDBLOCK ? HolderText(fd) : path + ": " + std::strerror(error);
        close(fd);
        return error == EWOULDBLOCK ? Outcome::Busy : Outcome::Failed;
    }
    fd_ = fd;
    // Best effort: a file opened read-only keeps its old contents.
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd_, 0) == 0) {
        const ssize_t written = pwrite(fd_, pid.data(), pid.size(), 0);
        (void)written;
    }
    return Outcome::Taken;
}

}  // namespace kdx::platform

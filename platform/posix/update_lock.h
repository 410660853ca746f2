// One update at a time: an exclusive flock on a file under /run/lock, held until the
// process ends. The holder writes its process ID into the file so that a second instance
// can name it.
#pragma once

#include <string>

namespace kdx::platform {

class UpdateLock {
public:
    static constexpr char kDefaultPath[] = "/run/lock/kdx4610-update.lock";

    enum class Outcome { Taken, Busy, Failed };

    UpdateLock() = default;
    ~UpdateLock();
    UpdateLock(const UpdateLock&) = delete;
    UpdateLock& operator=(const UpdateLock&) = delete;

    // Never waits. Busy: `detail` names the holder ("process 1234 (kdx4610-update)");
    // Failed: why the file could not be used.
    Outcome Take(const std::string& path, std::string& detail);

private:
    static int OpenFile(const std::string& path, std::string& detail);

    int fd_ = -1;
};

}  // namespace kdx::platform

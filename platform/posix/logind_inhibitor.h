// A logind inhibitor lock: while it is held, logind refuses to suspend, hibernate, shut
// down or go idle, and ignores the lid switch (mode "block"). Taken over the system bus
// with sd-bus; the lock is the file descriptor logind hands back, released by closing it.
#pragma once

#include <string>

namespace kdx::platform {

class LogindInhibitor {
public:
    LogindInhibitor() = default;
    ~LogindInhibitor() { Release(); }
    LogindInhibitor(const LogindInhibitor&) = delete;
    LogindInhibitor& operator=(const LogindInhibitor&) = delete;

    // False with the reason when logind cannot be reached or refuses.
    bool Take(std::string& reason);
    void Release();

private:
    int fd_ = -1;
};

}  // namespace kdx::platform

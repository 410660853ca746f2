// The platform layer on Linux: POSIX equivalents of the Windows calls the updater makes.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/clock.h"
#include "platform/control_library.h"
#include "platform/debug_output.h"
#include "platform/driver_interface.h"
#include "platform/file.h"
#include "platform/resources.h"
#include "platform/system.h"

namespace kdx::platform {

namespace {

class PosixClock final : public Clock {
public:
    int64_t Frequency() override { return 1'000'000'000; }
    int64_t Counter() override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
    }
    void Spin(int64_t) override {}
    void Sleep(uint32_t ms) override {
        timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1'000'000};
        while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
    }
    // Linux timers already have a fine resolution: nothing to raise.
    void BeginTimerPeriod(uint32_t) override {}
    void EndTimerPeriod(uint32_t) override {}
};

class StderrDebugOutput final : public DebugOutput {
public:
    void Write(WTextView text) override {
        std::string line = ToUtf8(text);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        std::fprintf(stderr, "debug: %s\n", line.c_str());
    }
};

// There is no graphics driver interface on Linux: creating it fails as a missing COM
// class does, so the run ends as it does on a PC without the driver.
class MissingDriverConnector final : public DriverConnector {
public:
    int32_t CreateInstance(DriverInterface*& out) override {
        out = nullptr;
        return kClassNotRegistered;
    }
};

// Nor is there the graphics vendor's control library.
class MissingControlLibraryLoader final : public ControlLibraryLoader {
public:
    std::unique_ptr<ControlLibrary> Load() override { return nullptr; }
};

}  // namespace

Clock& SystemClock() {
    static PosixClock clock;
    return clock;
}

DebugOutput& SystemDebugOutput() {
    static StderrDebugOutput output;
    return output;
}

DriverConnector& SystemDriverConnector() {
    static MissingDriverConnector connector;
    return connector;
}

ControlLibraryLoader& SystemControlLibraryLoader() {
    static MissingControlLibraryLoader loader;
    return loader;
}

bool AppendToFile(WTextView relativeName, std::span<const uint8_t> bytes) {
    const std::string name = ToUtf8(relativeName);
    const int fd = open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    if (lseek(fd, 0, SEEK_END) >= 0) {
        [[maybe_unused]] const ssize_t written = write(fd, bytes.data(), bytes.size());
    }
    close(fd);
    return true;
}

System& RealSystem() {
    static System system{SystemClock(), SystemDebugOutput(), ProgramResources()};
    return system;
}

}  // namespace kdx::platform

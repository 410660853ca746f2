// Test equipment for running the real kdx4610-update against the chip simulator: loaded
// with LD_PRELOAD, it answers the program's open, pread, pwrite, ioctl and close of
// /dev/drm_dp_aux* and /dev/i2c-* from the simulator's model of the kernel, and passes
// every other call on to the C library. The model is configured by kdx4610-sim options in
// KDX4610_SIM_OPTIONS (words separated by blanks: --fault NAME, --trace FILE,
// --flash-out FILE, ...); the session is finished (trace closed, flash saved) when the
// program exits.
//
// KDX4610_SIM_CALL_LOG names a file that gets one line per open, pwrite and I2C_RDWR of a
// node as it happens, written at once: unlike the trace, it survives a program that a
// signal ended.
//
// The sysfs tree the program walks is a real one (kdx4610-sim-sysfs writes the model's),
// mounted over /sys by the namespace runner. Each node the model opens gets a real
// descriptor (of /dev/null) as its number, so that the program's descriptors never clash.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/dp_aux_system.h"
#include "sim/session.h"

namespace {

using OpenFn = int (*)(const char*, int, ...);
using CloseFn = int (*)(int);
using PreadFn = ssize_t (*)(int, void*, size_t, off_t);
using PwriteFn = ssize_t (*)(int, const void*, size_t, off_t);
using IoctlFn = int (*)(int, unsigned long, ...);

template <typename Fn>
Fn Next(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

struct Equipment {
    std::mutex mutex;
    std::unique_ptr<kdx::sim::Session> session;
    std::map<int, int> modelFd;  // the program's descriptor -> the model's
    bool failed = false;

    kdx::platform::DpAuxSystem* Kernel() {
        if (session || failed) return session ? &session->DpAux() : nullptr;
        std::vector<std::string> options;
        if (const char* words = std::getenv("KDX4610_SIM_OPTIONS")) {
            std::istringstream in(words);
            for (std::string word; in >> word;) options.push_back(word);
        }
        std::string error;
        session = kdx::sim::OpenSession(options, kdx::platform::SystemClock(), nullptr, error);
        if (!session) {
            failed = true;
            std::fprintf(stderr, "kdx_sim_preload: %s\n", error.c_str());
            return nullptr;
        }
        return &session->DpAux();
    }
};

// Never destroyed: the C library still closes descriptors after static destructors ran.
Equipment& TheEquipment() {
    static Equipment* const equipment = new Equipment;
    return *equipment;
}

// At exit, after the program's main has returned and its objects have closed the nodes.
__attribute__((destructor)) void FinishSession() {
    Equipment& e = TheEquipment();
    std::lock_guard lock(e.mutex);
    if (e.session) e.session->Finish();
    e.session.reset();
    e.failed = true;
}

bool IsModelNode(const char* path) {
    return path != nullptr &&
           (std::strncmp(path, "/dev/drm_dp_aux", 15) == 0 || std::strncmp(path, "/dev/i2c-", 9) == 0);
}

void LogCall(const std::string& line) {
    static const int fd = [] {
        const char* path = std::getenv("KDX4610_SIM_CALL_LOG");
        static const OpenFn realOpen = Next<OpenFn>("open");
        return path == nullptr ? -1 : realOpen(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }();
    if (fd < 0) return;
    const std::string text = line + "\n";
    const ssize_t written = write(fd, text.data(), text.size());
    (void)written;
}

std::string Hex(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0xF];
    }
    return out;
}

int Fail(int negativeErrno) {
    errno = -negativeErrno;
    return -1;
}

int OpenModelNode(const char* path) {
    // The kernel's nodes are root:root 0600: a program run by another user is refused
    // before anything reaches the driver.
    if (geteuid() != 0) {
        LogCall(std::string("open ") + path + " refused: not root");
        return Fail(-EACCES);
    }
    Equipment& e = TheEquipment();
    std::lock_guard lock(e.mutex);
    kdx::platform::DpAuxSystem* kernel = e.Kernel();
    if (kernel == nullptr) return Fail(-ENODEV);
    const int model = kernel->Open(path);
    LogCall(std::string("open ") + path + " " + std::to_string(model));
    if (model < 0) return Fail(model);
    static const OpenFn realOpen = Next<OpenFn>("open");
    const int fd = realOpen("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        kernel->Close(model);
        return -1;
    }
    e.modelFd[fd] = model;
    return fd;
}

// The model's descriptor behind one of the program's, or -1.
int ModelFd(int fd) {
    Equipment& e = TheEquipment();
    const auto it = e.modelFd.find(fd);
    return it == e.modelFd.end() ? -1 : it->second;
}

int OpenAny(const char* name, const char* path, int flags, va_list args) {
    if (IsModelNode(path)) return OpenModelNode(path);
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) mode = va_arg(args, mode_t);
    static const OpenFn realOpen = Next<OpenFn>("open");
    static const OpenFn realOpen64 = Next<OpenFn>("open64");
    return (std::strcmp(name, "open64") == 0 ? realOpen64 : realOpen)(path, flags, mode);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int fd = OpenAny("open", path, flags, args);
    va_end(args);
    return fd;
}

__attribute__((visibility("default"))) int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int fd = OpenAny("open64", path, flags, args);
    va_end(args);
    return fd;
}

__attribute__((visibility("default"))) int close(int fd) {
    static const CloseFn realClose = Next<CloseFn>("close");
    Equipment& e = TheEquipment();
    {
        std::lock_guard lock(e.mutex);
        const int model = ModelFd(fd);
        if (model >= 0) {
            if (kdx::platform::DpAuxSystem* kernel = e.Kernel()) kernel->Close(model);
            e.modelFd.erase(fd);
        }
    }
    return realClose(fd);
}

__attribute__((visibility("default"))) ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
    Equipment& e = TheEquipment();
    {
        std::lock_guard lock(e.mutex);
        const int model = ModelFd(fd);
        if (model >= 0) {
            if (offset < 0 || offset > 0xFFFFFFFF) return Fail(-EINVAL);
            const int64_t n = e.Kernel()->Pread(
                model, std::span(static_cast<uint8_t*>(buffer), count), static_cast<uint32_t>(offset));
            return n < 0 ? Fail(static_cast<int>(n)) : n;
        }
    }
    static const PreadFn realPread = Next<PreadFn>("pread");
    return realPread(fd, buffer, count, offset);
}

__attribute__((visibility("default"))) ssize_t pread64(int fd, void* buffer, size_t count, off_t offset) {
    return pread(fd, buffer, count, offset);
}

__attribute__((visibility("default"))) ssize_t pwrite(int fd, const void* data, size_t count, off_t offset) {
    Equipment& e = TheEquipment();
    {
        std::lock_guard lock(e.mutex);
        const int model = ModelFd(fd);
        if (model >= 0) {
            if (offset < 0 || offset > 0xFFFFFFFF) return Fail(-EINVAL);
            const std::span bytes(static_cast<const uint8_t*>(data), count);
            LogCall("pwrite " + std::to_string(offset) + " " + Hex(bytes));
            const int64_t n = e.Kernel()->Pwrite(model, bytes, static_cast<uint32_t>(offset));
            return n < 0 ? Fail(static_cast<int>(n)) : n;
        }
    }
    static const PwriteFn realPwrite = Next<PwriteFn>("pwrite");
    return realPwrite(fd, data, count, offset);
}

__attribute__((visibility("default"))) ssize_t pwrite64(int fd, const void* data, size_t count, off_t offset) {
    return pwrite(fd, data, count, offset);
}

__attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    Equipment& e = TheEquipment();
    {
        std::lock_guard lock(e.mutex);
        const int model = ModelFd(fd);
        if (model >= 0) {
            if (request != I2C_RDWR) return Fail(-ENOTTY);
            const auto* data = static_cast<const i2c_rdwr_ioctl_data*>(argument);
            // i2c-dev's own checks, before anything reaches the adapter.
            if (data == nullptr || data->nmsgs > kdx::platform::DpAuxSystem::kMaxI2cMessages) return Fail(-EINVAL);
            std::vector<kdx::platform::I2cMessage> messages;
            for (uint32_t i = 0; i < data->nmsgs; ++i) {
                const i2c_msg& m = data->msgs[i];
                if (m.len > kdx::platform::DpAuxSystem::kMaxI2cMessageLength) return Fail(-EINVAL);
                messages.push_back({m.addr, (m.flags & I2C_M_RD) != 0, std::span(m.buf, m.len)});
                if ((m.flags & I2C_M_RD) == 0) LogCall("i2c-write " + std::to_string(m.addr) + " " + Hex(messages.back().data));
            }
            const int n = e.Kernel()->I2cTransfer(model, messages);
            return n < 0 ? Fail(n) : n;
        }
    }
    static const IoctlFn realIoctl = Next<IoctlFn>("ioctl");
    return realIoctl(fd, request, argument);
}

}  // extern "C"

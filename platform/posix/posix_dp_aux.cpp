// The kernel's DisplayPort AUX interfaces through the real system calls.
#include <dirent.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/dp_aux_system.h"

namespace kdx::platform {

namespace {

// A sysfs attribute is one short line; anything longer is not one we read.
constexpr size_t kMaxAttributeLength = 256;

class PosixDpAux final : public DpAuxSystem {
public:
    int Open(const std::string& path) override {
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
        return fd >= 0 ? fd : -errno;
    }

    void Close(int fd) override { ::close(fd); }

    int64_t Pread(int fd, std::span<uint8_t> out, uint32_t offset) override {
        ssize_t n = 0;
        do n = ::pread(fd, out.data(), out.size(), static_cast<off_t>(offset));
        while (n < 0 && errno == EINTR);
        return n >= 0 ? n : -errno;
    }

    int64_t Pwrite(int fd, std::span<const uint8_t> data, uint32_t offset) override {
        ssize_t n = 0;
        do n = ::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset));
        while (n < 0 && errno == EINTR);
        return n >= 0 ? n : -errno;
    }

    int I2cTransfer(int fd, std::span<I2cMessage> messages) override {
        if (messages.size() > kMaxI2cMessages) return -EINVAL;
        std::array<i2c_msg, kMaxI2cMessages> raw{};
        for (size_t i = 0; i < messages.size(); ++i) {
            if (messages[i].data.size() > kMaxI2cMessageLength) return -EINVAL;
            raw[i].addr = messages[i].address;
            raw[i].flags = messages[i].read ? I2C_M_RD : 0;
            raw[i].len = static_cast<uint16_t>(messages[i].data.size());
            raw[i].buf = messages[i].data.data();
        }
        i2c_rdwr_ioctl_data request{raw.data(), static_cast<uint32_t>(messages.size())};
        const int n = ::ioctl(fd, I2C_RDWR, &request);
        return n >= 0 ? n : -errno;
    }

    std::vector<std::string> ListDirectory(const std::string& path) override {
        std::vector<std::string> names;
        const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(path.c_str()), ::closedir);
        if (!dir) return names;
        while (const dirent* entry = ::readdir(dir.get())) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        return names;
    }

    std::optional<std::string> ResolvePath(const std::string& path) override {
        const std::unique_ptr<char, void (*)(void*)> resolved(::realpath(path.c_str(), nullptr), std::free);
        if (!resolved) return std::nullopt;
        return std::string(resolved.get());
    }

    std::optional<std::string> ReadAttribute(const std::string& path) override {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return std::nullopt;
        std::array<char, kMaxAttributeLength> text{};
        const ssize_t n = ::read(fd, text.data(), text.size());
        ::close(fd);
        if (n < 0) return std::nullopt;
        std::string line(text.data(), static_cast<size_t>(n));
        if (const size_t end = line.find('\n'); end != std::string::npos) line.resize(end);
        return line;
    }

    std::string ErrorText(int error) override {
        std::array<char, 128> text{};
        // The GNU strerror_r returns its text, which may or may not be in the buffer.
        return ::strerror_r(error, text.data(), text.size());
    }
};

}  // namespace

DpAuxSystem& SystemDpAux() {
    static PosixDpAux system;
    return system;
}

}  // namespace kdx::platform

// The Linux kernel's DisplayPort AUX interfaces, as far as the updater uses them:
//   /dev/drm_dp_auxN  one per DisplayPort connector; the file offset is the DPCD address
//                     (up to 1 MiB), pread/pwrite carry native AUX reads and writes;
//   /dev/i2c-N        the same AUX channel's I2C-over-AUX adapter through i2c-dev, driven
//                     with the I2C_RDWR ioctl;
//   sysfs             /sys/class/drm_dp_aux_dev and /sys/class/i2c-dev, whose `device`
//                     links name the connector and the adapter (a child of the connector).
//
// The calls are a small table so that the backend's logic runs over the real system calls
// (platform/posix), over the chip simulator's model of the kernel, and in unit tests.
// Failures are negative Linux errno values (the x86-64 ABI numbers below), whatever the
// build's own C library calls them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kdx::platform {

namespace linux_errno {
inline constexpr int kNoEntry = 2;       // ENOENT: no such node
inline constexpr int kIo = 5;            // EIO: native NACK, or DEFER until the kernel's tries ran out
inline constexpr int kNoDeviceOrAddress = 6;  // ENXIO
inline constexpr int kAgain = 11;        // EAGAIN
inline constexpr int kAccess = 13;       // EACCES: the nodes are root's (0600)
inline constexpr int kBusy = 16;         // EBUSY: the channel is powered down or busy
inline constexpr int kNoDevice = 19;     // ENODEV: the connector went away
inline constexpr int kInvalid = 22;      // EINVAL: a request the kernel refuses (too many or too long messages)
inline constexpr int kProtocol = 71;     // EPROTO: a short ACK
inline constexpr int kTimedOut = 110;    // ETIMEDOUT: no reply on the wire
inline constexpr int kRemoteIo = 121;    // EREMOTEIO: I2C or native NACK on an I2C-over-AUX transfer
inline constexpr int kPermission = 1;    // EPERM
}  // namespace linux_errno

// One message of an I2C_RDWR ioctl: `address` is the 7-bit I2C address; a read message's
// bytes reach `data` only when the whole ioctl succeeded.
struct I2cMessage {
    uint16_t address = 0;
    bool read = false;
    std::span<uint8_t> data;
};

class DpAuxSystem {
public:
    // i2c-dev's limits for one I2C_RDWR.
    static constexpr size_t kMaxI2cMessages = 42;
    static constexpr size_t kMaxI2cMessageLength = 8192;

    virtual ~DpAuxSystem() = default;

    // open(path, O_RDWR | O_CLOEXEC): a descriptor, or -errno.
    virtual int Open(const std::string& path) = 0;
    virtual void Close(int fd) = 0;
    // pread/pwrite at a DPCD address: the count carried, or -errno.
    virtual int64_t Pread(int fd, std::span<uint8_t> out, uint32_t offset) = 0;
    virtual int64_t Pwrite(int fd, std::span<const uint8_t> data, uint32_t offset) = 0;
    // ioctl(fd, I2C_RDWR): the number of messages carried, or -errno.
    virtual int I2cTransfer(int fd, std::span<I2cMessage> messages) = 0;

    // The sysfs walk: the names in a directory (none when it cannot be read), the path a
    // path resolves to with every link followed, and the first line of a small attribute
    // file without its line end.
    virtual std::vector<std::string> ListDirectory(const std::string& path) = 0;
    virtual std::optional<std::string> ResolvePath(const std::string& path) = 0;
    virtual std::optional<std::string> ReadAttribute(const std::string& path) = 0;

    // The C library's text for an errno value ("Remote I/O error").
    virtual std::string ErrorText(int error) = 0;
};

// The real system calls on Linux; elsewhere a system without DisplayPort AUX nodes.
DpAuxSystem& SystemDpAux();

}  // namespace kdx::platform

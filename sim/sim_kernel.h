// The Linux kernel of the simulated PC, as far as the updater reaches it: the DRM AUX
// character devices (/dev/drm_dp_auxN), the I2C-over-AUX adapters through i2c-dev
// (/dev/i2c-N, ioctl I2C_RDWR), and the sysfs tree that pairs them, over i915 driving the
// simulated AUX channels. It follows the kernel's own code (Linux 6.1):
//
// - drm_dp_aux_dev: a read or write is cut into pieces of at most 16 bytes, one DPCD access
//   each; the first failing piece ends the call, with its error when it was the first,
//   else with the count carried so far. Offsets end at 1 MiB.
// - drm_dp_dpcd_read: every read access is preceded by a 1-byte probe read of DPCD 0x000.
// - drm_dp_dpcd_access: up to 32 tries, 0.5 ms apart except after a timeout; NACK and DEFER
//   end as EIO, a short ACK as EPROTO, and the error returned is the first try's.
// - drm_dp_i2c_xfer: per message a bare address with MOT, data pieces of at most 16 bytes
//   with MOT (none for an I2C_M_STOP message), after the last message (or a failure) a
//   bare address without MOT; drm_dp_i2c_do_msg's tries (max(7, the I2C bus time over the
//   AUX time) plus up to 7 for I2C DEFERs, EBUSY tried again at once, NACK -> EREMOTEIO),
//   drm_dp_i2c_drain_msg's short replies.
// - i2c-dev: at most 42 messages of at most 8192 bytes; read data reach the caller only
//   when the whole transfer succeeded.
// - i915: a silent wire is tried 5 times and ends as ETIMEDOUT; a busy engine as EBUSY.
//
// The four DisplayPort connectors are the simulated connections 0x0C..0x0F: connection
// 0x0C+k is card0-DP-(k+1) with drm_dp_auxk and, so that pairing by number is caught,
// the adapter i2c-(k+5). Every AUX transaction goes through the simulated driver's wire
// (SimDriver::Transact): timed, traced and faulted there like the Windows driver's calls.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "platform/dp_aux_system.h"
#include "sim/faults.h"
#include "sim/sim_clock.h"
#include "sim/sim_driver.h"

namespace kdx::sim {

class SimKernel final : public platform::DpAuxSystem {
public:
    static constexpr uint32_t kConnectorCount = 4;
    static constexpr unsigned kFirstI2cAdapter = 5;
    // The DPCD offsets drm_dp_aux_dev accepts: 1 MiB.
    static constexpr uint32_t kAuxMaxOffset = 1u << 20;
    static constexpr uint32_t kMaxPayload = 16;
    // drm_dp_dpcd_access's tries.
    static constexpr int kNativeTries = 32;
    // i915's tries of a transfer that got no reply.
    static constexpr int kI915TimeoutTries = 5;
    // drm_dp_i2c_do_msg: at least 7 tries, and up to 7 more while the sink's I2C side
    // answers DEFER; the bus time is reckoned at the helper's assumed 10 kHz.
    static constexpr int kI2cMinTries = 7;
    static constexpr int kI2cMaxExtraDeferTries = 7;
    static constexpr int kAssumedI2cKhz = 10;

    SimKernel(SimDriver& wire, SimClock& clock, const Faults& faults, uint32_t chipDeviceId);

    int Open(const std::string& path) override;
    void Close(int fd) override;
    int64_t Pread(int fd, std::span<uint8_t> out, uint32_t offset) override;
    int64_t Pwrite(int fd, std::span<const uint8_t> data, uint32_t offset) override;
    int I2cTransfer(int fd, std::span<platform::I2cMessage> messages) override;
    std::vector<std::string> ListDirectory(const std::string& path) override;
    std::optional<std::string> ResolvePath(const std::string& path) override;
    std::optional<std::string> ReadAttribute(const std::string& path) override;
    std::string ErrorText(int error) override;

    // The connector's sysfs path: /sys/devices/pci0000:00/0000:00:02.0/drm/card0/card0-DP-1.
    static std::string ConnectorPath(uint32_t connector);
    // Descriptors open now (a test that all are closed again).
    size_t OpenDescriptors() const { return open_.size(); }

private:
    // What the sink answered to one AUX transfer, as the DRM helpers see it.
    enum class Reply { Ack, Nack, Defer, I2cNack, I2cDefer };
    struct Message {
        uint32_t command = 0;   // request code with MOT
        uint32_t address = 0;   // DPCD address, or the 7-bit I2C address
        std::span<uint8_t> data;
        Reply reply = Reply::Ack;
    };
    struct Node {
        bool aux = false;
        uint32_t connector = 0;
    };

    // One DPCD access of `length` bytes at `at`, `done` bytes into the call.
    using PieceAccess = std::function<int64_t(uint32_t connector, uint32_t at, size_t done, size_t length)>;
    int64_t InPieces(int fd, size_t size, uint32_t offset, const PieceAccess& access);
    // i915's .transfer: bytes carried, or -errno; `message.reply` set when >= 0.
    int64_t I915Transfer(uint32_t connector, Message& message, bool ours);
    int64_t DpcdAccess(uint32_t connector, uint32_t command, uint32_t offset, std::span<uint8_t> data, bool ours);
    int64_t DpcdRead(uint32_t connector, uint32_t offset, std::span<uint8_t> out, bool ours);
    int64_t DpcdWrite(uint32_t connector, uint32_t offset, std::span<uint8_t> data, bool ours);
    int I2cDoMsg(uint32_t connector, Message& message);
    int I2cDrainMsg(uint32_t connector, Message& message);
    int I2cXfer(uint32_t connector, std::span<platform::I2cMessage> messages);
    void I915Access(uint32_t connector);
    void BeginSystemCall();
    const Node* NodeOf(int fd) const;

    void AddDirectory(const std::string& path);
    void AddLink(const std::string& path, const std::string& target);
    void AddAttribute(const std::string& path, const std::string& content);
    void BuildSysfs();

    SimDriver& wire_;
    SimClock& clock_;
    const Faults& faults_;
    uint32_t chipDeviceId_;

    std::set<std::string> directories_;
    std::map<std::string, std::string> links_;       // absolute path -> absolute target
    std::map<std::string, std::string> attributes_;  // resolved path -> content with its line end
    std::map<int, Node> open_;
    int nextFd_ = 3;

    uint32_t busyLeft_ = 0;          // EBUSY transfers left in this system call
    bool nackBurstArmed_ = true;     // the NACK burst has not begun yet
    uint32_t nackBurstLeft_ = 0;
    uint32_t oursSinceI915_ = 0;     // our transactions since i915's last access
    uint32_t i915Next_ = 0;          // which access i915 makes next
};

}  // namespace kdx::sim

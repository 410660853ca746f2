// The GfxLib backend over the Linux kernel's DisplayPort AUX interfaces: native transfers
// are pread/pwrite on the connector's /dev/drm_dp_auxN at the DPCD address, I2C-over-AUX
// transfers are I2C_RDWR ioctls on the same channel's /dev/i2c-N. The device ID is the
// channel's place (from 1) among the channels that have both nodes, in the order of the
// AUX device number.
//
// The kernel frames I2C messages itself (a bare address to start, data pieces, a bare
// address to stop) and hands read data back only for a whole message, so a DDC/CI reply
// cannot be read header first: it is read as one message long enough for the longest
// reply the caller can take, and the bytes past the reply's end are ignored.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "gfx/aux_transfer_lib.h"
#include "platform/clock.h"
#include "platform/dp_aux_system.h"

namespace kdx {

namespace gfx {
// Results of this backend beyond the shared ones. None is 2 or 5, which end a reply
// poll at once: a NACK or a silent wire is only "not now".
inline constexpr int32_t kAuxNack = 1006;           // EREMOTEIO or EIO: NACK, or DEFER until the kernel gave up
inline constexpr int32_t kSystemCallFailed = 1007;  // any other errno (the node went away, a refused request)
}  // namespace gfx

class GfxLibLinuxDpAux final : public AuxTransferLib {
public:
    // The chip's command port as the kernel addresses it: the 7-bit form of 0x6E.
    static constexpr uint16_t I2cAddress7(uint32_t addressByte) { return static_cast<uint16_t>((addressByte & 0xFF) >> 1); }

    // One DisplayPort AUX channel with both nodes.
    struct Channel {
        unsigned auxNumber = 0;  // N of drm_dp_auxN
        unsigned i2cNumber = 0;  // N of i2c-N
        std::string connector;   // the connector's sysfs name, card0-DP-1
        std::string name;        // the channel's name, "AUX B/DDI B/PHY B"
    };

    GfxLibLinuxDpAux(platform::DpAuxSystem& system, platform::Clock& clock);
    ~GfxLibLinuxDpAux();
    GfxLibLinuxDpAux(const GfxLibLinuxDpAux&) = delete;
    GfxLibLinuxDpAux& operator=(const GfxLibLinuxDpAux&) = delete;

    int32_t Initialize(WText& log) override;
    int32_t FindDevice(uint32_t& deviceId, uint32_t address, WText& log) override;
    int32_t I2cWrite(uint32_t deviceId, uint32_t address, std::span<const uint8_t> data) override;
    int32_t I2cRead(uint32_t deviceId, uint32_t address, std::span<uint8_t> buffer, int32_t& count,
                    WText& diagnostic) override;

    // The presence probe on one channel (device ID `deviceId`) alone, as FindDevice makes
    // it there: its result and the channel's report line.
    int32_t ProbeChannel(uint32_t deviceId, uint32_t address, WText& line);

    // Every AUX channel sysfs lists with both its nodes, in the order of the AUX device
    // number; `auxChannels` counts the AUX nodes, paired or not.
    std::vector<Channel> ListChannels(size_t& auxChannels);
    // The channels the last Initialize found; device ID k names the k-th.
    std::vector<Channel> Channels() const;
    // "card0-DP-1: drm_dp_aux0, i2c-7"
    static std::string ChannelText(const Channel& channel);

    // errno (negative, as the system calls give it) as this backend's result.
    static int32_t ResultOfErrno(int64_t negativeErrno);

    // Where sysfs and the device nodes are (tests point these into a tree of their own).
    std::string sysfsRoot = "/sys";
    std::string devRoot = "/dev";

private:
    struct OpenChannel {
        Channel channel;
        int auxFd = -1;
        int i2cFd = -1;
    };

    int32_t Transfer(uint32_t deviceId, uint32_t command, uint32_t address, std::span<uint8_t> data) override;
    SearchRules Rules();
    // The channel a device ID names, with both nodes open; null when there is none.
    OpenChannel* Opened(uint32_t deviceId);
    // Opens both nodes of channel `deviceId`: 0, or the first failure's -errno.
    int OpenNodes(OpenChannel& open);
    void CloseAll();

    platform::DpAuxSystem& system_;
    std::vector<OpenChannel> channels_;
};

}  // namespace kdx

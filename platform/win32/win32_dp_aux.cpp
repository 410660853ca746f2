// Windows has no DisplayPort AUX nodes of the Linux kind: a system on which the sysfs walk
// finds no channel, so that the backend over them reports that there is none.
#include "platform/dp_aux_system.h"

namespace kdx::platform {

namespace {

class NoDpAux final : public DpAuxSystem {
public:
    int Open(const std::string&) override { return -linux_errno::kNoEntry; }
    void Close(int) override {}
    int64_t Pread(int, std::span<uint8_t>, uint32_t) override { return -linux_errno::kNoDevice; }
    int64_t Pwrite(int, std::span<const uint8_t>, uint32_t) override { return -linux_errno::kNoDevice; }
    int I2cTransfer(int, std::span<I2cMessage>) override { return -linux_errno::kNoDevice; }
    std::vector<std::string> ListDirectory(const std::string&) override { return {}; }
    std::optional<std::string> ResolvePath(const std::string&) override { return std::nullopt; }
    std::optional<std::string> ReadAttribute(const std::string&) override { return std::nullopt; }
    std::string ErrorText(int error) override { return "error " + std::to_string(error); }
};

}  // namespace

DpAuxSystem& SystemDpAux() {
    static NoDpAux system;
    return system;
}

}  // namespace kdx::platform

// Feeds arbitrary kernel behaviour to the DP AUX backend: the sysfs tree it walks (names,
// links and attributes), what open, pread, pwrite and I2C_RDWR return and the bytes a read
// message gets. The caller's buffers are heap blocks of exactly their size, so that the
// address sanitizer catches any byte read or written outside them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "gfx/gfx_lib_linux_dp_aux.h"

namespace {

namespace err = kdx::platform::linux_errno;

class InputKernel final : public kdx::platform::DpAuxSystem {
public:
    InputKernel(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    int Open(const std::string&) override { return (Next() & 7) == 0 ? -Errno() : ++opened; }
    void Close(int) override { ++closed; }
    int64_t Pread(int, std::span<uint8_t> out, uint32_t) override {
        for (uint8_t& b : out) b = Next();
        return Count(out.size());
    }
    int64_t Pwrite(int, std::span<const uint8_t> data, uint32_t) override { return Count(data.size()); }
    int I2cTransfer(int, std::span<kdx::platform::I2cMessage> messages) override {
        const uint8_t control = Next();
        if ((control & 3) == 0) return -Errno();
        for (auto& m : messages) {
            if (m.read) for (uint8_t& b : m.data) b = Next();
        }
        return (control & 3) == 1 ? 0 : static_cast<int>(messages.size());
    }
    std::vector<std::string> ListDirectory(const std::string& path) override {
        std::vector<std::string> names;
        const bool aux = path.find("drm_dp_aux_dev") != std::string::npos;
        for (uint8_t n = Next() & 7; n > 0; --n) names.push_back(Name(aux ? "drm_dp_aux" : "i2c-"));
        return names;
    }
    std::optional<std::string> ResolvePath(const std::string&) override {
        if ((Next() & 3) == 0) return std::nullopt;
        // A few connectors, and adapters under them or elsewhere.
        return "/sys/devices/card0/card0-DP-" + std::to_string(Next() & 3) + ((Next() & 1) ? "/i2c-1" : "");
    }
    std::optional<std::string> ReadAttribute(const std::string&) override {
        if ((Next() & 3) == 0) return std::nullopt;
        return std::string(Next() & 1 ? "AUX B" : "AUX C");
    }
    std::string ErrorText(int error) override { return "errno " + std::to_string(error); }

    int opened = 0;
    int closed = 0;

private:
    uint8_t Next() { return at_ < size_ ? data_[at_++] : 0; }
    int Errno() {
        static constexpr int kErrors[] = {err::kRemoteIo, err::kIo, err::kBusy, err::kTimedOut,
                                          err::kAccess,   err::kNoEntry, err::kProtocol, err::kInvalid};
        return kErrors[Next() & 7];
    }
    int64_t Count(size_t asked) {
        const uint8_t control = Next();
        if ((control & 3) == 0) return -Errno();
        if ((control & 3) == 1) return control >> 2;  // a short (or over-long) count
        return static_cast<int64_t>(asked);
    }
    std::string Name(const char* prefix) {
        const uint8_t v = Next();
        if (v == 0xFF) return std::string(prefix) + "x";
        if (v == 0xFE) return std::string(prefix) + "99999999999999999999";
        return prefix + std::to_string(v & 0x0F);
    }

    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t capacity = data[0];
    const uint8_t mode = data[1] & 3;
    InputKernel kernel(data + 2, size - 2);
    kdx::platform::VirtualClock clock;
    {
        kdx::GfxLibLinuxDpAux gfx(kernel, clock);
        kdx::WText log;
        const int32_t started = gfx.Initialize(log);
        Check(started == 0 || started == kdx::gfx::kInitFailed);
        uint32_t deviceId = 0;
        const int32_t found = gfx.FindDevice(deviceId, 0x6E, log);
        Check(found == 0 || found == kdx::gfx::kSearchFailure || found == kdx::gfx::kNotSupported);
        Check(found == 0 ? deviceId >= 1 && deviceId <= gfx.Channels().size() : deviceId == 0);
        const uint32_t id = deviceId != 0 ? deviceId : 1;
        std::vector<uint8_t> buffer(capacity);
        if (mode == 0) {
            int32_t count = -1;
            const int32_t result = gfx.I2cRead(id, 0x6E, buffer, count, log);
            if (result == 0) Check(count >= 2 && count <= 130 && static_cast<size_t>(count) <= capacity);
            else Check(count == -1);
        } else if (mode == 1) {
            gfx.NativeRead(id, 0x503, buffer);
        } else {
            gfx.I2cWrite(id, 0x6E, buffer);
            gfx.NativeWrite(id, 0x20000, buffer);
        }
    }
    Check(kernel.opened == kernel.closed);
    return 0;
}

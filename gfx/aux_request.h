// AuxRequest: the 160-byte record that carries one elementary AUX transfer to the
// graphics driver. Little-endian integers.
//
//   0   4  device ID          16  4  command code       20  4  length (1..16)
//   24  4  address            28 16  data                44 116 reserved (0)
//   4  12  reserved (0)
#pragma once

#include <cstdint>
#include <span>

#include "platform/driver_interface.h"

namespace kdx::gfx {

class AuxRequest {
public:
    static constexpr size_t kDeviceIdOffset = 0;
    static constexpr size_t kCommandOffset = 16;
    static constexpr size_t kLengthOffset = 20;
    static constexpr size_t kAddressOffset = 24;
    static constexpr size_t kDataOffset = 28;
    static constexpr size_t kDataSize = 16;

    AuxRequest() { Clear(); }
    explicit AuxRequest(const platform::AuxRecord& record) : bytes_(record) {}

    void Clear() { bytes_.fill(0); }

    uint32_t DeviceId() const { return Get32(kDeviceIdOffset); }
    uint32_t Command() const { return Get32(kCommandOffset); }
    uint32_t Length() const { return Get32(kLengthOffset); }
    uint32_t Address() const { return Get32(kAddressOffset); }
    void SetDeviceId(uint32_t v) { Set32(kDeviceIdOffset, v); }
    void SetCommand(uint32_t v) { Set32(kCommandOffset, v); }
    void SetLength(uint32_t v) { Set32(kLengthOffset, v); }
    void SetAddress(uint32_t v) { Set32(kAddressOffset, v); }

    std::span<uint8_t, kDataSize> Data() { return std::span<uint8_t, kDataSize>(bytes_.data() + kDataOffset, kDataSize); }
    std::span<const uint8_t, kDataSize> Data() const {
        return std::span<const uint8_t, kDataSize>(bytes_.data() + kDataOffset, kDataSize);
    }

    platform::AuxRecord& Record() { return bytes_; }
    const platform::AuxRecord& Record() const { return bytes_; }

private:
    uint32_t Get32(size_t at) const {
        return static_cast<uint32_t>(bytes_[at]) | static_cast<uint32_t>(bytes_[at + 1]) << 8 |
               static_cast<uint32_t>(bytes_[at + 2]) << 16 | static_cast<uint32_t>(bytes_[at + 3]) << 24;
    }
    void Set32(size_t at, uint32_t v) {
        for (size_t i = 0; i < 4; ++i) bytes_[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }

    platform::AuxRecord bytes_;
};

}  // namespace kdx::gfx

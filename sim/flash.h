// The chip's 512 KiB serial NOR flash: erase sets bytes to 0xFF, programming can only
// clear bits (new = old AND data), so programming over unerased bytes corrupts them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kdx::sim {

class Flash {
public:
    static constexpr uint32_t kSize = 512 * 1024;
    static constexpr uint32_t kSectorSize = 4096;
    static constexpr uint8_t kErased = 0xFF;

    Flash() : bytes_(kSize, kErased) {}

    // The content as given; bytes beyond it are erased, bytes beyond the flash ignored.
    void Load(std::span<const uint8_t> content);
    void EraseAll() { EraseSectors(0, kSize / kSectorSize); }
    void EraseSectors(uint32_t firstSector, uint32_t count);
    // False, with nothing programmed, when the range is not inside the flash.
    bool Program(uint32_t offset, std::span<const uint8_t> data);
    bool Read(uint32_t offset, std::span<uint8_t> out) const;
    std::span<const uint8_t> Bytes() const { return bytes_; }

private:
    static bool Inside(uint32_t offset, size_t length) { return offset <= kSize && length <= kSize - offset; }
    std::vector<uint8_t> bytes_;
};

// The CRC-16 the ISP driver checks on every block: polynomial 0x1021, most significant bit
// first, initial value 0x1021, no reflection, no final XOR ("123456789" gives 0x5E86).
uint16_t BlockCrc16(std::span<const uint8_t> data);

}  // namespace kdx::sim

#include "sim/flash.h"

#include <algorithm>

namespace kdx::sim {

void Flash::Load(std::span<const uint8_t> content) {
    std::fill(bytes_.begin(), bytes_.end(), kErased);
    std::copy_n(content.begin(), std::min<size_t>(content.size(), kSize), bytes_.begin());
}

void Flash::EraseSectors(uint32_t firstSector, uint32_t count) {
    const uint32_t sectors = kSize / kSectorSize;
    if (firstSector >= sectors) return;
    const uint32_t last = std::min(sectors, firstSector + std::min(count, sectors));
    std::fill(bytes_.begin() + firstSector * kSectorSize, bytes_.begin() + last * kSectorSize, kErased);
}

bool Flash::Program(uint32_t offset, std::span<const uint8_t> data) {
    if (!Inside(offset, data.size())) return false;
    for (size_t i = 0; i < data.size(); ++i) bytes_[offset + i] &= data[i];
    return true;
}

bool Flash::Read(uint32_t offset, std::span<uint8_t> out) const {
    if (!Inside(offset, out.size())) return false;
    std::copy_n(bytes_.begin() + offset, out.size(), out.begin());
    return true;
}

uint16_t BlockCrc16(std::span<const uint8_t> data) {
    constexpr uint16_t kPolynomial = 0x1021;
    constexpr uint16_t kInitial = 0x1021;
    uint16_t crc = kInitial;
    for (uint8_t byte : data) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool dataBit = (byte >> bit) & 1;
            const bool topBit = (crc >> 15) & 1;
            crc = static_cast<uint16_t>(crc << 1);
            if (dataBit != topBit) crc ^= kPolynomial;
        }
    }
    return crc;
}

}  // namespace kdx::sim

// SHA-256 by the operating system's own cryptography: CNG (bcrypt.dll) on Windows,
// OpenSSL's libcrypto on Linux. Image loading checks the embedded images with it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace kdx::platform {

using Sha256Digest = std::array<uint8_t, 32>;

// The digest of `bytes`; empty when the system cannot compute one (its hash provider is
// missing or refuses), which a caller checking an image must treat as a mismatch.
std::optional<Sha256Digest> Sha256(std::span<const uint8_t> bytes);

}  // namespace kdx::platform

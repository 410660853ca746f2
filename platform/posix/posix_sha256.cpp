#include <openssl/evp.h>

#include "platform/sha256.h"

namespace kdx::platform {

std::optional<Sha256Digest> Sha256(std::span<const uint8_t> bytes) {
    Sha256Digest digest{};
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
        length != digest.size())
        return std::nullopt;
    return digest;
}

}  // namespace kdx::platform

// SHA-256 through CNG. bcrypt.dll is loaded at run time from the system directory
// (SystemLibrary), never through the import table: a copy planted beside the program
// would otherwise be loaded first and could vouch for any image.
#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <memory>

#include "platform/sha256.h"
#include "platform/win32/system_library.h"

namespace kdx::platform {

namespace {

// The largest piece one BCryptHashData call takes (its length is a ULONG).
constexpr size_t kMaxPiece = 1u << 30;

}  // namespace

std::optional<Sha256Digest> Sha256(std::span<const uint8_t> bytes) {
    const win32::SystemLibrary bcrypt(L"bcrypt.dll");
    const auto openAlgorithm = bcrypt.Find<decltype(&BCryptOpenAlgorithmProvider)>("BCryptOpenAlgorithmProvider");
    const auto closeAlgorithm = bcrypt.Find<decltype(&BCryptCloseAlgorithmProvider)>("BCryptCloseAlgorithmProvider");
    const auto createHash = bcrypt.Find<decltype(&BCryptCreateHash)>("BCryptCreateHash");
    const auto hashData = bcrypt.Find<decltype(&BCryptHashData)>("BCryptHashData");
    const auto finishHash = bcrypt.Find<decltype(&BCryptFinishHash)>("BCryptFinishHash");
    const auto destroyHash = bcrypt.Find<decltype(&BCryptDestroyHash)>("BCryptDestroyHash");
    if (!openAlgorithm || !closeAlgorithm || !createHash || !hashData || !finishHash || !destroyHash)
        return std::nullopt;

    BCRYPT_ALG_HANDLE algorithmHandle = nullptr;
    if (!BCRYPT_SUCCESS(openAlgorithm(&algorithmHandle, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return std::nullopt;
    const auto closeAlgorithmHandle = [closeAlgorithm](void* h) { closeAlgorithm(h, 0); };
    const std::unique_ptr<void, decltype(closeAlgorithmHandle)> algorithm(algorithmHandle, closeAlgorithmHandle);

    // No hash object buffer: CNG allocates the hash state itself.
    BCRYPT_HASH_HANDLE hashHandle = nullptr;
    if (!BCRYPT_SUCCESS(createHash(algorithm.get(), &hashHandle, nullptr, 0, nullptr, 0, 0))) return std::nullopt;
    const auto destroyHashHandle = [destroyHash](void* h) { destroyHash(h); };
    const std::unique_ptr<void, decltype(destroyHashHandle)> hash(hashHandle, destroyHashHandle);

    for (size_t at = 0; at < bytes.size(); at += kMaxPiece) {
        const auto piece = bytes.subspan(at, std::min(kMaxPiece, bytes.size() - at));
        // CNG reads the input only; its prototype merely lacks the const.
        if (!BCRYPT_SUCCESS(hashData(hash.get(), const_cast<PUCHAR>(piece.data()), static_cast<ULONG>(piece.size()), 0)))
            return std::nullopt;
    }
    Sha256Digest digest{};
    if (!BCRYPT_SUCCESS(finishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0))) return std::nullopt;
    return digest;
}

}  // namespace kdx::platform

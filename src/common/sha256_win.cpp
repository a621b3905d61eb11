// SHA-256 from CNG (bcrypt), which every Windows since Vista has and a static build links.
#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>

#include <new>

#include "common/sha256.h"

namespace morva {
namespace {

// The hash object lives in the caller's storage, behind the handles.
struct CngHash {
    BCRYPT_ALG_HANDLE algorithm;
    BCRYPT_HASH_HANDLE hash;
    unsigned char object[1];  // the rest of the storage
};
constexpr ULONG kObjectRoom = sizeof(Sha256::state) - offsetof(CngHash, object);

CngHash* Cng(Sha256* hash) {
    return std::launder(reinterpret_cast<CngHash*>(hash->state.data()));
}

bool Succeeded(NTSTATUS status) {
    return status >= 0;
}

}  // namespace

int BeginSha256(Sha256* hash) {
    hash->begun = false;
    CngHash* cng = new (hash->state.data()) CngHash{};
    if (!Succeeded(
            BCryptOpenAlgorithmProvider(&cng->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        return 0;
    }
    DWORD objectLength = 0;
    ULONG got = 0;
    if (!Succeeded(BCryptGetProperty(cng->algorithm, BCRYPT_OBJECT_LENGTH,
                                     reinterpret_cast<PUCHAR>(&objectLength), sizeof objectLength,
                                     &got, 0)) ||
        objectLength > kObjectRoom ||
        !Succeeded(BCryptCreateHash(cng->algorithm, &cng->hash, cng->object, objectLength, nullptr,
                                    0, 0))) {
        BCryptCloseAlgorithmProvider(cng->algorithm, 0);
        return 0;
    }
    hash->begun = true;
    return 1;
}

void AddToSha256(Sha256* hash, const void* bytes, std::size_t length) {
    if (!hash->begun) {
        return;
    }
    auto* from = static_cast<PUCHAR>(const_cast<void*>(bytes));
    // A ULONG takes less than a size_t can hold.
    constexpr std::size_t kPiece = 1U << 30;
    while (length > 0) {
        const std::size_t piece = length < kPiece ? length : kPiece;
        if (!Succeeded(BCryptHashData(Cng(hash)->hash, from, static_cast<ULONG>(piece), 0))) {
            EndSha256(hash, nullptr);
            return;
        }
        from += piece;
        length -= piece;
    }
}

int EndSha256(Sha256* hash, std::array<unsigned char, kSha256Size>* sum) {
    if (!hash->begun) {
        return 0;
    }
    hash->begun = false;
    CngHash* cng = Cng(hash);
    std::array<unsigned char, kSha256Size> result{};
    const bool done = Succeeded(BCryptFinishHash(cng->hash, result.data(), kSha256Size, 0));
    BCryptDestroyHash(cng->hash);
    BCryptCloseAlgorithmProvider(cng->algorithm, 0);
    if (!done || sum == nullptr) {
        return 0;
    }
    *sum = result;
    return 1;
}

void ForcePlainSha256(bool /*plain*/) {}

}  // namespace morva

// SHA-256 (FIPS 180-4) of the program's own: the POSIX systems have no hash in their C library.
// On x86-64 processors with the SHA extensions the blocks go through those instructions.
#include <cstdint>
#include <cstring>
#include <new>

#include "common/sha256.h"

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace morva {
namespace {

constexpr std::size_t kBlockSize = 64;

struct SoftHash {
    std::uint32_t h[8];
    std::uint64_t bytes;
    unsigned char block[kBlockSize];
};
static_assert(sizeof(SoftHash) <= sizeof(Sha256::state));

alignas(16) constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

std::uint32_t Rotate(std::uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

void CompressPlain(std::uint32_t* h, const unsigned char* data, std::size_t blocks) {
    for (; blocks > 0; --blocks, data += kBlockSize) {
        std::uint32_t w[64];
        for (std::size_t t = 0; t < 16; ++t) {
            const unsigned char* p = data + 4 * t;
            w[t] = std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 |
                   std::uint32_t{p[2]} << 8 | std::uint32_t{p[3]};
        }
        for (int t = 16; t < 64; ++t) {
            const std::uint32_t s0 =
                Rotate(w[t - 15], 7) ^ Rotate(w[t - 15], 18) ^ (w[t - 15] >> 3);
            const std::uint32_t s1 = Rotate(w[t - 2], 17) ^ Rotate(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        std::uint32_t a = h[0];
        std::uint32_t b = h[1];
        std::uint32_t c = h[2];
        std::uint32_t d = h[3];
        std::uint32_t e = h[4];
        std::uint32_t f = h[5];
        std::uint32_t g = h[6];
        std::uint32_t k = h[7];
        for (int t = 0; t < 64; ++t) {
            const std::uint32_t t1 = k + (Rotate(e, 6) ^ Rotate(e, 11) ^ Rotate(e, 25)) +
                                     ((e & f) ^ (~e & g)) + kRound[t] + w[t];
            const std::uint32_t t2 =
                (Rotate(a, 2) ^ Rotate(a, 13) ^ Rotate(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            k = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
        h[4] += e;
        h[5] += f;
        h[6] += g;
        h[7] += k;
    }
}

#if defined(__x86_64__)
// NOLINTBEGIN(portability-simd-intrinsics): the SHA extensions exist only as such
// Lane-wise sums of four 32-bit words (what _mm_add_epi32 does), as a vector expression.
using Words4 = std::uint32_t __attribute__((vector_size(16)));
__attribute__((target("sha,sse4.1"), always_inline)) inline __m128i Add32(__m128i a, __m128i b) {
    return reinterpret_cast<__m128i>(reinterpret_cast<Words4>(a) + reinterpret_cast<Words4>(b));
}

// Four rounds at a time with SHA256RNDS2; the state is kept as ABEF and CDGH.
__attribute__((target("sha,sse4.1"))) void CompressSha(std::uint32_t* h, const unsigned char* data,
                                                       std::size_t blocks) {
    const __m128i order = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i cdab = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h)), 0xB1);
    __m128i cdgh =
        _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h + 4)), 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, cdgh, 8);
    cdgh = _mm_blend_epi16(cdgh, cdab, 0xF0);
    for (; blocks > 0; --blocks, data += kBlockSize) {
        const __m128i abefSaved = abef;
        const __m128i cdghSaved = cdgh;
        __m128i w[4];
        for (std::size_t g = 0; g < 16; ++g) {
            __m128i words;
            if (g < 4) {
                words = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * g)), order);
            } else {
                // w[g % 4] holds the words of group g - 4, w[(g + 3) % 4] those of group g - 1.
                __m128i sum = _mm_sha256msg1_epu32(w[g % 4], w[(g + 1) % 4]);
                const __m128i back7 = _mm_alignr_epi8(w[(g + 3) % 4], w[(g + 2) % 4], 4);
                sum = Add32(sum, back7);
                words = _mm_sha256msg2_epu32(sum, w[(g + 3) % 4]);
            }
            w[g % 4] = words;
            __m128i k =
                Add32(words, _mm_load_si128(reinterpret_cast<const __m128i*>(kRound + 4 * g)));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, k);
            k = _mm_shuffle_epi32(k, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, k);
        }
        abef = Add32(abef, abefSaved);
        cdgh = Add32(cdgh, cdghSaved);
    }
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h + 4), _mm_alignr_epi8(dchg, feba, 8));
}

// NOLINTEND(portability-simd-intrinsics)

using Compress = void (*)(std::uint32_t*, const unsigned char*, std::size_t);

Compress PickCompress() {
    unsigned a = 0;
    unsigned b = 0;
    unsigned c = 0;
    unsigned d = 0;
    constexpr unsigned kShaBit = 1U << 29;    // leaf 7, EBX
    constexpr unsigned kSse41Bit = 1U << 19;  // leaf 1, ECX
    const bool sha = __get_cpuid_count(7, 0, &a, &b, &c, &d) != 0 && (b & kShaBit) != 0;
    const bool sse41 = __get_cpuid(1, &a, &b, &c, &d) != 0 && (c & kSse41Bit) != 0;
    return sha && sse41 ? CompressSha : CompressPlain;
}
#else
using Compress = void (*)(std::uint32_t*, const unsigned char*, std::size_t);

Compress PickCompress() {
    return CompressPlain;
}
#endif

bool g_forcePlain = false;

void CompressBlocks(std::uint32_t* h, const unsigned char* data, std::size_t blocks) {
    static const Compress compress = PickCompress();
    (g_forcePlain ? CompressPlain : compress)(h, data, blocks);
}

SoftHash* Soft(Sha256* hash) {
    return std::launder(reinterpret_cast<SoftHash*>(hash->state.data()));
}

}  // namespace

int BeginSha256(Sha256* hash) {
    new (hash->state.data()) SoftHash{{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f,
                                       0x9b05688c, 0x1f83d9ab, 0x5be0cd19},
                                      0,
                                      {}};
    hash->begun = true;
    return 1;
}

void AddToSha256(Sha256* hash, const void* bytes, std::size_t length) {
    if (!hash->begun) {
        return;
    }
    SoftHash* soft = Soft(hash);
    const auto* from = static_cast<const unsigned char*>(bytes);
    std::size_t held = soft->bytes % kBlockSize;
    soft->bytes += length;
    if (held > 0) {
        const std::size_t taken = length < kBlockSize - held ? length : kBlockSize - held;
        std::memcpy(soft->block + held, from, taken);
        from += taken;
        length -= taken;
        held += taken;
        if (held < kBlockSize) {
            return;
        }
        CompressBlocks(soft->h, soft->block, 1);
    }
    CompressBlocks(soft->h, from, length / kBlockSize);
    std::memcpy(soft->block, from + length / kBlockSize * kBlockSize, length % kBlockSize);
}

int EndSha256(Sha256* hash, std::array<unsigned char, kSha256Size>* sum) {
    if (!hash->begun) {
        return 0;
    }
    SoftHash* soft = Soft(hash);
    const std::uint64_t bits = soft->bytes * 8;
    // The end mark, zeros up to 8 bytes before a block's end, and the length in bits.
    unsigned char tail[2 * kBlockSize] = {0x80};
    const std::size_t held = soft->bytes % kBlockSize;
    const std::size_t tailLength = (held < kBlockSize - 8 ? kBlockSize : 2 * kBlockSize) - held;
    for (int i = 0; i < 8; ++i) {
        tail[tailLength - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    }
    AddToSha256(hash, tail, tailLength);
    hash->begun = false;
    if (sum == nullptr) {
        return 0;
    }
    for (int i = 0; i < kSha256Size; ++i) {
        (*sum)[i] = static_cast<unsigned char>(soft->h[i / 4] >> (24 - 8 * (i % 4)));
    }
    return 1;
}

void ForcePlainSha256(bool plain) {
    g_forcePlain = plain;
}

}  // namespace morva

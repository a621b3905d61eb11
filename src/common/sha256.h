// SHA-256 of a byte stream: the system's own where a static build can use one (Windows: CNG),
// else the program's (sha256_posix.cpp). The build links exactly one side.
#pragma once

#include <array>
#include <cstddef>

namespace morva {

inline constexpr int kSha256Size = 32;

// A running hash. Its state belongs to the platform side; the storage lives with the caller.
struct Sha256 {
    alignas(16) std::array<unsigned char, 1024> state;
    bool begun = false;
};

// Starts a hash. Returns 1, or 0 when none can be had (AddToSha256 and EndSha256 then do
// nothing and give no sum).
int BeginSha256(Sha256* hash);
void AddToSha256(Sha256* hash, const void* bytes, std::size_t length);
// Ends the hash and gives its sum. Returns 1, or 0 when there is none. Every begun hash is
// ended by this, which frees what it holds.
int EndSha256(Sha256* hash, std::array<unsigned char, kSha256Size>* sum);

// The program's own hash: true makes it use its plain rounds even on a CPU with SHA
// instructions, so that tests prove both. The system's hash (Windows) has one way only.
void ForcePlainSha256(bool plain);

}  // namespace morva

// Times CheckFirmwareFile on one file: best wall time of several runs, throughput, and the
// peak resident memory of this process; once more with the SHA-256 that a run record takes
// while the check reads. Usage: firmware_check_bench <file> [runs]
#include <sys/resource.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "update/firmware_check.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::printf("usage: %s <file> [runs]\n", argv[0]);
        return 2;
    }
    const char* path = argv[1];
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    std::error_code error;
    const auto bytes = std::filesystem::file_size(path, error);
    if (error) {
        std::printf("cannot read size of %s\n", path);
        return 2;
    }

    int result = 0;
    double best = 1e9;
    double bestHashed = 1e9;
    for (int run = 0; run < runs; ++run) {
        auto start = std::chrono::steady_clock::now();
        result = morva::CheckFirmwareFile(path);
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = took.count() < best ? took.count() : best;

        start = std::chrono::steady_clock::now();
        morva::ReadDigest digest;
        morva::BeginSha256(&digest.sha256);
        morva::CheckFirmwareFile(path, nullptr, &digest);
        std::array<unsigned char, morva::kSha256Size> sum{};
        morva::EndSha256(&digest.sha256, &sum);
        took = std::chrono::steady_clock::now() - start;
        bestHashed = took.count() < bestHashed ? took.count() : bestHashed;
    }

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double mebibytes = static_cast<double>(bytes) / (1024.0 * 1024.0);
    std::printf("file            %s\n", path);
    std::printf("size            %.2f MiB\n", mebibytes);
    std::printf("result          %d\n", result);
    std::printf("best of %-2d runs %.4f s\n", runs, best);
    std::printf("throughput      %.1f MiB/s\n", best > 0 ? mebibytes / best : 0.0);
    std::printf("with SHA-256    %.4f s (%.2f x)\n", bestHashed,
                best > 0 ? bestHashed / best : 0.0);
    std::printf("peak RSS        %ld KiB\n", usage.ru_maxrss);
    return 0;
}

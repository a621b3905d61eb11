// Prints the cost of one command exchange (open, send, reply, close) against a simulated device
// that answers at once, and of a scan over 256 ports where none exists against the failed opens
// alone.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "engine.h"
#include "link/comm_port.h"
#include "link/transact.h"
#include "scan/scan.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int exchanges = argc > 1 ? std::atoi(argv[1]) : 200;
    std::string folder = (std::filesystem::temp_directory_path() / "morva-bench-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) {
        return 1;
    }
    setenv("MORVA_PORTS", folder.c_str(), 1);

    {
        tarvexsim::Device device(folder, 3);
        std::string error;
        if (!device.Start(&error)) {
            std::fprintf(stderr, "simulator: %s\n", error.c_str());
            return 1;
        }
        char reply[morva::kReplyPlaceSize];
        const auto start = Clock::now();
        for (int i = 0; i < exchanges; ++i) {
            if (morva::TransactCommand(3, morva::kReplyString, "UTID\r", reply) != 0) {
                std::fprintf(stderr, "exchange %d failed: %s\n", i, reply);
                return 1;
            }
        }
        const double each = Seconds(start) / exchanges;
        std::printf(
            "exchange (open, send UTID, reply, close): %.2f ms each over %d, "
            "floor one 10 ms poll: %.1f %% above\n",
            each * 1e3, exchanges, (each / 0.010 - 1) * 100);
        device.Stop();
    }

    constexpr int kRounds = 20;
    auto start = Clock::now();
    for (int round = 0; round < kRounds; ++round) {
        for (int port = 1; port <= 256; ++port) {
            morva::CommPort commPort;
            if (morva::OpenCommPort(port, &commPort) != 0) {
                morva::CloseCommPort(&commPort);
            }
        }
    }
    const double opens = Seconds(start) / kRounds;
    std::fflush(stdout);
    const int saved = dup(1);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        return 1;
    }
    start = Clock::now();
    for (int round = 0; round < kRounds; ++round) {
        morva::ScanDevices();
    }
    const double scan = Seconds(start) / kRounds;
    std::fflush(stdout);
    dup2(saved, 1);
    std::printf("scan of 256 ports, none present: %.3f ms; the 256 failed opens alone: %.3f ms\n",
                scan * 1e3, opens * 1e3);
    std::filesystem::remove_all(folder);
    return 0;
}

// tarvex-sim: serves one simulated Tarvex device per --port until SIGINT or SIGTERM.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "args.h"
#include "device.h"

int main(int argc, char** argv) {
    using tarvexsim::Config;
    std::vector<std::string> args(argv + 1, argv + argc);
    Config config;
    std::string error;
    if (!tarvexsim::ParseArgs(args, &config, &error)) {
        std::fprintf(stderr, "tarvex-sim: %s\n%s", error.c_str(), tarvexsim::Usage().c_str());
        return 2;
    }
    if (config.help) {
        std::fputs(tarvexsim::Usage().c_str(), stdout);
        return 0;
    }

    // Blocked before any thread starts, so only sigwait below sees them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    std::FILE* log = nullptr;
    if (!config.log_path.empty()) {
        log = std::fopen(config.log_path.c_str(), "a");
        if (log == nullptr) {
            std::perror(config.log_path.c_str());
            return 1;
        }
    }
    std::mutex log_mu;
    const auto start = std::chrono::steady_clock::now();
    auto logger = [&](const std::string& line) {
        const double secs =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::lock_guard<std::mutex> lock(log_mu);
        std::fprintf(log, "%9.3f %s\n", secs, line.c_str());
        std::fflush(log);
    };

    std::vector<std::unique_ptr<tarvexsim::Device>> devices;
    for (int port : config.ports) {
        devices.push_back(std::make_unique<tarvexsim::Device>(config.dir, port, config.options));
        if (log != nullptr)
            devices.back()->SetLogger(logger);
        if (!devices.back()->Start(&error)) {
            std::fprintf(stderr, "tarvex-sim: COM%d: %s\n", port, error.c_str());
            devices.clear();
            if (log != nullptr)
                std::fclose(log);
            return 1;
        }
    }
    for (const auto& device : devices) {
        std::printf("tarvex-sim: COM%d -> %s\n", device->port(), device->slave_path().c_str());
    }
    std::fflush(stdout);

    int sig = 0;
    sigwait(&signals, &sig);
    devices.clear();  // stops each device and removes its link
    if (log != nullptr)
        std::fclose(log);
    return 0;
}

// tarvex-sim: serves one simulated Tarvex device per --port, or one on --serial, until it is
// asked to stop.
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "args.h"
#include "chaos.h"
#include "device.h"
#include "stop.h"

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
    if (config.draws > 0) {
        for (int k = 1; k <= config.draws; ++k) {
            const tarvexsim::Draw draw =
                tarvexsim::DrawExchange(config.options.chaos_seed, k, config.options.chaos_serial);
            std::printf("%d\t%s\n", k, tarvexsim::DescribeDraw(draw).c_str());
        }
        return 0;
    }

    tarvexsim::CatchStop();

    std::FILE* log = nullptr;
    if (!config.log_path.empty()) {
        log = std::fopen(config.log_path.c_str(), "a");
        if (log == nullptr) {
            std::perror(config.log_path.c_str());
            return 1;
        }
    }
    std::mutex log_mu;
    std::FILE* account = nullptr;
    if (!config.account_path.empty()) {
        account = std::fopen(config.account_path.c_str(), "a");
        if (account == nullptr) {
            std::perror(config.account_path.c_str());
            if (log != nullptr)
                std::fclose(log);
            return 1;
        }
    }
    // Written before the reply goes out, so the account is whole once morva has its reply.
    auto accountant = [&](const std::string& line) {
        std::lock_guard<std::mutex> lock(log_mu);
        std::fprintf(account, "%s\n", line.c_str());
        std::fflush(account);
    };
    const auto start = std::chrono::steady_clock::now();
    auto logger = [&](const std::string& line) {
        const double secs =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::lock_guard<std::mutex> lock(log_mu);
        std::fprintf(log, "%9.3f %s\n", secs, line.c_str());
        std::fflush(log);
    };

    std::vector<std::unique_ptr<tarvexsim::Device>> devices;
    if (!config.serial.empty()) {
        tarvexsim::Device device("", 0, config.options);
        if (log != nullptr)
            device.SetLogger(logger);
        if (account != nullptr)
            device.SetAccount(accountant);
        if (!device.StartOnSerial(config.serial, &error)) {
            std::fprintf(stderr, "tarvex-sim: %s: %s\n", config.serial.c_str(), error.c_str());
            if (log != nullptr)
                std::fclose(log);
            return 1;
        }
        std::printf("tarvex-sim: serving %s\n", config.serial.c_str());
        std::fflush(stdout);
        tarvexsim::WaitForStop();
        device.Stop();
        if (log != nullptr)
            std::fclose(log);
        return 0;
    }
    for (int port : config.ports) {
        devices.push_back(std::make_unique<tarvexsim::Device>(config.dir, port, config.options));
        if (log != nullptr)
            devices.back()->SetLogger(logger);
        if (account != nullptr)
            devices.back()->SetAccount(accountant);
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

    tarvexsim::WaitForStop();
    devices.clear();  // stops each device and removes its link
    if (log != nullptr)
        std::fclose(log);
    return 0;
}

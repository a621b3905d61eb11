// Faults of the device, the port and the settings file: each run ends with the exit code that
// the program promises, in bounded time, and leaves the port free for the next exchange.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

using e2e::Build;
using e2e::Workspace;

// The port opens at once and answers normally again after the fault.
void ExpectPortFree(const Workspace& ws, tarvexsim::Device& device) {
    device.SetOptions(tarvexsim::Options{});
    const auto run = ws.Run({"-c", std::to_string(device.port()), "UTID"});
    EXPECT_EQ(run.output, "TARVEX-7310 V2.10\r\n");
    EXPECT_EQ(run.exitCode, 0);
}

struct DeviceFault {
    const char* name;
    void (*fault)(tarvexsim::Options*);
    std::string output;
    int exitCode;
};

void PrintTo(const DeviceFault& fault, std::ostream* os) {
    *os << fault.name;
}

class DeviceFaults : public ::testing::TestWithParam<std::tuple<Build, DeviceFault>> {};

TEST_P(DeviceFaults, EndWithThePromisedCode) {
    const auto& [build, fault] = GetParam();
    Workspace ws(build);
    tarvexsim::Options options;
    fault.fault(&options);
    auto& device = ws.AddDevice(3, options);
    const auto run = ws.Run({"-c", "3", "UTID"});
    EXPECT_EQ(run.output, fault.output);
    EXPECT_EQ(run.exitCode, fault.exitCode);
    EXPECT_LT(run.seconds, 10.0);
    ExpectPortFree(ws, device);
}

const DeviceFault kDeviceFaults[] = {
    {"Flood", [](tarvexsim::Options* o) { o->flood = true; }, "Cannot receive reply string\n", 105},
    {"TricklePastThePollLimit",
     [](tarvexsim::Options* o) {
         o->trickle_forever = true;
         o->trickle_ms = 15;
     },
     "Cannot receive reply string\n", 104},
    {"TrickleFillsTheBuffer",
     [](tarvexsim::Options* o) {
         o->trickle_forever = true;
         o->trickle_ms = 1;
     },
     "Cannot receive reply string\n", 105},
    {"NulBeforeCarriageReturn",
     [](tarvexsim::Options* o) { o->replies["UTID"] = std::string("AB\0\rCD", 6); },
     "Cannot receive reply string\n", 104},
};

INSTANTIATE_TEST_SUITE_P(Builds, DeviceFaults,
                         ::testing::Combine(::testing::Values(Build::kPosix, Build::kWindows),
                                            ::testing::ValuesIn(kDeviceFaults)),
                         [](const auto& info) {
                             return e2e::BuildName(std::get<0>(info.param)) + "_" +
                                    std::get<1>(info.param).name;
                         });

class Faults : public ::testing::TestWithParam<Build> {};

TEST_P(Faults, DeviceUnpluggedWhileReplying) {
    Workspace ws(GetParam());
    tarvexsim::Options options;
    options.trickle_ms = 100;
    options.identity = "TARVEX-7310 A LONG IDENTITY TEXT";
    auto& device = ws.AddDevice(3, options);
    auto run = std::async(std::launch::async, [&] { return ws.Run({"-c", "3", "UTID"}); });
    ASSERT_TRUE(e2e::WaitForFirstCommand(device));
    usleep(300000);
    device.Stop();
    const auto result = run.get();
    // The status query fails once the device is gone, which counts as a line error.
    EXPECT_EQ(result.exitCode, 101);
    EXPECT_EQ(result.output, "Cannot receive reply string\n");
    EXPECT_LT(result.seconds, 10.0);
    // A device plugged in again on the same port is reached at once.
    auto& again = ws.AddDevice(3);
    ExpectPortFree(ws, again);
}

TEST_P(Faults, FloodingDeviceIsSkippedByTheScan) {
    Workspace ws(GetParam());
    tarvexsim::Options flood;
    flood.flood = true;
    auto& flooding = ws.AddDevice(2, flood);
    ws.AddDevice(4);
    const auto run = ws.Run({"HWSC"});
    EXPECT_EQ(run.output, "COM4\n\n");
    EXPECT_EQ(run.exitCode, 0);
    ExpectPortFree(ws, flooding);
}

TEST_P(Faults, SettingsFileThatCannotBeReadAsAFile) {
    Workspace ws(GetParam());
    ws.AddDevice(3);
    std::filesystem::create_directory(ws.settingsPath());
    auto run = ws.Run({"UTID"});
    EXPECT_EQ(run.output, "Illegal format : morva.ini\n");
    EXPECT_EQ(run.exitCode, 1);
    run = ws.Run({"SCOM"});
    EXPECT_EQ(run.output, "SCOM : morva.ini illegal format\n");
    EXPECT_EQ(run.exitCode, 1);
    run = ws.Run({"SCOM", "4"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(std::filesystem::is_directory(ws.settingsPath()));
}

TEST_P(Faults, ConcurrentWritersLeaveOneValidValue) {
    Workspace ws(GetParam());
    e2e::WriteFile(ws.settingsPath(), "[other]\nkey=value\n[morva]\nport=1\n");
    std::vector<std::future<e2e::Result>> writers;
    for (int i = 0; i < 8; ++i) {
        writers.push_back(std::async(std::launch::async, [&ws, i] {
            return ws.Run({"SCOM", std::to_string(10 + i)});
        }));
    }
    for (auto& writer : writers) {
        EXPECT_EQ(writer.get().exitCode, 0);
    }
    const auto shown = ws.Run({"SCOM"});
    EXPECT_EQ(shown.exitCode, 0);
    const int port = std::atoi(shown.output.c_str());
    EXPECT_TRUE(port >= 10 && port <= 17) << shown.output;
    EXPECT_EQ(shown.output, std::to_string(port) + "\n");
    const std::string file = e2e::ReadFile(ws.settingsPath());
    EXPECT_NE(file.find("key=value"), std::string::npos) << file;
}

TEST_P(Faults, FirmwareFileDeletedBeforeTheFlashPass) {
    Workspace ws(GetParam());
    const std::string path = ws.root() + "/fw.mot";
    e2e::WriteFile(path, "S00B00004B52543037515F5894\nS1050010AABB85\nS9030000FC\n");
    // The first line of the test pass proves the pass holds the file open; deleting it then
    // leaves the test pass whole and the flash pass without a file.
    int lines = 0;
    auto& device = ws.AddDevice(3, {}, [&](const std::string& line) {
        if (line.find(" < S0") != std::string::npos && ++lines == 1) {
            std::filesystem::remove(path);
        }
    });
    const auto run = ws.Run({"-c", "3", "UPDT", "-w", path});
    EXPECT_EQ(run.output,
              "\rUPDT Test : 1 / 3\rUPDT Test : 2 / 3\rUPDT Test : 3 / 3 ... test succeeded\n"
              " ... Update failed\n");
    EXPECT_EQ(run.exitCode, 5);
    EXPECT_EQ(device.Commands().back(), "UPDT Flash\r");
    ExpectPortFree(ws, device);
}

TEST_P(Faults, DeviceUnpluggedInTheMiddleOfAPass) {
    Workspace ws(GetParam());
    const std::string path = ws.root() + "/fw.mot";
    e2e::WriteFile(path, "S1050010AABB85\nS1050012CCDD3F\nS9030000FC\n");
    tarvexsim::Options options;
    options.vanish_after = 2;
    auto& device = ws.AddDevice(3, options);
    const auto run = ws.Run({"-c", "3", "UPDT", path});
    EXPECT_EQ(run.output,
              "\rUPDT Test : 1 / 3\rUPDT Test : 2 / 3\rUPDT Test : 3 / 3 ... test failed\n");
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(device.Commands().size(), 3U);
    EXPECT_LT(run.seconds, 10.0);
    auto& again = ws.AddDevice(3);
    ExpectPortFree(ws, again);
}

INSTANTIATE_TEST_SUITE_P(Builds, Faults, ::testing::Values(Build::kPosix, Build::kWindows),
                         [](const auto& info) { return e2e::BuildName(info.param); });

}  // namespace

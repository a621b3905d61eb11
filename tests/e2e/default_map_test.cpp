// The Linux build without MORVA_PORTS: a link at a default device path (/dev/ttyUSB29, COM62)
// stands in for a USB serial adapter.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

constexpr const char* kStandIn = "/dev/ttyUSB29";  // high enough to be free on a test machine

// The stand-in link, removed however the test ends.
struct DeviceLink {
    bool made = false;
    explicit DeviceLink(const std::string& target) {
        made = symlink(target.c_str(), kStandIn) == 0;
    }
    ~DeviceLink() {
        if (made) {
            unlink(kStandIn);
        }
    }
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;
};

struct MapCase {
    std::vector<std::string> args;
    bool defaultMap;
    std::string output;
    int exitCode;
};

TEST(DefaultMapPosix, LinkAtADefaultPathIsReachedByItsNumber) {
    struct stat existing {};
    if (access("/dev", W_OK) != 0) {
        GTEST_SKIP() << "/dev is not writable: run the tests as root";
    }
    if (lstat(kStandIn, &existing) == 0) {
        GTEST_SKIP() << kStandIn << " exists on this machine";
    }
    e2e::Workspace ws(e2e::Build::kPosix);
    auto& device = ws.AddDevice(5);
    const DeviceLink link(device.slave_path());
    ASSERT_TRUE(link.made);
    const std::vector<MapCase> cases = {
        {{"-c", "62", "UTID"}, true, "TARVEX-7310 V2.10\r\n", 0},
        {{"-c", "COM62", "UTID"}, true, "TARVEX-7310 V2.10\r\n", 0},
        {{"HWSC"}, true, "COM62\n\n", 0},
        // A set MORVA_PORTS keeps its meaning: its folder has no com62.
        {{"-c", "62", "UTID"}, false, "Cannot open COM62\n", 3},
        {{"-c", "30", "UTID"}, true, "Cannot open COM30\n", 3},
    };
    for (const MapCase& row : cases) {
        e2e::RunOptions options;
        options.defaultMap = row.defaultMap;
        const auto run = ws.Run(row.args, options);
        std::string words;
        for (const std::string& word : row.args) {
            words += word + " ";
        }
        SCOPED_TRACE(words + (row.defaultMap ? "(default map)" : "(MORVA_PORTS)"));
        EXPECT_EQ(run.output, row.output);
        EXPECT_EQ(run.exitCode, row.exitCode);
    }
}

}  // namespace

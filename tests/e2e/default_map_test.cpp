// The Linux build without MORVA_PORTS: a link at a default device path (/dev/ttyUSB29, COM62)
// stands in for a USB serial adapter.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
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

// morva-ports --link makes com<n> only to a tty, only through links of root's or the caller's,
// and replaces a link of its own.
struct LinkCase {
    const char* name;
    bool needsRoot;
    // Arranges `folder` (the folder as given) below `root`; returns the device to link to, ""
    // for the simulated device.
    std::string (*arrange)(const std::string& root, const std::string& folder);
    int exitCode;
    bool linked;  // whether <folder>/com3 leads to the device afterwards
};

std::string OwnFolder(const std::string& /*root*/, const std::string& folder) {
    std::filesystem::create_directory(folder);
    return "";
}

const LinkCase kLinkCases[] = {
    {"ToATty", false, OwnFolder, 0, true},
    {"ReplacesItsOwnLink", false,
     [](const std::string& root, const std::string& folder) {
         OwnFolder(root, folder);
         EXPECT_EQ(symlink("/dev/null", (folder + "/com3").c_str()), 0);
         return std::string();
     },
     0, true},
    {"ToDevNull", false,
     [](const std::string& root, const std::string& folder) {
         OwnFolder(root, folder);
         return std::string("/dev/null");
     },
     1, false},
    {"ToPtmx", false,
     [](const std::string& root, const std::string& folder) {
         OwnFolder(root, folder);
         return std::string("/dev/ptmx");
     },
     1, false},
    // Another user's link on the way, to a folder of root's only.
    {"ThroughAnotherUsersLink", true,
     [](const std::string& root, const std::string& folder) {
         const std::string hidden = root + "/root-only";
         std::filesystem::create_directory(hidden);
         EXPECT_EQ(chmod(hidden.c_str(), 0700), 0);
         EXPECT_EQ(symlink(hidden.c_str(), folder.c_str()), 0);
         EXPECT_EQ(lchown(folder.c_str(), 4242, 4242), 0);
         return std::string();
     },
     1, false},
    {"OverAnotherUsersLink", true,
     [](const std::string& root, const std::string& folder) {
         OwnFolder(root, folder);
         EXPECT_EQ(symlink("/dev/null", (folder + "/com3").c_str()), 0);
         EXPECT_EQ(lchown((folder + "/com3").c_str(), 4242, 4242), 0);
         return std::string();
     },
     1, false},
};

TEST(PortsLinkPosix, OnlyTtysThroughTrustedLinks) {
    for (const LinkCase& c : kLinkCases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && geteuid() != 0) {
            continue;  // links of another user need lchown
        }
        e2e::Workspace ws(e2e::Build::kPosix, "bin", MORVA_PORTS_EXE);
        auto& device = ws.AddDevice(5);
        const std::string folder = ws.root() + "/folder";
        const std::string asked = c.arrange(ws.root(), folder);
        const auto run =
            ws.Run({"--link", folder, "3", asked.empty() ? device.slave_path() : asked});
        EXPECT_EQ(run.exitCode, c.exitCode);
        struct stat linked {};
        struct stat tty {};
        ASSERT_EQ(stat(device.slave_path().c_str(), &tty), 0);
        EXPECT_EQ(stat((folder + "/com3").c_str(), &linked) == 0 && linked.st_rdev == tty.st_rdev,
                  c.linked);
        EXPECT_FALSE(std::filesystem::exists(ws.root() + "/root-only/com3"));
    }
}

}  // namespace

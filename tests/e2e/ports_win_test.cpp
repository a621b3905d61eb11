// morva-ports.exe under Wine: Wine lists the COM ports that HKLM\Software\Wine\Ports declares
// (in SERIALCOMM, read when its server starts), and its SetupAPI lists no serial port at all,
// so these rows show the registry side of the list; tests/drivers/com_list_test.cpp shows the
// SetupAPI side on recorded device trees.
#include <gtest/gtest.h>

#include <future>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"

namespace {

using e2e::Build;
using e2e::Workspace;

// The declared ports are taken back, and the server restarted, however the test ends.
struct DeclaredPorts {
    explicit DeclaredPorts(const std::vector<std::pair<int, std::string>>& ports)
        : declared(e2e::DeclareWinePorts(ports)) {}
    ~DeclaredPorts() { e2e::DeclareWinePorts({}); }
    DeclaredPorts(const DeclaredPorts&) = delete;
    DeclaredPorts& operator=(const DeclaredPorts&) = delete;
    bool declared;
};

// Where each pattern matches a whole line of `output`, in the order given; -1 when one does not.
std::vector<int> LinesMatching(const std::string& output, const std::vector<std::string>& lines) {
    std::vector<int> at;
    for (const std::string& pattern : lines) {
        int number = 0;
        int found = -1;
        for (std::size_t from = 0; from < output.size(); ++number) {
            const std::size_t end = output.find('\n', from);
            if (std::regex_match(output.substr(from, end - from), std::regex(pattern))) {
                found = number;
                break;
            }
            from = end == std::string::npos ? end : end + 1;
        }
        at.push_back(found);
    }
    return at;
}

// Declared out of order, one of them a device that is not there: all listed, in COM order,
// without opening any (Wine cannot tell the missing one without an open, so it shows "-").
TEST(PortsWindows, DeclaredPortsInComOrder) {
    Workspace list(Build::kWindows, "bin", e2e::WindowsProgram("morva-ports.exe"));
    DeclaredPorts ports({{12, "/dev/ptmx"}, {7, "/dev/ptmx"}, {3, "/dev/morva-no-such-tty"}});
    ASSERT_TRUE(ports.declared);
    const auto run = list.Run({});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(std::regex_search(run.output, std::regex("^COM +NAME +DRIVER +USB-ID +SERIAL +"
                                                         "INSTANCE +REFUSED\n")))
        << run.output;
    const auto at = LinesMatching(run.output, {R"(COM3 +- +\\Device\\Serial2 +- +- +- +-)",
                                               R"(COM7 +- +\\Device\\Serial6 +- +- +- +-)",
                                               R"(COM12 +- +\\Device\\Serial11 +- +- +- +-)"});
    EXPECT_TRUE(at[0] > 0 && at[1] > at[0] && at[2] > at[1]) << run.output;
}

// While another morva updates the device on COM5, the list says so from morva's own hold,
// and no more once the update is over.
TEST(PortsWindows, HeldByMorvaWhileAnUpdateRuns) {
    Workspace list(Build::kWindows, "bin", e2e::WindowsProgram("morva-ports.exe"));
    Workspace ws(Build::kWindows);
    tarvexsim::Options slow;
    slow.resends[1] = 300;  // some seconds of resends before the first line is taken
    auto& device = ws.AddDevice(5, slow);
    e2e::WriteFile(ws.root() + "/fw.mot", "S00B00004B52543037515F5894\nS9030000FC\n");
    DeclaredPorts ports({{5, device.slave_path()}});
    ASSERT_TRUE(ports.declared);
    auto update = std::async(std::launch::async, [&ws] {
        e2e::RunOptions options;
        options.timeout = std::chrono::seconds(120);
        return ws.Run({"-c", "5", "UPDT", "fw.mot"}, options);
    });
    ASSERT_TRUE(e2e::WaitForFirstCommand(device));
    const auto during = list.Run({});
    const auto updated = update.get();
    EXPECT_EQ(updated.exitCode, 0) << updated.output;
    const auto after = list.Run({});
    EXPECT_EQ(during.exitCode, 0);
    EXPECT_EQ(LinesMatching(during.output, {"COM5 .* held-by-morva"})[0] > 0, true)
        << during.output;
    EXPECT_EQ(LinesMatching(after.output, {"COM5 .* -"})[0] > 0, true) << after.output;
}

}  // namespace

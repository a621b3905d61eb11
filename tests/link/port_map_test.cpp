// The default map of COM numbers to Linux device names, both ways, at the ends of every block.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "link/port_map_posix.h"

namespace {

struct MapRow {
    int port;
    const char* path;  // "" where the map gives the number no device
};

class DefaultMap : public ::testing::TestWithParam<MapRow> {};

TEST_P(DefaultMap, NumberToPathAndBack) {
    const MapRow& row = GetParam();
    std::array<char, 64> path{};
    const int found = morva::DefaultPortPath(row.port, path.data(), path.size());
    if (row.path[0] == '\0') {
        EXPECT_EQ(found, 0);
        return;
    }
    ASSERT_EQ(found, 1);
    EXPECT_STREQ(path.data(), row.path);
    EXPECT_EQ(morva::DefaultPortNumber(row.path), row.port);
}

INSTANTIATE_TEST_SUITE_P(Bounds, DefaultMap,
                         ::testing::Values(MapRow{-5, ""}, MapRow{0, ""}, MapRow{1, "/dev/ttyS0"},
                                           MapRow{32, "/dev/ttyS31"}, MapRow{33, "/dev/ttyUSB0"},
                                           MapRow{64, "/dev/ttyUSB31"}, MapRow{65, "/dev/ttyACM0"},
                                           MapRow{96, "/dev/ttyACM31"}, MapRow{97, "/dev/ttyAMA0"},
                                           MapRow{128, "/dev/ttyAMA31"}, MapRow{129, ""},
                                           MapRow{256, ""}, MapRow{257, ""}),
                         [](const auto& info) {
                             const int port = info.param.port;
                             return port < 0 ? "Minus" + std::to_string(-port)
                                             : "COM" + std::to_string(port);
                         });

// Paths that the map gives no number: past a block, other spellings of a number, other names.
class UnmappedPath : public ::testing::TestWithParam<const char*> {};

TEST_P(UnmappedPath, HasNoNumber) {
    EXPECT_EQ(morva::DefaultPortNumber(GetParam()), 0);
}

INSTANTIATE_TEST_SUITE_P(Paths, UnmappedPath,
                         ::testing::Values("/dev/ttyS32", "/dev/ttyUSB32", "/dev/ttyAMA99999999999",
                                           "/dev/ttyS", "/dev/ttyS01", "/dev/ttyS+1",
                                           "/dev/ttyUSB1x", "/dev/ttyACM-1", "/dev/ttySAC0",
                                           "/dev/ttyXRUSB0", "ttyUSB0", "/dev/serial/ttyS0", ""));

}  // namespace

// The run record (MORVA_RECORD) end to end, on both builds: one line of each kind of run, a
// record file that cannot be written, parallel updates into one file, an interrupted update.
// Every run's output and exit code are those of the same run without the record.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "record_check.h"

namespace {

using e2e::Build;
using e2e::Workspace;

constexpr char kRecordName[] = "record.jsonl";

struct KindCase {
    const char* name;
    std::vector<std::string> args;
    std::string settings;  // morva.ini beside the program, when not empty
    std::string output;
    int exitCode;
    std::string record;  // as record_lines.py shows it; @DEV@: the device of COM3; "": none
    const char* variable = nullptr;  // MORVA_RECORD instead of the workspace's record file
    void (*device)(tarvexsim::Options*) = nullptr;
    const char* firmware = nullptr;  // fw.mot in the workspace, when given
};

void PrintTo(const KindCase& c, std::ostream* os) {
    *os << c.name;
}

std::string Common(const std::string& command, const std::string& port, int exitCode,
                   const std::string& message) {
    return R"({"command":)" + command + R"(,"port":)" + port +
           (port == "null" ? R"(,"device":null)" : R"(,"device":"@DEV@")") +
           R"(,"by_id":null,"adapter":null,"exit":)" + std::to_string(exitCode) +
           R"(,"interrupted":false,"message":)" + message;
}

class RecordKinds : public ::testing::TestWithParam<std::tuple<Build, KindCase>> {};

TEST_P(RecordKinds, OneLinePerRun) {
    const auto& [build, c] = GetParam();
    Workspace ws(build);
    tarvexsim::Options device;
    if (c.device != nullptr) {
        c.device(&device);
    }
    ws.AddDevice(3, device);
    if (!c.settings.empty()) {
        e2e::WriteFile(ws.settingsPath(), c.settings);
    }
    if (c.firmware != nullptr) {
        e2e::WriteFile(ws.root() + "/fw.mot", c.firmware);
    }
    const std::string record = ws.root() + "/" + kRecordName;
    const auto run = ws.Run(c.args, e2e::WithRecord(c.variable != nullptr ? c.variable : record));
    EXPECT_EQ(run.output, c.output);
    EXPECT_EQ(run.exitCode, c.exitCode);
    if (c.record.empty()) {
        EXPECT_FALSE(std::filesystem::exists(record));
        for (const auto& entry : std::filesystem::directory_iterator(ws.root())) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(name == "bin" || name == "ports") << name;
        }
        return;
    }
    std::string expected = c.record;
    if (expected.find("@DEV@") != std::string::npos) {
        expected.replace(expected.find("@DEV@"), 5, e2e::RecordedDevice(build, 3));
    }
    if (expected.find("@DEV9@") != std::string::npos) {  // a port without a device
        expected.replace(expected.find("@DEV9@"), 6,
                         build == Build::kWindows ? R"(\\\\.\\COM9)" : ws.portsDir() + "/com9");
    }
    EXPECT_EQ(e2e::RecordLines(record), expected + "\n");
}

const std::string kLong(300, 'x');

const KindCase kKinds[] = {
    {"PassThrough",
     {"-c", "3", "UTID"},
     "",
     "TARVEX-7310 V2.10\r\n",
     0,
     Common(R"("UTID")", "3", 0, R"("TARVEX-7310 V2.10")") +
         R"(,"sent":"UTID\r","reply":"TARVEX-7310 V2.10\r","reply_hex":null})"},
    {"Scan",
     {"hwscan"},
     "",
     "COM3\n\n",
     0,
     Common(R"("HWSC")", "null", 0, R"("COM3")") + R"(,"found":[3]})"},
    {"ScomStores",
     {"SCOM", "COM5"},
     "",
     "",
     0,
     Common(R"("SCOM")", "null", 0, "null") + R"(,"stored":5})"},
    {"ScomShows",
     {"SCOM"},
     "[morva]\nport=3\n",
     "3\n",
     0,
     Common(R"("SCOM")", "null", 0, R"("3")") + R"(,"shown":3})"},
    {"RefusedPortValue",
     {"-c", "0", "UTID"},
     "",
     "Illegal port number\n",
     2,
     Common(R"("UTID")", "null", 2, R"("Illegal port number")") +
         R"(,"sent":null,"reply":null,"reply_hex":null})"},
    {"CommandTooLong",
     {"-c", "3", kLong},
     "",
     "Too long command or command-options.\n",
     4,
     Common("\"" + std::string(256, 'x') + "\"", "null", 4,
            R"("Too long command or command-options.")") +
         R"(,"sent":null,"reply":null,"reply_hex":null})"},
    {"NoCommandWord",
     {"-v"},
     "",
     "verbose level:1\nToo long command or command-options.\n",
     4,
     Common("null", "null", 4, R"("Too long command or command-options.")") + "}"},
    // A port that is not there fails the test pass before its first line, as any open does.
    {"UpdateWithoutPort",
     {"-c", "9", "UPDT", "-w", "fw.mot"},
     "",
     " ... test failed\n",
     3,
     R"({"command":"UPDT","port":9,"device":"@DEV9@","by_id":null,"adapter":null,"exit":3,)"
     R"("interrupted":false,)"
     R"("message":"... test failed","file":"fw.mot","bytes":38,"lines":2,"sha256":)"
     R"("543f43019f9677e20547b71c335372332d3f3a36b5b0ab5016946e2fbec63b05","flash":true,)"
     R"("passes":[{"pass":"test","lines_sent":0,"resends":0,"reply":null,"stopped_at":0}]})",
     nullptr,
     nullptr,
     "S00B00004B52543037515F5894\nS9030000FC\n"},
    {"EmptyVariableMeansOff", {"-c", "3", "UTID"}, "", "TARVEX-7310 V2.10\r\n", 0, "", ""},
    // A reply without its carriage return, or one that overflows: the bytes that came.
    {"ReplyWithoutCarriageReturn",
     {"-c", "3", "UTID"},
     "",
     "Cannot receive reply string\n",
     104,
     Common(R"("UTID")", "3", 104, R"("Cannot receive reply string")") +
         R"(,"sent":"UTID\r","reply":"TARVEX-7310","reply_hex":null})",
     nullptr,
     [](tarvexsim::Options* o) { o->replies["UTID"] = "TARVEX-7310"; }},
    {"ReplyOverflows",
     {"-c", "3", "UTID"},
     "",
     "Cannot receive reply string\n",
     105,
     Common(R"("UTID")", "3", 105, R"("Cannot receive reply string")") +
         R"(,"sent":"UTID\r","reply":")" + std::string(256, 'A') + R"(","reply_hex":null})",
     nullptr,
     [](tarvexsim::Options* o) { o->replies["UTID"] = std::string(300, 'A'); }},
    // Bytes that are not UTF-8 are told apart from the characters that they resemble.
    {"ReplyNotUtf8",
     {"-c", "3", "UTID"},
     "",
     "\xFF\xFE\r\n",
     0,
     Common(R"("UTID")", "3", 0, "\"\xC3\xBF\xC3\xBE\"") + R"(,"sent":"UTID\r","reply":")"
                                                           "\xC3\xBF\xC3\xBE"
                                                           R"(\r","reply_hex":"fffe0d"})",
     nullptr,
     [](tarvexsim::Options* o) { o->replies["UTID"] = "\xFF\xFE\r"; }},
    // Every control byte is escaped: a raw one would make the line invalid JSON.
    {"ReplyWithControlBytes",
     {"-c", "3", "UTID"},
     "",
     "A\x1F\x7F\x01\r\n",
     0,
     Common(R"("UTID")", "3", 0, "\"A\\u001f\x7F\\u0001\"") + R"(,"sent":"UTID\r","reply":"A\u001f)"
                                                              "\x7F"
                                                              R"(\u0001\r","reply_hex":null})",
     nullptr,
     [](tarvexsim::Options* o) { o->replies["UTID"] = "A\x1F\x7F\x01\r"; }},
    {"ReplyUtf8",
     {"-c", "3", "UTID"},
     "",
     "\xC3\xBF\xC3\xBE\r\n",
     0,
     Common(R"("UTID")", "3", 0, "\"\xC3\xBF\xC3\xBE\"") + R"(,"sent":"UTID\r","reply":")"
                                                           "\xC3\xBF\xC3\xBE"
                                                           R"(\r","reply_hex":null})",
     nullptr,
     [](tarvexsim::Options* o) { o->replies["UTID"] = "\xC3\xBF\xC3\xBE\r"; }},
};

auto BuildAndRowName = [](const auto& info) {
    return e2e::BuildName(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
};
INSTANTIATE_TEST_SUITE_P(Builds, RecordKinds,
                         ::testing::Combine(::testing::Values(Build::kPosix, Build::kWindows),
                                            ::testing::ValuesIn(kKinds)),
                         BuildAndRowName);

// --- A record file that cannot be written changes nothing of the run --------------------------

struct UnwritableCase {
    const char* name;
    void (*make)(const std::string& path);  // makes what stands at the record's path
    const char* why;                        // in the trace at -v
    const char* below = "";                 // the record's path below the entry made
    const char* instead = nullptr;          // the record's path, when not the entry's
};

void PrintTo(const UnwritableCase& c, std::ostream* os) {
    *os << c.name;
}

class RecordUnwritable : public ::testing::TestWithParam<std::tuple<Build, UnwritableCase>> {};

TEST_P(RecordUnwritable, RunUnchanged) {
    const auto& [build, c] = GetParam();
    Workspace ws(build);
    ws.AddDevice(3);
    const std::string entry = ws.root() + "/" + kRecordName;
    c.make(entry);
    if (IsSkipped()) {
        return;
    }
    const std::string record = c.instead != nullptr ? c.instead : entry + c.below;
    const auto quiet = ws.Run({"-c", "3", "UTID"}, e2e::WithRecord(record));
    EXPECT_EQ(quiet.output, "TARVEX-7310 V2.10\r\n");
    EXPECT_EQ(quiet.exitCode, 0);
    const auto verbose = ws.Run({"-v", "-c", "3", "UTID"}, e2e::WithRecord(record));
    EXPECT_EQ(verbose.exitCode, 0);
    const std::string trace = std::string("record not written to ") + record + ": " + c.why + "\n";
    ASSERT_GE(verbose.output.size(), trace.size()) << verbose.output;
    EXPECT_EQ(verbose.output.substr(verbose.output.size() - trace.size()), trace);
    EXPECT_NE(e2e::ReadFile(entry + ".target").find("untouched"), std::string::npos)
        << "the target of a refused link";
}

void MakeTarget(const std::string& path) {
    e2e::WriteFile(path + ".target", "untouched\n");
}

const std::string kLongName = "/" + std::string(1100, 'a');

const UnwritableCase kUnwritable[] = {
    {"PathTooLong", MakeTarget, "path too long", kLongName.c_str()},
    {"Folder",
     [](const std::string& p) {
         MakeTarget(p);
         std::filesystem::create_directory(p);
     },
     "not a regular file"},
    {"MissingFolder", MakeTarget, "cannot open it", "/inside"},
};

// Device names, refused before anything is opened.
const UnwritableCase kWindowsUnwritable[] = {
    {"NulDevice", MakeTarget, "not a regular file", "", "NUL"},
    {"ComPortName", MakeTarget, "not a regular file", "", "COM4"},
    {"ComPortPath", MakeTarget, "not a regular file", "", "\\\\.\\COM4"},
};

// Skips the row without root; the arrangement must then stop, since a skip in a helper
// returns only from the helper.
bool SkippedWithoutRoot() {
    if (geteuid() == 0) {
        return false;
    }
    [] { GTEST_SKIP() << "needs root: gives links to another user (lchown)"; }();
    return true;
}

// Entries that Windows has not.
const UnwritableCase kPosixUnwritable[] = {
    {"NullDevice", MakeTarget, "not a regular file", "", "/dev/null"},
    {"PtyMaster", MakeTarget, "not a regular file", "", "/dev/ptmx"},
    {"HardLink",
     [](const std::string& p) {
         MakeTarget(p);
         ASSERT_EQ(link((p + ".target").c_str(), p.c_str()), 0);
     },
     "a file with a second name"},
    // Root's own link leads on to another user's: every link on the way is judged.
    {"ChainOfLinks",
     [](const std::string& p) {
         if (SkippedWithoutRoot()) {
             return;
         }
         MakeTarget(p);
         ASSERT_EQ(symlink((p + ".target").c_str(), (p + ".mid").c_str()), 0);
         ASSERT_EQ(lchown((p + ".mid").c_str(), 4242, 4242), 0);
         ASSERT_EQ(symlink((p + ".mid").c_str(), p.c_str()), 0);
     },
     "a link of another user"},
    // Another user's folder on the way, turned into a link to a folder of root's only.
    {"FolderTurnedIntoALink",
     [](const std::string& p) {
         if (SkippedWithoutRoot()) {
             return;
         }
         MakeTarget(p);
         ASSERT_TRUE(std::filesystem::create_directory(p + ".dir"));
         ASSERT_EQ(chmod((p + ".dir").c_str(), 0700), 0);
         ASSERT_EQ(symlink((p + ".dir").c_str(), p.c_str()), 0);
         ASSERT_EQ(lchown(p.c_str(), 4242, 4242), 0);
     },
     "a link of another user", "/runs.jsonl"},
    {"Fifo",
     [](const std::string& p) {
         MakeTarget(p);
         ASSERT_EQ(mkfifo(p.c_str(), 0666), 0);
     },
     "not a regular file"},
    {"LinkOfAnotherUser",
     [](const std::string& p) {
         if (SkippedWithoutRoot()) {
             return;
         }
         MakeTarget(p);
         ASSERT_EQ(symlink((p + ".target").c_str(), p.c_str()), 0);
         ASSERT_EQ(lchown(p.c_str(), 4242, 4242), 0);
     },
     "a link of another user"},
};

INSTANTIATE_TEST_SUITE_P(Builds, RecordUnwritable,
                         ::testing::Combine(::testing::Values(Build::kPosix, Build::kWindows),
                                            ::testing::ValuesIn(kUnwritable)),
                         BuildAndRowName);
INSTANTIATE_TEST_SUITE_P(Posix, RecordUnwritable,
                         ::testing::Combine(::testing::Values(Build::kPosix),
                                            ::testing::ValuesIn(kPosixUnwritable)),
                         BuildAndRowName);
INSTANTIATE_TEST_SUITE_P(Windows, RecordUnwritable,
                         ::testing::Combine(::testing::Values(Build::kWindows),
                                            ::testing::ValuesIn(kWindowsUnwritable)),
                         BuildAndRowName);

const std::string kFirmware =
    "S00B00004B52543037515F5894\nS1050010AABB85\nS1050012CCDD3F\nS9030000FC\n";

class Record : public ::testing::TestWithParam<Build> {};

// Sixteen stations update sixteen devices at once into one record file: sixteen whole lines.
TEST_P(Record, ParallelUpdatesLeaveWholeLines) {
    constexpr int kStations = 16;
    Workspace ws(GetParam());
    e2e::WriteFile(ws.root() + "/fw.mot", kFirmware);
    for (int port = 1; port <= kStations; ++port) {
        ws.AddDevice(port);
    }
    const std::string record = ws.root() + "/" + kRecordName;
    std::vector<std::future<e2e::Result>> runs;
    for (int port = 1; port <= kStations; ++port) {
        runs.push_back(std::async(std::launch::async, [&ws, &record, port] {
            return ws.Run({"-c", std::to_string(port), "UPDT", "-w", "fw.mot"},
                          e2e::WithRecord(record));
        }));
    }
    for (auto& run : runs) {
        EXPECT_EQ(run.get().exitCode, 0);
    }
    const std::string lines = e2e::RecordLines(record);
    std::set<int> ports;
    for (std::size_t at = 0; at < lines.size(); at = lines.find('\n', at) + 1) {
        const std::size_t port = lines.find("\"port\":", at);
        ASSERT_NE(port, std::string::npos) << lines;
        ports.insert(std::stoi(lines.substr(port + 7)));
        EXPECT_NE(lines.find(R"("exit":0,)", at), std::string::npos);
    }
    EXPECT_EQ(ports.size(), static_cast<std::size_t>(kStations)) << lines;
}

// Thirty-two runs that end at once make the record file together: thirty-two lines.
TEST_P(Record, RunsThatMakeTheFileTogetherLoseNoLine) {
    constexpr int kRuns = 32;
    Workspace ws(GetParam());
    const std::string record = ws.root() + "/" + kRecordName;
    std::vector<std::future<e2e::Result>> runs;
    for (int i = 0; i < kRuns; ++i) {
        runs.push_back(std::async(std::launch::async, [&ws, &record] {
            return ws.Run({"-c", "0", "UTID"}, e2e::WithRecord(record));
        }));
    }
    for (auto& run : runs) {
        EXPECT_EQ(run.get().exitCode, 2);
    }
    const std::string lines = e2e::RecordLines(record);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), kRuns) << lines;
}

INSTANTIATE_TEST_SUITE_P(Builds, Record, ::testing::Values(Build::kPosix, Build::kWindows),
                         [](const auto& info) { return e2e::BuildName(info.param); });

// A line is whole or absent: on a file system without room for it nothing of it stays, and a
// fragment that another program left gets its line end before the next line.
TEST(RecordPosix, LineIsWholeOrAbsent) {
    Workspace ws(Build::kPosix);
    ws.AddDevice(3);
    const std::string folder = ws.root() + "/full";
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    if (geteuid() != 0 || mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=8k") != 0) {
        GTEST_SKIP() << "needs root, to mount a small file system";
    }
    const std::string full = folder + "/" + kRecordName;
    const std::string before = std::string(8192 - 185 - 1, 'x') + "\n";  // 185 bytes of room
    e2e::WriteFile(full, before);
    const auto run = ws.Run({"-v", "-c", "3", "UTID"}, e2e::WithRecord(full));
    const std::string kept = e2e::ReadFile(full);
    umount2(folder.c_str(), MNT_DETACH);
    EXPECT_EQ(run.exitCode, 0);
    const std::string trace = "record not written to " + full + ": write failed\n";
    ASSERT_GE(run.output.size(), trace.size()) << run.output;
    EXPECT_EQ(run.output.substr(run.output.size() - trace.size()), trace);
    EXPECT_EQ(kept, before) << "a part of the line stayed";

    const std::string torn = ws.root() + "/" + kRecordName;
    e2e::WriteFile(torn, R"({"command":"UT)");
    EXPECT_EQ(ws.Run({"-c", "3", "UTID"}, e2e::WithRecord(torn)).exitCode, 0);
    const std::string text = e2e::ReadFile(torn);
    ASSERT_EQ(text.rfind("{\"command\":\"UT\n{", 0), 0U) << text;
    const std::string line = ws.root() + "/line.jsonl";
    e2e::WriteFile(line, text.substr(text.find('\n') + 1));
    EXPECT_NE(e2e::RecordLines(line).find(R"("reply":"TARVEX-7310 V2.10\r")"), std::string::npos);
}

// Of the /dev/serial/by-id links, the record names the one that leads to the port's device.
TEST(RecordPosix, ByIdNamesTheDeviceOfThePort) {
    constexpr const char* kById = "/dev/serial/by-id";
    if (access("/dev", W_OK) != 0 || std::filesystem::exists("/dev/serial")) {
        GTEST_SKIP() << "needs root and a machine without /dev/serial, to make its links";
    }
    Workspace ws(Build::kPosix);
    auto& other = ws.AddDevice(2);
    auto& device = ws.AddDevice(3);
    ASSERT_TRUE(std::filesystem::create_directories(kById));
    const std::string mine = std::string(kById) + "/usb-Tarvex_7310_B-if00";
    // Links of other devices on both sides of it, in name and in the folder's order.
    std::filesystem::create_symlink(other.slave_path(), std::string(kById) + "/usb-Other_A-if00");
    std::filesystem::create_symlink(device.slave_path(), mine);
    std::filesystem::create_symlink(other.slave_path(), std::string(kById) + "/usb-Other_C-if00");
    const std::string record = ws.root() + "/" + kRecordName;
    const auto run = ws.Run({"-c", "3", "UTID"}, e2e::WithRecord(record));
    std::filesystem::remove_all("/dev/serial");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(e2e::RecordLines(record).find(R"("by_id":")" + mine + "\""), std::string::npos)
        << e2e::RecordLines(record);
}

// A reader that keeps a byte of the record locked is waited for briefly, never to its end: the
// run ends with its own output and exit code, and the line is skipped.
TEST(RecordWindows, LockOfAReaderIsNotWaitedOut) {
    const char* windowsExe = std::getenv("MORVA_WINDOWS_EXE");
    const std::string exe = windowsExe != nullptr && *windowsExe ? windowsExe : MORVA_WINDOWS_EXE;
    // The reader's workspace first: the last one made has the prefix's COM ports.
    Workspace reader(Build::kWindows, "reader",
                     exe.substr(0, exe.rfind('/')) + "/tests/drivers/morva-lock-holder.exe");
    Workspace ws(Build::kWindows);
    ws.AddDevice(3);
    const std::string record = ws.root() + "/" + kRecordName;
    e2e::WriteFile(record, "");
    auto held = std::async(std::launch::async, [&reader, &record] { return reader.Run({record}); });
    for (int i = 0; i < 3000 && !std::filesystem::exists(record + ".held"); ++i) {
        usleep(10000);
    }
    ASSERT_TRUE(std::filesystem::exists(record + ".held")) << "the reader did not lock the file";
    const auto run = ws.Run({"-v", "-c", "3", "UTID"}, e2e::WithRecord(record));
    const bool stillHeld = held.wait_for(std::chrono::seconds(0)) == std::future_status::timeout;
    e2e::WriteFile(record + ".release", "");
    EXPECT_EQ(held.get().exitCode, 0);
    EXPECT_TRUE(stillHeld) << "the run waited for the reader to let go";
    EXPECT_EQ(run.exitCode, 0);
    const std::string trace = "record not written to " + record + ": locked by another program\n";
    ASSERT_GE(run.output.size(), trace.size()) << run.output;
    EXPECT_EQ(run.output.substr(run.output.size() - trace.size()), trace);
    EXPECT_EQ(e2e::ReadFile(record), "");
}

// SIGTERM while the device keeps the third line waiting: the line of the interrupted update.
TEST(RecordPosix, InterruptedUpdateLeavesItsLine) {
    Workspace ws(Build::kPosix);
    e2e::WriteFile(ws.root() + "/fw.mot", kFirmware);
    tarvexsim::Options options;
    options.silent_after = 2;
    auto& device = ws.AddDevice(3, options);
    const std::string record = ws.root() + "/" + kRecordName;
    e2e::RunOptions run = e2e::WithRecord(record);
    run.started = [&device](int pid) {
        for (int i = 0; i < 500 && device.Commands().size() < 4; ++i) {
            usleep(10000);
        }
        usleep(100000);
        kill(pid, SIGTERM);
    };
    const auto result = ws.Run({"-c", "3", "UPDT", "-w", "fw.mot"}, run);
    EXPECT_EQ(result.signal, SIGTERM);
    EXPECT_EQ(
        e2e::RecordLines(record),
        R"({"command":"UPDT","port":3,"device":"/dev/pts/N","by_id":null,"adapter":null,)"
        R"("exit":null,)"
        R"("interrupted":true,"message":"UPDT Test : 3 / 4","file":"fw.mot","bytes":68,"lines":4,)"
        R"("sha256":"4ad768e83d97ddcffdcaaba6f63d276c7cb09f02f78689d376a5bd7b146f3236","flash":true,)"
        R"("passes":[{"pass":"test","lines_sent":2,"resends":0,"reply":"11","stopped_at":3}]})"
        "\n");
    // The port was released before the record was written and the process ended.
    device.SetOptions(tarvexsim::Options{});
    EXPECT_EQ(ws.Run({"-c", "3", "UTID"}).exitCode, 0);
}

}  // namespace

// The UPDT command end to end, on both builds: the firmware handshake with a simulated device,
// the exact output (progress texts included), the exit code and the bytes the device received.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "harness.h"
#include "record_check.h"

namespace {

using e2e::Build;
using e2e::Workspace;
using tarvexsim::Options;

const std::string kHeader = "S00B00004B52543037515F5894";  // KRT07Q_X
const std::string kData1 = "S1050010AABB85";
const std::string kData2 = "S1050012CCDD3F";
const std::string kEnd = "S9030000FC";
const std::string kEndS7 = "S70500000000FA";
const std::string kEndS8 = "S804000000FB";

const std::string kOpenTest = "UPDT Test\r";
const std::string kOpenFlash = "UPDT Flash\r";

// The file's lines, each ended by `lineEnd`.
std::string Lines(const std::vector<std::string>& lines, const std::string& lineEnd = "\n") {
    std::string text;
    for (const std::string& line : lines) {
        text += line + lineEnd;
    }
    return text;
}

// The command texts a pass sends for `lines`: each line ended by one carriage return.
std::vector<std::string> Sent(const std::vector<std::string>& lines) {
    std::vector<std::string> sent;
    for (const std::string& line : lines) {
        sent.push_back(line + "\r");
    }
    return sent;
}

std::vector<std::string> Join(std::vector<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// Progress texts of lines 1 to `last` of a pass.
std::string Progress(const std::string& label, int last, int total) {
    std::string text;
    for (int line = 1; line <= last; ++line) {
        text += "\r" + label + " : " + std::to_string(line) + " / " + std::to_string(total);
    }
    return text;
}

const std::vector<std::string> kThree = {kHeader, kData1, kEnd};
const std::vector<std::string> kFour = {kHeader, kData1, kData2, kEnd};

enum class Entry { kFile, kFolder, kFifo, kNothing };

struct UpdateCase {
    const char* name;
    std::vector<std::string> args;  // after "-c 3"
    std::string file;               // content of fw.mot when `entry` is kFile
    void (*device)(Options*);
    std::vector<std::string> received;  // every command the device received, in order
    std::string output;
    int exitCode;
    Entry entry = Entry::kFile;
    // With it, the run has MORVA_RECORD set and appends this line (as record_lines.py shows
    // it; @DEV@ stands for the device), with output and exit code as without it.
    std::string record = "";
};

// The record line of an update of fw.mot, checked as `file` ("3": kThree, "4": kFour, else no
// file), with `passes` as the record lists them.
std::string UpdateRecord(int exitCode, const std::string& message, const char* file, bool flash,
                         const std::string& passes) {
    const std::string checked =
        file[0] == '3'
            ? R"("bytes":53,"lines":3,"sha256":"782f0bf5c25a8b634c724f968ccc5f35b013a519ddf5ba4946b3778a410b326a")"
        : file[0] == '4'
            ? R"("bytes":68,"lines":4,"sha256":"4ad768e83d97ddcffdcaaba6f63d276c7cb09f02f78689d376a5bd7b146f3236")"
            : R"("bytes":null,"lines":null,"sha256":null)";
    const std::string name = file[0] == '3' || file[0] == '4' ? "fw.mot" : file;
    return R"({"command":"UPDT","port":3,"device":"@DEV@","by_id":null,"adapter":null,"exit":)" +
           std::to_string(exitCode) + R"(,"interrupted":false,"message":")" + message +
           R"(","file":")" + name + R"(",)" + checked + R"(,"flash":)" +
           (flash ? "true" : "false") + R"(,"passes":[)" + passes + "]}\n";
}

void PrintTo(const UpdateCase& c, std::ostream* os) {
    *os << c.name;
}

void Plain(Options*) {}

class Update : public ::testing::TestWithParam<std::tuple<Build, UpdateCase>> {};

TEST_P(Update, Handshake) {
    const auto& [build, c] = GetParam();
    Workspace ws(build);
    const std::string path = ws.root() + "/fw.mot";
    if (c.entry == Entry::kFile) {
        e2e::WriteFile(path, c.file);
    } else if (c.entry == Entry::kFolder) {
        std::filesystem::create_directory(path);
    } else if (c.entry == Entry::kFifo) {
        ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
    }
    Options options;
    c.device(&options);
    auto& device = ws.AddDevice(3, options);
    std::vector<std::string> args = {"-c", "3"};
    args.insert(args.end(), c.args.begin(), c.args.end());

    const std::string record = ws.root() + "/record.jsonl";
    const auto run = ws.Run(args, c.record.empty() ? e2e::RunOptions{} : e2e::WithRecord(record));
    EXPECT_EQ(run.output, c.output);
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(device.Commands(), c.received);
    if (!c.record.empty()) {
        std::string expected = c.record;
        expected.replace(expected.find("@DEV@"), 5, e2e::RecordedDevice(build, 3));
        EXPECT_EQ(e2e::RecordLines(record), expected);
    }
}

const std::string kTestOk = " ... test succeeded\n";
const std::string kTestFailed = " ... test failed\n";

// Row by row, the exchanges of a pass and what each reply leads to.
const UpdateCase kWireTable[] = {
    {"AllLinesTaken",
     {"UPDT", "fw.mot"},
     Lines(kThree),
     Plain,
     Join({{kOpenTest}, Sent(kThree)}),
     "\rUPDT Test : 1 / 3\rUPDT Test : 2 / 3\rUPDT Test : 3 / 3 ... test succeeded\n",
     0},
    {"Rejected",
     {"UPDT", "fw.mot"},
     Lines(kThree),
     [](Options* o) { o->open_reply = 0x31; },
     {kOpenTest},
     "UPDT : Rejected to update via RS-232C\n" + kTestFailed,
     4,
     Entry::kFile,
     UpdateRecord(4, "... test failed", "3", false,
                  R"({"pass":"test","lines_sent":0,"resends":0,"reply":"31","stopped_at":0})")},
    {"OpeningAnsweredWithOtherByte",
     {"UPDT", "fw.mot"},
     Lines(kThree),
     [](Options* o) { o->open_reply = 0x00; },
     {kOpenTest},
     kTestFailed,
     4},
    {"OpeningAnsweredWithFinishCode",
     {"UPDT", "fw.mot"},
     Lines(kThree),
     [](Options* o) { o->open_reply = 0x10; },
     {kOpenTest},
     kTestFailed,
     4},
    {"ResendsAreUnlimitedAndNotShown",
     {"UPDT", "fw.mot"},
     Lines(kThree),
     [](Options* o) { o->resends[1] = 2; },
     Join({{kOpenTest}, Sent({kHeader, kHeader, kHeader}), Sent({kData1, kEnd})}),
     Progress("UPDT Test", 3, 3) + kTestOk,
     0,
     Entry::kFile,
     UpdateRecord(0, "... test succeeded", "3", false,
                  R"({"pass":"test","lines_sent":3,"resends":2,"reply":"10"})")},
    {"ResendOfTheEndRecord",
     {"UPDT", "fw.mot"},
     Lines(kThree),
     [](Options* o) { o->resends[3] = 1; },
     Join({{kOpenTest}, Sent(kThree), Sent({kEnd})}),
     Progress("UPDT Test", 3, 3) + kTestOk,
     0},
    {"FinishCodeToADataLine",
     {"UPDT", "fw.mot"},
     Lines(kThree),
     [](Options* o) { o->reply_at[2] = 0x10; },
     Join({{kOpenTest}, Sent({kHeader, kData1})}),
     Progress("UPDT Test", 2, 3) + "\nUPDT : Unexpected finish-code from USB device\n" +
         kTestFailed,
     6},
    {"NextCodeToTheEndRecord",
     {"UPDT", "fw.mot"},
     Lines(kThree),
     [](Options* o) { o->reply_at[3] = 0x11; },
     Join({{kOpenTest}, Sent(kThree)}),
     Progress("UPDT Test", 3, 3) + "\nUPDT : Unexpected next-code from Velta\n" + kTestFailed,
     6},
    {"UnexpectedByte",
     {"UPDT", "fw.mot"},
     Lines(kThree),
     [](Options* o) { o->reply_at[2] = 0x80; },
     Join({{kOpenTest}, Sent({kHeader, kData1})}),
     Progress("UPDT Test", 2, 3) + "\nUPDT : Unexpected reply.(0x80)\n" + kTestFailed,
     6},
    {"UnexpectedLowByte",
     {"UPDT", "fw.mot"},
     Lines(kThree),
     [](Options* o) { o->reply_at[1] = 0x0A; },
     Join({{kOpenTest}, Sent({kHeader})}),
     Progress("UPDT Test", 1, 3) + "\nUPDT : Unexpected reply.(0x0A)\n" + kTestFailed,
     6},
    {"LineAfterTheEndRecordIsSent",
     {"UPDT", "fw.mot"},
     Lines({kHeader, kEnd, kData1}),
     Plain,
     Join({{kOpenTest}, Sent({kHeader, kEnd, kData1})}),
     Progress("UPDT Test", 3, 3) + kTestOk,
     0},
    {"LineAfterTheEndRecordNeedsTheNextCode",
     {"UPDT", "fw.mot"},
     Lines({kHeader, kEnd, kData1}),
     [](Options* o) { o->reply_at[3] = 0x10; },
     Join({{kOpenTest}, Sent({kHeader, kEnd, kData1})}),
     Progress("UPDT Test", 3, 3) + "\nUPDT : Unexpected finish-code from USB device\n" +
         kTestFailed,
     6},
    {"FileWithoutEndRecord",
     {"UPDT", "fw.mot"},
     Lines({kHeader, kData1}),
     Plain,
     Join({{kOpenTest}, Sent({kHeader, kData1})}),
     Progress("UPDT Test", 2, 2) + kTestOk,
     0},
    {"S7EndRecordIsNoLastLine",
     {"UPDT", "fw.mot"},
     Lines({kHeader, kData1, kEndS7}),
     [](Options* o) { o->reply_at[3] = 0x10; },
     Join({{kOpenTest}, Sent({kHeader, kData1, kEndS7})}),
     Progress("UPDT Test", 3, 3) + "\nUPDT : Unexpected finish-code from USB device\n" +
         kTestFailed,
     6},
    {"S8EndRecordIsNoLastLine",
     {"UPDT", "fw.mot"},
     Lines({kHeader, kData1, kEndS8}),
     [](Options* o) { o->reply_at[3] = 0x10; },
     Join({{kOpenTest}, Sent({kHeader, kData1, kEndS8})}),
     Progress("UPDT Test", 3, 3) + "\nUPDT : Unexpected finish-code from USB device\n" +
         kTestFailed,
     6},
    {"ExtraByteAfterTheOpeningReply",
     {"UPDT", "fw.mot"},
     Lines(kThree),
     [](Options* o) {
         o->replies = {
             {"UPDT Test", "\x11\x11"}, {kHeader, "\x11"}, {kData1, "\x11"}, {kEnd, "\x10"}};
         o->keep_unread = true;
     },
     Join({{kOpenTest}, Sent(kThree)}),
     Progress("UPDT Test", 3, 3) + kTestOk,
     0},
    {"SilentDeviceMidPass",
     {"UPDT", "-w", "fw.mot"},
     Lines(kFour),
     [](Options* o) { o->silent_after = 2; },
     Join({{kOpenTest}, Sent({kHeader, kData1, kData2})}),
     Progress("UPDT Test", 3, 4) + "Cannot receive reply byte\n" + kTestFailed,
     104,
     Entry::kFile,
     UpdateRecord(104, "... test failed", "4", true,
                  R"({"pass":"test","lines_sent":2,"resends":0,"reply":"11","stopped_at":3})")},
    {"DeviceDisappearsMidPass",
     {"UPDT", "-w", "fw.mot"},
     Lines(kFour),
     [](Options* o) { o->vanish_after = 2; },
     Join({{kOpenTest}, Sent({kHeader, kData1})}),
     Progress("UPDT Test", 3, 4) + kTestFailed,
     3},
};

// The flash pass follows a good test pass only with -w (or -W) right after UPDT.
const UpdateCase kFlashTable[] = {
    {"TestAndFlash",
     {"UPDT", "-w", "fw.mot"},
     Lines(kThree),
     Plain,
     Join({{kOpenTest}, Sent(kThree), {kOpenFlash}, Sent(kThree)}),
     "\rUPDT Test : 1 / 3\rUPDT Test : 2 / 3\rUPDT Test : 3 / 3 ... test succeeded\n"
     "\rUPDT Flash : 1 / 3\rUPDT Flash : 2 / 3\rUPDT Flash : 3 / 3 ... Update succeeded\n",
     0,
     Entry::kFile,
     UpdateRecord(0, "... Update succeeded", "3", true,
                  R"({"pass":"test","lines_sent":3,"resends":0,"reply":"10"},)"
                  R"({"pass":"flash","lines_sent":3,"resends":0,"reply":"10"})")},
    {"UpperCaseFlag",
     {"UPDT", "-W", "fw.mot"},
     Lines(kThree),
     Plain,
     Join({{kOpenTest}, Sent(kThree), {kOpenFlash}, Sent(kThree)}),
     Progress("UPDT Test", 3, 3) + kTestOk + Progress("UPDT Flash", 3, 3) +
         " ... Update succeeded\n",
     0},
    {"FlagAfterThePathOnlyTests",
     {"UPDT", "fw.mot", "-w"},
     Lines(kThree),
     Plain,
     Join({{kOpenTest}, Sent(kThree)}),
     Progress("UPDT Test", 3, 3) + kTestOk,
     0},
    {"FlashPassRejected",
     {"UPDT", "-w", "fw.mot"},
     Lines(kThree),
     [](Options* o) {
         o->open_reply = 0x31;
         o->fault_pass = tarvexsim::PassFilter::kFlash;
     },
     Join({{kOpenTest}, Sent(kThree), {kOpenFlash}}),
     Progress("UPDT Test", 3, 3) + kTestOk + "UPDT : Rejected to update via RS-232C\n" +
         " ... Update failed\n",
     4},
    {"FlashPassUnexpectedByte",
     {"UPDT", "-w", "fw.mot"},
     Lines(kThree),
     [](Options* o) {
         o->reply_at[2] = 0x80;
         o->fault_pass = tarvexsim::PassFilter::kFlash;
     },
     Join({{kOpenTest}, Sent(kThree), {kOpenFlash}, Sent({kHeader, kData1})}),
     Progress("UPDT Test", 3, 3) + kTestOk + Progress("UPDT Flash", 2, 3) +
         "\nUPDT : Unexpected reply.(0x80)\n ... Update failed\n",
     6},
    {"FailedTestPassEndsTheCommand",
     {"UPDT", "-w", "fw.mot"},
     Lines(kThree),
     [](Options* o) {
         o->reply_at[2] = 0x80;
         o->fault_pass = tarvexsim::PassFilter::kTest;
     },
     Join({{kOpenTest}, Sent({kHeader, kData1})}),
     Progress("UPDT Test", 2, 3) + "\nUPDT : Unexpected reply.(0x80)\n" + kTestFailed,
     6},
};

// Paths and files that stop the command before or at the first pass.
const UpdateCase kFileTable[] = {
    {"FlagAsLastWord",
     {"UPDT", "-w"},
     "",
     Plain,
     {},
     "UPDT : file not found \"(null)\"\n",
     4,
     Entry::kNothing},
    {"MissingFile",
     {"UPDT", "none.mot"},
     "",
     Plain,
     {},
     "UPDT : file not found \"none.mot\"\n",
     4,
     Entry::kNothing,
     UpdateRecord(4, R"(UPDT : file not found \"none.mot\")", "none.mot", false, "")},
    // A name's control bytes are shown escaped: they cannot retitle or recolour the terminal.
    {"MissingFileWithControlBytes",
     {"UPDT", "\x1B]0;owned\x07\x1B[31m\x7F.mot"},
     "",
     Plain,
     {},
     "UPDT : file not found \"\\033]0;owned\\007\\033[31m\\177.mot\"\n",
     4,
     Entry::kNothing},
    {"BadChecksumOnLastLine",
     {"UPDT", "-w", "fw.mot"},
     Lines({kHeader, kData1, "S9030000FD"}),
     Plain,
     {},
     "UPDT : invalid file\n",
     4},
    {"ForeignHeader",
     {"UPDT", "fw.mot"},
     Lines({"S0050000414277", kData1, kEnd}),
     Plain,
     {},
     "UPDT : invalid file\n",
     4},
    {"EmptyFile", {"UPDT", "fw.mot"}, "", Plain, {}, "UPDT : invalid file\n", 4},
    // The device would take the carriage return for a line end: the rest is never checked.
    {"CarriageReturnInsideALine",
     {"UPDT", "-w", "fw.mot"},
     Lines({kHeader, kData1 + "\r" + kData2, kEnd}),
     Plain,
     {},
     "UPDT : invalid file\n",
     4},
    {"ZeroByteInsideARecord",
     {"UPDT", "-w", "fw.mot"},
     Lines({kHeader, "S105" + std::string(1, '\0') + "010AABB85", kEnd}),
     Plain,
     {},
     "UPDT : invalid file\n",
     4},
    {"FolderAsPath",
     {"UPDT", "-w", "fw.mot"},
     "",
     Plain,
     {kOpenTest},
     kTestFailed,
     5,
     Entry::kFolder},
};

// Wine's own open of a FIFO waits for a writer: for the Linux build.
const UpdateCase kPosixFileTable[] = {
    {"FifoAsPath", {"UPDT", "-w", "fw.mot"}, "", Plain, {kOpenTest}, kTestFailed, 5, Entry::kFifo},
};

// Device names as firmware paths: Wine maps COM3 to the simulated device's port.
const UpdateCase kWindowsFileTable[] = {
    {"SerialPortAsPath",
     {"UPDT", "-w", "COM3"},
     "",
     Plain,
     {kOpenTest},
     kTestFailed,
     5,
     Entry::kNothing},
    {"NulAsPath", {"UPDT", "-w", "NUL"}, "", Plain, {kOpenTest}, kTestFailed, 5, Entry::kNothing},
};

// What goes on the wire for each kind of line end: always the line and one carriage return.
const UpdateCase kLineEndTable[] = {
    {"CarriageReturnLineFeed",
     {"UPDT", "-w", "fw.mot"},
     Lines(kThree, "\r\n"),
     Plain,
     Join({{kOpenTest}, Sent(kThree), {kOpenFlash}, Sent(kThree)}),
     Progress("UPDT Test", 3, 3) + kTestOk + Progress("UPDT Flash", 3, 3) +
         " ... Update succeeded\n",
     0},
    {"LastLineWithoutLineEnd",
     {"UPDT", "fw.mot"},
     Lines({kHeader, kData1}) + kEnd,
     Plain,
     Join({{kOpenTest}, Sent(kThree)}),
     Progress("UPDT Test", 3, 3) + kTestOk,
     0},
    {"EndOfDataByte",
     {"UPDT", "fw.mot"},
     Lines(kThree) + "\x1a" + Lines({kData2}),
     Plain,
     Join({{kOpenTest}, Sent(kThree)}),
     Progress("UPDT Test", 3, 3) + kTestOk,
     0},
    // The first 255 characters come as one piece: sent whole, with the carriage return after
    // them; the rest of the line is a line of its own.
    {"OverLongLineInPieces",
     {"UPDT", "fw.mot"},
     Lines({kHeader, kData1 + std::string(255 - kData1.size(), 'F') + kEnd}),
     Plain,
     Join({{kOpenTest}, Sent({kHeader, kData1 + std::string(255 - kData1.size(), 'F'), kEnd})}),
     Progress("UPDT Test", 3, 3) + kTestOk,
     0},
    // The text sent would end at the zero byte: the line never reaches the device whole.
    {"ZeroByteAfterTheChecksum",
     {"UPDT", "fw.mot"},
     Lines({kHeader, kData1 + std::string(1, '\0') + "junk", kEnd}),
     Plain,
     {},
     "UPDT : invalid file\n",
     4},
};

std::string CaseName(const ::testing::TestParamInfo<std::tuple<Build, UpdateCase>>& info) {
    return e2e::BuildName(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
}

const auto kBuilds = ::testing::Values(Build::kPosix, Build::kWindows);

// The rows named, in table order.
std::vector<UpdateCase> Rows(const std::vector<std::vector<UpdateCase>>& tables,
                             const std::vector<std::string>& names) {
    std::vector<UpdateCase> rows;
    for (const auto& table : tables) {
        for (const UpdateCase& c : table) {
            if (std::find(names.begin(), names.end(), c.name) != names.end()) {
                rows.push_back(c);
            }
        }
    }
    return rows;
}

// A program folder and a firmware file named in any language: the port is stored and read
// back beside the program, and the file is found and sent.
struct NamesCase {
    const char* name;
    std::string folder;
    const char* file;
};

void PrintTo(const NamesCase& c, std::ostream* os) {
    *os << c.name;
}

class Names : public ::testing::TestWithParam<std::tuple<Build, NamesCase>> {};

TEST_P(Names, StoreAndUpdate) {
    const auto& [build, c] = GetParam();
    Workspace ws(build, c.folder);
    e2e::WriteFile(ws.exeDir() + "/" + c.file, Lines(kThree));
    auto& device = ws.AddDevice(3);
    e2e::RunOptions inFolder;
    inFolder.workingDir = ws.exeDir();
    const auto store = ws.Run({"SCOM", "3"});
    EXPECT_EQ(store.output, "");
    EXPECT_EQ(store.exitCode, 0);
    EXPECT_EQ(ws.Run({"SCOM"}).output, "3\n");
    const auto update = ws.Run({"UPDT", c.file}, inFolder);
    EXPECT_EQ(update.output, Progress("UPDT Test", 3, 3) + kTestOk);
    EXPECT_EQ(update.exitCode, 0);
    EXPECT_EQ(device.Commands(), Join({{kOpenTest}, Sent(kThree)}));
}

const NamesCase kNames[] = {
    {"CentralEuropean", "\u0141ukasz", "\u017c\u00f3\u0142w.mot"},
    {"Chinese", "\u56fa\u4ef6", "\u56fa\u4ef6.mot"},
    // 80 characters of three bytes each in UTF-8: the settings path has about 110 characters,
    // far below the 259 of a Windows path, but more than 260 bytes.
    {"LongChineseFolder",
     [] {
         std::string folder;
         for (int i = 0; i < 40; ++i) {
             folder += "\u56fa\u4ef6";
         }
         return folder;
     }(),
     "\u56fa\u4ef6.mot"},
};

INSTANTIATE_TEST_SUITE_P(Builds, Names, ::testing::Combine(kBuilds, ::testing::ValuesIn(kNames)),
                         [](const auto& info) {
                             return e2e::BuildName(std::get<0>(info.param)) + "_" +
                                    std::get<1>(info.param).name;
                         });

INSTANTIATE_TEST_SUITE_P(Wire, Update, ::testing::Combine(kBuilds, ::testing::ValuesIn(kWireTable)),
                         CaseName);
INSTANTIATE_TEST_SUITE_P(Flash, Update,
                         ::testing::Combine(kBuilds, ::testing::ValuesIn(kFlashTable)), CaseName);
INSTANTIATE_TEST_SUITE_P(Files, Update,
                         ::testing::Combine(kBuilds, ::testing::ValuesIn(kFileTable)), CaseName);
INSTANTIATE_TEST_SUITE_P(PosixFiles, Update,
                         ::testing::Combine(::testing::Values(Build::kPosix),
                                            ::testing::ValuesIn(kPosixFileTable)),
                         CaseName);
INSTANTIATE_TEST_SUITE_P(WindowsFiles, Update,
                         ::testing::Combine(::testing::Values(Build::kWindows),
                                            ::testing::ValuesIn(kWindowsFileTable)),
                         CaseName);
INSTANTIATE_TEST_SUITE_P(LineEnds, Update,
                         ::testing::Combine(kBuilds, ::testing::ValuesIn(kLineEndTable)), CaseName);
// The device on a real tty's end rather than a pseudo-terminal of its own.
INSTANTIATE_TEST_SUITE_P(
    TtyPair, Update,
    ::testing::Combine(::testing::Values(Build::kPosixTtyPair),
                       ::testing::ValuesIn(Rows({{std::begin(kWireTable), std::end(kWireTable)},
                                                 {std::begin(kFlashTable), std::end(kFlashTable)}},
                                                {"Rejected", "ResendsAreUnlimitedAndNotShown",
                                                 "SilentDeviceMidPass", "TestAndFlash"}))),
    CaseName);

// The Windows simulator program on COM4 and the Windows build on COM3, through a tty pair
// under Wine: one row per pair of executables that ships.
struct ProgramPair {
    const char* name;
    const char* morva;
    const char* simulator;
};

void PrintTo(const ProgramPair& pair, std::ostream* os) {
    *os << pair.name;
}

class ProgramsOnComPorts : public ::testing::TestWithParam<ProgramPair> {};

TEST_P(ProgramsOnComPorts, IdentityAndTestAndFlash) {
    Workspace ws(Build::kWindows, "bin", GetParam().morva);
    e2e::WriteFile(ws.root() + "/fw.mot", Lines(kThree));
    ws.AddSimulatorProgram(3, GetParam().simulator);
    const auto identity = ws.Run({"-c", "3", "UTID"});
    EXPECT_EQ(identity.output, "TARVEX-7310 V2.10\r\n");
    EXPECT_EQ(identity.exitCode, 0);
    const auto update = ws.Run({"-c", "3", "UPDT", "-w", "fw.mot"});
    EXPECT_EQ(update.output, Progress("UPDT Test", 3, 3) + kTestOk + Progress("UPDT Flash", 3, 3) +
                                 " ... Update succeeded\n");
    EXPECT_EQ(update.exitCode, 0);
    EXPECT_EQ(ws.SimulatorCommands(),
              Join({{"UTID\r", kOpenTest}, Sent(kThree), {kOpenFlash}, Sent(kThree)}));
}

INSTANTIATE_TEST_SUITE_P(Windows, ProgramsOnComPorts,
                         ::testing::Values(ProgramPair{"Win64", MORVA_WINDOWS_EXE,
                                                       MORVA_WINDOWS_SIM_EXE}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

// The command line: option scan, value reading, lookup, the checks before dispatch and the
// pass-through, run in-process against the scripted port.
#include "front/front.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "captured_output.h"
#include "common/verbose.h"
#include "fake_serial.h"
#include "scratch_folder.h"

namespace {

struct Outcome {
    int exitCode;
    std::string output;
};

class FrontTest : public ::testing::Test {
  protected:
    // The program path names a scratch folder that holds the executable (as each platform names
    // it) and no settings file, so that the search ends there whatever PATH holds.
    FrontTest() : program_(scratch_.Write("morva", "")) { scratch_.Write("morva.exe", ""); }

    void SetUp() override {
        fake::Reset();
        morva::SetVerboseLevel(0);
    }
    void TearDown() override { morva::SetVerboseLevel(0); }

    // Runs the front end on `words` (the program path is added in front) and captures stdout.
    Outcome Run(std::vector<std::string> words) const {
        words.insert(words.begin(), program_);
        std::vector<const char*> argv;
        for (const std::string& word : words) {
            argv.push_back(word.c_str());
        }
        argv.push_back(nullptr);
        morva::test::CapturedOutput captured;
        const int code = morva::RunFront(static_cast<int>(words.size()), argv.data());
        return {code, captured.Take()};
    }

    morva::test::ScratchFolder scratch_;
    std::string program_;
};

struct ValueCase {
    const char* text;
    int port;
};

class PortValue : public ::testing::TestWithParam<ValueCase> {};

TEST_P(PortValue, Reads) {
    EXPECT_EQ(morva::ReadPortValue(GetParam().text), GetParam().port);
}

INSTANTIATE_TEST_SUITE_P(Texts, PortValue,
                         ::testing::Values(ValueCase{"3", 3}, ValueCase{"COM3", 3},
                                           ValueCase{"com12", 12}, ValueCase{"cOm003", 3},
                                           ValueCase{"COM", 0}, ValueCase{"com", 0},
                                           ValueCase{"COMX", 0}, ValueCase{"x3", 0},
                                           ValueCase{"3x", 3}, ValueCase{" \t+7", 7},
                                           ValueCase{"-5", -5}, ValueCase{"", 0},
                                           ValueCase{"HWSC", 0}, ValueCase{"COM-100", -100},
                                           ValueCase{"99999999999", 2147483647},
                                           ValueCase{"-99999999999", -2147483647 - 1},
                                           ValueCase{"4294967299", 2147483647}));

struct ScanCase {
    std::vector<const char*> words;
    int commandIndex;
    int port;
    bool awaiting;
    int verbose;
};

class OptionScanTest : public FrontTest, public ::testing::WithParamInterface<ScanCase> {};

TEST_P(OptionScanTest, Scans) {
    const ScanCase& c = GetParam();
    std::vector<const char*> argv{"morva"};
    argv.insert(argv.end(), c.words.begin(), c.words.end());
    const morva::OptionScan scan = morva::ScanOptions(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(scan.commandIndex, c.commandIndex);
    EXPECT_EQ(scan.port, c.port);
    EXPECT_EQ(scan.awaitingPort, c.awaiting);
    EXPECT_EQ(morva::GetVerboseLevel(), c.verbose);
}

INSTANTIATE_TEST_SUITE_P(
    Words, OptionScanTest,
    ::testing::Values(
        ScanCase{{"-c", "3", "X"}, 3, 3, false, 0}, ScanCase{{"-c3", "X"}, 2, 3, false, 0},
        ScanCase{{"-cCOM3", "X"}, 2, 3, false, 0}, ScanCase{{"-C", "3", "X"}, 3, 3, false, 0},
        ScanCase{{"/c", "3", "X"}, 3, 3, false, 0}, ScanCase{{"-c3v", "X"}, 2, 3, false, 0},
        ScanCase{{"-c", "3", "-c", "4", "X"}, 5, 4, false, 0},
        ScanCase{{"-c", "-v", "5", "UTID"}, 4, 5, false, 1},
        ScanCase{{"-vv", "X"}, 2, -100, false, 2}, ScanCase{{"-v", "-V", "X"}, 3, -100, false, 2},
        ScanCase{{"-c"}, 2, -100, true, 0}, ScanCase{{"-c", "-v"}, 3, -100, true, 1},
        ScanCase{{"-cv", "X"}, 2, 0, false, 0}, ScanCase{{"-vc", "X"}, 2, 0, false, 1},
        ScanCase{{"-", "/", "X"}, 3, -100, false, 0}, ScanCase{{"-x", "UTID"}, 2, -100, false, 0},
        ScanCase{{"UTID", "-c", "3"}, 1, -100, false, 0}, ScanCase{{"", "-v"}, 1, -100, false, 0},
        ScanCase{{"-c", "HWSC"}, 3, 0, false, 0}));

TEST(CommandLookup, MatchesFirstFourLettersInAnyCase) {
    const std::vector<std::pair<const char*, int>> cases = {
        {"HWSC", 1}, {"hwscan", 1}, {"scomx", 2}, {"SCOM", 2}, {"UpDt", 3},   {"UPDTX", 3},
        {"HWS", 0},  {"", 0},       {"UTID", 0},  {"HWSD", 0}, {"SCO\xC3", 0}};
    for (const auto& [word, row] : cases) {
        EXPECT_EQ(morva::LookupCommand(word), row) << word;
    }
}

TEST(JoinedLength, CountsWordsJoinedWithSingleBlanks) {
    const char* argv[] = {"morva", "utid", "1", "", "abc", nullptr};
    EXPECT_EQ(morva::JoinedLength(5, argv, 1), 11);
    EXPECT_EQ(morva::JoinedLength(5, argv, 3), 4);
    EXPECT_EQ(morva::JoinedLength(5, argv, 5), -1);
}

const char kUsage[] =
    "[morva.exe v.4.00]\n"
    "\n"
    "Usage:\n"
    "morva.exe [<option>] <command> [<parameter>]\n"
    "\n"
    "\tcommand   : Tarvex series command.\n"
    "\tparameter : command parameters (if necessary).\n"
    "\toption    :\n"
    "\t            -c <port>: COM port number (superior to morva.ini)\n"
    "\t            -v       : verbose mode\n"
    "\n"
    "Note:\n"
    "\tAt first, you must execute SCOM command to select the COM port\n"
    "\twhich is assigned to Tarvex.\n"
    "\tmorva.ini will be created in the same folder as morva.exe.\n"
    "\n"
    "\t(example)\n"
    "\tmorva.exe SCOM 1\n"
    "\n"
    "\tSet MORVA_RECORD=<file> to append one JSON line per run to <file>.\n";

const char kUpdateHelp[] =
    "[Description]\n"
    "\tUpdate Tarvex firmware\n"
    "[Usage]\n"
    "\tmorva.exe UPDT [-w] <mot file path>\n"
    "\tWithout -w option, morva.exe will do only communication test.\n"
    "\tWith -w option, morva.exe will update after communication test.\n";

struct CheckCase {
    const char* name;
    std::vector<std::string> words;
    int exitCode;
    std::string output;
};

class BeforeDispatch : public FrontTest, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(BeforeDispatch, PrintsAndExits) {
    const CheckCase& c = GetParam();
    const Outcome run = Run(c.words);
    EXPECT_EQ(run.output, c.output);
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(fake::Recorded().opens, 0) << "no port may be opened";
}

const std::string kTooLong = "Too long command or command-options.\n";
const std::string kIllegal = "Illegal port number\n";
const std::string kNeedPort = "Need COM port number after '-c' option.\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, BeforeDispatch,
    ::testing::Values(
        CheckCase{"NoArguments", {}, 0, kUsage},
        CheckCase{"VerboseAlone", {"-v"}, 4, "verbose level:1\n" + kTooLong},
        CheckCase{"PortWithoutValue", {"-c"}, 2, kNeedPort},
        CheckCase{"PortFollowedByOption", {"-c", "-v"}, 2, kNeedPort},
        CheckCase{"PortZero", {"-c", "0", "X"}, 2, kIllegal},
        CheckCase{"PortCom0", {"-c", "COM0", "X"}, 2, kIllegal},
        CheckCase{"PortComAlone", {"-c", "COM", "X"}, 2, kIllegal},
        CheckCase{"PortComLower", {"-c", "com", "UPDT"}, 2, kIllegal},
        CheckCase{"PortLetter", {"-cx", "X"}, 2, kIllegal},
        CheckCase{"PortV", {"-cv", "X"}, 2, kIllegal},
        CheckCase{"PortTakesCommandWord", {"-c", "HWSC"}, 2, kIllegal},
        CheckCase{"PortZeroBeforeVerboseLine", {"-v", "-c", "0", "X"}, 2, kIllegal},
        CheckCase{"NoCommandAfterPort", {"-c", "3"}, 4, kTooLong},
        CheckCase{"EmptyCommand", {""}, 4, kTooLong},
        CheckCase{"JoinedTextOf257", {std::string(250, 'A'), "123456"}, 4, kTooLong},
        CheckCase{"BuiltInCommandTooLong", {"HWSC", std::string(252, 'A')}, 4, kTooLong},
        CheckCase{"UpdateAlone", {"UPDT"}, 4, kUpdateHelp},
        CheckCase{"UpdateAloneVerbose",
                  {"-v", "updtx"},
                  4,
                  "verbose level:1\n" + std::string(kUpdateHelp)},
        CheckCase{"UpdateNoSettings", {"UPDT", "-w"}, 1, "morva.ini : Not found\n"},
        CheckCase{
            "UpdateNegativePort", {"-c-5", "UPDT", "a.mot"}, 1, "morva.ini : Illegal format\n"},
        CheckCase{"PassThroughNoSettings", {"UTID"}, 1, "Not found : morva.ini\n"},
        CheckCase{"PassThroughNegativePort", {"-c-5", "UTID"}, 1, "Illegal format : morva.ini\n"},
        CheckCase{"PortMinus100CountsAsNone", {"-c-100", "UTID"}, 1, "Not found : morva.ini\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FrontTest, PassThroughSendsTheJoinedWordsAsTyped) {
    fake::ReplyAtFirstPoll("OK\r");
    const Outcome run = Run({"-c", "3", "utid", "1", "-COM4"});
    EXPECT_EQ(fake::Recorded().written, "utid 1 -COM4\r");
    EXPECT_EQ(fake::Recorded().lastPort, 3);
    EXPECT_EQ(run.output, "OK\r\n");
    EXPECT_EQ(run.exitCode, 0);
}

TEST_F(FrontTest, PassThroughOfTheLongestJoinedText) {
    fake::ReplyAtFirstPoll("0\r");
    const std::string first(200, 'A');
    const std::string second(55, 'B');
    const Outcome run = Run({"-c3", first, second});
    EXPECT_EQ(fake::Recorded().written, first + " " + second + "\r");
    EXPECT_EQ(fake::Recorded().written.size(), 257U);
    EXPECT_EQ(run.exitCode, 0);
}

struct ReplyCase {
    const char* name;
    std::string reply;
    std::string output;
};

class PassThroughReply : public FrontTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(PassThroughReply, Prints) {
    fake::ReplyAtFirstPoll(GetParam().reply);
    const Outcome run = Run({"-c", "3", "STAT"});
    EXPECT_EQ(run.output, GetParam().output);
    EXPECT_EQ(run.exitCode, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, PassThroughReply,
    ::testing::Values(ReplyCase{"CommandError", "1\r", "Command Error\n"},
                      ReplyCase{"CommandErrorWithLineFeed", "1\n\r", "Command Error\n"},
                      ReplyCase{"Ten", "10\r", "10\r\n"},
                      ReplyCase{"OneThenText", "1 \r", "1 \r\n"},
                      ReplyCase{"BytesAfterCarriageReturn", "OK\rXY", "OK\rXY\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FrontTest, PassThroughFailuresPrintTheExchangeText) {
    fake::Scripted().openFails = true;
    Outcome run = Run({"-c", "7", "UTID"});
    EXPECT_EQ(run.output, "Cannot open COM7\n");
    EXPECT_EQ(run.exitCode, 3);

    fake::Reset();
    run = Run({"-c", "7", "UTID"});
    EXPECT_EQ(run.output, "Cannot receive reply string\n");
    EXPECT_EQ(run.exitCode, 104);

    fake::Reset();
    fake::Scripted().writeFails = true;
    run = Run({"-c", "7", "UTID"});
    EXPECT_EQ(run.output, "Cannot send command\n");
    EXPECT_EQ(run.exitCode, 103);
}

TEST_F(FrontTest, VerbosePassThroughTraces) {
    fake::ReplyAtFirstPoll("OK\r");
    const Outcome run = Run({"-v", "-c", "3", "UTID"});
    EXPECT_EQ(run.output, "verbose level:1\nTX(5) : 55 54 49 44 0D \nRX(2) : 4F 4B \nOK\r\n");
}

TEST_F(FrontTest, IgnoredOptionBeforeCommand) {
    fake::ReplyAtFirstPoll("OK\r");
    const Outcome run = Run({"-x", "-c", "3", "UTID"});
    EXPECT_EQ(fake::Recorded().written, "UTID\r");
    EXPECT_EQ(run.exitCode, 0);
}

TEST_F(FrontTest, PortAboveTheScanRangeIsTriedAsGiven) {
    fake::Scripted().openFails = true;
    const Outcome run = Run({"-c", "COM300", "UTID"});
    EXPECT_EQ(fake::Recorded().lastPort, 300);
    EXPECT_EQ(run.output, "Cannot open COM300\n");
}

}  // namespace

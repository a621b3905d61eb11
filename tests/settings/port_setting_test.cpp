// The SCOM command in-process: a scratch folder holds a file named like the executable, and the
// program path points at it. Standard output, exit code and the settings file are checked.
#include "settings/port_setting.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "captured_output.h"
#include "common/verbose.h"
#include "settings_files.h"

namespace {

using morva::test::ListFolder;
using morva::test::ReadWhole;

struct Outcome {
    int exitCode;
    std::string output;
};

class ScomTest : public morva::test::ProcessStateTest {
  protected:
    void SetUp() override {
        ProcessStateTest::SetUp();
        program_ = scratch_.Write("morva", "");
        ini_ = scratch_.Path("morva.ini");
        SetPath("");
    }

    // Runs SCOM with `words` after the command word and the given program path.
    static Outcome RunAs(const std::string& programPath, const std::vector<std::string>& words) {
        std::vector<const char*> argv{programPath.c_str(), "SCOM"};
        for (const std::string& word : words) {
            argv.push_back(word.c_str());
        }
        argv.push_back(nullptr);
        morva::test::CapturedOutput captured;
        const int code = morva::SetComPort(static_cast<int>(argv.size()) - 1, argv.data(), 1);
        return {code, captured.Take()};
    }
    Outcome Run(const std::vector<std::string>& words) const { return RunAs(program_, words); }

    morva::test::ScratchFolder scratch_;
    std::string program_;
    std::string ini_;
};

struct ScomCase {
    std::string label;
    std::vector<std::string> words;
    std::optional<std::string> before;  // settings file before; nullopt: none
    std::string output;
    int exitCode;
    std::optional<std::string> after;  // settings file after
};

std::ostream& operator<<(std::ostream& out, const ScomCase& c) {
    return out << c.label;
}

class ScomCases : public ScomTest, public ::testing::WithParamInterface<ScomCase> {};

TEST_P(ScomCases, Runs) {
    const ScomCase& c = GetParam();
    if (c.before) {
        scratch_.Write("morva.ini", *c.before);
    }
    const Outcome outcome = Run(c.words);
    EXPECT_EQ(outcome.output, c.output);
    EXPECT_EQ(outcome.exitCode, c.exitCode);
    EXPECT_EQ(ReadWhole(ini_), c.after);
}

const std::string kStored3 = "[morva]\nport=3\n";
const std::string kIllegal = "SCOM: Illegal port number\n";
const std::string kNotFound = "SCOM : morva.ini not found\n";
const std::string kIllegalFormat = "SCOM : morva.ini illegal format\n";

ScomCase Stores(const std::string& label, const std::string& word, const std::string& stored) {
    return {label, {word}, std::nullopt, "", 0, "[morva]\nport=" + stored + "\n"};
}
ScomCase Refuses(const std::string& label, const std::vector<std::string>& words) {
    return {label, words, kStored3, kIllegal, 2, kStored3};
}
ScomCase Shows(const std::string& label, const std::string& file, const std::string& output,
               int exitCode) {
    return {label, {}, file, output, exitCode, file};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScomCases,
    ::testing::Values(
        Stores("Plain", "3", "3"), Stores("ComPrefix", "COM12", "12"),
        Stores("LowerPrefix", "com12", "12"), Stores("MixedPrefix", "Com12", "12"),
        Stores("LeadingZeros", "COM003", "003"), Stores("Highest", "256", "256"),
        Stores("Lowest", "1", "1"), Stores("TrailingText", "5x", "5x"), Stores("Plus", "+7", "+7"),
        ScomCase{"FurtherWordsIgnored", {"3", "9"}, std::nullopt, "", 0, kStored3},
        ScomCase{"ReplacesAndKeepsOthers",
                 {"COM4"},
                 "; mine\r\n[other]\r\nport=9\r\n[MORVA]\r\nport=3\r\nbaud=1\r\n",
                 "",
                 0,
                 "; mine\r\n[other]\r\nport=9\r\n[MORVA]\r\nport=4\r\nbaud=1\r\n"},
        Refuses("ComAlone", {"COM"}), Refuses("ComWithoutDigits", {"COMX"}),
        Refuses("Above256", {"257"}), Refuses("Zero", {"0"}), Refuses("Negative", {"-1"}),
        Refuses("ComNegative", {"COM-3"}), Refuses("Huge", {"99999999999"}), Refuses("Empty", {""}),
        Refuses("OptionAsParameter", {"-c", "3"}),
        ScomCase{"RefusedWithoutFile", {"0"}, std::nullopt, kIllegal, 2, std::nullopt},
        Shows("Stored", kStored3, "3\n", 0), Shows("AboveRange", "[morva]\nport=300\n", "300\n", 0),
        Shows("StoredLeadingZeros", "[morva]\nport=003\n", "3\n", 0),
        Shows("StoredTrailingText", "[morva]\nport=5x\n", "5\n", 0),
        Shows("CrLf", "[morva]\r\nport=7\r\n", "7\n", 0),
        Shows("StoredZero", "[morva]\nport=0\n", kNotFound, 1),
        Shows("StoredText", "[morva]\nport=abc\n", kNotFound, 1),
        Shows("EmptyValue", "[morva]\nport=\n", kIllegalFormat, 1),
        Shows("MissingKey", "[morva]\nbaud=9\n", kIllegalFormat, 1),
        Shows("MissingSection", "[other]\nport=3\n", kIllegalFormat, 1),
        Shows("EmptyFile", "", kIllegalFormat, 1),
        Shows("StoredNegative", "[morva]\nport=-4\n", kIllegalFormat, 1),
        ScomCase{"NoFile", {}, std::nullopt, kNotFound, 1, std::nullopt}),
    [](const ::testing::TestParamInfo<ScomCase>& info) { return info.param.label; });

TEST_F(ScomTest, StoredPortShowsNextTime) {
    EXPECT_EQ(Run({"COM003"}).exitCode, 0);
    const Outcome shown = Run({});
    EXPECT_EQ(shown.output, "3\n");
    EXPECT_EQ(shown.exitCode, 0);
}

TEST_F(ScomTest, ParameterAfterLaterCommandIndex) {
    std::vector<const char*> argv{program_.c_str(), "-v", "SCOM", "4", nullptr};
    morva::test::CapturedOutput captured;
    EXPECT_EQ(morva::SetComPort(4, argv.data(), 2), 0);
    captured.Take();
    EXPECT_EQ(ReadWhole(ini_), "[morva]\nport=4\n");
}

TEST_F(ScomTest, VerboseTraceNamesTheSettingsFile) {
    morva::SetVerboseLevel(1);
    const std::string trace = "ini file : " + ini_ + "\n";
    EXPECT_EQ(Run({"3"}).output, trace);
    EXPECT_EQ(Run({}).output, trace + "3\n");
    morva::SetVerboseLevel(3);
    EXPECT_EQ(Run({"COM9"}).output, trace);
    EXPECT_EQ(Run({}).output, trace + "9\n");
}

TEST_F(ScomTest, VerboseTraceOnlyWithAFileToUse) {
    morva::SetVerboseLevel(1);
    EXPECT_EQ(Run({}).output, kNotFound);  // no settings file yet
    EXPECT_EQ(Run({"0"}).output, kIllegal);
    EXPECT_EQ(ReadWhole(ini_), std::nullopt);
    scratch_.Write("morva.ini", "[morva]\n");
    EXPECT_EQ(Run({}).output, "ini file : " + ini_ + "\n" + kIllegalFormat);
}

// Without a folder holding the executable there is nowhere to store: nothing is written,
// nothing printed, also at verbose level 1, and the exit code is 0.
TEST_F(ScomTest, NoExecutableFolderStoresNothing) {
    const std::string elsewhere = scratch_.MakeFolder("elsewhere");
    const std::string program = elsewhere + "/morva";
    ASSERT_EQ(chdir(elsewhere.c_str()), 0);
    for (const int level : {0, 1}) {
        morva::SetVerboseLevel(level);
        const Outcome stored = RunAs(program, {"3"});
        EXPECT_EQ(stored.output, "");
        EXPECT_EQ(stored.exitCode, 0);
        const Outcome shown = RunAs(program, {});
        EXPECT_EQ(shown.output, kNotFound);
        EXPECT_EQ(shown.exitCode, 1);
    }
    EXPECT_EQ(ListFolder(elsewhere), "");
    EXPECT_EQ(ListFolder(scratch_.Folder()), "elsewhere\nmorva\n");
}

TEST_F(ScomTest, BareAndRelativeProgramPaths) {
    ASSERT_EQ(chdir(scratch_.Folder().c_str()), 0);
    EXPECT_EQ(RunAs("morva", {"5"}).exitCode, 0);
    EXPECT_EQ(ReadWhole(ini_), "[morva]\nport=5\n");
    EXPECT_EQ(RunAs("./morva", {"6"}).exitCode, 0);
    EXPECT_EQ(RunAs("morva", {}).output, "6\n");

    const std::string work = scratch_.MakeFolder("work");
    ASSERT_EQ(chdir(work.c_str()), 0);
    EXPECT_EQ(RunAs("../morva", {}).output, "6\n");
    EXPECT_EQ(RunAs("morva", {}).output, kNotFound);
    SetPath(work + ":" + scratch_.Folder().string());
    EXPECT_EQ(RunAs("morva", {}).output, "6\n");
}

}  // namespace

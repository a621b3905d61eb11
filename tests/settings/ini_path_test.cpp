// Finding morva.ini: splitting and joining paths, the search order under Windows and POSIX
// rules against a scripted file system, and the search of this platform over real folders.
#include "settings/ini_path.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "settings_files.h"

namespace {

using morva::kSettingsPathSize;

// ---- Split and join ----

struct SplitCase {
    const char* path;
    const char* drive;
    const char* folder;
    const char* name;
    const char* extension;
};

std::ostream& operator<<(std::ostream& out, const SplitCase& c) {
    return out << c.path;
}

class SplitPathTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitPathTest, Splits) {
    const SplitCase& c = GetParam();
    const morva::PathParts parts = morva::SplitPath(c.path);
    EXPECT_EQ(parts.drive, c.drive);
    EXPECT_EQ(parts.folder, c.folder);
    EXPECT_EQ(parts.name, c.name);
    EXPECT_EQ(parts.extension, c.extension);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, SplitPathTest,
    ::testing::Values(SplitCase{"C:\\Tools\\morva.exe", "C:", "\\Tools\\", "morva", ".exe"},
                      SplitCase{"C:\\Tools\\Other.exe", "C:", "\\Tools\\", "Other", ".exe"},
                      SplitCase{"C:morva", "C:", "", "morva", ""},
                      SplitCase{"..\\Bin\\morva", "", "..\\Bin\\", "morva", ""},
                      SplitCase{"morva", "", "", "morva", ""}, SplitCase{"", "", "", "", ""},
                      SplitCase{"C:\\Pack.old\\morva", "C:", "\\Pack.old\\", "morva", ""},
                      SplitCase{"C:/Tools\\sub/x.tar.gz", "C:", "/Tools\\sub/", "x.tar", ".gz"},
                      SplitCase{"/usr/local/bin/morva", "", "/usr/local/bin/", "morva", ""},
                      SplitCase{"./morva", "", "./", "morva", ""},
                      SplitCase{"dir/", "", "dir/", "", ""},
                      SplitCase{".profile", "", "", "", ".profile"},
                      SplitCase{"a:", "a:", "", "", ""}, SplitCase{":", "", "", ":", ""},
                      SplitCase{"ab:c\\d", "", "ab:c\\", "d", ""}));

struct JoinCase {
    const char* drive;
    const char* folder;
    const char* name;
    const char* extension;
    char separator;
    const char* joined;
};

std::ostream& operator<<(std::ostream& out, const JoinCase& c) {
    return out << c.joined;
}

class JoinPathTest : public ::testing::TestWithParam<JoinCase> {};

TEST_P(JoinPathTest, Joins) {
    const JoinCase& c = GetParam();
    std::array<char, kSettingsPathSize> buffer{};
    const int length = morva::JoinPath(c.drive, c.folder, c.name, c.extension, c.separator,
                                       buffer.data(), kSettingsPathSize);
    EXPECT_STREQ(buffer.data(), c.joined);
    EXPECT_EQ(length, static_cast<int>(std::strlen(c.joined)));
}

INSTANTIATE_TEST_SUITE_P(
    Parts, JoinPathTest,
    ::testing::Values(JoinCase{"C:", "\\Tools\\", "morva", "exe", '\\', "C:\\Tools\\morva.exe"},
                      JoinCase{"C:", "", "morva", "exe", '\\', "C:morva.exe"},
                      JoinCase{"", "..\\Bin\\", "morva", "exe", '\\', "..\\Bin\\morva.exe"},
                      JoinCase{"", "..\\Bin", "morva", ".ini", '\\', "..\\Bin\\morva.ini"},
                      JoinCase{"D:", "/Work/", "morva", "ini", '\\', "D:/Work/morva.ini"},
                      JoinCase{"", "", "morva", "", '\\', "morva"},
                      JoinCase{"", "/usr/bin", "morva", "", '/', "/usr/bin/morva"},
                      JoinCase{"", "/usr/bin/", "morva", "ini", '/', "/usr/bin/morva.ini"}));

struct CandidateCase {
    const char* folder;
    char separator;
    const char* extension;
    const char* candidate;
};

std::ostream& operator<<(std::ostream& out, const CandidateCase& c) {
    return out << c.candidate;
}

class FormCandidateTest : public ::testing::TestWithParam<CandidateCase> {};

TEST_P(FormCandidateTest, Forms) {
    const CandidateCase& c = GetParam();
    std::array<char, kSettingsPathSize> buffer{};
    const int length = morva::FormCandidate(c.folder, c.separator, "morva", c.extension,
                                            buffer.data(), kSettingsPathSize);
    EXPECT_STREQ(buffer.data(), c.candidate);
    EXPECT_EQ(length, static_cast<int>(std::strlen(c.candidate)));
}

INSTANTIATE_TEST_SUITE_P(
    Folders, FormCandidateTest,
    ::testing::Values(CandidateCase{"D:\\Work", '\\', "exe", "D:\\Work\\morva.exe"},
                      CandidateCase{"C:\\", '\\', "exe", "C:\\morva.exe"},
                      CandidateCase{"C:\\Pack.old", '\\', "exe", "C:\\Pack.old\\morva.exe"},
                      CandidateCase{"C:/Tools/", '\\', "exe", "C:/Tools/\\morva.exe"},
                      CandidateCase{"/home/user", '/', "", "/home/user/morva"},
                      CandidateCase{"/", '/', "", "/morva"},
                      CandidateCase{"/x\\", '/', "", "/x\\/morva"}));

// Both builders either fit the text with its terminator or leave the empty text, and never
// touch a byte past the capacity they were given.
TEST(PathBuffers, FitExactlyOrNotAtAll) {
    const std::string folder(250, 'f');  // "f...f/morva.ini" is 260 characters
    for (const int capacity : {259, 260, 261}) {
        std::array<char, 300> buffer{};
        buffer.fill('#');
        const int joined =
            morva::JoinPath("", folder, "morva", "ini", '/', buffer.data(), capacity);
        EXPECT_EQ(joined, capacity == 261 ? 260 : -1) << capacity;
        EXPECT_EQ(std::strlen(buffer.data()), capacity == 261 ? 260U : 0U) << capacity;
        for (std::size_t i = static_cast<std::size_t>(capacity); i < buffer.size(); ++i) {
            ASSERT_EQ(buffer[i], '#') << "capacity " << capacity << " byte " << i;
        }

        buffer.fill('#');
        const int formed =
            morva::FormCandidate(folder, '/', "morva", "ini", buffer.data(), capacity);
        EXPECT_EQ(formed, joined) << capacity;
        for (std::size_t i = static_cast<std::size_t>(capacity); i < buffer.size(); ++i) {
            ASSERT_EQ(buffer[i], '#') << "capacity " << capacity << " byte " << i;
        }
    }
}

// ---- The search against a scripted file system ----

struct ScriptedWorld {
    std::set<std::string> existing;
    std::optional<std::string> currentDir;  // nullopt: cannot be read
    std::optional<std::string> pathVariable;
    std::vector<std::string> probes;  // every path tested for existence, in order
    int currentDirReads = 0;
};

ScriptedWorld g_world;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

bool ScriptedExists(const char* path) {
    g_world.probes.emplace_back(path);
    return g_world.existing.count(path) != 0;
}

int ScriptedCurrentDir(char* buffer, int capacity) {
    ++g_world.currentDirReads;
    if (!g_world.currentDir || static_cast<int>(g_world.currentDir->size()) + 1 > capacity) {
        buffer[0] = '\0';
        return 0;
    }
    std::memcpy(buffer, g_world.currentDir->c_str(), g_world.currentDir->size() + 1);
    return 1;
}

const char* ScriptedEnv(const char* name) {
    return std::strcmp(name, "PATH") == 0 && g_world.pathVariable ? g_world.pathVariable->c_str()
                                                                  : nullptr;
}

constexpr morva::IniSearchPlatform kWindowsRules = {
    '\\', ';', "morva", "exe", ScriptedExists, ScriptedCurrentDir, ScriptedEnv};
constexpr morva::IniSearchPlatform kPosixRules = {
    '/', ':', "morva", "", ScriptedExists, ScriptedCurrentDir, ScriptedEnv};

// Lists of paths are written as one text, the paths separated by '|'.
std::vector<std::string> SplitList(const std::string& list) {
    std::vector<std::string> items;
    for (std::size_t from = 0; from < list.size();) {
        const std::size_t bar = std::min(list.find('|', from), list.size());
        items.push_back(list.substr(from, bar - from));
        from = bar + 1;
    }
    return items;
}

struct SearchCase {
    const char* label;
    const morva::IniSearchPlatform* rules;
    std::string programPath;
    std::optional<std::string> currentDir;  // nullopt: cannot be read
    std::optional<std::string> pathVariable;
    std::string existing;
    std::string settingsPath;  // empty: nothing found
    std::string probes;        // every path tested for existence, in order
    int currentDirReads;
};

std::ostream& operator<<(std::ostream& out, const SearchCase& c) {
    return out << c.label;
}

class ScriptedSearch : public ::testing::TestWithParam<SearchCase> {};

TEST_P(ScriptedSearch, FindsInOrder) {
    const SearchCase& c = GetParam();
    const std::vector<std::string> existing = SplitList(c.existing);
    g_world =
        ScriptedWorld{{existing.begin(), existing.end()}, c.currentDir, c.pathVariable, {}, 0};
    std::array<char, 400> buffer{};
    buffer.fill('#');
    buffer[0] = '\0';
    const int found =
        morva::FindIniPathOn(*c.rules, c.programPath.c_str(), "morva", "ini", buffer.data());
    EXPECT_EQ(found, c.settingsPath.empty() ? 0 : 1);
    EXPECT_EQ(std::string(buffer.data()), c.settingsPath);
    EXPECT_EQ(g_world.probes, SplitList(c.probes));
    EXPECT_EQ(g_world.currentDirReads, c.currentDirReads);
    for (std::size_t i = kSettingsPathSize; i < buffer.size(); ++i) {
        ASSERT_EQ(buffer[i], '#') << "byte " << i << " written past the settings path buffer";
    }
}

const morva::IniSearchPlatform* const kWin = &kWindowsRules;
const morva::IniSearchPlatform* const kPosix = &kPosixRules;
const std::optional<std::string> kNone;
const std::string kLong300 = "C:\\" + std::string(300, 'a');
const std::string kEntry249 = "C:\\" + std::string(246, 'b');  // candidate of 259 characters
const std::string kEntry250 = "C:\\" + std::string(247, 'b');  // candidate of 260 characters
const std::string kPosix252 = "/" + std::string(251, 'p');     // "/morva" fits, ".ini" does not
// A candidate of 260 UTF-16 units: each character beyond U+FFFF is two of them.
const std::string kFourByte250 = [] {
    std::string entry = "C:\\b";
    for (int i = 0; i < 123; ++i) {
        entry += "\U0001F600";
    }
    return entry;
}();

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, ScriptedSearch, ::testing::Values(
    // label, rules, program path, current dir, PATH, existing, settings path, probes, dir reads
    SearchCase{"FullPathPresent", kWin, "C:\\Tools\\morva.exe", "D:\\Work", "C:\\Bin",
               "C:\\Tools\\morva.exe|D:\\Work\\morva.exe|C:\\Bin\\morva.exe",
               "C:\\Tools\\morva.ini", "C:\\Tools\\morva.exe", 0},
    SearchCase{"OtherNameGoesStraightToPath", kWin, "C:\\Tools\\Other.exe", "D:\\Work", "C:\\Bin",
               "D:\\Work\\morva.exe|C:\\Bin\\morva.exe",
               "C:\\Bin\\morva.ini", "C:\\Tools\\morva.exe|C:\\Bin\\morva.exe", 0},
    SearchCase{"BareNameUsesCurrentDir", kWin, "morva", "D:\\Work", "C:\\Bin",
               "D:\\Work\\morva.exe|C:\\Bin\\morva.exe",
               "D:\\Work\\morva.ini", "D:\\Work\\morva.exe", 1},
    SearchCase{"EmptyProgramPath", kWin, "", "D:\\Work", kNone, "D:\\Work\\morva.exe",
               "D:\\Work\\morva.ini", "D:\\Work\\morva.exe", 1},
    SearchCase{"RootCurrentDir", kWin, "MORVA.EXE", "C:\\", kNone, "C:\\morva.exe",
               "C:\\morva.ini", "C:\\morva.exe", 1},
    SearchCase{"DottedCurrentDir", kWin, "morva", "C:\\Pack.old", kNone, "C:\\Pack.old\\morva.exe",
               "C:\\Pack.old\\morva.ini", "C:\\Pack.old\\morva.exe", 1},
    SearchCase{"EmptyPathEntriesSkipped", kWin, "morva", "D:\\Work", ";C:\\One;;C:\\Two\\;",
               "C:\\Two\\morva.exe", "C:\\Two\\morva.ini",
               "D:\\Work\\morva.exe|C:\\One\\morva.exe|C:\\Two\\morva.exe", 1},
    SearchCase{"EarlierEntryWins", kWin, "morva", "D:\\Work", "C:\\A;C:\\B",
               "C:\\A\\morva.exe|C:\\B\\morva.exe",
               "C:\\A\\morva.ini", "D:\\Work\\morva.exe|C:\\A\\morva.exe", 1},
    SearchCase{"SlashEntryGetsBackslash", kWin, "morva", kNone, "C:/Tools/", "C:/Tools/\\morva.exe",
               "C:/Tools/\\morva.ini", "C:/Tools/\\morva.exe", 1},
    SearchCase{"EntriesUsedUnchanged", kWin, "morva", kNone, " C:\\Q ;\"C:\\R\"",
               "\"C:\\R\"\\morva.exe", "\"C:\\R\"\\morva.ini",
               " C:\\Q \\morva.exe|\"C:\\R\"\\morva.exe", 1},
    SearchCase{"RelativeProgramPathStaysRelative", kWin, "..\\Bin\\morva", "D:\\Work", kNone,
               "..\\Bin\\morva.exe", "..\\Bin\\morva.ini", "..\\Bin\\morva.exe", 0},
    SearchCase{"DriveRelativeProgramPath", kWin, "C:morva", "D:\\Work", kNone, "C:morva.exe",
               "C:morva.ini", "C:morva.exe", 0},
    SearchCase{"PathUnset", kWin, "morva", "D:\\Work", kNone, "", "", "D:\\Work\\morva.exe", 1},
    SearchCase{"CurrentDirUnreadable", kWin, "morva", kNone, "C:\\A", "C:\\A\\morva.exe",
               "C:\\A\\morva.ini", "C:\\A\\morva.exe", 1},
    SearchCase{"PathEntryOf300Skipped", kWin, "morva", kNone, kLong300 + ";C:\\B",
               kLong300 + "\\morva.exe|C:\\B\\morva.exe", "C:\\B\\morva.ini", "C:\\B\\morva.exe", 1},
    SearchCase{"CandidateOf259Fits", kWin, "morva", kNone, kEntry249 + ";C:\\B",
               kEntry249 + "\\morva.exe|C:\\B\\morva.exe",
               kEntry249 + "\\morva.ini", kEntry249 + "\\morva.exe", 1},
    SearchCase{"CandidateOf260Skipped", kWin, "morva", kNone, kEntry250 + ";C:\\B",
               kEntry250 + "\\morva.exe|C:\\B\\morva.exe", "C:\\B\\morva.ini", "C:\\B\\morva.exe", 1},
    SearchCase{"CandidateOf260UnitsOfFourByteCharactersSkipped", kWin, "morva", kNone,
               kFourByte250 + ";C:\\B", kFourByte250 + "\\morva.exe|C:\\B\\morva.exe",
               "C:\\B\\morva.ini", "C:\\B\\morva.exe", 1},
    SearchCase{"LongProgramFolderSkipped", kWin, kLong300 + "\\morva.exe", "D:\\Work", "C:\\B",
               kLong300 + "\\morva.exe|D:\\Work\\morva.exe|C:\\B\\morva.exe",
               "C:\\B\\morva.ini", "C:\\B\\morva.exe", 0},
    SearchCase{"PosixExecutableHasNoExtension", kPosix, "morva", "/", "/c",
               "/morva.exe|/c/morva.exe", "", "/morva|/c/morva", 1},
    SearchCase{"PosixListSeparatorAndBackslash", kPosix, "/opt/morva", kNone, "/a;b::/x\\",
               "/x\\/morva", "/x\\/morva.ini", "/opt/morva|/a;b/morva|/x\\/morva", 0},
    SearchCase{"PosixSettingsPathTooLong", kPosix, "morva", kNone, kPosix252 + ":/c",
               kPosix252 + "/morva|/c/morva", "/c/morva.ini", kPosix252 + "/morva|/c/morva", 1}),
    [](const ::testing::TestParamInfo<SearchCase>& info) { return std::string(info.param.label); });
// clang-format on

// ---- The search of this platform over real folders ----

class FolderSearch : public morva::test::ProcessStateTest {
  protected:
    // The settings path found for `programPath`, or "" when none is found.
    static std::string Find(const std::string& programPath) {
        std::array<char, kSettingsPathSize> buffer{};
        const int found = morva::FindIniPath(programPath.c_str(), "morva", "ini", buffer.data());
        EXPECT_EQ(found, buffer[0] != '\0' ? 1 : 0);
        return buffer.data();
    }

    static std::string CurrentDir() {
        char buffer[4096];
        return getcwd(buffer, sizeof buffer) != nullptr ? buffer : "";
    }

    morva::test::ScratchFolder scratch_;
};

TEST_F(FolderSearch, ProgramFolderBeforeCurrentDirAndPath) {
    const std::string bin = scratch_.MakeFolder("bin");
    scratch_.Write("bin/morva", "");
    scratch_.Write("work/morva", "");
    scratch_.Write("path/morva", "");
    ASSERT_EQ(chdir(scratch_.Path("work").c_str()), 0);
    SetPath(scratch_.Path("path"));
    EXPECT_EQ(Find(bin + "/morva"), bin + "/morva.ini");
    EXPECT_EQ(Find(bin + "/renamed-morva"), bin + "/morva.ini");
}

TEST_F(FolderSearch, BareNameUsesCurrentDir) {
    scratch_.Write("work/morva", "");
    scratch_.Write("path/morva", "");
    ASSERT_EQ(chdir(scratch_.Path("work").c_str()), 0);
    SetPath(scratch_.Path("path"));
    EXPECT_EQ(Find("morva"), CurrentDir() + "/morva.ini");
    EXPECT_EQ(Find(""), CurrentDir() + "/morva.ini");
}

TEST_F(FolderSearch, RelativeProgramPaths) {
    scratch_.Write("bin/morva", "");
    scratch_.MakeFolder("work");
    ASSERT_EQ(chdir(scratch_.Path("work").c_str()), 0);
    SetPath("");
    EXPECT_EQ(Find("../bin/morva"), "../bin/morva.ini");
    ASSERT_EQ(chdir(scratch_.Path("bin").c_str()), 0);
    EXPECT_EQ(Find("./morva"), "./morva.ini");
}

TEST_F(FolderSearch, PathEntriesInOrderSkippingEmptyOnes) {
    scratch_.MakeFolder("work");
    scratch_.MakeFolder("one");
    scratch_.Write("two/morva", "");
    scratch_.Write("three/morva", "");
    ASSERT_EQ(chdir(scratch_.Path("work").c_str()), 0);
    SetPath("::" + scratch_.Path("one") + "::" + scratch_.Path("two") +
            "/:" + scratch_.Path("three") + ":");
    EXPECT_EQ(Find("morva"), scratch_.Path("two") + "/morva.ini");
}

TEST_F(FolderSearch, DottedFolderAndFolderNamedLikeTheExecutable) {
    scratch_.MakeFolder("work");
    scratch_.Write("pack.old/morva", "");
    scratch_.MakeFolder("dir/morva");
    ASSERT_EQ(chdir(scratch_.Path("work").c_str()), 0);
    SetPath(scratch_.Path("pack.old"));
    EXPECT_EQ(Find("morva"), scratch_.Path("pack.old") + "/morva.ini");
    SetPath(scratch_.Path("dir"));
    EXPECT_EQ(Find("morva"), scratch_.Path("dir") + "/morva.ini");
}

TEST_F(FolderSearch, PathEntryOf300CharactersIsSkipped) {
    const std::string relative =
        std::string(120, 'd') + "/" + std::string(120, 'e') + "/" + std::string(120, 'f');
    const std::string deep = scratch_.MakeFolder(relative);
    ASSERT_GT(deep.size(), 300U);
    scratch_.Write(relative + "/morva", "");
    scratch_.Write("near/morva", "");
    scratch_.MakeFolder("work");
    ASSERT_EQ(chdir(scratch_.Path("work").c_str()), 0);
    SetPath(deep + ":" + scratch_.Path("near"));
    EXPECT_EQ(Find("morva"), scratch_.Path("near") + "/morva.ini");
}

// A current directory deeper than the settings path buffer, and one deeper than the current
// directory buffer, both holding the executable: the search goes on with PATH.
TEST_F(FolderSearch, CurrentDirBeyondTheBuffersIsSkipped) {
    scratch_.Write("near/morva", "");
    SetPath(scratch_.Path("near"));
    for (const int levels : {2, 6}) {
        std::string relative;
        for (int i = 0; i < levels; ++i) {
            relative += std::string(200, static_cast<char>('g' + i)) + "/";
        }
        const std::string deep = scratch_.MakeFolder(relative);
        scratch_.Write(relative + "morva", "");
        ASSERT_EQ(chdir(deep.c_str()), 0);
        const std::size_t depth = CurrentDir().size();
        if (levels == 2) {
            ASSERT_TRUE(depth > 260 && depth < 1000) << depth;
        } else {
            ASSERT_GT(depth, 1024U);
        }
        EXPECT_EQ(Find("morva"), scratch_.Path("near") + "/morva.ini") << levels;
    }
}

}  // namespace

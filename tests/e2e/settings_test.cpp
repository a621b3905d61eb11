// The port kept in morva.ini beside the executable, on both builds: SCOM stores and shows it,
// UPDT and device commands without -c take it from there, and each build reads the other's file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "harness.h"

namespace {

namespace fs = std::filesystem;
using e2e::Build;
using e2e::Invocation;
using e2e::ReadFile;
using e2e::RunOptions;
using e2e::Workspace;
using e2e::WriteFile;

const auto kBothBuilds = ::testing::Values(Build::kPosix, Build::kWindows);

// A Unix path as the Windows build sees it: Wine maps the root folder to drive Z:.
std::string ShownPath(Build build, const std::string& path) {
    if (build == Build::kPosix) {
        return path;
    }
    std::string shown = "Z:" + path;
    std::replace(shown.begin(), shown.end(), '/', '\\');
    return shown;
}

// True when `line` is one whole line of `text` (lines ending in LF or CR LF).
bool HasLine(const std::string& text, const std::string& line) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        std::string current = text.substr(start, end - start);
        if (!current.empty() && current.back() == '\r') {
            current.pop_back();
        }
        if (current == line) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

std::string BuildParamName(const ::testing::TestParamInfo<Build>& info) {
    return e2e::BuildName(info.param);
}

template <typename Case>
std::string CaseParamName(const ::testing::TestParamInfo<std::tuple<Build, Case>>& info) {
    return e2e::BuildName(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
}

// --- SCOM stores the word as typed, less a leading COM --------------------------------------

struct StoreCase {
    const char* name;
    std::vector<std::string> args;
    std::string stored;  // the value text in the file
    std::string shown;   // what SCOM alone prints afterwards
};

void PrintTo(const StoreCase& c, std::ostream* os) {
    *os << c.name;
}

const StoreCase kStores[] = {
    {"Com12", {"SCOM", "COM12"}, "12", "12\n"},
    {"LowerCaseCom", {"SCOM", "com12"}, "12", "12\n"},
    {"LeadingZeros", {"scom", "Com003"}, "003", "3\n"},
    {"NumberWithTail", {"SCOM", "5x"}, "5x", "5\n"},
    {"Lowest", {"SCOM", "1"}, "1", "1\n"},
    {"Highest", {"SCOM", "256"}, "256", "256\n"},
    {"FurtherWordsIgnored", {"SCOM", "3", "9"}, "3", "3\n"},
    {"CarriageReturnEndsTheValue", {"SCOM", "3\r4"}, "3", "3\n"},
    {"LineFeedEndsTheValue", {"SCOM", "3\n[x]\ny=4"}, "3", "3\n"},
};

class SettingsStore : public ::testing::TestWithParam<std::tuple<Build, StoreCase>> {};

TEST_P(SettingsStore, KeepsTheWordAndShowsItsNumber) {
    const auto& [build, c] = GetParam();
    Workspace ws(build);
    const auto store = ws.Run(c.args);
    EXPECT_EQ(store.output, "");
    EXPECT_EQ(store.exitCode, 0);
    const std::string file = ReadFile(ws.settingsPath());
    if (build == Build::kPosix) {
        EXPECT_EQ(file, "[morva]\nport=" + c.stored + "\n");
    } else {
        // Laid out by the profile writer of the system; the lines themselves are fixed, and
        // there are no others.
        EXPECT_TRUE(HasLine(file, "[morva]")) << file;
        EXPECT_TRUE(HasLine(file, "port=" + c.stored)) << file;
        EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 2) << file;
    }
    const auto show = ws.Run({"SCOM"});
    EXPECT_EQ(show.output, c.shown);
    EXPECT_EQ(show.exitCode, 0);
}

INSTANTIATE_TEST_SUITE_P(Builds, SettingsStore,
                         ::testing::Combine(kBothBuilds, ::testing::ValuesIn(kStores)),
                         CaseParamName<StoreCase>);

// --- SCOM refuses what is not a port from 1 to 256, and touches nothing ---------------------

struct RefusedCase {
    const char* name;
    std::vector<std::string> args;
};

void PrintTo(const RefusedCase& c, std::ostream* os) {
    *os << c.name;
}

const RefusedCase kRefused[] = {
    {"AboveHighest", {"SCOM", "257"}},      {"Zero", {"SCOM", "0"}},
    {"Negative", {"SCOM", "-1"}},           {"ComAlone", {"SCOM", "COM"}},
    {"ComWithoutDigits", {"SCOM", "COMX"}}, {"OptionAfterScom", {"SCOM", "-c", "3"}},
};

class SettingsRefused : public ::testing::TestWithParam<std::tuple<Build, RefusedCase>> {};

TEST_P(SettingsRefused, LeavesTheFileAlone) {
    const auto& [build, c] = GetParam();
    Workspace ws(build);
    const auto withoutFile = ws.Run(c.args);
    EXPECT_EQ(withoutFile.output, "SCOM: Illegal port number\n");
    EXPECT_EQ(withoutFile.exitCode, 2);
    EXPECT_FALSE(fs::exists(ws.settingsPath()));

    const std::string before = "[morva]\r\nport=4\r\n";
    WriteFile(ws.settingsPath(), before);
    const auto withFile = ws.Run(c.args);
    EXPECT_EQ(withFile.output, "SCOM: Illegal port number\n");
    EXPECT_EQ(withFile.exitCode, 2);
    EXPECT_EQ(ReadFile(ws.settingsPath()), before);
}

INSTANTIATE_TEST_SUITE_P(Builds, SettingsRefused,
                         ::testing::Combine(kBothBuilds, ::testing::ValuesIn(kRefused)),
                         CaseParamName<RefusedCase>);

// --- What a file holds, as SCOM, a device command and UPDT see it ---------------------------

// What one run prints and exits with.
struct Outcome {
    std::string output;
    int exitCode;
};

struct FileCase {
    const char* name;
    std::optional<std::string> content;  // nullopt: no file
    Outcome scom;                        // SCOM alone
    Outcome command;                     // UTID, with no device anywhere
    Outcome updt;                        // UPDT x.mot, with no such firmware file
};

void PrintTo(const FileCase& c, std::ostream* os) {
    *os << c.name;
}

// A file that gives `port`: SCOM shows it, the command fails to open it, UPDT goes on to look
// for the firmware file.
FileCase Port(const char* name, std::string content, int port) {
    return {name,
            std::move(content),
            {std::to_string(port) + "\n", 0},
            {"Cannot open COM" + std::to_string(port) + "\n", 3},
            {"UPDT : file not found \"x.mot\"\n", 4}};
}

FileCase NotFound(const char* name, std::optional<std::string> content) {
    return {name,
            std::move(content),
            {"SCOM : morva.ini not found\n", 1},
            {"Not found : morva.ini\n", 1},
            {"morva.ini : Not found\n", 1}};
}

FileCase Illegal(const char* name, std::string content) {
    return {name,
            std::move(content),
            {"SCOM : morva.ini illegal format\n", 1},
            {"Illegal format : morva.ini\n", 1},
            {"morva.ini : Illegal format\n", 1}};
}

const FileCase kFiles[] = {
    NotFound("NoFile", std::nullopt),
    NotFound("PortZero", "[morva]\nport=0\n"),
    NotFound("NotANumber", "[morva]\nport=abc\n"),
    Illegal("NoPortKey", "[morva]\nspeed=1\n"),
    Illegal("EmptyValue", "[morva]\nport=\n"),
    Illegal("OtherSectionOnly", "[other]\nport=3\n"),
    Illegal("EmptyFile", ""),
    Illegal("NegativePort", "[morva]\nport=-4\n"),
    Port("LineFeeds", "[morva]\nport=6\n", 6),
    Port("CarriageReturnLineFeeds", "[morva]\r\nport=6\r\n", 6),
    Port("NoFinalLineEnd", "[morva]\r\nport=7", 7),
    Port("NamesInOtherCaseAndBlanks", "[MORVA]\r\n  PORT = 8 \r\n", 8),
    Port("CommentsAndOtherSections",
         "; bench PC\n[other]\nport=2\n[morva]\n;port=5\nport=9\n[morva]\nport=4\n", 9),
    Port("AboveTheScanRange", "[morva]\nport=300\n", 300),
};

class SettingsFile : public ::testing::TestWithParam<std::tuple<Build, FileCase>> {
  protected:
    void SetUp() override {
        const FileCase& c = std::get<1>(GetParam());
        if (c.content) {
            WriteFile(ws.settingsPath(), *c.content);
        }
    }
    void Expect(const std::vector<std::string>& args, const Outcome& expected) const {
        const auto run = ws.Run(args);
        EXPECT_EQ(run.output, expected.output);
        EXPECT_EQ(run.exitCode, expected.exitCode);
    }
    Workspace ws{std::get<0>(GetParam())};
};

TEST_P(SettingsFile, ScomShowsIt) {
    Expect({"SCOM"}, std::get<1>(GetParam()).scom);
}

// No device anywhere: the port that the command fails to open is the one it took from the file.
TEST_P(SettingsFile, DeviceCommandTakesItsPort) {
    Expect({"UTID"}, std::get<1>(GetParam()).command);
}

TEST_P(SettingsFile, UpdtTakesItsPort) {
    Expect({"UPDT", "x.mot"}, std::get<1>(GetParam()).updt);
}

INSTANTIATE_TEST_SUITE_P(Builds, SettingsFile,
                         ::testing::Combine(kBothBuilds, ::testing::ValuesIn(kFiles)),
                         CaseParamName<FileCase>);

// --- A store changes the port line only -------------------------------------------------------

struct KeepCase {
    const char* name;
    std::string before;
    std::string after;  // once SCOM 12 has run
};

void PrintTo(const KeepCase& c, std::ostream* os) {
    *os << c.name;
}

// Files laid out as the Windows profile writer lays them out: both builds give the same bytes.
const KeepCase kProfileLayouts[] = {
    {"KeyReplaced",
     "; bench PC\r\n[other]\r\nname=bench 1\r\nport=9\r\n[Morva]\r\n; the device\r\nPort=4\r\n"
     "speed=fast\r\n[last]\r\nx=1\r\n",
     "; bench PC\r\n[other]\r\nname=bench 1\r\nport=9\r\n[Morva]\r\n; the device\r\nPort=12\r\n"
     "speed=fast\r\n[last]\r\nx=1\r\n"},
    {"SectionAdded", "[other]\r\nport=9\r\n", "[other]\r\nport=9\r\n[morva]\r\nport=12\r\n"},
};

// Hand-edited files: the POSIX build keeps every other byte.
const KeepCase kHandEdited[] = {
    {"BlanksCommentsEmptyLines",
     "; bench PC\n[other]\nname = bench 1\n\n  [ Morva ]  \n;port=2\nPort = 4 \nspeed=fast\n"
     "[last]\nx=1",
     "; bench PC\n[other]\nname = bench 1\n\n  [ Morva ]  \n;port=2\nPort = 12\nspeed=fast\n"
     "[last]\nx=1"},
    {"KeyAddedToSection", "[morva]\r\nspeed=fast\r\n\r\n[last]\r\nx=1\r\n",
     "[morva]\r\nspeed=fast\r\nport=12\r\n\r\n[last]\r\nx=1\r\n"},
    {"SectionAddedAfterUnfinishedLine", "[other]\nx=1", "[other]\nx=1\n[morva]\nport=12\n"},
};

class SettingsKeep : public ::testing::TestWithParam<std::tuple<Build, KeepCase>> {};

TEST_P(SettingsKeep, OtherLinesStay) {
    const auto& [build, c] = GetParam();
    Workspace ws(build);
    WriteFile(ws.settingsPath(), c.before);
    const auto run = ws.Run({"SCOM", "COM12"});
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(ReadFile(ws.settingsPath()), c.after);
    EXPECT_EQ(ws.Run({"SCOM"}).output, "12\n");
}

INSTANTIATE_TEST_SUITE_P(Builds, SettingsKeep,
                         ::testing::Combine(kBothBuilds, ::testing::ValuesIn(kProfileLayouts)),
                         CaseParamName<KeepCase>);
INSTANTIATE_TEST_SUITE_P(Posix, SettingsKeep,
                         ::testing::Combine(::testing::Values(Build::kPosix),
                                            ::testing::ValuesIn(kHandEdited)),
                         CaseParamName<KeepCase>);

// --- Verbose traces and writes that cannot happen ---------------------------------------------

class Settings : public ::testing::TestWithParam<Build> {};

TEST_P(Settings, VerboseTracesNameTheFile) {
    Workspace ws(GetParam());
    const std::string trace = "ini file : " + ShownPath(GetParam(), ws.settingsPath()) + "\n";
    const auto store = ws.Run({"-v", "SCOM", "3"});
    EXPECT_EQ(store.output, "verbose level:1\n" + trace);
    EXPECT_EQ(store.exitCode, 0);
    const auto show = ws.Run({"-vv", "SCOM"});
    EXPECT_EQ(show.output, "verbose level:2\n" + trace + "3\n");
    EXPECT_EQ(show.exitCode, 0);
}

TEST_P(Settings, FolderInThePlaceOfTheFileStaysAFolder) {
    Workspace ws(GetParam());
    fs::create_directory(ws.settingsPath());
    const auto store = ws.Run({"SCOM", "3"});
    EXPECT_EQ(store.output, "");
    EXPECT_EQ(store.exitCode, 0);
    EXPECT_TRUE(fs::is_directory(ws.settingsPath()));
    EXPECT_TRUE(fs::is_empty(ws.settingsPath()));
    const auto show = ws.Run({"SCOM"});
    EXPECT_EQ(show.output, "SCOM : morva.ini illegal format\n");
    EXPECT_EQ(show.exitCode, 1);
}

TEST_P(Settings, FileOfOneBuildIsReadAndUpdatedByTheOther) {
    const Build writer = GetParam();
    const Build other = writer == Build::kPosix ? Build::kWindows : Build::kPosix;
    Workspace first(writer);
    Workspace second(other);
    ASSERT_EQ(first.Run({"SCOM", "7"}).exitCode, 0);
    const std::string written = ReadFile(first.settingsPath());
    WriteFile(second.settingsPath(), written);
    EXPECT_EQ(second.Run({"SCOM"}).output, "7\n");

    ASSERT_EQ(second.Run({"SCOM", "8"}).exitCode, 0);
    const std::string updated = ReadFile(second.settingsPath());
    if (other == Build::kPosix) {  // the Windows writer's layout is kept
        std::string expected = written;
        expected.replace(expected.find("port=7"), 6, "port=8");
        EXPECT_EQ(updated, expected);
    }
    WriteFile(first.settingsPath(), updated);
    EXPECT_EQ(first.Run({"SCOM"}).output, "8\n");
}

INSTANTIATE_TEST_SUITE_P(Builds, Settings, kBothBuilds, BuildParamName);

// Root writes anywhere: the program runs as user nobody then.
TEST(SettingsPosix, UnwritableFolderKeepsTheOldFile) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: the settings file must belong to another user than the one "
                        "who runs the program";
    }
    Workspace ws(Build::kPosix);
    const std::string before = "; bench PC\n[morva]\nport=4\n";
    WriteFile(ws.settingsPath(), before);
    ASSERT_EQ(chmod(ws.settingsPath().c_str(), 0644), 0);
    ASSERT_EQ(chmod(ws.root().c_str(), 0755), 0);
    ASSERT_EQ(chmod(ws.exeDir().c_str(), 0555), 0);
    RunOptions options;
    options.unprivileged = true;
    const auto store = ws.Run({"SCOM", "9"}, options);
    const auto show = ws.Run({"SCOM"}, options);
    ASSERT_EQ(chmod(ws.exeDir().c_str(), 0755), 0);
    EXPECT_EQ(store.output, "");
    EXPECT_EQ(store.exitCode, 0);
    EXPECT_EQ(show.output, "4\n");
    EXPECT_EQ(show.exitCode, 0);
    EXPECT_EQ(ReadFile(ws.settingsPath()), before);
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(ws.exeDir())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"morva", "morva.ini"}));
}

// A settings file made read-only keeps its port, as the Windows profile writer keeps it,
// although the folder would allow the file to be replaced.
TEST(SettingsPosix, ReadOnlyFileIsKept) {
    Workspace ws(Build::kPosix);
    const std::string before = "[morva]\nport=4\n";
    WriteFile(ws.settingsPath(), before);
    ASSERT_EQ(chmod(ws.root().c_str(), 0755), 0);
    ASSERT_EQ(chmod(ws.exeDir().c_str(), 0777), 0);
    ASSERT_EQ(chmod(ws.settingsPath().c_str(), 0444), 0);
    RunOptions options;
    options.unprivileged = true;
    const auto store = ws.Run({"SCOM", "9"}, options);
    EXPECT_EQ(store.exitCode, 0);
    EXPECT_EQ(ReadFile(ws.settingsPath()), before);
    EXPECT_EQ(ws.Run({"SCOM"}, options).output, "4\n");
}

// --- A settings file shared on a bench PC is updated in place ---------------------------------

// Made-up owner of the file: neither root nor the user who runs the program.
constexpr uid_t kOtherUser = 4242;
constexpr gid_t kNobodyGroup = 65534;

struct SharedCase {
    const char* name;
    // Makes the file holding "[morva]\nport=4\n", or what stands in its place; returns its path
    // (the link's target for a link).
    std::string (*make)(const Workspace& ws);
    bool asRoot = false;                      // else as user nobody
    std::string after = "[morva]\nport=9\n";  // the target once SCOM 9 has run; "" for none
    std::string shown = "9\n";                // what SCOM alone prints then
};

void PrintTo(const SharedCase& c, std::ostream* os) {
    *os << c.name;
}

// A file that every user may write, outside the program folder.
std::string FileOfEveryone(const Workspace& ws) {
    const std::string target = ws.root() + "/conf/bench.ini";
    fs::create_directory(ws.root() + "/conf");
    WriteFile(target, "[morva]\nport=4\n");
    EXPECT_EQ(chmod(target.c_str(), 0666), 0);
    return target;
}

// A file of root's that no other user may read or write, in a folder of root's: the target of
// another user's links.
std::string RootOnlyFile(const Workspace& ws, const std::string& name, bool made) {
    const std::string folder = ws.root() + "/secret";
    fs::create_directory(folder);
    EXPECT_EQ(chmod(folder.c_str(), 0700), 0);
    if (made) {
        WriteFile(folder + "/" + name, "[morva]\nport=4\n");
        EXPECT_EQ(chmod((folder + "/" + name).c_str(), 0600), 0);
    }
    return folder + "/" + name;
}

// The program folder shared by a group, as the package shares its folder with dialout.
void ShareFolderWithGroup(const Workspace& ws) {
    EXPECT_EQ(chown(ws.exeDir().c_str(), 0, kNobodyGroup), 0);
    EXPECT_EQ(chmod(ws.exeDir().c_str(), 02775), 0);
}

// A link to `target` that another user of the group put in the place of the settings file;
// returns the target.
std::string LinkOfAnotherUser(const Workspace& ws, const std::string& target) {
    ShareFolderWithGroup(ws);
    fs::create_symlink(target, ws.settingsPath());
    EXPECT_EQ(lchown(ws.settingsPath().c_str(), kOtherUser, kOtherUser), 0);
    return target;
}

const SharedCase kShared[] = {
    {"LinkStaysAndItsTargetIsUpdated",
     [](const Workspace& ws) {
         const std::string target = FileOfEveryone(ws);
         fs::create_symlink("../conf/bench.ini", ws.settingsPath());
         return target;
     }},
    // The program folder belongs to root; the file to another user and a group the user is in.
    {"GroupWritableFileInAFolderOfRoot",
     [](const Workspace& ws) {
         WriteFile(ws.settingsPath(), "[morva]\nport=4\n");
         EXPECT_EQ(chown(ws.settingsPath().c_str(), kOtherUser, kNobodyGroup), 0);
         EXPECT_EQ(chmod(ws.settingsPath().c_str(), 0664), 0);
         return ws.settingsPath();
     }},
    {"WritableFileInAStickyFolder",
     [](const Workspace& ws) {
         EXPECT_EQ(chmod(ws.exeDir().c_str(), 01777), 0);
         WriteFile(ws.settingsPath(), "[morva]\nport=4\n");
         EXPECT_EQ(chown(ws.settingsPath().c_str(), kOtherUser, kOtherUser), 0);
         EXPECT_EQ(chmod(ws.settingsPath().c_str(), 0666), 0);
         return ws.settingsPath();
     }},
    // Root's first store, by the program's full path under umask 022, makes the file that
    // every user of the group then changes.
    {"FirstStoreOfRootStaysWritableByTheGroup",
     [](const Workspace& ws) {
         ShareFolderWithGroup(ws);
         const mode_t saved = umask(022);
         EXPECT_EQ(ws.Run({"SCOM", "4"}).exitCode, 0);
         umask(saved);
         return ws.settingsPath();
     }},
    // A group-writable folder that is not set-group-id shares nothing by its group: the new
    // file keeps the umask.
    {"FirstStoreInAGroupFolderWithoutSetGroupId",
     [](const Workspace& ws) {
         EXPECT_EQ(chown(ws.exeDir().c_str(), 0, kNobodyGroup), 0);
         EXPECT_EQ(chmod(ws.exeDir().c_str(), 0775), 0);
         const mode_t saved = umask(022);
         EXPECT_EQ(ws.Run({"SCOM", "4"}).exitCode, 0);
         umask(saved);
         struct stat made {};
         EXPECT_EQ(stat(ws.settingsPath().c_str(), &made), 0);
         EXPECT_EQ(made.st_mode & 07777, 0644U);
         return ws.settingsPath();
     },
     true},
    // Links that neither root nor the caller made are not followed: the store writes nothing,
    // and the read finds no port.
    {"LinkOfAnotherUserDoesNotRedirectRoot",
     [](const Workspace& ws) { return LinkOfAnotherUser(ws, RootOnlyFile(ws, "file", true)); },
     true, "[morva]\nport=4\n", "SCOM : morva.ini illegal format\n"},
    {"DanglingLinkOfAnotherUserMakesNoFileForRoot",
     [](const Workspace& ws) { return LinkOfAnotherUser(ws, RootOnlyFile(ws, "new", false)); },
     true, "", "SCOM : morva.ini not found\n"},
    {"LinkOfAnotherUserIsNotFollowed",
     [](const Workspace& ws) { return LinkOfAnotherUser(ws, FileOfEveryone(ws)); }, false,
     "[morva]\nport=4\n", "SCOM : morva.ini illegal format\n"},
    // A second name of any file can be made by a user who may not write that file.
    {"HardLinkIsNotWrittenByRoot",
     [](const Workspace& ws) {
         const std::string target = RootOnlyFile(ws, "file", true);
         ShareFolderWithGroup(ws);
         fs::create_hard_link(target, ws.settingsPath());
         return target;
     },
     true, "[morva]\nport=4\n", "4\n"},
};

class SettingsShared : public ::testing::TestWithParam<SharedCase> {};

// Run as user nobody when the tests run as root, unless the row says root. The entry, its
// owner, group and mode stay.
TEST_P(SettingsShared, StoreWritesInPlaceOrNowhere) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root, to make files and links of other users";
    }
    const SharedCase& c = GetParam();
    Workspace ws(Build::kPosix);
    ASSERT_EQ(chmod(ws.root().c_str(), 0755), 0);
    const std::string target = c.make(ws);
    struct stat entry {};
    struct stat before {};
    ASSERT_EQ(lstat(ws.settingsPath().c_str(), &entry), 0);
    const bool existed = stat(target.c_str(), &before) == 0;
    RunOptions options;
    options.unprivileged = !c.asRoot;
    const auto store = ws.Run({"SCOM", "9"}, options);
    EXPECT_EQ(store.output, "");
    EXPECT_EQ(store.exitCode, 0);
    EXPECT_EQ(ReadFile(target), c.after);
    EXPECT_EQ(fs::exists(target), existed);
    EXPECT_EQ(ws.Run({"SCOM"}, options).output, c.shown);
    struct stat entryAfter {};
    struct stat after {};
    ASSERT_EQ(lstat(ws.settingsPath().c_str(), &entryAfter), 0);
    EXPECT_EQ(entryAfter.st_ino, entry.st_ino);
    EXPECT_EQ(entryAfter.st_mode, entry.st_mode);
    if (existed) {
        ASSERT_EQ(stat(target.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_uid, before.st_uid);
        EXPECT_EQ(after.st_gid, before.st_gid);
        EXPECT_EQ(after.st_mode, before.st_mode);
    }
}

INSTANTIATE_TEST_SUITE_P(Posix, SettingsShared, ::testing::ValuesIn(kShared),
                         [](const auto& info) { return std::string(info.param.name); });

// A link to a file still to be made, as a package leaves it: the first store makes the file
// where the link points, and the link stays.
TEST(SettingsPosix, LinkToAFileStillToBeMadeIsFollowed) {
    Workspace ws(Build::kPosix);
    fs::create_directory(ws.root() + "/conf");
    fs::create_symlink("../conf/bench.ini", ws.settingsPath());
    const auto store = ws.Run({"SCOM", "9"});
    EXPECT_EQ(store.output, "");
    EXPECT_EQ(store.exitCode, 0);
    EXPECT_EQ(ReadFile(ws.root() + "/conf/bench.ini"), "[morva]\nport=9\n");
    EXPECT_TRUE(fs::is_symlink(ws.settingsPath()));
    EXPECT_EQ(ws.Run({"SCOM"}).output, "9\n");
}

// Started by its bare name with neither the current folder nor PATH holding it, the program
// has no folder for the file: it stores nothing and finds nothing.
TEST(SettingsPosix, ExecutableFolderNotFound) {
    Workspace ws(Build::kPosix);
    const std::string elsewhere = ws.root() + "/elsewhere";
    fs::create_directory(elsewhere);
    RunOptions options;
    options.invocation = Invocation::kViaPath;
    options.searchPath = ws.root() + "/nowhere";
    options.workingDir = elsewhere;
    const auto store = ws.Run({"-v", "SCOM", "3"}, options);
    EXPECT_EQ(store.output, "verbose level:1\n");
    EXPECT_EQ(store.exitCode, 0);
    EXPECT_FALSE(fs::exists(ws.settingsPath()));
    EXPECT_FALSE(fs::exists(elsewhere + "/morva.ini"));
    const auto command = ws.Run({"UTID"}, options);
    EXPECT_EQ(command.output, "Not found : morva.ini\n");
    EXPECT_EQ(command.exitCode, 1);
}

// --- SCOM 3, then a command without -c reaches the device on COM3 ----------------------------

struct StartCase {
    const char* name;
    Invocation invocation;
    std::string workingDir;  // below the workspace root; "" for the root itself
    std::string posixWord;   // the program path as typed, for kRelative
    std::string windowsWord;
    std::string posixIni;  // the settings path the program names; "" for the full path
    std::string windowsIni;
};

void PrintTo(const StartCase& c, std::ostream* os) {
    *os << c.name;
}

const StartCase kStarts[] = {
    {"FullPath", Invocation::kFullPath, "elsewhere", "", "", "", ""},
    {"RelativeFromRoot", Invocation::kRelative, "", "bin/morva", "bin\\morva.exe", "bin/morva.ini",
     "bin\\morva.ini"},
    {"RelativeFromElsewhere", Invocation::kRelative, "elsewhere", "../bin/morva", "..\\bin\\morva",
     "../bin/morva.ini", "..\\bin\\morva.ini"},
    {"ThroughPath", Invocation::kViaPath, "elsewhere", "", "", "", ""},
};

class SettingsFromAnywhere : public ::testing::TestWithParam<std::tuple<Build, StartCase>> {};

TEST_P(SettingsFromAnywhere, StoredPortReachesTheDevice) {
    const auto& [build, c] = GetParam();
    Workspace ws(build);
    auto& device = ws.AddDevice(3);
    RunOptions options;
    options.invocation = c.invocation;
    options.workingDir = ws.root() + (c.workingDir.empty() ? "" : "/" + c.workingDir);
    fs::create_directories(options.workingDir);
    options.relativePath = build == Build::kPosix ? c.posixWord : c.windowsWord;
    options.searchPath = ShownPath(build, ws.exeDir());
    const std::string ini = build == Build::kPosix ? c.posixIni : c.windowsIni;

    const auto store = ws.Run({"SCOM", "3"}, options);
    EXPECT_EQ(store.output, "");
    EXPECT_EQ(store.exitCode, 0);
    const auto command = ws.Run({"UTID"}, options);
    EXPECT_EQ(command.output, "TARVEX-7310 V2.10\r\n");
    EXPECT_EQ(command.exitCode, 0);
    EXPECT_EQ(device.Commands(), std::vector<std::string>{"UTID\r"});

    const auto show = ws.Run({"-v", "SCOM"}, options);
    EXPECT_EQ(show.output, "verbose level:1\nini file : " +
                               (ini.empty() ? ShownPath(build, ws.settingsPath()) : ini) + "\n3\n");
    EXPECT_TRUE(fs::exists(ws.settingsPath()));
    if (!c.workingDir.empty()) {
        EXPECT_FALSE(fs::exists(options.workingDir + "/morva.ini"));
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, SettingsFromAnywhere,
                         ::testing::Combine(kBothBuilds, ::testing::ValuesIn(kStarts)),
                         CaseParamName<StartCase>);

}  // namespace

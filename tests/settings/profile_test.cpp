// The profile file reader and writer of the POSIX build: the value read from hand-made files,
// files rewritten with every other byte kept, and writes that fail leaving the file as it was.
#include "settings/profile.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <string>

#include "settings_files.h"

namespace {

using morva::test::ListFolder;
using morva::test::ReadWhole;
using morva::test::ScratchFolder;

int ReadPort(const std::string& path) {
    return morva::ReadProfileInt("morva", "port", -1, path.c_str());
}

void WritePort(const std::string& path, const char* value) {
    morva::WriteProfileText("morva", "port", value, path.c_str());
}

// ---- Reading ----

struct ReadCase {
    std::string label;
    std::string content;
    int port;
};

std::ostream& operator<<(std::ostream& out, const ReadCase& c) {
    return out << c.label;
}

class ProfileRead : public ::testing::TestWithParam<ReadCase> {
  protected:
    ScratchFolder scratch_;
};

TEST_P(ProfileRead, ReadsPort) {
    const std::string path = scratch_.Write("morva.ini", GetParam().content);
    EXPECT_EQ(ReadPort(path), GetParam().port);
}

const std::string kLongText(2000, 'x');

INSTANTIATE_TEST_SUITE_P(
    Files, ProfileRead,
    ::testing::Values(
        ReadCase{"Plain", "[morva]\nport=3\n", 3}, ReadCase{"Zero", "[morva]\nport=0\n", 0},
        ReadCase{"TextGivesZero", "[morva]\nport=abc\n", 0},
        ReadCase{"EmptyValueGivesDefault", "[morva]\nport=\n", -1},
        ReadCase{"BlankValueGivesDefault", "[morva]\nport=  \t\n", -1},
        ReadCase{"AboveTheRange", "[morva]\nport=300\n", 300},
        ReadCase{"Negative", "[morva]\nport=-4\n", -4}, ReadCase{"Plus", "[morva]\nport=+8\n", 8},
        ReadCase{"LeadingNumberOnly", "[morva]\nport=5x\n", 5},
        ReadCase{"LeadingZeros", "[morva]\nport=003\n", 3},
        ReadCase{"Saturates", "[morva]\nport=99999999999\n", INT_MAX},
        ReadCase{"SaturatesNegative", "[morva]\nport=-99999999999\n", INT_MIN},
        ReadCase{"BlanksAroundKeyAndValue", "[morva]\n Port = 12 \n", 12},
        ReadCase{"TabsAroundEverything", "\t[ morva\t]\t\n\tport\t=\t42\t\n", 42},
        ReadCase{"SectionInCapitals", "[MORVA]\nPORT=5\n", 5},
        ReadCase{"QuotedValue", "[morva]\nport=\"15\"\n", 15},
        ReadCase{"MissingSection", "[other]\nport=5\n", -1},
        ReadCase{"KeyBeforeAnySection", "port=5\n[morva]\n", -1},
        ReadCase{"KeyInLaterSection", "[morva]\n[other]\nport=5\n", -1},
        ReadCase{"MissingKey", "[morva]\nbaud=9600\n", -1},
        ReadCase{"LongerKeyName", "[morva]\nports=5\n", -1},
        ReadCase{"LongerSectionName", "[morvax]\nport=5\n", -1},
        ReadCase{"HeaderWithoutBracket", "[morva\nport=5\n", -1},
        ReadCase{"KeyWithoutEquals", "[morva]\nport\n", -1}, ReadCase{"EmptyFile", "", -1},
        ReadCase{"FirstKeyWins", "[morva]\nport=5\nPort=6\n", 5},
        ReadCase{"FirstSectionOnly", "[morva]\nx=1\n[Morva]\nport=6\n", -1},
        ReadCase{"AmongOtherSections", "[a]\nport=1\n[morva]\nx=2\nport=7\n[b]\nport=8\n", 7},
        ReadCase{"CrLf", "[morva]\r\nport=7\r\n", 7},
        ReadCase{"CrLfEmptyValue", "[morva]\r\nport=\r\n", -1},
        ReadCase{"MixedLineEnds", "[morva]\r\nx=1\nport=9\r\n", 9},
        ReadCase{"NoFinalLineEnd", "[morva]\nport=7", 7},
        ReadCase{"Comments", "; port=9\n[morva]\n;port=8\n  ; port=6\nport=7\n", 7},
        ReadCase{"CommentedSection", "[other]\n;[morva]\nport=7\n", -1},
        ReadCase{"BlankLines", "\n\n[morva]\n\n\nport=7\n\n", 7},
        ReadCase{"ByteOrderMark", "\xEF\xBB\xBF[morva]\nport=3\n", 3},
        ReadCase{"LongLineBeforeKey", "[morva]\nx=" + kLongText + "\nport=4\n", 4},
        ReadCase{"LongLineWithoutEquals", "[morva]\n" + kLongText + "=1\nport=4\n", 4},
        ReadCase{"LongHeaderOpensOtherSection", "[morva]\n[" + kLongText + "]\nport=4\n", -1},
        // The CR of CR LF as the last byte the line buffer keeps, and just past it.
        ReadCase{"CrAtBufferEnd", "[morva]\r\nport=" + std::string(1016, ' ') + "5\r\n", 5},
        ReadCase{"CrPastBufferEnd", "[morva]\r\nport=" + std::string(1017, ' ') + "5\r\n", 5}),
    [](const ::testing::TestParamInfo<ReadCase>& info) { return info.param.label; });

TEST(ProfileReadDefault, GivenBackWhenNothingIsStored) {
    ScratchFolder scratch;
    EXPECT_EQ(morva::ReadProfileInt("morva", "port", 77, scratch.Path("absent.ini").c_str()), 77);
    EXPECT_EQ(morva::ReadProfileInt("morva", "port", 77, scratch.MakeFolder("dir.ini").c_str()),
              77);
    const std::string path = scratch.Write("morva.ini", "[morva]\nport=\n[other]\nkey=12\n");
    EXPECT_EQ(morva::ReadProfileInt("morva", "port", 77, path.c_str()), 77);
    EXPECT_EQ(morva::ReadProfileInt("morva", "baud", -2, path.c_str()), -2);
    EXPECT_EQ(morva::ReadProfileInt("OTHER", "Key", -2, path.c_str()), 12);
}

// ---- Writing ----

struct WriteCase {
    std::string label;
    std::optional<std::string> before;  // nullopt: no file yet
    std::string value;
    std::string after;
};

std::ostream& operator<<(std::ostream& out, const WriteCase& c) {
    return out << c.label;
}

class ProfileWrite : public ::testing::TestWithParam<WriteCase> {
  protected:
    ScratchFolder scratch_;
};

TEST_P(ProfileWrite, ChangesOnlyTheKeyLine) {
    const WriteCase& c = GetParam();
    const std::string path = scratch_.Path("morva.ini");
    if (c.before) {
        scratch_.Write("morva.ini", *c.before);
    }
    WritePort(path, c.value.c_str());
    EXPECT_EQ(ReadWhole(path), c.after);
    EXPECT_EQ(ListFolder(scratch_.Folder()), "morva.ini\n");
}

INSTANTIATE_TEST_SUITE_P(
    Files, ProfileWrite,
    ::testing::Values(
        WriteCase{"NewFile", std::nullopt, "3", "[morva]\nport=3\n"},
        WriteCase{"EmptyFile", "", "3", "[morva]\nport=3\n"},
        WriteCase{"ValueAsGiven", std::nullopt, "003", "[morva]\nport=003\n"},
        WriteCase{"ReplacesValue", "[morva]\nport=1\n", "12", "[morva]\nport=12\n"},
        WriteCase{"KeepsNameAndBlanksBeforeValue", "[MORVA]\n Port = 12 \n", "3",
                  "[MORVA]\n Port = 3\n"},
        WriteCase{"EmptyValueReplaced", "[morva]\r\nport=\r\n", "4", "[morva]\r\nport=4\r\n"},
        WriteCase{"AddsSectionLf", "[Other]\nx=1\n", "3", "[Other]\nx=1\n[morva]\nport=3\n"},
        WriteCase{"AddsSectionCrLf", "[Other]\r\nx=1\r\n", "3",
                  "[Other]\r\nx=1\r\n[morva]\r\nport=3\r\n"},
        WriteCase{"AddsSectionAfterUnendedLine", "[Other]\r\nx=1", "3",
                  "[Other]\r\nx=1\r\n[morva]\r\nport=3\r\n"},
        WriteCase{"AddsKeyAfterLastKeyOfSection", "[morva]\nbaud=9\n\n; about z\n[z]\nk=v\n", "3",
                  "[morva]\nbaud=9\nport=3\n\n; about z\n[z]\nk=v\n"},
        WriteCase{"AddsKeyAfterHeader", "[morva]\n\n[z]\n", "3", "[morva]\nport=3\n\n[z]\n"},
        WriteCase{"AddsKeyAfterUnendedHeader", "[morva]", "3", "[morva]\nport=3\n"},
        WriteCase{"KeyLineKeepsMissingEnd", "[morva]\r\nport=1", "3", "[morva]\r\nport=3"},
        WriteCase{"FirstKeyOnly", "[morva]\nport=1\nport=2\n", "3", "[morva]\nport=3\nport=2\n"},
        WriteCase{"FirstSectionOnly", "[morva]\nx=1\n[morva]\nport=2\n", "3",
                  "[morva]\nx=1\nport=3\n[morva]\nport=2\n"},
        WriteCase{"OtherSectionsKept",
                  "; settings\r\n\r\n[a]\r\nport=1\r\n  key = value  \r\n\r\n[morva]\r\nport=2\r\n"
                  "[b]\r\nport=9\r\n",
                  "5x",
                  "; settings\r\n\r\n[a]\r\nport=1\r\n  key = value  \r\n\r\n[morva]\r\nport=5x\r\n"
                  "[b]\r\nport=9\r\n"},
        WriteCase{"StyleOfFirstLineEnd", "[a]\r\nx=1\ny=2", "3",
                  "[a]\r\nx=1\ny=2\r\n[morva]\r\nport=3\r\n"},
        WriteCase{"LongLinesKept", "[a]\nk=" + kLongText + "\n[morva]\n" + kLongText + "\nport=1\n",
                  "3", "[a]\nk=" + kLongText + "\n[morva]\n" + kLongText + "\nport=3\n"},
        WriteCase{"LongLastLineWithoutEnd", "[morva]\nport=1\n;" + kLongText, "3",
                  "[morva]\nport=3\n;" + kLongText},
        WriteCase{"LongFirstLineSetsStyle", std::string(1023, 'y') + "\r\n[a]\r\n", "3",
                  std::string(1023, 'y') + "\r\n[a]\r\n[morva]\r\nport=3\r\n"},
        WriteCase{"ZeroBytesKept", std::string("[a]\nk=\0v\n[morva]\nport=1\n", 24), "3",
                  std::string("[a]\nk=\0v\n[morva]\nport=3\n", 24)},
        WriteCase{"ByteOrderMarkKept", "\xEF\xBB\xBF[morva]\nport=1\n", "3",
                  "\xEF\xBB\xBF[morva]\nport=3\n"},
        WriteCase{"ValueCutAtLineEnd", std::nullopt, "3\n[x]\ny=1", "[morva]\nport=3\n"}),
    [](const ::testing::TestParamInfo<WriteCase>& info) { return info.param.label; });

TEST(ProfileWriteReadBack, EveryWrittenValueReadsBack) {
    ScratchFolder scratch;
    const std::string path = scratch.Write("morva.ini", "[a]\r\nx=1\r\n");
    for (const char* value : {"1", "256", "3", "5x", "-7", "0", "  12"}) {
        WritePort(path, value);
        EXPECT_EQ(ReadPort(path), std::atoi(value)) << value;
    }
    EXPECT_EQ(ReadWhole(path), "[a]\r\nx=1\r\n[morva]\r\nport=  12\r\n");
}

TEST(ProfileWriteMode, NewFileFollowsUmaskAndExistingFileKeepsItsMode) {
    ScratchFolder scratch;
    const mode_t saved = umask(027);
    WritePort(scratch.Path("new.ini"), "3");
    umask(saved);
    struct stat info {};
    ASSERT_EQ(stat(scratch.Path("new.ini").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640U);

    const std::string path = scratch.Write("old.ini", "[morva]\nport=1\n");
    ASSERT_EQ(chmod(path.c_str(), 0604), 0);
    WritePort(path, "3");
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0604U);
    EXPECT_EQ(ReadPort(path), 3);
}

// ---- Writes that fail ----

TEST(ProfileWriteFailure, MissingFolderGetsNothing) {
    ScratchFolder scratch;
    WritePort(scratch.Path("missing/morva.ini"), "3");
    EXPECT_FALSE(std::filesystem::exists(scratch.Path("missing")));
    EXPECT_EQ(ListFolder(scratch.Folder()), "");
}

TEST(ProfileWriteFailure, FolderInPlaceOfTheFileIsLeftAlone) {
    ScratchFolder scratch;
    scratch.Write("morva.ini/inside", "kept");
    WritePort(scratch.Path("morva.ini"), "3");
    EXPECT_EQ(ReadWhole(scratch.Path("morva.ini/inside")), "kept");
    EXPECT_EQ(ListFolder(scratch.Folder()), "morva.ini\n");
}

// Runs `write` in a child process and returns its exit status (77: the child could not set
// up its restriction).
template <typename Write>
int InChild(Write write) {
    const pid_t child = fork();
    if (child == 0) {
        _exit(write());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

constexpr int kChildSkipped = 77;

// A folder that the writing user may not write into: a writable file in it is updated in place,
// one without write permission stays. The tests run as root, for whom permission bits do not
// stop a write, so the child gives up root first.
TEST(ProfileWriteFailure, ReadOnlyFolderUpdatesOnlyAWritableFile) {
    ScratchFolder scratch;
    const std::string before = "[morva]\nport=1\n; keep\n";
    const std::string path = scratch.Write("ro/morva.ini", before);
    const std::string kept = scratch.Write("ro/kept.ini", before);
    ASSERT_EQ(chmod(scratch.Folder().c_str(), 0755), 0);
    ASSERT_EQ(chmod(scratch.Path("ro").c_str(), 0555), 0);
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    ASSERT_EQ(chmod(kept.c_str(), 0444), 0);
    const int status = InChild([&path, &kept] {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            return kChildSkipped;
        }
        WritePort(path, "3");
        WritePort(kept, "3");
        return 0;
    });
    if (status == kChildSkipped) {
        GTEST_SKIP() << "cannot give up root here";
    }
    ASSERT_EQ(status, 0);
    EXPECT_EQ(ReadWhole(path), "[morva]\nport=3\n; keep\n");
    EXPECT_EQ(ReadWhole(kept), before);
    EXPECT_EQ(ListFolder(scratch.Path("ro")), "kept.ini\nmorva.ini\n");
}

// Without any write permission a file stays, also for root, as a read-only file on Windows.
TEST(ProfileWriteFailure, FileWithoutWritePermissionStays) {
    ScratchFolder scratch;
    const std::string before = "[morva]\nport=1\n";
    const std::string path = scratch.Write("morva.ini", before);
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    WritePort(path, "3");
    EXPECT_EQ(ReadWhole(path), before);
}

// The temporary file cannot be filled (file size limit): the file stays and the temporary
// file is removed.
TEST(ProfileWriteFailure, FailedFillKeepsFileAndLeavesNoTemporary) {
    ScratchFolder scratch;
    const std::string before = "[other]\nkey=" + kLongText + "\n[morva]\nport=1\n";
    const std::string path = scratch.Write("morva.ini", before);
    const int status = InChild([&path] {
        const rlimit limit{64, 64};
        if (std::signal(SIGXFSZ, SIG_IGN) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            return kChildSkipped;
        }
        WritePort(path, "3");
        return 0;
    });
    ASSERT_EQ(status, 0);
    EXPECT_EQ(ReadWhole(path), before);
    EXPECT_EQ(ListFolder(scratch.Folder()), "morva.ini\n");
}

// A full file system (a small tmpfs in a mount namespace of the child's own, so root only):
// a write that would grow the file fails before any byte changes, one of the same size still
// goes through in place.
TEST(ProfileWriteFailure, FullDiskKeepsFileWhole) {
    ScratchFolder scratch;
    const std::string disk = scratch.MakeFolder("disk");
    const std::string path = disk + "/morva.ini";
    const std::string before = std::string(4096 - 15, ';').replace(4080, 1, "\n") +
                               "[morva]\nport=1\n";  // one page exactly
    const int status = InChild([&] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k") != 0) {
            return kChildSkipped;
        }
        std::ofstream(path, std::ios::binary) << before;
        std::ofstream filler(disk + "/filler", std::ios::binary);
        while (filler << std::string(4096, 'f') << std::flush) {
        }
        WritePort(path, "12345");
        if (ReadWhole(path) != before) {
            return 1;
        }
        WritePort(path, "2");
        return ReadWhole(path) == before.substr(0, before.size() - 2) + "2\n" ? 0 : 2;
    });
    if (status == kChildSkipped) {
        GTEST_SKIP() << "cannot mount a small file system here (needs root)";
    }
    EXPECT_EQ(status, 0) << "1: the growing write changed the file, 2: the same-size write failed";
}

}  // namespace

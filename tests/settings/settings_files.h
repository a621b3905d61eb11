// Scratch folders and files for the settings tests, and the process state they change (current
// directory, PATH, verbose level), restored afterwards.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "common/verbose.h"
#include "scratch_folder.h"

namespace morva::test {

// The whole file, or nothing when it cannot be opened.
inline std::optional<std::string> ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Names in a folder, sorted, to see that no temporary file is left behind.
inline std::string ListFolder(const std::filesystem::path& folder) {
    std::string names;
    std::vector<std::string> sorted;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        sorted.push_back(entry.path().filename().string());
    }
    std::sort(sorted.begin(), sorted.end());
    for (const std::string& name : sorted) {
        names += name + "\n";
    }
    return names;
}

// Keeps the current directory, PATH and the verbose level of the test process and puts them
// back when a test ends.
class ProcessStateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char buffer[4096];
        ASSERT_NE(getcwd(buffer, sizeof buffer), nullptr);
        savedDir_ = buffer;
        const char* path = std::getenv("PATH");
        if (path != nullptr) {
            savedPath_ = path;
        }
        SetVerboseLevel(0);
    }
    void TearDown() override {
        EXPECT_EQ(chdir(savedDir_.c_str()), 0);
        if (savedPath_) {
            setenv("PATH", savedPath_->c_str(), 1);
        } else {
            unsetenv("PATH");
        }
        SetVerboseLevel(0);
    }

    static void SetPath(const std::string& value) { setenv("PATH", value.c_str(), 1); }

  private:
    std::string savedDir_;
    std::optional<std::string> savedPath_;
};

}  // namespace morva::test

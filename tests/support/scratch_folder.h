// A fresh scratch folder per test, removed afterwards (also when a test left it read-only).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>

namespace morva::test {

class ScratchFolder {
  public:
    ScratchFolder() {
        std::random_device entropy;
        folder_ = std::filesystem::temp_directory_path() /
                  ("morva-test-" + std::to_string(entropy()) + "-" + std::to_string(entropy()));
        std::filesystem::create_directories(folder_);
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::permissions(folder_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(folder_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& Folder() const { return folder_; }
    std::string Path(std::string_view name) const { return (folder_ / name).string(); }

    // Creates the folder `name` (with its parents) inside the scratch folder.
    std::string MakeFolder(std::string_view name) const {
        const std::string path = Path(name);
        std::filesystem::create_directories(path);
        return path;
    }

    std::string Write(std::string_view name, std::string_view bytes) const {
        const std::string path = Path(name);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream out(path, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        EXPECT_TRUE(out.good()) << path;
        return path;
    }

  private:
    std::filesystem::path folder_;
};

}  // namespace morva::test

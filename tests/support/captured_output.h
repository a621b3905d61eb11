// What the code under test prints: standard output goes to a temporary file from the start of
// the capture until Take(), which puts the console back and returns the text.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

namespace morva::test {

class CapturedOutput {
  public:
    CapturedOutput() {
        std::fflush(stdout);
        std::random_device entropy;
        path_ = std::filesystem::temp_directory_path() /
                ("morva-output-" + std::to_string(entropy()) + "-" + std::to_string(entropy()));
        file_ = std::fopen(path_.string().c_str(), "w+b");
        console_ = dup(STDOUT_FILENO);
        if (file_ == nullptr || console_ < 0 || dup2(fileno(file_), STDOUT_FILENO) < 0) {
            ADD_FAILURE() << "cannot capture standard output";
        }
    }
    ~CapturedOutput() {
        Restore();
        Remove();
    }
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;

    // Everything printed since the capture began; the console is standard output again.
    std::string Take() {
        Restore();
        std::string text;
        if (file_ == nullptr) {
            return text;
        }
        std::rewind(file_);
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0;) {
            text.append(buffer, n);
        }
        Remove();
        return text;
    }

  private:
    void Restore() {
        if (console_ < 0) {
            return;
        }
        std::fflush(stdout);
        dup2(console_, STDOUT_FILENO);
        close(console_);
        console_ = -1;
    }

    void Remove() {
        if (file_ != nullptr) {
            std::fclose(file_);
            file_ = nullptr;
            std::error_code ignored;
            std::filesystem::remove(path_, ignored);
        }
    }

    std::filesystem::path path_;
    std::FILE* file_ = nullptr;
    int console_ = -1;
};

}  // namespace morva::test

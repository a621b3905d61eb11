// The run record of end-to-end runs: MORVA_RECORD for a run, and the record file read back
// through record_lines.py (Python's JSON parser), one line of text per record line.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "harness.h"

namespace e2e {

inline RunOptions WithRecord(const std::string& path, RunOptions options = {}) {
    options.environment["MORVA_RECORD"] = path;
    return options;
}

// The lines as record_lines.py prints them, or its complaint.
inline std::string RecordLines(const std::string& path) {
    // Below MORVA_TEST_PROGRAM_ROOT where the programs were copied for another user.
    const char* root = std::getenv("MORVA_TEST_PROGRAM_ROOT");
    const std::string script = std::string(root != nullptr ? root : "") + MORVA_RECORD_LINES;
    const std::string command = "python3 '" + script + "' '" + path + "' 2>&1";
    std::FILE* pipe = popen(command.c_str(), "r");
    std::string text;
    char buffer[4096];
    while (pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        text += buffer;
    }
    const int status = pipe != nullptr ? pclose(pipe) : -1;
    return status == 0 ? text : "record_lines.py failed: " + text;
}

// The device that the record names for a simulated device's COM<port>.
inline std::string RecordedDevice(Build build, int port) {
    return build == Build::kWindows ? "\\\\\\\\.\\\\COM" + std::to_string(port) : "/dev/pts/N";
}

}  // namespace e2e

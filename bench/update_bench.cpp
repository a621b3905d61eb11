// Times the test pass of "UPDT -w" against a simulated device on COM3: once with a device that
// answers at once (a line then costs one open, send, receive and close, and its floor is the
// 10 ms sleep before the first poll), once with the wire time of a 9600-baud line emulated
// (a line's floor is then the wire time of its bytes and the reply byte).
// The test pass is timed at the device: from the arrival of "UPDT Test\r" to the arrival of
// "UPDT Flash\r", so start-up, file check and the flash pass do not count.
// Usage: update_bench <ports folder> <runs> <program> [<program words>...]
//   e.g. update_bench /tmp/ports 3 build/posix/morva
//        update_bench $WINEPREFIX/dosdevices 3 wine /tmp/morva.exe
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "engine.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kPoll = 0.010;  // seconds of sleep before each poll

struct Arrival {
    Clock::time_point at;
    std::string command;  // escaped, as the device's log shows it
};

std::string Record(char type, const std::vector<unsigned char>& bytes) {
    unsigned sum = static_cast<unsigned>(bytes.size()) + 1;
    std::string text = "S";
    text += type;
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned>(bytes.size()) + 1);
    text += hex;
    for (unsigned char b : bytes) {
        std::snprintf(hex, sizeof hex, "%02X", b);
        text += hex;
        sum += b;
    }
    std::snprintf(hex, sizeof hex, "%02X", ~sum & 0xFFU);
    return text + hex;
}

// A firmware file: a KRT07Q_ header, `records` S1 records of `size` data bytes, an S9 record.
std::vector<std::string> FirmwareLines(int records, int size) {
    std::vector<std::string> lines;
    const std::string header = "KRT07Q_BENCH";
    std::vector<unsigned char> bytes = {0, 0};
    bytes.insert(bytes.end(), header.begin(), header.end());
    lines.push_back(Record('0', bytes));
    for (int r = 0; r < records; ++r) {
        const unsigned address = static_cast<unsigned>(r * size);
        bytes = {static_cast<unsigned char>(address >> 8), static_cast<unsigned char>(address)};
        for (int i = 0; i < size; ++i) {
            bytes.push_back(static_cast<unsigned char>((r * 31 + i * 7) & 0xFF));
        }
        lines.push_back(Record('1', bytes));
    }
    lines.push_back(Record('9', {0, 0}));
    return lines;
}

struct Outcome {
    bool ok = false;
    double pass = 0;     // seconds from "UPDT Test\r" to "UPDT Flash\r"
    double wire = 0;     // wire time of every byte of the test pass, each reply byte included
    double polls = 0;    // the same in whole 10 ms polls: a reply is seen at the poll after it
    int exchanges = 0;   // of the test pass: the opening command and every line
    double slowest = 0;  // longest single exchange
};

Outcome RunOnce(const std::string& ports, const std::vector<std::string>& program,
                const std::string& file, const std::vector<std::string>& lines, bool wire) {
    tarvexsim::Options options;
    options.wire_time = wire;
    tarvexsim::Device device(ports, 3, options);
    std::mutex mu;
    std::vector<Arrival> arrivals;
    device.SetLogger([&](const std::string& line) {
        const auto now = Clock::now();
        if (line.rfind("COM3 < ", 0) == 0) {
            std::lock_guard<std::mutex> lock(mu);
            arrivals.push_back({now, line.substr(7)});
        }
    });
    std::string error;
    if (!device.Start(&error)) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return {};
    }

    std::vector<std::string> words = program;
    for (const char* word : {"-c", "3", "UPDT", "-w"}) {
        words.emplace_back(word);
    }
    words.push_back(file);
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) {
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        close(out[0]);
        setenv("MORVA_PORTS", ports.c_str(), 1);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string output;
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) {
        output.append(buffer, static_cast<std::size_t>(n));
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    device.Stop();

    Outcome outcome;
    const bool exited = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    std::lock_guard<std::mutex> lock(mu);
    const auto open = std::find_if(arrivals.begin(), arrivals.end(),
                                   [](const Arrival& a) { return a.command == "UPDT Test\\r"; });
    const auto flash = std::find_if(arrivals.begin(), arrivals.end(),
                                    [](const Arrival& a) { return a.command == "UPDT Flash\\r"; });
    outcome.exchanges = static_cast<int>(flash - open);
    if (!exited || open == arrivals.end() || flash == arrivals.end() ||
        outcome.exchanges != static_cast<int>(lines.size()) + 1) {
        std::fprintf(stderr, "run failed (status %d): %s\n", status, output.c_str());
        return {};
    }
    outcome.pass = std::chrono::duration<double>(flash->at - open->at).count();
    for (int k = 0; k < outcome.exchanges; ++k) {
        const std::size_t sent = k == 0 ? std::string("UPDT Test\r").size()
                                        : lines[static_cast<std::size_t>(k - 1)].size() + 1;
        const double took =
            std::chrono::duration<double>((open + k + 1)->at - (open + k)->at).count();
        const double wireTime =
            wire ? std::chrono::duration<double>(tarvexsim::WireTime(sent + 1)).count() : 0.0;
        outcome.wire += wireTime;
        outcome.polls += std::max(1.0, std::ceil(wireTime / kPoll)) * kPoll;
        outcome.slowest = std::max(outcome.slowest, took);
    }
    outcome.ok = true;
    return outcome;
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::printf("usage: %s <ports folder> <runs> <program> [<program words>...]\n", argv[0]);
        return 2;
    }
    const std::string ports = argv[1];
    const int runs = std::max(1, std::atoi(argv[2]));
    const std::vector<std::string> program(argv + 3, argv + argc);

    std::string folder = (std::filesystem::temp_directory_path() / "morva-update-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr || chdir(folder.c_str()) != 0) {
        return 1;
    }

    struct Scenario {
        const char* name;
        bool wire;
        int records;
        int size;
    };
    const Scenario scenarios[] = {
        {"instant reply, 16-byte records", false, 200, 16},
        {"9600-baud wire, 16-byte records", true, 60, 16},
        {"9600-baud wire, 32-byte records", true, 40, 32},
    };
    int failures = 0;
    for (const Scenario& s : scenarios) {
        const std::vector<std::string> lines = FirmwareLines(s.records, s.size);
        const std::string file = "bench.mot";
        {
            std::ofstream out(file, std::ios::binary | std::ios::trunc);
            for (const std::string& line : lines) {
                out << line << '\n';
            }
        }
        std::vector<Outcome> outcomes;
        for (int run = 0; run < runs; ++run) {
            const Outcome o = RunOnce(ports, program, file, lines, s.wire);
            if (o.ok) {
                outcomes.push_back(o);
            } else {
                ++failures;
            }
        }
        if (outcomes.empty()) {
            continue;
        }
        const auto median = [&](double (*figure)(const Outcome&)) {
            std::vector<double> values;
            for (const Outcome& o : outcomes) {
                values.push_back(figure(o));
            }
            return Median(values);
        };
        std::printf("%s: %d exchanges a pass, median of %zu runs\n", s.name, outcomes[0].exchanges,
                    outcomes.size());
        const double each = median([](const Outcome& o) { return o.pass / o.exchanges; });
        if (s.wire) {
            const std::size_t lineBytes = lines[1].size() + 2;  // line, CR, reply byte
            std::printf(
                "  per exchange %.2f ms; a data line's wire time %.2f ms\n", each * 1e3,
                std::chrono::duration<double>(tarvexsim::WireTime(lineBytes)).count() * 1e3);
            std::printf("  pass against the wire time of its bytes: %+.1f %% (goal within 15 %%)\n",
                        median([](const Outcome& o) { return (o.pass / o.wire - 1) * 100; }));
            std::printf(
                "  whole 10 ms polls alone: %+.1f %% over the wire time; the pass: %+.1f %% "
                "over them\n",
                (outcomes[0].polls / outcomes[0].wire - 1) * 100,
                median([](const Outcome& o) { return (o.pass / o.polls - 1) * 100; }));
        } else {
            std::printf(
                "  per exchange %.2f ms; floor 10 ms (one sleep): %+.1f %% (goal within 10 %%)\n",
                each * 1e3, (each / kPoll - 1) * 100);
        }
        std::printf("  slowest exchange %.2f ms\n",
                    median([](const Outcome& o) { return o.slowest; }) * 1e3);
    }
    std::filesystem::remove_all(folder);
    return failures == 0 ? 0 : 1;
}

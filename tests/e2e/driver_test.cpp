// Windows drivers as modelled: morva.exe linked with the scripted driver model of tests/drivers
// (its kernel32 serial calls taken by fakes that act as drivers are documented to act), against
// the simulator under Wine. One row per behaviour: the script, the exact output and exit code,
// a time bound, and lines that the model's trace must hold (so a row cannot pass without the
// model). Trace lines name only what the script decides; how the device's bytes happen to be
// cut into reads depends on the machine's load, so reads are checked by the bytes they moved.
// The script language is described in tests/drivers/driver_model.h.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using e2e::Build;
using e2e::Workspace;

std::string ModelExe() {
    return e2e::WindowsProgram("tests/drivers/morva-model.exe");
}

const std::string kFirmware = "S00B00004B52543037515F5894\nS1050010AABB85\nS9030000FC\n";

// The progress texts of a pass over the three lines of kFirmware, up to line `lines`.
std::string Progress(const std::string& pass, int lines) {
    std::string text;
    for (int line = 1; line <= lines; ++line) {
        text += "\rUPDT " + pass + " : " + std::to_string(line) + " / 3";
    }
    return text;
}

const std::string kTestPass = Progress("Test", 3) + " ... test succeeded\n";
const std::string kUpdate = kTestPass + Progress("Flash", 3) + " ... Update succeeded\n";
const std::string kIdentity = "TARVEX-7310 V2.10\r\n";

struct DriverRow {
    const char* name;
    const char* script;
    std::vector<std::string> args;  // "fw" stands for the firmware path
    std::string output;
    int exitCode;
    double atLeast;                   // seconds, Wine's start included
    double within;                    // on an idle machine; see kLoadAllowance
    std::vector<std::string> traced;  // regular expressions, each found in the trace
    void (*device)(tarvexsim::Options*) = nullptr;
    int bytesRead = -1;  // >= 0: what every ReadFile of the run moved, in all
};

void PrintTo(const DriverRow& row, std::ostream* os) {
    *os << row.name;
}

// A loaded machine (six CPU hogs a core, a sanitizer build) slows Wine several times over; a
// bound stretched so still ends far below the harness's time-out, which a hanging run reaches.
constexpr double kLoadAllowance = 4;
constexpr double kLoadAllowanceSeconds = 15;
constexpr std::chrono::seconds kHarnessTimeout{120};

// The bytes that the trace's ReadFile lines ("ReadFile@1#3 ok 5 of 8") say were moved.
int BytesRead(const std::string& trace) {
    static const std::regex kRead("ReadFile@[0-9]+#[0-9]+ ok ([0-9]+) of [0-9]+");
    int total = 0;
    for (std::sregex_iterator it(trace.begin(), trace.end(), kRead), end; it != end; ++it) {
        total += std::stoi((*it)[1].str());
    }
    return total;
}

class WindowsDrivers : public ::testing::TestWithParam<DriverRow> {};

TEST_P(WindowsDrivers, EndAsPromised) {
    const DriverRow& row = GetParam();
    Workspace ws(Build::kWindows, "bin", ModelExe());
    tarvexsim::Options device;
    if (row.device != nullptr) {
        row.device(&device);
    }
    // HWSC rows find the device on COM4, behind a port that the script makes slow.
    ws.AddDevice(row.args.front() == "HWSC" ? 4 : 3, device);
    const std::string firmware = ws.root() + "/fw.mot";
    e2e::WriteFile(firmware, kFirmware);
    std::vector<std::string> args;
    for (const std::string& arg : row.args) {
        args.push_back(arg == "fw" ? firmware : arg);
    }
    const std::string trace = ws.root() + "/model.trace";
    e2e::RunOptions options;
    options.timeout = kHarnessTimeout;
    options.environment = {{"MORVA_DRIVER_MODEL", row.script},
                           {"MORVA_DRIVER_TRACE", "Z:" + trace}};
    const auto run = ws.Run(args, options);
    EXPECT_EQ(run.output, row.output);
    EXPECT_EQ(run.exitCode, row.exitCode);
    EXPECT_GE(run.seconds, row.atLeast);
    EXPECT_LT(run.seconds, row.within * kLoadAllowance + kLoadAllowanceSeconds)
        << "a bound several times what an idle machine needs: the run hung or waited too long";
    const std::string traced = e2e::ReadFile(trace);
    EXPECT_EQ(traced.rfind("model: " + std::string(row.script) + "\n", 0), 0U)
        << "the model was not in effect:\n"
        << traced;
    for (const std::string& line : row.traced) {
        EXPECT_TRUE(std::regex_search(traced, std::regex(line))) << line << " not in\n" << traced;
    }
    if (row.bytesRead >= 0) {
        EXPECT_EQ(BytesRead(traced), row.bytesRead) << traced;
    }
}

const std::vector<std::string> kUtid = {"-c", "3", "UTID"};
const std::vector<std::string> kFlash = {"-c", "3", "UPDT", "-w", "fw"};

const DriverRow kDriverRows[] = {
    // No script: the model passes every call through.
    {"NoScript", "", kUtid, kIdentity, 0, 0, 5, {R"(CreateFileA@1#1 ok \\\\\.\\COM3)"}},
    // Late closes: a USB driver still closing the port refuses the next open with
    // ERROR_ACCESS_DENIED, also a second later (pyserial/pyserial#458: a reopen after close
    // and a sleep of 1 s fails with "Access is denied", error 5). An update waits for it.
    // Eight exchanges: seven opens come after a close, each at least 300 ms after it.
    {"LateCloseAfterEveryExchange",
     "CloseHandle:late=300",
     kFlash,
     kUpdate,
     0,
     7 * 0.3,
     12,
     {"CreateFileA@[0-9]+#1 refused, still closing", "CloseHandle@8#1 ok, closing goes on"}},
    {"CloseOneAndAHalfSecondsLateInTheFlashPass",
     "CloseHandle@6:late=1500",
     kFlash,
     kUpdate,
     0,
     1.5,
     8,
     {"CreateFileA@7#1 refused, still closing"}},
    {"CloseFourSecondsLateInTheFlashPass",
     "CloseHandle@6:late=4000",
     kFlash,
     kUpdate,
     0,
     4,
     11,
     {"CreateFileA@7#1 refused, still closing"}},
    // Outside an update the first refusal ends the exchange.
    {"BusyOutsideAnUpdate",
     "CreateFileA:fail=5",
     kUtid,
     "Cannot open COM3\n",
     3,
     0,
     5,
     {"CreateFileA@1#1 error 5"}},
    // Writes that the device stops taking end at the write time-out that morva set: FTDI's
    // driver reports success with fewer bytes written (dotnet/corefx#16542), usbser fails with
    // ERROR_SEM_TIMEOUT, 121 (jcurl/RJCP.DLL.SerialPortStream#146).
    {"WriteStallsWithAShortCount",
     "WriteFile:stall",
     kUtid,
     "Cannot send command\n",
     103,
     2,
     5,
     {"WriteFile@1#1 stalls for 2010 ms", "WriteFile@1#1 ok 0 of 5"}},
    {"WriteStallsWithSemTimeout",
     "WriteFile:stall,fail=121",
     kUtid,
     "Cannot send command\n",
     103,
     2,
     5,
     {"WriteFile@1#1 error 121"}},
    {"ShortWriteInTheFlashPass",
     "WriteFile@6:short=5",
     kFlash,
     kTestPass + Progress("Flash", 1) + " ... Update failed\n",
     103,
     0,
     8,
     {"WriteFile@6#1 ok 5 of 27"}},
    // Line errors as ClearCommError reports them (learn.microsoft.com, ClearCommError:
    // CE_BREAK 0x10, CE_FRAME 0x8, CE_OVERRUN 0x2, CE_RXPARITY 0x4); Wine never does.
    {"FramingErrorBeforeSending",
     "ClearCommError#1:errors=0x8",
     kUtid,
     "Cannot send command\n",
     101,
     0,
     5,
     {"ClearCommError@1#1 ok errors 0x8 waiting 0"}},
    {"BreakBeforeSending",
     "ClearCommError#1:errors=0x10",
     kUtid,
     "Cannot send command\n",
     101,
     0,
     5,
     {"ClearCommError@1#1 ok errors 0x10 waiting 0"}},
    {"OverrunWhileReceiving",
     "ClearCommError#2:errors=0x2",
     kUtid,
     "Cannot receive reply string\n",
     101,
     0,
     5,
     {"ClearCommError@1#2 ok errors 0x2 "}},
    // The reply trickles in, so that the error comes between its bytes (a second before the
    // reply is whole, which no load delays the fourth status query by).
    {"ParityErrorWhileReceiving",
     "ClearCommError#4:errors=0x4",
     kUtid,
     "Cannot receive reply string\n",
     101,
     0,
     5,
     {"ClearCommError@1#4 ok errors 0x4 "},
     [](tarvexsim::Options* o) { o->trickle_ms = 60; }},
    {"BreakInTheFlashPass",
     "ClearCommError@6#2:errors=0x10",
     kFlash,
     kTestPass + Progress("Flash", 1) + "Cannot receive reply byte\n ... Update failed\n",
     101,
     0,
     8,
     {"ClearCommError@6#2 ok errors 0x10 "}},
    // A status query that fails: once (pyserial/pyserial#446, "ClearCommError failed", access
    // denied, after a while of good exchanges) or always (pyserial/pyserial#575, a virtual port
    // whose every ClearCommError fails with 87).
    {"StatusQueryFailsOnce",
     "ClearCommError#2:fail=5",
     kUtid,
     "Cannot receive reply string\n",
     101,
     0,
     5,
     {"ClearCommError@1#2 error 5"}},
    {"StatusQueryFailsAlways",
     "ClearCommError:fail=87",
     kUtid,
     "Cannot send command\n",
     101,
     0,
     5,
     {"ClearCommError@1#1 error 87"}},
    // cbInQue that promises more than the port delivers (qextserialport/qextserialport#128, a
    // USB serial adapter reporting 4294967295 bytes waiting): reads return what has come.
    {"WaitingOverReportedReplyComplete",
     "ClearCommError:extra=3",
     kUtid,
     kIdentity,
     0,
     0,
     5,
     {"ClearCommError@1#1 ok errors 0x0 waiting 3\n"},
     nullptr,
     18},
    {"WaitingOverReportedNoCarriageReturn",
     "ClearCommError:extra=3",
     kUtid,
     "Cannot receive reply string\n",
     104,
     2,
     6,
     {"ClearCommError@1#1 ok errors 0x0 waiting 3\n", "ReadFile@1#[0-9]+ ok 0 of 3\n"},
     [](tarvexsim::Options* o) { o->replies["UTID"] = "TARVEX-7310"; },
     11},
    // The same before a reply byte has come: the empty read is no reply (it was taken for the
    // byte 00, exit code 6). The random device of seed 739 answers all eight exchanges of the
    // update, six of them 0.1 to 1.1 s late (found by the random fault campaign).
    {"WaitingOverReportedBeforeReplyByte",
     "ClearCommError:extra=3",
     kFlash,
     kUpdate,
     0,
     4,
     8,
     {"ClearCommError@1#1 ok errors 0x0 waiting 3\n", "ReadFile@1#[0-9]+ ok 0 of 1\n"},
     [](tarvexsim::Options* o) {
         o->chaos = true;
         o->chaos_seed = 739;
     }},
    // Reads that return less than asked: FTDI's driver hands back parts of what was asked for
    // (avrdudes/avrdude#843), or nothing (serialport/node-serialport#1836, 0 bytes read).
    {"ReadReturnsOneByteAtATime",
     "ReadFile:cap=1",
     kUtid,
     kIdentity,
     0,
     0,
     5,
     {"ReadFile@1#18 ok 1 of 1\n"},
     nullptr,
     18},
    {"ReadReturnsNothing",
     "ReadFile:cap=0",
     kUtid,
     "Cannot receive reply string\n",
     104,
     2,
     6,
     {"ReadFile@1#1 ok 0 of [0-9]+"},
     nullptr,
     0},
    // Surprise removal: the pulled device's handle fails every call (sigrok-pico#7, read error
    // 22; sigrokproject/libserialport#17, ERROR_OPERATION_ABORTED 995 from the CDC driver;
    // ziglang/zig#23648, access denied 5 on reads and writes of an unplugged adapter;
    // pyserial/pyserial#739, 31, a device that is not functioning), and the port is gone
    // (error 2) for the next open.
    {"RemovedAtTheStatusQuery",
     "ClearCommError#2:gone=22",
     kUtid,
     "Cannot receive reply string\n",
     101,
     0,
     5,
     {"ClearCommError@1#2 error 22"}},
    {"RemovedAtTheReadAborted",
     "ReadFile#1:gone=995",
     kUtid,
     "Cannot receive reply string\n",
     102,
     0,
     5,
     {"ReadFile@1#1 error 995"}},
    {"RemovedAtTheReadAccessDenied",
     "ReadFile#1:gone=5",
     kUtid,
     "Cannot receive reply string\n",
     102,
     0,
     5,
     {"ReadFile@1#1 error 5"}},
    {"RemovedAtTheWrite",
     "WriteFile#1:gone=31",
     kUtid,
     "Cannot send command\n",
     103,
     0,
     5,
     {"WriteFile@1#1 error 31"}},
    {"RemovedBeforeTheNextOpen",
     "CreateFileA#3:gone=2",
     kFlash,
     Progress("Test", 2) + " ... test failed\n",
     3,
     0,
     6,
     {"CreateFileA@3#1 error 2"}},
    // Drivers that refuse the line settings (jSerialComm#518, SetCommState 31; node-serialport
    // #824, SetCommState 87 on a virtual port).
    {"GetCommStateFails",
     "GetCommState:fail=31",
     kUtid,
     "Cannot open COM3\n",
     3,
     0,
     5,
     {"GetCommState@1#1 error 31"}},
    {"SetCommStateFails",
     "SetCommState:fail=87",
     kUtid,
     "Cannot open COM3\n",
     3,
     0,
     5,
     {"SetCommState@1#1 error 87"}},
    // The queue that cannot be emptied fails the open, and the port gets its own time-outs
    // back (Wine's: all 0) rather than keeping the exchange's.
    {"PurgeFails",
     "PurgeComm:fail=31",
     kUtid,
     "Cannot open COM3\n",
     3,
     0,
     5,
     {"PurgeComm@1#1 error 31", "SetCommTimeouts@1#2 ok read 0/0/0 write 0/0\n"}},
    // A Bluetooth port whose device is out of reach refuses the open after seconds with
    // ERROR_SEM_TIMEOUT, 121 (jcurl/RJCP.DLL.SerialPortStream#37); the scan goes on past it.
    {"BluetoothOpenTimesOut",
     "CreateFileA:delay=4000,fail=121",
     kUtid,
     "Cannot open COM3\n",
     3,
     4,
     8,
     {"CreateFileA@1#1 error 121"}},
    {"BluetoothPortInTheScan",
     "CreateFileA/3:delay=4000,fail=121",
     {"HWSC"},
     "COM4\n\n",
     0,
     4,
     14,
     {"error 121", R"(ok \\\\\.\\COM4)"}},
    // At -vvv each failed call names itself and the system's error before the usual texts;
    // below that, nothing more is printed.
    {"VerboseLevel3NamesTheFailedCall",
     "SetCommState:fail=87",
     {"-vvv", "-c", "3", "UTID"},
     "verbose level:3\nSetCommState() failure : error 87\nCannot open COM3\n",
     3,
     0,
     5,
     {"SetCommState@1#1 error 87"}},
    {"VerboseLevel2SaysNoMore",
     "SetCommState:fail=87",
     {"-vv", "-c", "3", "UTID"},
     "verbose level:2\nCannot open COM3\n",
     3,
     0,
     5,
     {"SetCommState@1#1 error 87"}},
    {"VerboseLevel3NamesTheLineError",
     "ClearCommError#2:errors=0x14",
     {"-vvv", "-c", "3", "UPDT", "fw"},
     "verbose level:3\nDo only test.\nTX(10) : 55 50 44 54 20 54 65 73 74 0D \n"
     "ClearCommError() line error : 0x0014 CE_RXPARITY CE_BREAK\n"
     "ReadCommByte : ClearCommError() failure\nCannot receive reply byte\n ... test failed\n",
     101,
     0,
     5,
     {"ClearCommError@1#2 ok errors 0x14 "}},
    {"VerboseLevel3NamesTheShortWrite",
     "WriteFile:short=2",
     {"-vvv", "-c", "3", "UTID"},
     "verbose level:3\nTX(5) : 55 54 49 44 0D \nWriteFile() failure : 2 of 5 bytes\n"
     "Cannot send command\n",
     103,
     0,
     5,
     {"WriteFile@1#1 ok 2 of 5"}},
};

INSTANTIATE_TEST_SUITE_P(Modelled, WindowsDrivers, ::testing::ValuesIn(kDriverRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

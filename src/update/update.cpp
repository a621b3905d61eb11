#include "update/update.h"

#include <array>
#include <cstring>

#include "common/console.h"
#include "common/exit_codes.h"
#include "common/platform.h"
#include "common/sha256.h"
#include "common/text.h"
#include "link/comm_port.h"
#include "link/transact.h"
#include "record/record_file.h"
#include "record/run_record.h"
#include "update/firmware_check.h"
#include "update/text_file.h"

namespace morva {
namespace {

// Reply bytes of the handshake.
constexpr unsigned char kFinishCode = 0x10;
constexpr unsigned char kNextCode = 0x11;
constexpr unsigned char kResendCode = 0x22;
constexpr unsigned char kRejectCode = 0x31;

// Turns the line read (`length` characters, checked, so without zero bytes) into the command
// text sent for it: the newline becomes one carriage return. A line without a newline (the last
// line of a file without line end, a piece of an over-long line) keeps all its characters and
// gets the carriage return appended, so that no S-record character is lost. `line` needs room
// for length + 2 characters.
void MakeCommandText(char* line, int length) {
    if (line[length - 1] == '\n') {
        line[length - 1] = '\r';
        return;
    }
    line[length] = '\r';
    line[length + 1] = '\0';
}

// A file that is no longer the checked one; a progress text may stand on the console line.
int RefuseChangedFile(int lineNumber) {
    Print(lineNumber > 0 ? "\nUPDT : invalid file\n" : "UPDT : invalid file\n");
    return kExitCommand;
}

// Sends one command text until the device takes it; resends are unlimited. Returns 0, the
// failure code of the exchange, or kExitBadReply after its message.
int SendLine(int port, const char* command, bool lastLine) {
    std::array<char, kReplyCapacity> reply{};
    for (;;) {
        const int result = TransactCommand(port, kReplyByte, command, reply.data());
        if (result != 0) {
            return result;
        }
        const auto code = static_cast<unsigned char>(reply[0]);
        RecordReply(code, true);
        if (code == kResendCode) {
            continue;
        }
        if (code == kFinishCode) {
            if (lastLine) {
                return 0;
            }
            Print("\nUPDT : Unexpected finish-code from USB device\n");
        } else if (code == kNextCode) {
            if (!lastLine) {
                return 0;
            }
            Print("\nUPDT : Unexpected next-code from Velta\n");
        } else {
            Print("\nUPDT : Unexpected reply.(0x%02X)\n", static_cast<unsigned>(code));
        }
        return kExitBadReply;
    }
}

// Keeps every other morva off the port from the test pass to the end of the command.
struct PortHold {
    explicit PortHold(int port) : taken(HoldCommPort(port)) {}
    ~PortHold() { ReleaseCommPortHold(); }
    PortHold(const PortHold&) = delete;
    PortHold& operator=(const PortHold&) = delete;
    int taken;
};

// The file check; with a run record also the file's size and SHA-256, taken from the bytes
// as the check reads them.
int CheckAndRecord(const char* path, FirmwareSummary* checked) {
    if (!Recording()) {
        return CheckFirmwareFile(path, checked);
    }
    ReadDigest digest;
    bool hashed = BeginSha256(&digest.sha256) != 0;
    const int lines = CheckFirmwareFile(path, checked, &digest);
    std::array<unsigned char, kSha256Size> sum{};
    hashed = hashed && EndSha256(&digest.sha256, &sum) != 0;
    if (lines > 0 && digest.bytes > 0) {
        std::array<char, 2 * kSha256Size + 1> text{};
        constexpr char kDigits[] = "0123456789abcdef";
        for (std::size_t i = 0; i < sum.size(); ++i) {
            text[2 * i] = kDigits[sum[i] >> 4U];
            text[2 * i + 1] = kDigits[sum[i] & 0x0FU];
        }
        RecordChecked(digest.bytes, lines, hashed ? text.data() : nullptr);
    }
    return lines;
}

int RunPass(int port, const char* path, const UpdatePass& pass, const FirmwareSummary& checked) {
    // The pass sends from this one open of the file, found to be the checked file before the
    // device hears of the pass: a file put in its place afterwards is never read.
    TextFile file;  // closed on every return
    bool readable = OpenTextFile(path, &file) != 0;
    if (readable) {
        FirmwareSummary found;
        if (CheckFirmwareText(&file, &found) == 0 || found.lines != checked.lines ||
            found.digest != checked.digest) {
            return RefuseChangedFile(0);
        }
        readable = RewindTextFile(&file) != 0;
    }

    std::array<char, kReplyCapacity> reply{};
    const int opened = TransactCommand(port, kReplyByte, pass.opening, reply.data());
    if (opened != 0) {
        return opened;
    }
    const auto code = static_cast<unsigned char>(reply[0]);
    RecordReply(code, false);
    if (code == kRejectCode) {
        Print("UPDT : Rejected to update via RS-232C\n");
        return kExitCommand;
    }
    if (code != kNextCode) {
        return kExitCommand;
    }
    if (!readable) {
        return kExitFileOpen;
    }

    // The same capacity as the file check reads with, so both see the same lines; the spare
    // byte holds a carriage return appended to a line without newline.
    std::array<char, kLineBufferSize + 1> line{};
    // A file larger than the read buffer is read again while it is sent, and may change in the
    // meantime: each line goes out only when it passes the check, and the line that ends the
    // pass only when every line up to it is the checked file's.
    FirmwareSummary sent;
    for (;;) {
        const int length = ReadTextLine(&file, line.data(), kLineBufferSize);
        if (length == 0) {
            break;
        }
        const int lineNumber = sent.lines;
        if (sent.lines == checked.lines || CheckFirmwareLine(line.data(), length, &sent) == 0 ||
            (sent.lines == checked.lines && sent.digest != checked.digest)) {
            return RefuseChangedFile(lineNumber);
        }
        Print("\r%s : %d / %d", pass.label, sent.lines, checked.lines);
        const bool lastLine = line[1] == '9';
        MakeCommandText(line.data(), length);
        RecordLine(sent.lines);
        const int result = SendLine(port, line.data(), lastLine);
        if (result != 0) {
            return result;
        }
        RecordLineTaken();
    }
    if (sent.lines != checked.lines) {
        return RefuseChangedFile(sent.lines);
    }
    CloseTextFile(&file);
    return 0;
}

}  // namespace

int TransferFirmware(int port, const char* path, const UpdatePass& pass,
                     const FirmwareSummary& checked) {
    RecordPassBegin(pass.recordName);
    const int result = RunPass(port, path, pass, checked);
    RecordPassEnd(result == 0);
    return result;
}

int UpdateFirmware(int port, int flash, const char* path) {
    if (Recording()) {
        std::array<char, kPathTextSize> full{};
        RecordFirmware(path != nullptr ? FullPath(path, full.data()) : nullptr, flash);
    }
    if (!FileExists(path)) {
        // printf of a null text is undefined; the message names the missing path this way.
        std::array<char, kPathTextSize> shown{};
        std::array<char, kEscapedPathSize> escaped{};
        Print("UPDT : file not found \"%s\"\n",
              path != nullptr ? EscapeControlBytes(ShownPath(path, shown.data()), escaped.data(),
                                                   kEscapedPathSize)
                              : "(null)");
        return kExitCommand;
    }
    FirmwareSummary checked;
    if (CheckAndRecord(path, &checked) == 0) {
        Print("UPDT : invalid file\n");
        return kExitCommand;
    }
    // A port that another morva holds fails the pass as a port that does not open.
    const PortHold hold(port);
    int tested = kExitPortOpen;
    if (hold.taken != 0) {
        tested = TransferFirmware(port, path, kTestPass, checked);
    } else {
        // The record shows the test pass stopped before its first line, as for any open that
        // fails.
        RecordPassBegin(kTestPass.recordName);
        RecordPassEnd(false);
    }
    if (tested != 0) {
        Print(" ... test failed\n");
        return tested;
    }
    Print(" ... test succeeded\n");
    if (flash == 0) {
        return kExitOk;
    }
    const int flashed = TransferFirmware(port, path, kFlashPass, checked);
    if (flashed != 0) {
        Print(" ... Update failed\n");
        return flashed;
    }
    Print(" ... Update succeeded\n");
    return kExitOk;
}

}  // namespace morva

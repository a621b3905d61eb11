#include "record/run_record.h"

#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/console.h"
#include "common/platform.h"
#include "common/product.h"
#include "common/text.h"
#include "common/verbose.h"
#include "record/json_text.h"
#include "record/record_file.h"

namespace morva {
namespace {

// Bounds of the texts kept; the line buffer holds each of them escaped at six bytes a byte.
constexpr std::size_t kCommandLimit = 257;
constexpr std::size_t kReplyLimit = 256;
constexpr std::size_t kMessageLimit = 512;
constexpr std::size_t kNameLimit = 256;
constexpr std::size_t kDeviceLimit = 1024;
constexpr int kPortCount = 256;
constexpr std::size_t kLineSize = std::size_t{40} * 1024;
static_assert(6 * (3 * kCommandLimit + kMessageLimit + 5 * kNameLimit + 2 * kDeviceLimit +
                   kPathTextSize) +
                  std::size_t{8} * kPortCount + 2048 <
              kLineSize);

using Clock = std::chrono::steady_clock;

struct PassFigures {
    const char* name = nullptr;
    Clock::time_point start;
    long long elapsedMs = 0;
    int line = 0;  // the line being sent, 0 before the first
    int linesTaken = 0;
    int resends = 0;
    int reply = -1;  // the last reply byte, -1 before the first
    bool ended = false;
    bool completed = false;
};

struct Record {
    bool on = false;
    std::array<char, kPathTextSize> path{};
    Clock::time_point start;
    std::array<char, 64> time{};
    std::array<char, kNameLimit> host{};
    std::array<char, kNameLimit> user{};
    long long pid = 0;

    int kind = kRecordNone;
    bool pathTooLong = false;
    std::array<char, kCommandLimit + 1> command{};
    std::size_t commandLength = 0;
    bool hasCommand = false;
    int port = -1;  // -1: none used
    std::array<char, kDeviceLimit> device{};
    std::array<char, kDeviceLimit> byId{};
    bool hasById = false;
    bool hasAdapter = false;
    std::array<char, kNameLimit> adapterId{};
    std::array<char, kNameLimit> adapterUsbId{};
    std::array<char, kNameLimit> adapterSerial{};
    std::array<char, kMessageLimit + 1> message{};
    bool hasMessage = false;

    std::array<char, kCommandLimit + 1> sent{};
    bool hasSent = false;
    std::array<char, kReplyLimit + 1> reply{};
    bool hasReply = false;

    std::array<short, kPortCount> found{};
    int foundCount = 0;

    bool hasScom = false;
    bool scomStored = false;
    int scomPort = 0;

    std::array<char, kPathTextSize> file{};
    bool hasFile = false;
    bool flash = false;
    bool checked = false;
    long long bytes = 0;
    int lines = 0;
    std::array<char, 2 * 32 + 1> sha256{};
    bool hasSha256 = false;
    std::array<PassFigures, 2> passes{};
    int passCount = 0;
};

Record g_record;
std::array<char, kLineSize> g_line{};
// The line that an interrupt appends: two buffers, so that one is always whole while the other
// is built; the index names the whole one (-1: none).
std::array<std::array<char, kLineSize>, 2> g_prepared{};
volatile std::sig_atomic_t g_preparedIndex = -1;
volatile std::sig_atomic_t g_preparedLength[2] = {0, 0};

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Copies at most `capacity` - 1 bytes and a terminator.
void Keep(char* into, std::size_t capacity, const char* text, std::size_t length) {
    const std::size_t kept = length < capacity - 1 ? length : capacity - 1;
    std::memcpy(into, text, kept);
    into[kept] = '\0';
}

template <std::size_t N>
void Keep(std::array<char, N>* into, const char* text) {
    Keep(into->data(), N, text, std::strlen(text));
}

// Keeps the text, when there is one, and says whether there is.
template <std::size_t N>
void KeepIfAny(std::array<char, N>* into, bool* has, const char* text) {
    *has = text != nullptr;
    if (text != nullptr) {
        Keep(into, text);
    }
}

void AddPass(JsonText* json, const PassFigures& pass, bool interrupted) {
    JsonOpen(json, '{');
    JsonKey(json, "pass");
    JsonText0(json, pass.name, kNameLimit);
    JsonKey(json, "lines_sent");
    JsonInt(json, pass.linesTaken);
    JsonKey(json, "resends");
    JsonInt(json, pass.resends);
    JsonKey(json, "reply");
    constexpr char kDigits[] = "0123456789abcdef";
    const std::array<char, 3> reply = {kDigits[(pass.reply >> 4) & 0x0F],
                                       kDigits[pass.reply & 0x0F], '\0'};
    JsonText0(json, pass.reply >= 0 ? reply.data() : nullptr, reply.size());
    JsonKey(json, "elapsed_ms");
    JsonInt(json, pass.ended ? pass.elapsedMs : MillisecondsSince(pass.start));
    if (!pass.completed && (pass.ended || interrupted)) {
        JsonKey(json, "stopped_at");
        JsonInt(json, pass.line);
    }
    JsonClose(json, '}');
}

void AddKindFields(JsonText* json, const Record& r, bool interrupted) {
    if (r.kind == kRecordPassThrough) {
        JsonKey(json, "sent");
        JsonText0(json, r.hasSent ? r.sent.data() : nullptr, kCommandLimit);
        JsonKey(json, "reply");
        JsonText0(json, r.hasReply ? r.reply.data() : nullptr, kReplyLimit);
        // Bytes that are not UTF-8 read as the characters of their codes; the hex tells them
        // apart.
        const std::size_t replyLength = r.hasReply ? strnlen(r.reply.data(), kReplyLimit) : 0;
        JsonKey(json, "reply_hex");
        if (r.hasReply && !IsUtf8(r.reply.data(), replyLength)) {
            JsonHex(json, r.reply.data(), replyLength);
        } else {
            JsonNull(json);
        }
    } else if (r.kind == kRecordScan) {
        JsonKey(json, "found");
        JsonOpen(json, '[');
        for (int i = 0; i < r.foundCount; ++i) {
            JsonInt(json, r.found[static_cast<std::size_t>(i)]);
        }
        JsonClose(json, ']');
    } else if (r.kind == kRecordScom && r.hasScom) {
        JsonKey(json, r.scomStored ? "stored" : "shown");
        JsonInt(json, r.scomPort);
    } else if (r.kind == kRecordUpdate) {
        JsonKey(json, "file");
        JsonText0(json, r.hasFile ? r.file.data() : nullptr, kPathTextSize);
        JsonKey(json, "bytes");
        r.checked ? JsonInt(json, r.bytes) : JsonNull(json);
        JsonKey(json, "lines");
        r.checked ? JsonInt(json, r.lines) : JsonNull(json);
        JsonKey(json, "sha256");
        JsonText0(json, r.hasSha256 ? r.sha256.data() : nullptr, r.sha256.size());
        JsonKey(json, "flash");
        JsonBool(json, r.flash);
        JsonKey(json, "passes");
        JsonOpen(json, '[');
        for (int i = 0; i < r.passCount; ++i) {
            AddPass(json, r.passes[static_cast<std::size_t>(i)], interrupted);
        }
        JsonClose(json, ']');
    }
}

// The whole line, ended by a line feed; its length, or 0 when it does not fit (never, by the
// bounds above).
std::size_t BuildLine(char* buffer,  // NOLINT(readability-non-const-parameter): written
                      bool interrupted, int exitCode) {
    const Record& r = g_record;
    JsonText json{buffer, kLineSize};
    JsonOpen(&json, '{');
    JsonKey(&json, "time");
    JsonText0(&json, r.time.data(), r.time.size());
    JsonKey(&json, "elapsed_ms");
    JsonInt(&json, MillisecondsSince(r.start));
    JsonKey(&json, "version");
    JsonText0(&json, kVersionText, kNameLimit);
    JsonKey(&json, "host");
    JsonText0(&json, r.host.data(), kNameLimit);
    JsonKey(&json, "user");
    JsonText0(&json, r.user.data(), kNameLimit);
    JsonKey(&json, "pid");
    JsonInt(&json, r.pid);
    JsonKey(&json, "command");
    JsonString(&json, r.hasCommand ? r.command.data() : nullptr, r.commandLength, kCommandLimit);
    JsonKey(&json, "port");
    r.port >= 0 ? JsonInt(&json, r.port) : JsonNull(&json);
    JsonKey(&json, "device");
    JsonText0(&json, r.port >= 0 ? r.device.data() : nullptr, kDeviceLimit);
    JsonKey(&json, "by_id");
    JsonText0(&json, r.port >= 0 && r.hasById ? r.byId.data() : nullptr, kDeviceLimit);
    JsonKey(&json, "adapter");
    if (r.port >= 0 && r.hasAdapter) {
        JsonOpen(&json, '{');
        JsonKey(&json, "instance_id");
        JsonText0(&json, r.adapterId.data(), kNameLimit);
        JsonKey(&json, "usb_id");
        JsonText0(&json, r.adapterUsbId[0] != '\0' ? r.adapterUsbId.data() : nullptr, kNameLimit);
        JsonKey(&json, "serial");
        JsonText0(&json, r.adapterSerial[0] != '\0' ? r.adapterSerial.data() : nullptr, kNameLimit);
        JsonClose(&json, '}');
    } else {
        JsonNull(&json);
    }
    JsonKey(&json, "exit");
    interrupted ? JsonNull(&json) : JsonInt(&json, exitCode);
    JsonKey(&json, "interrupted");
    JsonBool(&json, interrupted);
    JsonKey(&json, "message");
    JsonText0(&json, r.hasMessage ? r.message.data() : nullptr, kMessageLimit);
    AddKindFields(&json, r, interrupted);
    JsonClose(&json, '}');
    return JsonEndLine(&json);
}

// Builds the line for an interrupt into the buffer that the handler does not read, then hands
// it over.
void PrepareInterrupted() {
    if (!g_record.on || g_record.kind != kRecordUpdate) {
        return;
    }
    const int next = g_preparedIndex == 0 ? 1 : 0;
    const std::size_t length =
        BuildLine(g_prepared[static_cast<std::size_t>(next)].data(), true, 0);
    if (length == 0) {
        return;
    }
    g_preparedLength[next] = static_cast<std::sig_atomic_t>(length);
    g_preparedIndex = next;
}

PassFigures* CurrentPass() {
    Record& r = g_record;
    return r.on && r.passCount > 0 ? &r.passes[static_cast<std::size_t>(r.passCount - 1)] : nullptr;
}

void FormatStartTime() {
    const auto now = std::chrono::system_clock::now();
    const long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    const std::tm* utc = std::gmtime(&seconds);
    if (utc == nullptr) {
        return;
    }
    static_cast<void>(std::snprintf(g_record.time.data(), g_record.time.size(),
                                    "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc->tm_year + 1900,
                                    utc->tm_mon + 1, utc->tm_mday, utc->tm_hour, utc->tm_min,
                                    utc->tm_sec, static_cast<int>(ms % 1000)));
}

}  // namespace

void BeginRecord() {
    const char* path = GetPathVariable("MORVA_RECORD");
    if (path == nullptr || path[0] == '\0') {
        return;
    }
    Record& r = g_record;
    r.on = true;
    // A path that does not fit is refused at the end, where -v says so.
    r.pathTooLong = std::strlen(path) >= kPathTextSize;
    Keep(&r.path, r.pathTooLong ? "" : path);
    r.start = Clock::now();
    FormatStartTime();
    GetRunIdentity(r.host.data(), r.user.data(), kNameLimit, &r.pid);
    CatchConsoleInterrupts(WriteInterruptedRecord);
}

bool Recording() {
    return g_record.on;
}

void RecordCommand(int kind, const char* text, std::size_t length) {
    Record& r = g_record;
    if (!r.on) {
        return;
    }
    r.kind = kind;
    r.hasCommand = true;
    Keep(r.command.data(), r.command.size(), text, length);
    r.commandLength = length < kCommandLimit ? length : kCommandLimit;
}

void RecordPort(int port, const char* device, const char* byId) {
    Record& r = g_record;
    if (!r.on) {
        return;
    }
    r.port = port;
    Keep(&r.device, device);
    KeepIfAny(&r.byId, &r.hasById, byId);
}

void RecordAdapter(const char* instanceId, const char* usbId, const char* serial) {
    Record& r = g_record;
    if (!r.on || instanceId == nullptr) {
        return;
    }
    r.hasAdapter = true;
    Keep(&r.adapterId, instanceId);
    Keep(&r.adapterUsbId, usbId != nullptr ? usbId : "");
    Keep(&r.adapterSerial, serial != nullptr ? serial : "");
}

void RecordMessage(const char* text) {
    Record& r = g_record;
    if (!r.on) {
        return;
    }
    const char* from = text;
    while (*from == '\r' || *from == '\n' || *from == ' ') {
        ++from;
    }
    std::size_t length = std::strlen(from);
    while (length > 0 && (from[length - 1] == '\n' || from[length - 1] == '\r')) {
        --length;
    }
    if (length == 0) {
        return;
    }
    // A longer message is cut where its bytes end a whole character.
    std::size_t kept = length < kMessageLimit ? length : kMessageLimit;
    while (kept < length && kept > 0 && (static_cast<unsigned char>(from[kept]) & 0xC0U) == 0x80U) {
        --kept;
    }
    Keep(r.message.data(), r.message.size(), from, kept);
    r.hasMessage = true;
}

void RecordExchange(const char* sent, const char* reply) {
    Record& r = g_record;
    if (!r.on) {
        return;
    }
    KeepIfAny(&r.sent, &r.hasSent, sent);
    if (reply != nullptr) {
        KeepIfAny(&r.reply, &r.hasReply, reply);
    }
}

void RecordPartialReply(const char* bytes) {
    Record& r = g_record;
    if (r.on && bytes[0] != '\0') {
        KeepIfAny(&r.reply, &r.hasReply, bytes);
    }
}

void RecordFound(int port) {
    Record& r = g_record;
    if (r.on && r.foundCount < kPortCount) {
        r.found[static_cast<std::size_t>(r.foundCount++)] = static_cast<short>(port);
    }
}

void RecordScom(bool stored, int port) {
    Record& r = g_record;
    if (r.on) {
        r.hasScom = true;
        r.scomStored = stored;
        r.scomPort = port;
    }
}

void RecordFirmware(const char* fullPath, int flash) {
    Record& r = g_record;
    if (!r.on) {
        return;
    }
    KeepIfAny(&r.file, &r.hasFile, fullPath);
    r.flash = flash != 0;
}

void RecordChecked(long long bytes, int lines, const char* sha256Hex) {
    Record& r = g_record;
    if (!r.on) {
        return;
    }
    r.checked = true;
    r.bytes = bytes;
    r.lines = lines;
    KeepIfAny(&r.sha256, &r.hasSha256, sha256Hex);
}

void RecordPassBegin(const char* name) {
    Record& r = g_record;
    if (!r.on || r.passCount >= static_cast<int>(r.passes.size())) {
        return;
    }
    PassFigures& pass = r.passes[static_cast<std::size_t>(r.passCount++)];
    pass = PassFigures{};
    pass.name = name;
    pass.start = Clock::now();
    PrepareInterrupted();
}

void RecordLine(int line) {
    if (PassFigures* pass = CurrentPass()) {
        pass->line = line;
        PrepareInterrupted();
    }
}

void RecordReply(unsigned char reply, bool toLine) {
    constexpr unsigned char kResendCode = 0x22;
    if (PassFigures* pass = CurrentPass()) {
        pass->reply = reply;
        pass->resends += toLine && reply == kResendCode ? 1 : 0;
        PrepareInterrupted();
    }
}

void RecordLineTaken() {
    if (PassFigures* pass = CurrentPass()) {
        ++pass->linesTaken;
        PrepareInterrupted();
    }
}

void RecordPassEnd(bool completed) {
    if (PassFigures* pass = CurrentPass()) {
        pass->ended = true;
        pass->completed = completed;
        pass->elapsedMs = MillisecondsSince(pass->start);
        PrepareInterrupted();
    }
}

void EndRecord(int exitCode) {
    Record& r = g_record;
    if (!r.on) {
        return;
    }
    // From here on an interrupt adds no line of its own.
    g_preparedIndex = -1;
    r.on = false;
    const std::size_t length = BuildLine(g_line.data(), false, exitCode);
    const int written = r.pathTooLong ? kRecordPathTooLong
                        : length > 0  ? AppendRecordLine(r.path.data(), g_line.data(), length)
                                      : kRecordWriteFailed;
    if (written != kRecordWritten && GetVerboseLevel() >= 1) {
        static constexpr const char* kWhy[] = {"",
                                               "cannot open it",
                                               "not a regular file",
                                               "a link of another user",
                                               "write failed",
                                               "a file with a second name",
                                               "locked by another program",
                                               "write failed",
                                               "path too long"};
        const char* path = r.pathTooLong ? GetPathVariable("MORVA_RECORD") : r.path.data();
        std::array<char, kPathTextSize> shown{};
        std::array<char, kEscapedPathSize> escaped{};
        Print("record %s %s: %s\n",
              written == kRecordCutShort ? "line cut short in" : "not written to",
              EscapeControlBytes(ShownPath(path, shown.data()), escaped.data(), kEscapedPathSize),
              kWhy[written > 0 && written <= kRecordPathTooLong ? written : kRecordWriteFailed]);
    }
}

void WriteInterruptedRecord() {
    const int index = g_preparedIndex;
    if (index < 0) {
        return;
    }
    g_preparedIndex = -1;
    if (g_record.pathTooLong) {
        return;
    }
    static_cast<void>(AppendRecordLine(g_record.path.data(),
                                       g_prepared[static_cast<std::size_t>(index)].data(),
                                       static_cast<std::size_t>(g_preparedLength[index])));
}

}  // namespace morva

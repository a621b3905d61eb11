#include "fake_serial.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "link/port_name.h"
#include "link/serial_port.h"

namespace fake {
namespace {
Script g_script;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
Record g_record;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
}  // namespace

void Reset() {
    g_script = Script{};
    g_record = Record{};
}

Script& Scripted() {
    return g_script;
}

const Record& Recorded() {
    return g_record;
}

void ReplyAtFirstPoll(const std::string& arriving) {
    g_script.polls.push_back(Poll{});
    g_script.polls.push_back(Poll{arriving});
}

}  // namespace fake

namespace morva {

bool NamePortDevice(int port, char* device, char* byId) {
    std::snprintf(device, kPortNameSize, "scripted port %d", port);
    byId[0] = '\0';
    return false;
}

bool NamePortAdapter(int /*port*/, char* instanceId, char* usbId, char* serial) {
    instanceId[0] = usbId[0] = serial[0] = '\0';
    return false;
}

int SerialOpen(int port, CommPort* commPort) {
    fake::g_record.lastPort = port;
    if (++fake::g_record.openCalls <= fake::g_script.busyOpens) {
        return kSerialBusy;
    }
    if (fake::g_script.openFails) {
        return 0;
    }
    ++fake::g_record.opens;
    commPort->handle = port;
    return kSerialOpened;
}

void SerialClose(CommPort* commPort) {
    ++fake::g_record.closes;
    commPort->handle = -1;
}

int SerialQueryStatus(CommPort* /*commPort*/, std::uint32_t* errorWord, std::uint32_t* waiting) {
    fake::Poll poll;
    if (!fake::g_script.polls.empty()) {
        poll = fake::g_script.polls.front();
        fake::g_script.polls.pop_front();
    }
    fake::g_record.unread += poll.arriving;
    if (poll.queryFails) {
        return 0;
    }
    *errorWord = poll.errorWord;
    *waiting = static_cast<std::uint32_t>(fake::g_record.unread.size());
    return 1;
}

int SerialRead(CommPort* /*commPort*/, char* buffer, int count, int* got) {
    const int index = fake::g_record.reads++;
    if (index == fake::g_script.readFailsAt) {
        return 0;
    }
    const auto n = std::min(static_cast<std::size_t>(count), fake::g_record.unread.size());
    std::memcpy(buffer, fake::g_record.unread.data(), n);
    fake::g_record.unread.erase(0, n);
    *got = static_cast<int>(n);
    return 1;
}

int SerialWrite(CommPort* /*commPort*/, const char* bytes, int count) {
    if (fake::g_script.writeFails) {
        return 0;
    }
    fake::g_record.written.append(bytes, static_cast<std::size_t>(count));
    return 1;
}

void SerialSleep(int /*milliseconds*/) {
    ++fake::g_record.sleeps;
}

int HoldPort(int /*port*/) {
    return 1;
}

void ReleasePortHold() {}

}  // namespace morva

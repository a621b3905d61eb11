#include "link/comm_port.h"

#include <algorithm>
#include <cstdint>

#include "common/console.h"
#include "common/verbose.h"

namespace morva {
namespace {

// A failed query is treated like a reported line error: the port cannot be trusted.
bool LineErrorOrFailedQuery(CommPort* commPort, std::uint32_t* waiting) {
    std::uint32_t errorWord = 0;
    *waiting = 0;
    if (SerialQueryStatus(commPort, &errorWord, waiting) == 0) {
        return true;
    }
    return errorWord != 0;
}

// The port that this process holds for a whole command.
bool g_holding = false;
int g_heldPort = 0;

}  // namespace

int OpenCommPort(int port, CommPort* commPort) {
    CommPort opened;
    int result = SerialOpen(port, &opened);
    const bool held = g_holding && g_heldPort == port;
    for (int retry = 0; result == kSerialBusy && held && retry < kBusyOpenRetries; ++retry) {
        SerialSleep(kBusyOpenWaitMs);
        result = SerialOpen(port, &opened);
    }
    if (result != kSerialOpened) {
        return 0;
    }
    *commPort = opened;
    return 1;
}

int HoldCommPort(int port) {
    const int taken = HoldPort(port);
    g_holding = taken == 1;
    g_heldPort = port;
    return taken;
}

void ReleaseCommPortHold() {
    ReleasePortHold();
    g_holding = false;
}

int CloseCommPort(CommPort* commPort) {
    SerialClose(commPort);
    return 0;
}

int WriteComm(CommPort* commPort, const char* bytes, int length) {
    std::uint32_t waiting = 0;
    if (LineErrorOrFailedQuery(commPort, &waiting)) {
        return kLinkLineError;
    }
    if (GetVerboseLevel() >= 1) {
        PrintHexTrace("TX", length, bytes);
    }
    if (SerialWrite(commPort, bytes, length) == 0) {
        return kLinkWriteFailed;
    }
    return 0;
}

int ReadCommString(CommPort* commPort, char* buffer, int capacity) {
    int room = capacity;
    int written = 0;
    for (int pollsLeft = kPollLimit; pollsLeft > 0; --pollsLeft) {
        SerialSleep(kPollIntervalMs);
        std::uint32_t waiting = 0;
        if (LineErrorOrFailedQuery(commPort, &waiting)) {
            return kLinkLineError;
        }
        // room stays above 0 here: a read that fills the buffer returns below.
        const int count =
            static_cast<int>(std::min<std::uint32_t>(waiting, static_cast<std::uint32_t>(room)));
        if (count == 0) {
            continue;
        }
        int got = 0;
        if (SerialRead(commPort, buffer + written, count, &got) == 0) {
            return kLinkReadFailed;
        }
        buffer[written + got] = '\0';
        // A NUL byte inside the piece ends the search early, as a C string search would.
        for (int i = written; i < written + got && buffer[i] != '\0'; ++i) {
            if (buffer[i] == '\r') {
                const int length = written + got;
                if (GetVerboseLevel() >= 1) {
                    PrintHexTrace("RX", length - 1, buffer);
                }
                return length;
            }
        }
        room -= got;
        if (room <= 0) {
            return kLinkBufferFull;
        }
        written += got;
    }
    return kLinkTimeout;
}

int ReadCommByte(CommPort* commPort, char* buffer, int capacity) {
    for (int pollsLeft = kPollLimit; pollsLeft > 0; --pollsLeft) {
        SerialSleep(kPollIntervalMs);
        std::uint32_t waiting = 0;
        if (LineErrorOrFailedQuery(commPort, &waiting)) {
            if (GetVerboseLevel() >= 3) {
                Print("ReadCommByte : ClearCommError() failure\n");
            }
            return kLinkLineError;
        }
        if (waiting == 0 || capacity <= 0) {
            continue;
        }
        int got = 0;
        if (SerialRead(commPort, buffer, 1, &got) == 0) {
            if (GetVerboseLevel() >= 3) {
                Print("ReadCommByte : ReadFile() failure\n");
            }
            return kLinkReadFailed;
        }
        buffer[got] = '\0';
        // A driver that reports bytes waiting before they are there reads none: no reply yet.
        if (got == 0) {
            continue;
        }
        return got;
    }
    return kLinkTimeout;
}

}  // namespace morva

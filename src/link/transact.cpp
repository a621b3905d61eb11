#include "link/transact.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "common/console.h"
#include "common/exit_codes.h"
#include "link/comm_port.h"
#include "record/run_record.h"

namespace morva {
namespace {

void SetReplyText(char* reply, const char* text) {
    if (reply != nullptr) {
        // Cut to the reply place by design; a reply string always fits.
        static_cast<void>(std::snprintf(reply, kReplyPlaceSize, "%s", text));
    }
}

// Room for the open failure text in its longest form, terminator included.
constexpr int kOpenFailureSize = sizeof "Cannot open COM-2147483648";

int CommandLength(const char* command) {
    return static_cast<int>(strnlen(command, kCommandTextMax));
}

}  // namespace

int TransactCommand(int port, int mode, const char* command, char* reply) {
    CommPort commPort;
    if (OpenCommPort(port, &commPort) == 0) {
        if (reply != nullptr) {
            static_cast<void>(std::snprintf(reply, kOpenFailureSize, "Cannot open COM%d", port));
        }
        return kExitPortOpen;
    }

    const int sent = WriteComm(&commPort, command, CommandLength(command));
    if (sent != 0) {
        if (mode == kReplyString) {
            SetReplyText(reply, "Cannot send command");
        }
        CloseCommPort(&commPort);
        return kExitLinkBase - sent;
    }

    std::array<char, kReplyCapacity + 1> area{};
    if (mode == kReplyString) {
        const int received = ReadCommString(&commPort, area.data(), kReplyCapacity);
        if (received < 0) {
            if (received == kLinkTimeout || received == kLinkBufferFull) {
                RecordPartialReply(area.data());
            }
            SetReplyText(reply, "Cannot receive reply string");
            CloseCommPort(&commPort);
            return kExitLinkBase - received;
        }
        SetReplyText(reply, area.data());
    } else if (mode == kReplyByte) {
        const int received = ReadCommByte(&commPort, area.data(), kReplyCapacity);
        if (received < 0) {
            Print("Cannot receive reply byte\n");
            CloseCommPort(&commPort);
            return kExitLinkBase - received;
        }
        if (reply != nullptr) {
            reply[0] = area[0];
        }
    }
    CloseCommPort(&commPort);
    return 0;
}

}  // namespace morva

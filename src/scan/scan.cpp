#include "scan/scan.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "common/console.h"
#include "common/product.h"
#include "link/transact.h"
#include "record/run_record.h"

namespace morva {
namespace {

constexpr int kFirstPort = 1;
constexpr int kLastPort = 256;
constexpr std::size_t kPortListSize = 4096;

bool NamesKnownModel(const char* reply) {
    return std::strstr(reply, "7210") != nullptr || std::strstr(reply, "7310") != nullptr;
}

}  // namespace

int ScanDevices() {
    std::array<char, kPortListSize> portList{};
    std::size_t used = 0;
    int hits = 0;
    for (int port = kFirstPort; port <= kLastPort; ++port) {
        std::array<char, kReplyPlaceSize> reply{};
        if (TransactCommand(port, kReplyString, "UTID\r", reply.data()) != 0 ||
            !NamesKnownModel(reply.data())) {
            continue;
        }
        const int length =
            std::snprintf(portList.data() + used, portList.size() - used, "COM%d\n", port);
        if (length > 0 && used + static_cast<std::size_t>(length) < portList.size()) {
            used += static_cast<std::size_t>(length);
        }
        ++hits;
        RecordFound(port);
    }
    if (hits == 0) {
        Print("No %s connected.\n", kSeriesName);
    } else {
        Print("%s\n", portList.data());
    }
    return 0;
}

}  // namespace morva

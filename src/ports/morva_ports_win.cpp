// morva-ports.exe: the COM ports of this machine, the adapter behind each and, as far as that
// can be told without opening the port, why morva would not get through it. No port is
// opened, so no line of any port moves.
#include <windows.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "link/port_hold_win.h"
#include "ports/com_list_win.h"
#include "ports/port_table.h"

namespace morva {
namespace {

// A port whose name leads to no device (a driver left its entry behind, or Wine was told of a
// device that is not there) fails every open.
bool Absent(int port) {
    std::array<char, 16> name{};
    std::array<char, 1024> target{};
    static_cast<void>(std::snprintf(name.data(), name.size(), "COM%d", port));
    return QueryDosDeviceA(name.data(), target.data(), static_cast<DWORD>(target.size())) == 0;
}

const char* Refusal(const ComPort& port) {
    if (PortHeldByAnotherMorva(port.port)) {
        return "held-by-morva";
    }
    if (Absent(port.port)) {
        return "absent";
    }
    // An open calls the paired device, which takes seconds and fails while it is away.
    return port.adapter.bluetooth ? "bluetooth" : "-";
}

void Describe(const ComPort& port, TableRow* row) {
    static_cast<void>(std::snprintf((*row)[0].data(), (*row)[0].size(), "COM%d", port.port));
    FillField(&(*row)[1], port.friendlyName.data());
    FillField(&(*row)[2], port.driver.data());
    FillField(&(*row)[3], port.adapter.usbId.data());
    FillField(&(*row)[4], port.adapter.serial.data());
    FillField(&(*row)[5], port.instanceId.data());
    FillField(&(*row)[6], Refusal(port));
}

int List() {
    static std::array<ComPort, kComListLimit> ports;
    static std::array<TableRow, kComListLimit> rows;
    const int count = ListComPorts(ports.data());
    if (count == 0) {
        static_cast<void>(std::fprintf(stderr, "morva-ports: no serial device\n"));
        return 1;
    }
    for (int i = 0; i < count; ++i) {
        rows[i] = TableRow{};
        Describe(ports[i], &rows[i]);
    }
    PrintTable({"COM", "NAME", "DRIVER", "USB-ID", "SERIAL", "INSTANCE", "REFUSED"}, rows.data(),
               count);
    return 0;
}

}  // namespace
}  // namespace morva

int main(int argc, char** argv) {
    if (argc == 1) {
        return morva::List();
    }
    const bool help =
        argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
                      std::strcmp(argv[1], "/?") == 0);
    static_cast<void>(
        std::fprintf(help ? stdout : stderr, "Usage: morva-ports    list the COM ports\n"));
    return help ? 0 : 2;
}

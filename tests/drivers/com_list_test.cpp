// The COM port list over device trees as real machines show them (the IDs as Device Manager,
// the adapters' documentation and issue reports of serial tools quote them), through the fake
// SetupAPI of setupapi_fake.h: what morva-ports.exe lists and what the run record names.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/platform.h"
#include "front/front.h"
#include "link/port_name.h"
#include "ports/com_list_win.h"
#include "setupapi_fake.h"

namespace {

using setupapifake::Device;
using setupapifake::Tree;

struct TreeCase {
    const char* name;
    Tree tree;
    // One line per port: COM|friendly name|driver|USB-ID|serial|instance ID|bluetooth.
    std::vector<std::string> listed;
    // The run record's adapter of the first port: "instance ID|USB-ID|serial"; "": null.
    std::string recorded;
};

void PrintTo(const TreeCase& c, std::ostream* os) {
    *os << c.name;
}

std::string Line(const morva::ComPort& port) {
    auto shown = [](const char* text) { return std::string(text[0] != '\0' ? text : "-"); };
    return "COM" + std::to_string(port.port) + "|" + shown(port.friendlyName.data()) + "|" +
           shown(port.driver.data()) + "|" + shown(port.adapter.usbId.data()) + "|" +
           shown(port.adapter.serial.data()) + "|" + shown(port.instanceId.data()) +
           (port.adapter.bluetooth ? "|bluetooth" : "|-");
}

class ComList : public ::testing::TestWithParam<TreeCase> {};

TEST_P(ComList, ListsEachPortOnceWithItsAdapter) {
    const TreeCase& c = GetParam();
    setupapifake::Use(c.tree);
    static std::array<morva::ComPort, morva::kComListLimit> ports;
    const int count = morva::ListComPorts(ports.data());
    std::vector<std::string> listed;
    for (int i = 0; i < count; ++i) {
        listed.push_back(Line(ports[i]));
        std::printf("%s: %s\n", c.name, listed.back().c_str());
    }
    EXPECT_EQ(listed, c.listed);
    ASSERT_FALSE(c.listed.empty());
    const int first = std::stoi(c.listed[0].substr(3));
    std::array<char, morva::kAdapterTextSize> id{};
    std::array<char, morva::kAdapterTextSize> usb{};
    std::array<char, morva::kAdapterTextSize> serial{};
    const bool named = morva::NamePortAdapter(first, id.data(), usb.data(), serial.data());
    EXPECT_EQ(named ? std::string(id.data()) + "|" + usb.data() + "|" + serial.data() : "",
              c.recorded);
}

// Device() with the fields in the order of the struct.
Device Port(const char* id, int parent, const char* friendly, const char* service,
            const char* port) {
    return Device{id, parent, friendly, service, port, true, true};
}
Device Node(const char* id, const char* service) {
    return Device{id, -1, "", service, "", false, false};
}

const Device kFtdiChip = Node("USB\\VID_0403&PID_6001\\A50285BI", "FTDIBUS");
const Device kFtdiPort = Port("FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", 0,
                              "USB Serial Port (COM3)", "FTSER2K", "COM3");
const Device kCp210x = Port("USB\\VID_10C4&PID_EA60\\0001", -1,
                            "Silicon Labs CP210x USB to UART Bridge (COM4)", "silabser", "COM4");
const Device kPciUart =
    Port("ACPI\\PNP0501\\1", -1, "Communications Port (COM1)", "Serial", "COM1");

const TreeCase kTrees[] = {
    // FTDI: the port is a child of FTDI's bus, whose ID carries the channel letter A after the
    // chip's serial; the chip's own USB node has the serial as it is.
    {"FtdiFt232r",
     {{kFtdiChip, kFtdiPort}, {{"\\Device\\VCP0", "COM3"}}},
     {"COM3|USB Serial Port (COM3)|FTSER2K|0403:6001|A50285BI|"
      "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000|-"},
     "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000|0403:6001|A50285BI"},
    // The same without its parent in the tree: the channel letter is taken off.
    {"FtdiWithoutParent",
     {{Device{kFtdiPort.instanceId, -1, kFtdiPort.friendlyName, "FTSER2K", "COM3", true, true}},
      {}},
     {"COM3|USB Serial Port (COM3)|FTSER2K|0403:6001|A50285BI|"
      "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000|-"},
     "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000|0403:6001|A50285BI"},
    {"Cp210x",
     {{kCp210x}, {{"\\Device\\Silabser0", "COM4"}}},
     {"COM4|Silicon Labs CP210x USB to UART Bridge (COM4)|silabser|10C4:EA60|0001|"
      "USB\\VID_10C4&PID_EA60\\0001|-"},
     "USB\\VID_10C4&PID_EA60\\0001|10C4:EA60|0001"},
    // CH340 and PL2303 have no serial: Windows makes up the instance's last part.
    {"Ch340",
     {{Port("USB\\VID_1A86&PID_7523\\5&2B8C1A3E&0&3", -1, "USB-SERIAL CH340 (COM5)", "CH341SER_A64",
            "COM5")},
      {{"\\Device\\Serial2", "COM5"}}},
     {"COM5|USB-SERIAL CH340 (COM5)|CH341SER_A64|1A86:7523|-|"
      "USB\\VID_1A86&PID_7523\\5&2B8C1A3E&0&3|-"},
     "USB\\VID_1A86&PID_7523\\5&2B8C1A3E&0&3|1A86:7523|"},
    {"Pl2303",
     {{Port("USB\\VID_067B&PID_2303\\6&1E83A12F&0&2", -1, "Prolific USB-to-Serial Comm Port (COM6)",
            "Ser2pl", "COM6")},
      {{"\\Device\\ProlificSerial0", "COM6"}}},
     {"COM6|Prolific USB-to-Serial Comm Port (COM6)|Ser2pl|067B:2303|-|"
      "USB\\VID_067B&PID_2303\\6&1E83A12F&0&2|-"},
     "USB\\VID_067B&PID_2303\\6&1E83A12F&0&2|067B:2303|"},
    {"CdcAcmOnUsbser",
     {{Port("USB\\VID_2341&PID_0043\\75833353934351E0C1F1", -1, "Arduino Uno (COM7)", "usbser",
            "COM7")},
      {{"\\Device\\USBSER000", "COM7"}}},
     {"COM7|Arduino Uno (COM7)|usbser|2341:0043|75833353934351E0C1F1|"
      "USB\\VID_2341&PID_0043\\75833353934351E0C1F1|-"},
     "USB\\VID_2341&PID_0043\\75833353934351E0C1F1|2341:0043|75833353934351E0C1F1"},
    // A composite device: the port is its interface 00, the serial sits on the parent.
    {"CompositeSerialOnParent",
     {{Node("USB\\VID_2E8A&PID_000A\\E660583883724A2A", "usbccgp"),
       Port("USB\\VID_2E8A&PID_000A&MI_00\\7&2A6D3B1E&0&0000", 0, "USB Serial Device (COM8)",
            "usbser", "COM8")},
      {{"\\Device\\USBSER001", "COM8"}}},
     {"COM8|USB Serial Device (COM8)|usbser|2E8A:000A|E660583883724A2A|"
      "USB\\VID_2E8A&PID_000A&MI_00\\7&2A6D3B1E&0&0000|-"},
     "USB\\VID_2E8A&PID_000A&MI_00\\7&2A6D3B1E&0&0000|2E8A:000A|E660583883724A2A"},
    {"BluetoothSpp",
     {{Port("BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0000\\7&1D80A2B4&0&"
            "000000000000_00000000",
            -1, "Standard Serial over Bluetooth link (COM9)", "BTHMODEM", "COM9")},
      {{"\\Device\\BthModem0", "COM9"}}},
     {"COM9|Standard Serial over Bluetooth link (COM9)|BTHMODEM|-|-|"
      "BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0000\\7&1D80A2B4&0&"
      "000000000000_00000000|bluetooth"},
     ""},
    // A UART of the board: no adapter, a null in the record.
    {"PciUart",
     {{kPciUart}, {{"\\Device\\Serial0", "COM1"}}},
     {"COM1|Communications Port (COM1)|Serial|-|-|ACPI\\PNP0501\\1|-"},
     ""},
    // A virtual null-modem pair: in SERIALCOMM only, under its own driver's kernel names.
    {"VirtualNullModemPair",
     {{}, {{"\\Device\\com0com10", "COM10"}, {"\\Device\\com0com20", "COM11"}}},
     {"COM10|-|\\Device\\com0com10|-|-|-|-", "COM11|-|\\Device\\com0com20|-|-|-|-"},
     ""},
    // A station: every port once, in COM order, though each is in the Ports class, has the
    // interface and is in SERIALCOMM; a PortName outside COM1 to COM256 is left out.
    {"StationInComOrder",
     {{kCp210x, kFtdiChip, kPciUart,
       Port("USB\\VID_0403&PID_6015\\DN01ABCD", -1, "USB Serial Port (COM300)", "FTSER2K",
            "COM300"),
       Device{kFtdiPort.instanceId, 1, kFtdiPort.friendlyName, "FTSER2K", "COM3", true, true}},
      {{"\\Device\\Serial0", "COM1"},
       {"\\Device\\VCP0", "COM3"},
       {"\\Device\\Silabser0", "COM4"},
       {"\\Device\\Serial1", "LPT1"}}},
     {"COM1|Communications Port (COM1)|Serial|-|-|ACPI\\PNP0501\\1|-",
      "COM3|USB Serial Port (COM3)|FTSER2K|0403:6001|A50285BI|"
      "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000|-",
      "COM4|Silicon Labs CP210x USB to UART Bridge (COM4)|silabser|10C4:EA60|0001|"
      "USB\\VID_10C4&PID_EA60\\0001|-"},
     ""},
};

INSTANTIATE_TEST_SUITE_P(RecordedTrees, ComList, ::testing::ValuesIn(kTrees),
                         [](const auto& info) { return std::string(info.param.name); });

// A whole run of morva through the FTDI adapter's COM3 (which does not open here): its record
// line names the adapter.
TEST(ComListRecord, RunRecordNamesTheAdapter) {
    const Tree tree = kTrees[0].tree;
    setupapifake::Use(tree);
    const std::string record = std::string(std::getenv("TEMP")) + "\\com_list_record.jsonl";
    std::remove(record.c_str());
    _putenv_s("MORVA_RECORD", record.c_str());
    const char* argv[] = {"morva.exe", "-c", "3", "UTID", nullptr};
    morva::BeginRun();
    EXPECT_EQ(morva::RunFront(4, argv), 3);
    morva::EndRun();
    _putenv_s("MORVA_RECORD", "");
    std::ifstream in(record);
    std::stringstream text;
    text << in.rdbuf();
    std::printf("record: %s", text.str().c_str());
    EXPECT_NE(text.str().find(R"("by_id":null,"adapter":{"instance_id":)"
                              R"("FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000",)"
                              R"("usb_id":"0403:6001","serial":"A50285BI"},"exit":3,)"),
              std::string::npos);
    std::remove(record.c_str());
}

}  // namespace

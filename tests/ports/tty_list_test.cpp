// The port list's reading of sysfs, against a made-up tree laid out as Linux lays out /sys.
#include <gtest/gtest.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <string>
#include <vector>

#include "ports/tty_list_posix.h"
#include "scratch_folder.h"

namespace {

class TtyList : public ::testing::Test {
  protected:
    // class/tty/<name> with its `dev`, `type` (when given) and `device` link to devices/<device>
    // ("" for a tty without hardware).
    void AddTty(const std::string& name, const std::string& dev, const std::string& device,
                const std::string& type = "") {
        sys_.Write("class/tty/" + name + "/dev", dev + "\n");
        if (!type.empty()) {
            sys_.Write("class/tty/" + name + "/type", type + "\n");
        }
        if (!device.empty()) {
            sys_.MakeFolder("devices/" + device);
            Link("class/tty/" + name + "/device", sys_.Path("devices/" + device));
        }
    }
    void Link(const std::string& name, const std::string& target) {
        ASSERT_EQ(symlink(target.c_str(), sys_.Path(name).c_str()), 0) << name;
    }
    void Driver(const std::string& device, const std::string& bus, const std::string& driver) {
        Link("devices/" + device + "/driver", sys_.MakeFolder("bus/" + bus + "/drivers/" + driver));
    }

    morva::test::ScratchFolder sys_;
};

TEST_F(TtyList, SerialDevicesWithDriversAndUsbIds) {
    const std::string ftdi = "pci0000:00/usb1/1-1";
    AddTty("ttyUSB0", "188:0", ftdi + "/1-1:1.0/ttyUSB0");
    Driver(ftdi + "/1-1:1.0/ttyUSB0", "usb-serial", "ftdi_sio");
    Driver(ftdi + "/1-1:1.0", "usb", "ftdi_sio");
    sys_.Write("devices/" + ftdi + "/idVendor", "0403\n");
    sys_.Write("devices/" + ftdi + "/idProduct", "6001\n");
    sys_.Write("devices/" + ftdi + "/serial", "FT 12\n");
    const std::string acm = "pci0000:00/usb1/1-2";
    AddTty("ttyACM0", "166:0", acm + "/1-2:1.0");
    Driver(acm + "/1-2:1.0", "usb", "cdc_acm");
    sys_.Write("devices/" + acm + "/idVendor", "1d6b\n");
    sys_.Write("devices/" + acm + "/idProduct", "0104\n");
    // Since Linux 6.5 a UART's device is a port of the serial core, below the real one.
    AddTty("ttyS0", "4:64", "pnp0/00:00/00:00:0/00:00:0.0", "4");
    Driver("pnp0/00:00/00:00:0/00:00:0.0", "serial-base", "port");
    Driver("pnp0/00:00/00:00:0", "serial-base", "ctrl");
    Driver("pnp0/00:00", "pnp", "serial");
    AddTty("ttyS10", "4:74", "platform/serial8250/tty10", "4");
    Driver("platform/serial8250", "platform", "serial8250");
    // Left out: a placeholder without a UART, virtual consoles, the ttys of no device.
    AddTty("ttyS1", "4:65", "platform/serial8250/tty1", "0");
    AddTty("tty1", "4:1", "");
    AddTty("tty63", "4:63", "platform/vc");
    AddTty("console", "5:1", "");
    AddTty("ptmx", "5:2", "");

    std::array<morva::SerialTty, 8> ttys{};
    int leftOut = -1;
    ASSERT_EQ(morva::ListSerialTtys(sys_.Folder().c_str(), ttys.data(), ttys.size(), &leftOut), 4);
    EXPECT_EQ(leftOut, 0);
    struct Want {
        const char* name;
        dev_t device;
        const char* driver;
        const char* usbId;
        const char* serial;
    };
    const std::vector<Want> want = {{"ttyACM0", makedev(166, 0), "cdc_acm", "1d6b:0104", ""},
                                    {"ttyS0", makedev(4, 64), "serial", "", ""},
                                    {"ttyS10", makedev(4, 74), "serial8250", "", ""},
                                    {"ttyUSB0", makedev(188, 0), "ftdi_sio", "0403:6001", "FT_12"}};
    for (std::size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(want[i].name);
        EXPECT_STREQ(ttys[i].name.data(), want[i].name);
        EXPECT_EQ(ttys[i].device, want[i].device);
        EXPECT_STREQ(ttys[i].driver.data(), want[i].driver);
        EXPECT_STREQ(ttys[i].usbId.data(), want[i].usbId);
        EXPECT_STREQ(ttys[i].serial.data(), want[i].serial);
    }
    // No more than the room given, and the rest counted.
    EXPECT_EQ(morva::ListSerialTtys(sys_.Folder().c_str(), ttys.data(), 2, &leftOut), 2);
    EXPECT_EQ(leftOut, 2);
    EXPECT_EQ(morva::ListSerialTtys(sys_.Path("none").c_str(), ttys.data(), ttys.size(), &leftOut),
              -1);
}

TEST_F(TtyList, ByIdLinkOfATty) {
    const std::string byId = sys_.MakeFolder("serial/by-id");
    Link("serial/by-id/usb-FTDI_FT232R_FT12-if00-port0", "../../ttyUSB0");
    Link("serial/by-id/usb-Other_Device_9-if00", "../../ttyUSB10");
    std::array<char, 256> link{};
    ASSERT_TRUE(morva::FindByIdLink(byId.c_str(), "ttyUSB0", link.data(), link.size()));
    EXPECT_EQ(std::string(link.data()), byId + "/usb-FTDI_FT232R_FT12-if00-port0");
    EXPECT_FALSE(morva::FindByIdLink(byId.c_str(), "ttyUSB1", link.data(), link.size()));
    EXPECT_FALSE(morva::FindByIdLink(byId.c_str(), "ttyUSB0", link.data(), 16)) << "no room";
}

}  // namespace

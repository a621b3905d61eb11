// The device on a real pseudo-terminal, driven through morva's own serial link: the open, lock
// and line settings, the write and the polled receive that the Linux build uses.
#include "device.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "escape.h"
#include "link/comm_port.h"
#include "link/transact.h"

namespace tarvexsim {
namespace {

const char kS0[] = "S00F000068656C6C6F202020202000003C\r";
const char kS1[] = "S1130000285F245F2212226A000424290008237C2A\r";
const char kS9[] = "S9030000FC\r";

enum class ReadResult { kOk, kTimeout, kOverflow, kError };

// One port of morva's link, closed at the end of its scope. The device folder is found through
// MORVA_PORTS, which the fixture sets.
class LinkPort {
  public:
    LinkPort() = default;
    ~LinkPort() { Close(); }
    LinkPort(const LinkPort&) = delete;
    LinkPort& operator=(const LinkPort&) = delete;

    bool Open(int port) {
        open_ = morva::OpenCommPort(port, &port_) == 1;
        return open_;
    }

    bool Write(const std::string& bytes) {
        return morva::WriteComm(&port_, bytes.data(), static_cast<int>(bytes.size())) == 0;
    }

    // A reply string as the exchange receives it; after a failure *reply holds what came.
    ReadResult ReadString(std::string* reply) {
        std::array<char, morva::kReplyPlaceSize> area{};
        const int received = morva::ReadCommString(&port_, area.data(), morva::kReplyCapacity);
        if (received >= 0) {
            reply->assign(area.data(), static_cast<std::size_t>(received));
            return ReadResult::kOk;
        }
        reply->assign(area.data());
        switch (received) {
            case morva::kLinkTimeout:
                return ReadResult::kTimeout;
            case morva::kLinkBufferFull:
                return ReadResult::kOverflow;
            default:
                return ReadResult::kError;
        }
    }

    // One reply byte, or -1 when none came.
    int ReadByte() {
        std::array<char, 2> area{};
        return morva::ReadCommByte(&port_, area.data(), 1) == 1
                   ? static_cast<unsigned char>(area[0])
                   : -1;
    }

    // The size of every read that brings a piece of the reply, polled at the exchange's pace,
    // up to the read that holds a CR: the exchange itself shows only the whole reply.
    std::vector<std::size_t> ReadPieces(std::string* reply) {
        std::vector<std::size_t> sizes;
        reply->clear();
        for (int poll = 0; poll < morva::kPollLimit; ++poll) {
            morva::SerialSleep(morva::kPollIntervalMs);
            std::uint32_t errorWord = 0;
            std::uint32_t waiting = 0;
            std::array<char, morva::kReplyCapacity> piece{};
            int got = 0;
            if (morva::SerialQueryStatus(&port_, &errorWord, &waiting) == 0 ||
                morva::SerialRead(&port_, piece.data(),
                                  static_cast<int>(std::min<std::size_t>(waiting, piece.size())),
                                  &got) == 0) {
                ADD_FAILURE() << "the port failed";
                break;
            }
            if (got == 0)
                continue;
            reply->append(piece.data(), static_cast<std::size_t>(got));
            sizes.push_back(static_cast<std::size_t>(got));
            if (std::memchr(piece.data(), '\r', static_cast<std::size_t>(got)) != nullptr)
                break;
        }
        return sizes;
    }

    void Close() {
        if (open_) {
            morva::CloseCommPort(&port_);
        }
        open_ = false;
    }

  private:
    morva::CommPort port_;
    bool open_ = false;
};

struct Exchanged {
    bool opened = false;
    ReadResult result = ReadResult::kError;
    std::string reply;
    std::vector<std::size_t> reads;  // Receive::kPieces: the size of every read
};

enum class Receive {
    kReply,   // as the exchange receives a reply string
    kPieces,  // read by read as it arrives, for bytes the exchange does not take whole
};

Exchanged ExchangeString(int port, const std::string& command, Receive receive = Receive::kReply) {
    Exchanged e;
    LinkPort link;
    e.opened = link.Open(port);
    if (!e.opened)
        return e;
    EXPECT_TRUE(link.Write(command));
    if (receive == Receive::kPieces) {
        e.reads = link.ReadPieces(&e.reply);
    } else {
        e.result = link.ReadString(&e.reply);
    }
    return e;
}

// The reply byte, -1 for none, -2 when the port did not open.
int ExchangeByte(int port, const std::string& command) {
    LinkPort link;
    if (!link.Open(port))
        return -2;
    EXPECT_TRUE(link.Write(command));
    return link.ReadByte();
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

class DeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/tarvex-sim-XXXXXX";
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        dir_ = pattern;
        const char* ports = std::getenv("MORVA_PORTS");
        if (ports != nullptr)
            saved_ports_ = ports;
        setenv("MORVA_PORTS", dir_.c_str(), 1);
    }

    void TearDown() override {
        devices_.clear();
        if (saved_ports_) {
            setenv("MORVA_PORTS", saved_ports_->c_str(), 1);
        } else {
            unsetenv("MORVA_PORTS");
        }
        const std::string cmd = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }

    Device& Start(int port, const Options& options = Options()) {
        devices_.push_back(std::make_unique<Device>(dir_, port, options));
        std::string error;
        EXPECT_TRUE(devices_.back()->Start(&error)) << error;
        return *devices_.back();
    }

    std::string Link(int port) const { return dir_ + "/com" + std::to_string(port); }

    std::string dir_;
    std::optional<std::string> saved_ports_;
    std::vector<std::unique_ptr<Device>> devices_;
};

// ---- Reply strings through the pty ----

struct WireCase {
    const char* name;
    std::function<void(Options*)> setup;
    std::string command;
    ReadResult result;
    std::string reply;
};

void PrintTo(const WireCase& c, std::ostream* os) {
    *os << c.name;
}

class DeviceReplyTest : public DeviceTest, public ::testing::WithParamInterface<WireCase> {};

TEST_P(DeviceReplyTest, Replies) {
    const WireCase& c = GetParam();
    Options options;
    if (c.setup)
        c.setup(&options);
    Start(3, options);
    const Exchanged e = ExchangeString(3, c.command);
    ASSERT_TRUE(e.opened);
    EXPECT_EQ(static_cast<int>(e.result), static_cast<int>(c.result));
    EXPECT_EQ(e.reply, c.reply);
}

INSTANTIATE_TEST_SUITE_P(
    Wire, DeviceReplyTest,
    ::testing::Values(
        WireCase{"Identity", nullptr, "UTID\r", ReadResult::kOk, "TARVEX-7310 V2.10\r"},
        WireCase{"Table", nullptr, "STAT\r", ReadResult::kOk, "0\r"},
        WireCase{"Unknown", nullptr, "HELLO\r", ReadResult::kOk, "1\r"},
        WireCase{"Identity255", [](Options* o) { o->identity = std::string(255, 'I'); }, "UTID\r",
                 ReadResult::kOk, std::string(255, 'I') + "\r"},
        WireCase{"BytesAfterCr", [](Options* o) { o->replies["VERS"] = "OK\rX"; }, "VERS\r",
                 ReadResult::kOk, "OK\rX"},
        WireCase{"NoCr256", [](Options* o) { o->replies["UTID"] = std::string(256, 'N'); },
                 "UTID\r", ReadResult::kOverflow, std::string(256, 'N')},
        WireCase{"Trickle",
                 [](Options* o) {
                     o->trickle_ms = 5;
                     o->identity = "T7310";
                 },
                 "UTID\r", ReadResult::kOk, "T7310\r"},
        WireCase{"WirePace", [](Options* o) { o->wire_pace = true; }, "UTID\r", ReadResult::kOk,
                 "TARVEX-7310 V2.10\r"},
        WireCase{"WireTime", [](Options* o) { o->wire_time = true; }, "UTID\r", ReadResult::kOk,
                 "TARVEX-7310 V2.10\r"}),
    [](const ::testing::TestParamInfo<WireCase>& info) { return info.param.name; });

TEST_F(DeviceTest, SplitReplyArrivesInTwoReads) {
    Options options;
    options.split = true;
    options.split_ms = 80;
    Start(3, options);
    const Exchanged e = ExchangeString(3, "UTID\r", Receive::kPieces);
    EXPECT_EQ(e.reply, "TARVEX-7310 V2.10\r");
    EXPECT_EQ(e.reads, (std::vector<std::size_t>{9, 9}));
}

TEST_F(DeviceTest, NulAndHighBytesArriveAsGiven) {
    Options options;
    options.replies["VERS"] = std::string("\0\x80\xFF\n\r", 5);
    Start(3, options);
    EXPECT_EQ(ExchangeString(3, "VERS\r", Receive::kPieces).reply,
              std::string("\0\x80\xFF\n\r", 5));
}

TEST_F(DeviceTest, TrickleArrivesInPieces) {
    Options options;
    options.trickle_ms = 15;
    options.identity = "ID 7310";
    Start(3, options);
    const Exchanged e = ExchangeString(3, "UTID\r", Receive::kPieces);
    EXPECT_EQ(e.reply, "ID 7310\r");
    EXPECT_GT(e.reads.size(), 1u);
    EXPECT_EQ(std::accumulate(e.reads.begin(), e.reads.end(), std::size_t{0}), 8u);
}

TEST_F(DeviceTest, TrickleForeverNeverSendsCr) {
    Options options;
    options.trickle_forever = true;
    options.trickle_ms = 20;  // well under 256 bytes in the exchange's 2 s
    Start(3, options);
    const Exchanged e = ExchangeString(3, "UTID\r");
    EXPECT_EQ(e.result, ReadResult::kTimeout);
    EXPECT_FALSE(e.reply.empty());
    EXPECT_EQ(e.reply, std::string(e.reply.size(), '#'));
}

TEST_F(DeviceTest, FloodOverflowsThenNextExchangeIsClean) {
    Options options;
    options.flood = true;
    options.fill = 'F';
    Device& device = Start(3, options);
    const Exchanged flood = ExchangeString(3, "UTID\r");
    EXPECT_EQ(flood.result, ReadResult::kOverflow);
    EXPECT_EQ(flood.reply, std::string(256, 'F'));

    device.SetOptions(Options());
    const Exchanged clean = ExchangeString(3, "UTID\r");
    EXPECT_EQ(clean.result, ReadResult::kOk);
    EXPECT_EQ(clean.reply, "TARVEX-7310 V2.10\r");
}

TEST_F(DeviceTest, UnreadBytesDoNotReachNextExchange) {
    Options options;
    options.replies["UPDT Test"] = "\x11\x11\x11";
    Start(3, options);
    EXPECT_EQ(ExchangeByte(3, "UPDT Test\r"), 0x11);
    const Exchanged e = ExchangeString(3, "UTID\r");
    EXPECT_EQ(e.result, ReadResult::kOk);
    EXPECT_EQ(e.reply, "TARVEX-7310 V2.10\r");
}

TEST_F(DeviceTest, UnreadReplyIsDroppedWhenThePortCloses) {
    Options options;
    options.replies["UPDT Test"] = "\x11\x22\x22";
    Start(3, options);
    EXPECT_EQ(ExchangeByte(3, "UPDT Test\r"), 0x11);
    usleep(100000);  // the close reaches the device
    const int fd = open(Link(3).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    int waiting = -1;
    EXPECT_EQ(ioctl(fd, FIONREAD, &waiting), 0);
    EXPECT_EQ(waiting, 0);
    close(fd);
}

TEST_F(DeviceTest, SilentDeviceAnswersNothing) {
    Options options;
    options.silent = true;
    Device& device = Start(3, options);
    const Exchanged e = ExchangeString(3, "UTID\r");
    EXPECT_EQ(e.result, ReadResult::kTimeout);
    EXPECT_EQ(e.reply, "");
    EXPECT_EQ(device.Commands(), std::vector<std::string>{"UTID\r"});
}

// ---- Firmware handshake through the pty ----

struct WireScript {
    const char* name;
    std::function<void(Options*)> setup;
    std::vector<std::pair<std::string, int>> steps;  // command, reply byte or -1 for none
};

void PrintTo(const WireScript& c, std::ostream* os) {
    *os << c.name;
}

class DeviceHandshakeTest : public DeviceTest, public ::testing::WithParamInterface<WireScript> {};

TEST_P(DeviceHandshakeTest, ExchangesBytes) {
    Options options;
    if (GetParam().setup)
        GetParam().setup(&options);
    Device& device = Start(3, options);
    std::vector<std::string> sent;
    for (const auto& step : GetParam().steps) {
        SCOPED_TRACE(Escape(step.first));
        EXPECT_EQ(ExchangeByte(3, step.first), step.second);
        sent.push_back(step.first);
    }
    EXPECT_EQ(device.Commands(), sent);
}

INSTANTIATE_TEST_SUITE_P(
    Wire, DeviceHandshakeTest,
    ::testing::Values(
        WireScript{"Pass",
                   nullptr,
                   {{"UPDT Test\r", 0x11},
                    {kS0, 0x11},
                    {kS1, 0x11},
                    {kS9, 0x10},
                    {"UPDT Flash\r", 0x11},
                    {kS0, 0x11},
                    {kS1, 0x11},
                    {kS9, 0x10}}},
        WireScript{"Refuse", [](Options* o) { o->open_reply = kReject; }, {{"UPDT Test\r", 0x31}}},
        WireScript{"Resends",
                   [](Options* o) { o->resends[1] = 2; },
                   {{"UPDT Test\r", 0x11}, {kS0, 0x22}, {kS0, 0x22}, {kS0, 0x11}, {kS9, 0x10}}},
        WireScript{"ReplyAt",
                   [](Options* o) { o->reply_at[2] = 0x80; },
                   {{"UPDT Test\r", 0x11}, {kS0, 0x11}, {kS1, 0x80}}},
        WireScript{"SilentAfter",
                   [](Options* o) { o->silent_after = 1; },
                   {{"UPDT Test\r", 0x11}, {kS0, 0x11}, {kS1, -1}}}),
    [](const ::testing::TestParamInfo<WireScript>& info) { return info.param.name; });

TEST_F(DeviceTest, VanishRemovesLinkAndPort) {
    Options options;
    options.vanish_after = 2;
    Device& device = Start(3, options);
    EXPECT_EQ(ExchangeByte(3, "UPDT Test\r"), 0x11);
    EXPECT_EQ(ExchangeByte(3, kS0), 0x11);
    EXPECT_TRUE(Exists(Link(3)));
    EXPECT_EQ(ExchangeByte(3, kS1), 0x11);  // answered, then gone
    EXPECT_FALSE(Exists(Link(3)));
    EXPECT_EQ(ExchangeByte(3, kS9), -2);
    for (int i = 0; i < 500 && !device.vanished(); ++i)
        usleep(10000);
    EXPECT_TRUE(device.vanished());
    EXPECT_EQ(device.Commands(), (std::vector<std::string>{"UPDT Test\r", kS0, kS1}));
}

// ---- Port handling ----

TEST_F(DeviceTest, ReopensManyTimesInARow) {
    Device& device = Start(3);
    for (int i = 0; i < 50; ++i) {
        SCOPED_TRACE("cycle " + std::to_string(i));
        const std::string command = i % 2 ? "UTID\r" : "STAT\r";
        const Exchanged e = ExchangeString(3, command);
        ASSERT_TRUE(e.opened);
        ASSERT_EQ(e.result, ReadResult::kOk);
        EXPECT_EQ(e.reply, i % 2 ? "TARVEX-7310 V2.10\r" : "0\r");
    }
    EXPECT_EQ(device.Commands().size(), 50u);
}

TEST_F(DeviceTest, SlaveIsRawBeforeAnyoneSetsIt) {
    Start(3);
    const int fd = open(Link(3).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios tio{};
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    EXPECT_EQ(tio.c_lflag & (ECHO | ICANON | ISIG), 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | INLCR | IGNCR | IXON), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    close(fd);
}

TEST_F(DeviceTest, SecondOpenFailsWhileHeld) {
    Start(3);
    LinkPort first;
    ASSERT_TRUE(first.Open(3));
    LinkPort second;
    EXPECT_FALSE(second.Open(3));
    first.Close();
    EXPECT_TRUE(second.Open(3));
}

TEST_F(DeviceTest, CommandsKeepExactBytes) {
    Device& device = Start(3);
    LinkPort port;
    ASSERT_TRUE(port.Open(3));
    // One command in two writes, then two commands in one write.
    EXPECT_TRUE(port.Write("UT"));
    usleep(20000);
    EXPECT_TRUE(port.Write("ID\r"));
    std::string reply;
    EXPECT_EQ(port.ReadString(&reply), ReadResult::kOk);
    EXPECT_TRUE(port.Write(std::string("A\x01\x80\rB \r", 7)));
    EXPECT_EQ(port.ReadString(&reply), ReadResult::kOk);
    port.Close();
    EXPECT_EQ(device.Commands(),
              (std::vector<std::string>{"UTID\r", std::string("A\x01\x80\r", 4), "B \r"}));
    device.ClearCommands();
    EXPECT_TRUE(device.Commands().empty());
}

TEST_F(DeviceTest, TwoDevicesAtOnce) {
    Options twelve;
    twelve.identity = "TARVEX-7210";
    Device& a = Start(3);
    Device& b = Start(12, twelve);
    EXPECT_NE(a.slave_path(), b.slave_path());
    EXPECT_EQ(ExchangeString(12, "UTID\r").reply, "TARVEX-7210\r");
    EXPECT_EQ(ExchangeString(3, "UTID\r").reply, "TARVEX-7310 V2.10\r");
    EXPECT_EQ(a.Commands().size(), 1u);
    EXPECT_EQ(b.Commands().size(), 1u);
    a.Stop();
    b.Stop();
    EXPECT_FALSE(Exists(Link(3)));
    EXPECT_FALSE(Exists(Link(12)));
}

TEST_F(DeviceTest, ReplacesStaleLinkAndRemovesItOnStop) {
    ASSERT_EQ(symlink("/dev/nonexistent-tty", Link(3).c_str()), 0);
    Device& device = Start(3);
    char target[PATH_MAX] = {};
    ASSERT_GT(readlink(Link(3).c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(device.slave_path(), target);
    EXPECT_EQ(ExchangeString(3, "UTID\r").result, ReadResult::kOk);
    device.Stop();
    EXPECT_FALSE(Exists(Link(3)));
}

TEST_F(DeviceTest, SecondDeviceForAServedPortIsRefused) {
    Device& first = Start(3);
    Device second(dir_, 3);
    std::string error;
    EXPECT_FALSE(second.Start(&error));
    EXPECT_NE(error.find("already served"), std::string::npos) << error;
    char target[PATH_MAX] = {};
    ASSERT_GT(readlink(Link(3).c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(first.slave_path(), target);
    EXPECT_EQ(ExchangeString(3, "UTID\r").reply, "TARVEX-7310 V2.10\r");
}

// The slave of a device's pty stands in for a serial port that another device serves.
TEST_F(DeviceTest, SerialPortIsHeldAgainstOtherPrograms) {
    Start(3);
    std::string error;
    {
        LinkPort morva;
        ASSERT_TRUE(morva.Open(3));
        Device refused("", 0);
        EXPECT_FALSE(refused.StartOnSerial(Link(3), &error));
        EXPECT_EQ(error, "the port is held by another program");
    }
    Device serving("", 0);
    ASSERT_TRUE(serving.StartOnSerial(Link(3), &error)) << error;
    LinkPort morva;
    EXPECT_FALSE(morva.Open(3));
    serving.Stop();
    EXPECT_TRUE(morva.Open(3));
}

TEST_F(DeviceTest, StopLeavesForeignLinkAlone) {
    Device& device = Start(3);
    ASSERT_EQ(unlink(Link(3).c_str()), 0);
    ASSERT_EQ(symlink("/dev/null", Link(3).c_str()), 0);
    device.Stop();
    EXPECT_TRUE(Exists(Link(3)));
}

TEST_F(DeviceTest, StartFailsWithoutFolder) {
    Device device(dir_ + "/missing", 3);
    std::string error;
    EXPECT_FALSE(device.Start(&error));
    EXPECT_NE(error.find("missing"), std::string::npos) << error;
}

TEST_F(DeviceTest, OptionsChangeWhileServing) {
    Device& device = Start(3);
    EXPECT_EQ(ExchangeString(3, "VERS\r").reply, "V2.10\r");
    Options options;
    options.replies["VERS"] = "V9.99\r";
    device.SetOptions(options);
    EXPECT_EQ(ExchangeString(3, "VERS\r").reply, "V9.99\r");
    EXPECT_EQ(device.options().replies.at("VERS"), "V9.99\r");
}

TEST_F(DeviceTest, LoggerSeesCommandAndReply) {
    std::vector<std::string> lines;
    std::mutex mu;
    auto device = std::make_unique<Device>(dir_, 5);
    device->SetLogger([&](const std::string& line) {
        std::lock_guard<std::mutex> lock(mu);
        lines.push_back(line);
    });
    std::string error;
    ASSERT_TRUE(device->Start(&error)) << error;
    EXPECT_EQ(ExchangeString(5, "STAT\r").reply, "0\r");
    device->Stop();
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_EQ(lines, (std::vector<std::string>{"COM5 < STAT\\r", "COM5 > 0\\r"}));
}

}  // namespace
}  // namespace tarvexsim

// The command exchange against the scripted port: every outcome, its result, its texts and
// that the port is closed again.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "captured_output.h"
#include "common/verbose.h"
#include "fake_serial.h"
#include "link/comm_port.h"
#include "link/transact.h"

namespace {

using morva::TransactCommand;

class ExchangeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        morva::SetVerboseLevel(0);
    }
    void TearDown() override { morva::SetVerboseLevel(0); }

    std::array<char, morva::kReplyPlaceSize> reply_{};
};

struct StringCase {
    const char* name;
    void (*script)();
    int result;
    const char* replyText;
    bool sent;
};

const StringCase kStringCases[] = {
    {"Reply", [] { fake::ReplyAtFirstPoll("OK\r"); }, 0, "OK\r", true},
    {"ReplyWithBytesAfterCarriageReturn", [] { fake::ReplyAtFirstPoll("OK\rX"); }, 0, "OK\rX",
     true},
    {"ReplyInTwoReads",
     [] {
         fake::ReplyAtFirstPoll("OK");
         fake::Scripted().polls.push_back(fake::Poll{});
         fake::Scripted().polls.push_back(fake::Poll{"\r"});
     },
     0, "OK\r", true},
    {"OpenFails", [] { fake::Scripted().openFails = true; }, 3, "Cannot open COM7", false},
    {"LineErrorBeforeSend",
     [] {
         fake::Scripted().polls.push_back(fake::Poll{"", 0x8});
     },
     101, "Cannot send command", false},
    {"StatusQueryFailsBeforeSend",
     [] {
         fake::Scripted().polls.push_back(fake::Poll{"", 0, true});
     },
     101, "Cannot send command", false},
    {"WriteFails", [] { fake::Scripted().writeFails = true; }, 103, "Cannot send command", false},
    {"LineErrorWhileReceiving",
     [] {
         fake::Scripted().polls.push_back(fake::Poll{});
         fake::Scripted().polls.push_back(fake::Poll{"O", 0x1});
     },
     101, "Cannot receive reply string", true},
    {"ReadFails",
     [] {
         fake::ReplyAtFirstPoll("OK\r");
         fake::Scripted().readFailsAt = 0;
     },
     102, "Cannot receive reply string", true},
    {"Silent", [] {}, 104, "Cannot receive reply string", true},
    {"TrickleWithoutCarriageReturn",
     [] {
         fake::Scripted().polls.push_back(fake::Poll{});
         for (int i = 0; i < 250; ++i) {
             fake::Scripted().polls.push_back(fake::Poll{"x"});
         }
     },
     104, "Cannot receive reply string", true},
    {"BufferFullWithoutCarriageReturn", [] { fake::ReplyAtFirstPoll(std::string(256, 'A')); }, 105,
     "Cannot receive reply string", true},
    {"NulHidesCarriageReturn", [] { fake::ReplyAtFirstPoll(std::string("A\0\r", 3)); }, 104,
     "Cannot receive reply string", true},
};

class StringExchange : public ExchangeTest, public ::testing::WithParamInterface<StringCase> {};

TEST_P(StringExchange, ResultTextAndClose) {
    const StringCase& c = GetParam();
    c.script();
    EXPECT_EQ(TransactCommand(7, morva::kReplyString, "UTID\r", reply_.data()), c.result);
    EXPECT_STREQ(reply_.data(), c.replyText);
    EXPECT_EQ(fake::Recorded().written, c.sent ? "UTID\r" : "");
    EXPECT_EQ(fake::Recorded().opens, fake::Recorded().closes);
    EXPECT_EQ(fake::Recorded().lastPort, 7);
}

INSTANTIATE_TEST_SUITE_P(AllOutcomes, StringExchange, ::testing::ValuesIn(kStringCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ExchangeTest, SilentDeviceTimesOutAfterExactly200Polls) {
    EXPECT_EQ(TransactCommand(3, morva::kReplyString, "UTID\r", reply_.data()), 104);
    EXPECT_EQ(fake::Recorded().sleeps, morva::kPollLimit);
}

TEST_F(ExchangeTest, BytesArrivingDoNotRestartThePollCount) {
    fake::Scripted().polls.push_back(fake::Poll{});
    for (int i = 0; i < 199; ++i) {
        fake::Scripted().polls.push_back(fake::Poll{"x"});
    }
    fake::Scripted().polls.push_back(fake::Poll{"\r"});
    EXPECT_EQ(TransactCommand(3, morva::kReplyString, "UTID\r", reply_.data()), 0);
    EXPECT_EQ(std::string(reply_.data()), std::string(199, 'x') + "\r");

    fake::Reset();
    fake::Scripted().polls.push_back(fake::Poll{});
    for (int i = 0; i < 200; ++i) {
        fake::Scripted().polls.push_back(fake::Poll{"x"});
    }
    fake::Scripted().polls.push_back(fake::Poll{"\r"});
    EXPECT_EQ(TransactCommand(3, morva::kReplyString, "UTID\r", reply_.data()), 104);
}

TEST_F(ExchangeTest, LongestReplyFillsTheReplyPlace) {
    const std::string longest = std::string(255, 'R') + "\r";
    fake::ReplyAtFirstPoll(longest.substr(0, 100));
    fake::Scripted().polls.push_back(fake::Poll{longest.substr(100)});
    EXPECT_EQ(TransactCommand(3, morva::kReplyString, "UTID\r", reply_.data()), 0);
    EXPECT_EQ(std::string(reply_.data()), longest);
    EXPECT_EQ(reply_[256], '\0');
}

TEST_F(ExchangeTest, BufferFillsOnTheReadThatReaches256EvenWithPollsLeft) {
    fake::ReplyAtFirstPoll(std::string(200, 'A'));
    fake::Scripted().polls.push_back(fake::Poll{std::string(100, 'B')});
    EXPECT_EQ(TransactCommand(3, morva::kReplyString, "UTID\r", reply_.data()), 105);
    EXPECT_EQ(fake::Recorded().sleeps, 2);
    EXPECT_EQ(fake::Recorded().unread.size(), 44U);  // never reads past the room left
}

TEST_F(ExchangeTest, NoReplyPlaceInStringMode) {
    fake::ReplyAtFirstPoll("OK\r");
    EXPECT_EQ(TransactCommand(3, morva::kReplyString, "UTID\r", nullptr), 0);
    fake::Reset();
    fake::Scripted().openFails = true;
    EXPECT_EQ(TransactCommand(3, morva::kReplyString, "UTID\r", nullptr), 3);
}

TEST_F(ExchangeTest, SendsA257CharacterCommandLineWhole) {
    const std::string line = std::string(256, 'C') + "\r";
    fake::ReplyAtFirstPoll("0\r");
    EXPECT_EQ(TransactCommand(3, morva::kReplyString, line.c_str(), reply_.data()), 0);
    EXPECT_EQ(fake::Recorded().written, line);
}

TEST_F(ExchangeTest, OpenFailureTextForTheWidestPortNumber) {
    fake::Scripted().openFails = true;
    EXPECT_EQ(TransactCommand(-2147483647 - 1, morva::kReplyByte, "UTID\r", reply_.data()), 3);
    EXPECT_STREQ(reply_.data(), "Cannot open COM-2147483648");
}

// An open refused as busy is tried again only while the port is held, and only for a while.
struct OpenCase {
    const char* name;
    bool held;
    int busyOpens;
    bool openFails;
    int result;
    int openCalls;
};

const OpenCase kOpenCases[] = {
    {"BusyThenFreeWhileHeld", true, 3, false, 0, 4},
    // A driver that finishes a close 4.5 s late: still within the 5 s of waits.
    {"BusyForFourAndAHalfSecondsWhileHeld", true, 4500 / morva::kBusyOpenWaitMs, false, 0,
     1 + 4500 / morva::kBusyOpenWaitMs},
    {"BusyThroughoutWhileHeld", true, 1000, false, 3, 1 + morva::kBusyOpenRetries},
    {"MissingPortWhileHeld", true, 0, true, 3, 1},
    {"BusyOutsideAHold", false, 1, false, 3, 1},
};

class OpenRetry : public ExchangeTest, public ::testing::WithParamInterface<OpenCase> {
  protected:
    void TearDown() override {
        morva::ReleaseCommPortHold();
        ExchangeTest::TearDown();
    }
};

TEST_P(OpenRetry, TriesAgainOnlyWhileHeld) {
    const OpenCase& c = GetParam();
    if (c.held) {
        ASSERT_EQ(morva::HoldCommPort(7), 1);
    }
    fake::Scripted().busyOpens = c.busyOpens;
    fake::Scripted().openFails = c.openFails;
    fake::ReplyAtFirstPoll("\x11");
    EXPECT_EQ(TransactCommand(7, morva::kReplyByte, "UPDT Test\r", reply_.data()), c.result);
    EXPECT_EQ(fake::Recorded().openCalls, c.openCalls);
    EXPECT_EQ(fake::Recorded().written, c.result == 0 ? "UPDT Test\r" : "");
}

INSTANTIATE_TEST_SUITE_P(BusyPorts, OpenRetry, ::testing::ValuesIn(kOpenCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct ByteCase {
    const char* name;
    void (*script)();
    int result;
    const char* printed;
};

const ByteCase kByteCases[] = {
    {"OneByte", [] { fake::ReplyAtFirstPoll("\x11"); }, 0, ""},
    {"Silent", [] {}, 104, "Cannot receive reply byte\n"},
    {"LineErrorWhileReceiving",
     [] {
         fake::Scripted().polls.push_back(fake::Poll{});
         fake::Scripted().polls.push_back(fake::Poll{"\x11", 0x2});
     },
     101, "Cannot receive reply byte\n"},
    {"ReadFails",
     [] {
         fake::ReplyAtFirstPoll("\x11");
         fake::Scripted().readFailsAt = 0;
     },
     102, "Cannot receive reply byte\n"},
    {"LineErrorBeforeSend",
     [] {
         fake::Scripted().polls.push_back(fake::Poll{"", 0x10});
     },
     101, ""},
    {"WriteFails", [] { fake::Scripted().writeFails = true; }, 103, ""},
};

class ByteExchange : public ExchangeTest, public ::testing::WithParamInterface<ByteCase> {};

TEST_P(ByteExchange, ResultMessageAndUntouchedReplyOnFailure) {
    const ByteCase& c = GetParam();
    c.script();
    reply_[0] = 'Z';
    morva::test::CapturedOutput captured;
    const int result = TransactCommand(3, morva::kReplyByte, "S9030000FC\r", reply_.data());
    EXPECT_EQ(captured.Take(), c.printed);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(reply_[0], result == 0 ? '\x11' : 'Z');
    EXPECT_EQ(fake::Recorded().opens, fake::Recorded().closes);
}

INSTANTIATE_TEST_SUITE_P(AllOutcomes, ByteExchange, ::testing::ValuesIn(kByteCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ExchangeTest, ReplyByteLeavesFurtherBytesQueued) {
    fake::ReplyAtFirstPoll("\x22\x11\x10");
    EXPECT_EQ(TransactCommand(3, morva::kReplyByte, "UPDT Test\r", reply_.data()), 0);
    EXPECT_EQ(reply_[0], '\x22');
    EXPECT_EQ(fake::Recorded().unread, "\x11\x10");
}

struct TraceCase {
    const char* name;
    int level;
    std::string arriving;
    const char* expected;
};

class TraceTest : public ExchangeTest, public ::testing::WithParamInterface<TraceCase> {};

TEST_P(TraceTest, PrintsTxAndRxLines) {
    const TraceCase& c = GetParam();
    morva::SetVerboseLevel(c.level);
    fake::ReplyAtFirstPoll(c.arriving);
    morva::test::CapturedOutput captured;
    TransactCommand(3, morva::kReplyString, "UTID\r", reply_.data());
    EXPECT_EQ(captured.Take(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Levels, TraceTest,
    ::testing::Values(
        TraceCase{"Quiet", 0, "OK\r", ""},
        TraceCase{"Reply", 1, "OK\r", "TX(5) : 55 54 49 44 0D \nRX(2) : 4F 4B \n"},
        TraceCase{"BytesAfterCarriageReturn", 1, "OK\rX",
                  "TX(5) : 55 54 49 44 0D \nRX(3) : 4F 4B 0D \n"},
        TraceCase{"LoneCarriageReturn", 1, "\r", "TX(5) : 55 54 49 44 0D \nRX(0) : \n"},
        TraceCase{"HighBytes", 1, "\x80\xFF\r", "TX(5) : 55 54 49 44 0D \nRX(2) : 80 FF \n"},
        TraceCase{"NoRxTraceOnFailure", 1, std::string(256, 'A'), "TX(5) : 55 54 49 44 0D \n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ExchangeTest, NoTxTraceWhenALineErrorStopsTheSend) {
    morva::SetVerboseLevel(1);
    fake::Scripted().polls.push_back(fake::Poll{"", 0x4});
    morva::test::CapturedOutput captured;
    TransactCommand(3, morva::kReplyString, "UTID\r", reply_.data());
    EXPECT_EQ(captured.Take(), "");
}

TEST_F(ExchangeTest, TxTraceIsPrintedEvenWhenTheWriteFails) {
    morva::SetVerboseLevel(1);
    fake::Scripted().writeFails = true;
    morva::test::CapturedOutput captured;
    TransactCommand(3, morva::kReplyString, "A\r", reply_.data());
    EXPECT_EQ(captured.Take(), "TX(2) : 41 0D \n");
}

TEST_F(ExchangeTest, ReplyByteFailureMessagesOnlyFromLevelThree) {
    for (int level : {2, 3}) {
        fake::Reset();
        morva::SetVerboseLevel(level);
        fake::ReplyAtFirstPoll("\x11");
        fake::Scripted().readFailsAt = 0;
        morva::test::CapturedOutput captured;
        TransactCommand(3, morva::kReplyByte, "A\r", reply_.data());
        const std::string out = captured.Take();
        const std::string tx = "TX(2) : 41 0D \n";
        EXPECT_EQ(out, level >= 3
                           ? tx + "ReadCommByte : ReadFile() failure\nCannot receive reply byte\n"
                           : tx + "Cannot receive reply byte\n");
    }
    fake::Reset();
    morva::SetVerboseLevel(3);
    fake::Scripted().polls.push_back(fake::Poll{});
    fake::Scripted().polls.push_back(fake::Poll{"", 0x1});
    morva::test::CapturedOutput captured;
    TransactCommand(3, morva::kReplyByte, "A\r", reply_.data());
    EXPECT_EQ(
        captured.Take(),
        "TX(2) : 41 0D \nReadCommByte : ClearCommError() failure\nCannot receive reply byte\n");
}

}  // namespace

#include "args.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace tarvexsim {
namespace {

std::vector<std::string> WithBase(std::vector<std::string> extra) {
    std::vector<std::string> args = {"--dir", "/tmp/ports", "--port", "3"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

struct GoodCase {
    const char* name;
    std::vector<std::string> extra;
    std::function<void(Config*)> expect;  // turns the default config into the expected one
};

void PrintTo(const GoodCase& c, std::ostream* os) {
    *os << c.name;
}

void ExpectSame(const Config& a, const Config& b) {
    EXPECT_EQ(a.dir, b.dir);
    EXPECT_EQ(a.ports, b.ports);
    EXPECT_EQ(a.log_path, b.log_path);
    EXPECT_EQ(a.help, b.help);
    const Options& x = a.options;
    const Options& y = b.options;
    EXPECT_EQ(x.identity, y.identity);
    EXPECT_EQ(x.replies, y.replies);
    EXPECT_EQ(x.silent, y.silent);
    EXPECT_EQ(x.trickle_ms, y.trickle_ms);
    EXPECT_EQ(x.trickle_forever, y.trickle_forever);
    EXPECT_EQ(x.split, y.split);
    EXPECT_EQ(x.split_ms, y.split_ms);
    EXPECT_EQ(x.split_at, y.split_at);
    EXPECT_EQ(x.flood, y.flood);
    EXPECT_EQ(x.fill, y.fill);
    EXPECT_EQ(x.wire_time, y.wire_time);
    EXPECT_EQ(x.wire_pace, y.wire_pace);
    EXPECT_EQ(x.open_reply, y.open_reply);
    EXPECT_EQ(x.resends, y.resends);
    EXPECT_EQ(x.reply_at, y.reply_at);
    EXPECT_EQ(x.silent_after, y.silent_after);
    EXPECT_EQ(x.vanish_after, y.vanish_after);
    EXPECT_EQ(x.fault_pass, y.fault_pass);
}

class GoodArgsTest : public ::testing::TestWithParam<GoodCase> {};

TEST_P(GoodArgsTest, Parses) {
    Config expected;
    expected.dir = "/tmp/ports";
    expected.ports = {3};
    GetParam().expect(&expected);
    Config got;
    std::string error;
    ASSERT_TRUE(ParseArgs(WithBase(GetParam().extra), &got, &error)) << error;
    ExpectSame(got, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, GoodArgsTest,
    ::testing::Values(
        GoodCase{"Defaults", {}, [](Config*) {}},
        GoodCase{"MorePorts",
                 {"--port", "12", "--port", "256"},
                 [](Config* c) {
                     c->ports = {3, 12, 256};
                 }},
        GoodCase{"Identity",
                 {"--identity", "X 7310\\x01"},
                 [](Config* c) { c->options.identity = "X 7310\x01"; }},
        GoodCase{"Replies",
                 {"--reply", "VERS=V9\\r\\0", "--reply", "A=B=C", "--reply", "STAT="},
                 [](Config* c) {
                     c->options.replies["VERS"] = std::string("V9\r\0", 4);
                     c->options.replies["A"] = "B=C";
                     c->options.replies["STAT"] = "";
                 }},
        GoodCase{"Timing",
                 {"--trickle-ms", "15", "--split", "--split-ms", "70", "--split-at", "3"},
                 [](Config* c) {
                     c->options.trickle_ms = 15;
                     c->options.split = true;
                     c->options.split_ms = 70;
                     c->options.split_at = 3;
                 }},
        GoodCase{"Streams",
                 {"--flood", "--trickle-forever", "--fill", "0x55"},
                 [](Config* c) {
                     c->options.flood = true;
                     c->options.trickle_forever = true;
                     c->options.fill = 0x55;
                 }},
        GoodCase{"WireTime", {"--wire-time"}, [](Config* c) { c->options.wire_time = true; }},
        GoodCase{"WirePace",
                 {"--wire-pace"},
                 [](Config* c) {
                     c->options.wire_time = true;
                     c->options.wire_pace = true;
                 }},
        GoodCase{"Silent", {"--silent"}, [](Config* c) { c->options.silent = true; }},
        GoodCase{"Refuse", {"--refuse"}, [](Config* c) { c->options.open_reply = 0x31; }},
        GoodCase{"OpenReply", {"--open-reply", "0"}, [](Config* c) { c->options.open_reply = 0; }},
        GoodCase{"OpenReplyPrefixed",
                 {"--open-reply", "0XfE"},
                 [](Config* c) { c->options.open_reply = 0xFE; }},
        GoodCase{"Resends",
                 {"--resend", "1:2", "--resend", "5:0", "--resend", "1:3"},
                 [](Config* c) {
                     c->options.resends = {{1, 3}, {5, 0}};
                 }},
        GoodCase{"ReplyAt",
                 {"--reply-at", "2:80", "--reply-at", "3:0x10"},
                 [](Config* c) {
                     c->options.reply_at = {{2, 0x80}, {3, 0x10}};
                 }},
        GoodCase{"SilentVanish",
                 {"--silent-after", "4", "--vanish-after", "7"},
                 [](Config* c) {
                     c->options.silent_after = 4;
                     c->options.vanish_after = 7;
                 }},
        GoodCase{"FaultPassFlash",
                 {"--fault-pass", "flash"},
                 [](Config* c) { c->options.fault_pass = PassFilter::kFlash; }},
        GoodCase{"FaultPassTest",
                 {"--fault-pass", "test"},
                 [](Config* c) { c->options.fault_pass = PassFilter::kTest; }},
        GoodCase{"Log", {"--log", "/tmp/sim.log"}, [](Config* c) { c->log_path = "/tmp/sim.log"; }},
        GoodCase{"Help", {"--help"}, [](Config* c) { c->help = true; }}),
    [](const ::testing::TestParamInfo<GoodCase>& info) { return info.param.name; });

TEST(ArgsTest, HelpNeedsNothingElse) {
    Config config;
    std::string error;
    ASSERT_TRUE(ParseArgs({"--help"}, &config, &error)) << error;
    EXPECT_TRUE(config.help);
    EXPECT_NE(Usage().find("--vanish-after"), std::string::npos);
}

struct BadCase {
    const char* name;
    std::vector<std::string> args;
    const char* message;  // part of the error
};

void PrintTo(const BadCase& c, std::ostream* os) {
    *os << c.name;
}

class BadArgsTest : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadArgsTest, Rejected) {
    Config config;
    config.dir = "untouched";
    std::string error;
    EXPECT_FALSE(ParseArgs(GetParam().args, &config, &error));
    EXPECT_NE(error.find(GetParam().message), std::string::npos) << error;
    EXPECT_EQ(config.dir, "untouched");
}

INSTANTIATE_TEST_SUITE_P(
    Table, BadArgsTest,
    ::testing::Values(BadCase{"NoDir", {"--port", "3"}, "--dir"},
                      BadCase{"NoPort", {"--dir", "/tmp"}, "--port"},
                      BadCase{"PortZero", WithBase({"--port", "0"}), "port number"},
                      BadCase{"PortTooBig", WithBase({"--port", "10000"}), "port number"},
                      BadCase{"PortNegative", WithBase({"--port", "-3"}), "port number"},
                      BadCase{"PortText", WithBase({"--port", "3x"}), "port number"},
                      BadCase{"PortTwice", WithBase({"--port", "3"}), "twice"},
                      BadCase{"MissingValue", WithBase({"--identity"}), "needs a value"},
                      BadCase{"Unknown", WithBase({"--bogus", "1"}), "unknown option"},
                      BadCase{"Stray", WithBase({"stray"}), "unexpected"},
                      BadCase{"BadEscape", WithBase({"--identity", "\\q"}), "escape"},
                      BadCase{"ReplyNoEquals", WithBase({"--reply", "VERS"}), "COMMAND=REPLY"},
                      BadCase{"HexTooLong", WithBase({"--open-reply", "123"}), "hex byte"},
                      BadCase{"HexBad", WithBase({"--open-reply", "zz"}), "hex byte"},
                      BadCase{"FillCr", WithBase({"--fill", "0d"}), "0D"},
                      BadCase{"ResendNoColon", WithBase({"--resend", "3"}), "LINE:COUNT"},
                      BadCase{"ResendLineZero", WithBase({"--resend", "0:1"}), "LINE:COUNT"},
                      BadCase{"ReplyAtBadHex", WithBase({"--reply-at", "2:1G"}), "LINE:HEX"},
                      BadCase{"TrickleZero", WithBase({"--trickle-ms", "0"}), "milliseconds"},
                      BadCase{"SilentAfterZero", WithBase({"--silent-after", "0"}), "line number"},
                      BadCase{"SerialAndPort", {"--serial", "COM4", "--port", "3"}, "takes no"},
                      BadCase{"BreakOnAPty", WithBase({"--break-on", "UTID"}), "need --serial"},
                      BadCase{"BreakAt0", {"--serial", "x", "--break-at", "0"}, "line number"},
                      BadCase{"FaultPass", WithBase({"--fault-pass", "all"}),
                              "test, flash or both"}),
    [](const ::testing::TestParamInfo<BadCase>& info) { return info.param.name; });

}  // namespace
}  // namespace tarvexsim

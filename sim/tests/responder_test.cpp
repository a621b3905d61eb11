#include "responder.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "chaos.h"
#include "escape.h"

namespace tarvexsim {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

const char kS0[] = "S00F000068656C6C6F202020202000003C\r";
const char kS1a[] = "S1130000285F245F2212226A000424290008237C2A\r";
const char kS1b[] = "S11300100002000800082629001853812341001813\r";
const char kS9[] = "S9030000FC\r";
constexpr int kNone = -1;   // no answer expected
constexpr int kBreak = -2;  // a BREAK instead of an answer

// ---- Command replies outside the handshake ----

struct ReplyCase {
    const char* name;
    std::function<void(Options*)> setup;
    std::string command;
    bool answer;
    std::string reply;
};

void PrintTo(const ReplyCase& c, std::ostream* os) {
    *os << c.name;
}

class ReplyTest : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyTest, AnswersCommand) {
    const ReplyCase& c = GetParam();
    Options options;
    if (c.setup)
        c.setup(&options);
    Responder responder(options);
    const Response r = responder.Handle(c.command);
    EXPECT_EQ(r.answer, c.answer);
    EXPECT_EQ(r.stream, Stream::kNone);
    EXPECT_FALSE(r.vanish);
    if (c.answer) {
        EXPECT_EQ(r.reply, c.reply);
    }
}

const std::string k255(255, 'Z');

INSTANTIATE_TEST_SUITE_P(
    Table, ReplyTest,
    ::testing::Values(
        ReplyCase{"Identity", nullptr, "UTID\r", true, "TARVEX-7310 V2.10\r"},
        ReplyCase{"Version", nullptr, "VERS\r", true, "V2.10\r"},
        ReplyCase{"Status", nullptr, "STAT\r", true, "0\r"},
        ReplyCase{"Unknown", nullptr, "FOO 12\r", true, "1\r"},
        ReplyCase{"EmptyCommand", nullptr, "\r", true, "1\r"},
        ReplyCase{"LowerCaseIsUnknown", nullptr, "utid\r", true, "1\r"},
        ReplyCase{"NoCrNoAnswer", nullptr, "UTID", false, ""},
        ReplyCase{"LineOutsidePassIsUnknown", nullptr, kS1a, true, "1\r"},
        ReplyCase{"ModelInMiddle", [](Options* o) { o->identity = "ACME 7310 unit"; }, "UTID\r",
                  true, "ACME 7310 unit\r"},
        ReplyCase{"NoKnownModel", [](Options* o) { o->identity = "TARVEX-9999"; }, "UTID\r", true,
                  "TARVEX-9999\r"},
        ReplyCase{"Identity255", [](Options* o) { o->identity = k255; }, "UTID\r", true,
                  k255 + "\r"},
        ReplyCase{"OverrideBytesAfterCr", [](Options* o) { o->replies["VERS"] = "OK\rX"; },
                  "VERS\r", true, "OK\rX"},
        ReplyCase{"OverrideWithNul",
                  [](Options* o) { o->replies["UTID"] = std::string("7\0X\r", 4); }, "UTID\r", true,
                  std::string("7\0X\r", 4)},
        ReplyCase{"Override256NoCr", [](Options* o) { o->replies["UTID"] = std::string(256, 'A'); },
                  "UTID\r", true, std::string(256, 'A')},
        ReplyCase{"OverrideOpeningCommand", [](Options* o) { o->replies["UPDT Test"] = "\x44"; },
                  "UPDT Test\r", true, "\x44"},
        ReplyCase{"EmptyOverrideIsSilence", [](Options* o) { o->replies["STAT"] = ""; }, "STAT\r",
                  false, ""},
        ReplyCase{"OverrideLeavesOthers", [](Options* o) { o->replies["STAT"] = "5\r"; }, "VERS\r",
                  true, "V2.10\r"},
        ReplyCase{"Silent", [](Options* o) { o->silent = true; }, "UTID\r", false, ""},
        ReplyCase{"SilentOpening", [](Options* o) { o->silent = true; }, "UPDT Test\r", false, ""}),
    [](const ::testing::TestParamInfo<ReplyCase>& info) { return info.param.name; });

struct StreamCase {
    const char* name;
    std::function<void(Options*)> setup;
    std::vector<std::string> commands;  // the last one is checked
    Stream stream;
};

void PrintTo(const StreamCase& c, std::ostream* os) {
    *os << c.name;
}

class StreamTest : public ::testing::TestWithParam<StreamCase> {};

TEST_P(StreamTest, StreamsForever) {
    const StreamCase& c = GetParam();
    Options options;
    c.setup(&options);
    Responder responder(options);
    Response r;
    for (const std::string& command : c.commands)
        r = responder.Handle(command);
    EXPECT_TRUE(r.answer);
    EXPECT_EQ(r.stream, c.stream);
    EXPECT_TRUE(r.reply.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Modes, StreamTest,
    ::testing::Values(
        StreamCase{"Flood", [](Options* o) { o->flood = true; }, {"UTID\r"}, Stream::kFlood},
        StreamCase{"TrickleForever",
                   [](Options* o) { o->trickle_forever = true; },
                   {"UTID\r"},
                   Stream::kTrickle},
        StreamCase{"FloodWinsOverOverride",
                   [](Options* o) {
                       o->flood = true;
                       o->replies["UTID"] = "X\r";
                   },
                   {"UTID\r"},
                   Stream::kFlood},
        StreamCase{"FloodOnOpening",
                   [](Options* o) { o->flood = true; },
                   {"UPDT Test\r"},
                   Stream::kFlood}),
    [](const ::testing::TestParamInfo<StreamCase>& info) { return info.param.name; });

// ---- Firmware handshake scripts ----

struct Step {
    std::string command;
    int reply;  // byte, or kNone
};

struct ScriptCase {
    const char* name;
    std::function<void(Options*)> setup;
    std::vector<Step> steps;
    int vanish_step;  // index of the step whose answer ends with a vanish, or -1
};

void PrintTo(const ScriptCase& c, std::ostream* os) {
    *os << c.name;
}

class HandshakeTest : public ::testing::TestWithParam<ScriptCase> {};

TEST_P(HandshakeTest, FollowsScript) {
    const ScriptCase& c = GetParam();
    Options options;
    if (c.setup)
        c.setup(&options);
    Responder responder(options);
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
        SCOPED_TRACE("step " + std::to_string(i) + ": " + Escape(c.steps[i].command));
        const Response r = responder.Handle(c.steps[i].command);
        EXPECT_EQ(r.line_break, c.steps[i].reply == kBreak);
        if (c.steps[i].reply == kNone || c.steps[i].reply == kBreak) {
            EXPECT_FALSE(r.answer);
        } else {
            EXPECT_TRUE(r.answer);
            ASSERT_EQ(r.reply.size(), 1u);
            EXPECT_EQ(static_cast<unsigned char>(r.reply[0]), c.steps[i].reply);
        }
        EXPECT_EQ(r.vanish, static_cast<int>(i) == c.vanish_step);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, HandshakeTest,
    ::testing::Values(
        ScriptCase{"TestPass",
                   nullptr,
                   {{"UPDT Test\r", 0x11}, {kS0, 0x11}, {kS1a, 0x11}, {kS9, 0x10}},
                   -1},
        ScriptCase{"TestThenFlash",
                   nullptr,
                   {{"UPDT Test\r", 0x11},
                    {kS0, 0x11},
                    {kS9, 0x10},
                    {"UPDT Flash\r", 0x11},
                    {kS0, 0x11},
                    {kS9, 0x10}},
                   -1},
        ScriptCase{"BreakOnCommandAndFlashLine",
                   [](Options* o) {
                       o->break_command = "UTID";
                       o->break_line = 2;
                       o->fault_pass = PassFilter::kFlash;
                   },
                   {{"UTID\r", kBreak},
                    {"UPDT Test\r", 0x11},
                    {kS0, 0x11},
                    {kS1a, 0x11},
                    {"UPDT Flash\r", 0x11},
                    {kS0, 0x11},
                    {kS1a, kBreak},
                    {kS1a, 0x11}},
                   -1},
        ScriptCase{"LineAfterS9GetsNext",
                   nullptr,
                   {{"UPDT Test\r", 0x11}, {kS9, 0x10}, {kS1a, 0x11}},
                   -1},
        ScriptCase{"S7AndS8AreNotFinal",
                   nullptr,
                   {{"UPDT Test\r", 0x11}, {"S70500000000FA\r", 0x11}, {"S804000000FB\r", 0x11}},
                   -1},
        ScriptCase{"Refuse",
                   [](Options* o) { o->open_reply = kReject; },
                   {{"UPDT Test\r", 0x31}},
                   -1},
        ScriptCase{"OtherOpeningByte",
                   [](Options* o) { o->open_reply = 0x00; },
                   {{"UPDT Flash\r", 0x00}},
                   -1},
        ScriptCase{"ResendLineTwo",
                   [](Options* o) { o->resends[2] = 2; },
                   {{"UPDT Test\r", 0x11},
                    {kS0, 0x11},
                    {kS1a, 0x22},
                    {kS1a, 0x22},
                    {kS1a, 0x11},
                    {kS9, 0x10}},
                   -1},
        ScriptCase{"ResendS9",
                   [](Options* o) { o->resends[2] = 1; },
                   {{"UPDT Test\r", 0x11}, {kS0, 0x11}, {kS9, 0x22}, {kS9, 0x10}},
                   -1},
        ScriptCase{"ReplyAtByte",
                   [](Options* o) { o->reply_at[2] = 0x80; },
                   {{"UPDT Test\r", 0x11}, {kS0, 0x11}, {kS1a, 0x80}, {kS9, 0x10}},
                   -1},
        ScriptCase{"FinishToNonS9",
                   [](Options* o) { o->reply_at[2] = kFinish; },
                   {{"UPDT Test\r", 0x11}, {kS0, 0x11}, {kS1a, 0x10}},
                   -1},
        ScriptCase{"NextToS9",
                   [](Options* o) { o->reply_at[3] = kNext; },
                   {{"UPDT Test\r", 0x11}, {kS0, 0x11}, {kS1a, 0x11}, {kS9, 0x11}},
                   -1},
        ScriptCase{"ResendThenReplyAt",
                   [](Options* o) {
                     o->resends[1] = 1;
                     o->reply_at[1] = 0x42;
                   },
                   {{"UPDT Test\r", 0x11}, {kS0, 0x22}, {kS0, 0x42}, {kS1a, 0x11}},
                   -1},
        ScriptCase{"ReplyAtResendIsOnce",
                   [](Options* o) { o->reply_at[1] = kResend; },
                   {{"UPDT Test\r", 0x11}, {kS0, 0x22}, {kS0, 0x11}, {kS1a, 0x11}},
                   -1},
        ScriptCase{"LinesCountPerPass",
                   [](Options* o) { o->reply_at[2] = 0x55; },
                   {{"UPDT Test\r", 0x11},
                    {kS0, 0x11},
                    {kS1a, 0x55},
                    {"UPDT Test\r", 0x11},
                    {kS0, 0x11},
                    {kS1b, 0x55}},
                   -1},
        ScriptCase{"FaultsInFlashOnly",
                   [](Options* o) {
                     o->fault_pass = PassFilter::kFlash;
                     o->resends[1] = 1;
                   },
                   {{"UPDT Test\r", 0x11},
                    {kS0, 0x11},
                    {kS9, 0x10},
                    {"UPDT Flash\r", 0x11},
                    {kS0, 0x22},
                    {kS0, 0x11},
                    {kS9, 0x10}},
                   -1},
        ScriptCase{"RefuseFlashOnly",
                   [](Options* o) {
                     o->fault_pass = PassFilter::kFlash;
                     o->open_reply = kReject;
                   },
                   {{"UPDT Test\r", 0x11}, {kS9, 0x10}, {"UPDT Flash\r", 0x31}},
                   -1},
        ScriptCase{"FaultsInTestOnly",
                   [](Options* o) {
                     o->fault_pass = PassFilter::kTest;
                     o->reply_at[1] = 0x00;
                   },
                   {{"UPDT Test\r", 0x11}, {kS0, 0x00}, {"UPDT Flash\r", 0x11}, {kS0, 0x11}},
                   -1},
        ScriptCase{"SilentAfterTwo",
                   [](Options* o) { o->silent_after = 2; },
                   {{"UPDT Test\r", 0x11},
                    {kS0, 0x11},
                    {kS1a, 0x11},
                    {kS1b, kNone},
                    {"UTID\r", kNone}},
                   -1},
        ScriptCase{"SilentAfterWaitsForResends",
                   [](Options* o) {
                     o->silent_after = 1;
                     o->resends[1] = 1;
                   },
                   {{"UPDT Test\r", 0x11}, {kS0, 0x22}, {kS0, 0x11}, {kS1a, kNone}},
                   -1},
        ScriptCase{"VanishAfterTwo",
                   [](Options* o) { o->vanish_after = 2; },
                   {{"UPDT Test\r", 0x11}, {kS0, 0x11}, {kS1a, 0x11}},
                   2}),
    [](const ::testing::TestParamInfo<ScriptCase>& info) { return info.param.name; });

TEST(HandshakeTest, RefusedPassTakesNoLines) {
    Options options;
    options.open_reply = kReject;
    Responder responder(options);
    ASSERT_EQ(responder.Handle("UPDT Test\r").reply, "1");
    EXPECT_EQ(responder.Handle(kS0).reply, "1\r");
}

TEST(HandshakeTest, OtherCommandEndsPass) {
    Responder responder;
    ASSERT_EQ(responder.Handle("UPDT Test\r").reply, "\x11");
    EXPECT_EQ(responder.Handle("UTID\r").reply, "TARVEX-7310 V2.10\r");
    EXPECT_EQ(responder.Handle(kS0).reply, "1\r");
}

// ---- The random device ----

// The same seed answers the same commands the same way, byte for byte and in its timing.
TEST(ChaosTest, SameSeedSameDevice) {
    const std::vector<std::string> commands = {"UTID\r", "UPDT Test\r",  kS0, kS1a, kS1b,
                                               kS9,      "UPDT Flash\r", kS0, kS1a, kS1b,
                                               kS9,      "VERS\r"};
    auto play = [&](std::uint64_t seed) {
        Options options;
        options.chaos = true;
        options.chaos_seed = seed;
        Responder responder(options);
        std::string heard;
        for (int round = 0; round < 20; ++round) {
            for (const std::string& command : commands) {
                const Response r = responder.Handle(command);
                heard += r.account + "|" + Escape(r.reply) + "|" + std::to_string(r.delay_ms) +
                         "|" + std::to_string(r.gap_ms) + (r.late ? "L" : "") +
                         (r.vanish ? "V" : "") + (r.stream != Stream::kNone ? "F" : "") + "\n";
            }
        }
        return heard;
    };
    for (std::uint64_t seed : {1ULL, 739ULL, 18446744073709551615ULL}) {
        EXPECT_EQ(play(seed), play(seed)) << seed;
    }
    EXPECT_NE(play(1), play(2));
}

// No draw lands near morva's 2 s receive, sends a handshake code or CR as its stray byte, or a
// BREAK on a pseudo-terminal.
TEST(ChaosTest, DrawsKeepTheirMargins) {
    for (std::uint64_t seed = 0; seed < 50; ++seed) {
        for (int exchange = 1; exchange <= 400; ++exchange) {
            const Draw d = DrawExchange(seed, exchange, false);
            ASSERT_GE(d.delay_ms, 50);
            ASSERT_LE(d.delay_ms, 1400);
            ASSERT_LE(d.gap_ms * 3, 600);
            ASSERT_NE(d.fault, Fault::kBreak);
            for (int code : {0x00, 0x0D, 0x10, 0x11, 0x22, 0x31}) {
                ASSERT_NE(d.byte, code);
            }
        }
    }
}

// ---- Reply timing plan ----

struct PlanCase {
    const char* name;
    std::string reply;
    std::size_t command_len;
    std::function<void(Options*)> setup;
    std::vector<std::pair<nanoseconds, std::string>> pieces;
};

void PrintTo(const PlanCase& c, std::ostream* os) {
    *os << c.name;
}

class PlanTest : public ::testing::TestWithParam<PlanCase> {};

TEST_P(PlanTest, Schedules) {
    const PlanCase& c = GetParam();
    Options options;
    if (c.setup)
        c.setup(&options);
    const std::vector<Piece> plan = PlanReply(c.reply, c.command_len, options);
    ASSERT_EQ(plan.size(), c.pieces.size());
    for (std::size_t i = 0; i < plan.size(); ++i) {
        EXPECT_EQ(plan[i].at.count(), c.pieces[i].first.count()) << "piece " << i;
        EXPECT_EQ(plan[i].bytes, c.pieces[i].second) << "piece " << i;
    }
}

nanoseconds Bytes(long long n) {
    return nanoseconds(n * 25000000 / 24);
}

INSTANTIATE_TEST_SUITE_P(
    Plans, PlanTest,
    ::testing::Values(
        PlanCase{"Whole", "OK\r", 5, nullptr, {{nanoseconds(0), "OK\r"}}},
        PlanCase{"Empty", "", 5, [](Options* o) { o->wire_time = true; }, {}},
        PlanCase{"SplitHalf",
                 "ABCD\r",
                 5,
                 [](Options* o) { o->split = true; },
                 {{nanoseconds(0), "AB"}, {milliseconds(50), "CD\r"}}},
        PlanCase{"SplitAt",
                 "OK\r",
                 5,
                 [](Options* o) {
                     o->split = true;
                     o->split_at = 2;
                     o->split_ms = 30;
                 },
                 {{nanoseconds(0), "OK"}, {milliseconds(30), "\r"}}},
        PlanCase{"SplitAtClamped",
                 "OK\r",
                 5,
                 [](Options* o) {
                     o->split = true;
                     o->split_at = 9;
                 },
                 {{nanoseconds(0), "OK"}, {milliseconds(50), "\r"}}},
        PlanCase{"SplitOneByte",
                 "\x11",
                 5,
                 [](Options* o) { o->split = true; },
                 {{nanoseconds(0), "\x11"}}},
        PlanCase{"Trickle",
                 "AB\r",
                 5,
                 [](Options* o) { o->trickle_ms = 15; },
                 {{nanoseconds(0), "A"}, {milliseconds(15), "B"}, {milliseconds(30), "\r"}}},
        PlanCase{
            "WireTime", "AB\r", 5, [](Options* o) { o->wire_time = true; }, {{Bytes(8), "AB\r"}}},
        PlanCase{"WirePace",
                 "AB\r",
                 5,
                 [](Options* o) { o->wire_pace = true; },
                 {{Bytes(6), "A"}, {Bytes(7), "B"}, {Bytes(8), "\r"}}},
        PlanCase{"WireTimeWithSplit",
                 "ABCD",
                 10,
                 [](Options* o) {
                     o->wire_time = true;
                     o->split = true;
                 },
                 {{Bytes(14), "AB"}, {Bytes(14) + milliseconds(50), "CD"}}}),
    [](const ::testing::TestParamInfo<PlanCase>& info) { return info.param.name; });

TEST(WireTimeTest, TenBitsAt9600Baud) {
    EXPECT_EQ(WireTime(0).count(), 0);
    EXPECT_EQ(WireTime(96).count(), 100000000);  // 960 bits
    EXPECT_EQ(WireTime(1).count(), 1041666);
}

}  // namespace
}  // namespace tarvexsim

#include "chaos.h"

#include <cstdio>

namespace tarvexsim {

namespace {

std::uint64_t Mix(std::uint64_t x) {  // splitmix64's finaliser
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// Per mille of exchanges that fail morva's exchange, and that only slow it or ask again.
constexpr int kFatalRates[] = {0, 0, 10, 30, 80, 200};
constexpr int kBenignRates[] = {0, 100, 300, 600};

constexpr Fault kFatal[] = {Fault::kOther, Fault::kWrong,   Fault::kNoise,
                            Fault::kNoCr,  Fault::kSilence, Fault::kLate,
                            Fault::kFlood, Fault::kVanish,  Fault::kBreak};
constexpr Fault kBenign[] = {Fault::kDelay, Fault::kPieces, Fault::kResend, Fault::kResend};
// Never a code of the handshake, never CR, never NUL (which ends a C string search).
constexpr unsigned char kStrayBytes[] = {0x01, 0x12, 0x20, 0x23, 0x41, 0x7F, 0x80, 0xFF};

}  // namespace

Draw DrawExchange(std::uint64_t seed, int exchange, bool serial) {
    const std::uint64_t device = Mix(seed);
    const int fatal = kFatalRates[device % 6];
    const int benign = kBenignRates[(device >> 8) % 4];
    const std::uint64_t r = Mix(device ^ Mix(static_cast<std::uint64_t>(exchange)));
    const int u = static_cast<int>(r % 1000);
    Draw draw;
    draw.delay_ms = 50 + static_cast<int>((r >> 10) % 1351);  // 0.6 s inside the receive
    draw.gap_ms = 20 + static_cast<int>((r >> 20) % 181);
    draw.byte = kStrayBytes[(r >> 30) % 8];
    const std::uint64_t pick = r >> 40;
    if (u < fatal) {
        draw.fault = kFatal[pick % (serial ? 9 : 8)];
    } else if (u < fatal + benign) {
        draw.fault = kBenign[pick % 4];
    }
    return draw;
}

const char* FaultName(Fault fault) {
    switch (fault) {
        case Fault::kRight:
            return "right";
        case Fault::kDelay:
            return "delay";
        case Fault::kPieces:
            return "pieces";
        case Fault::kResend:
            return "resend";
        case Fault::kOther:
            return "other";
        case Fault::kWrong:
            return "wrong";
        case Fault::kNoise:
            return "noise";
        case Fault::kNoCr:
            return "nocr";
        case Fault::kSilence:
            return "silence";
        case Fault::kLate:
            return "late";
        case Fault::kFlood:
            return "flood";
        case Fault::kVanish:
            return "vanish";
        case Fault::kBreak:
            return "break";
    }
    return "?";
}

std::string DescribeDraw(const Draw& draw) {
    char text[96];
    std::snprintf(text, sizeof text, "%s delay=%d gap=%d byte=%02X", FaultName(draw.fault),
                  draw.delay_ms, draw.gap_ms, draw.byte);
    return text;
}

}  // namespace tarvexsim

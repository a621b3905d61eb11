#include "responder.h"

#include <algorithm>
#include <utility>

#include "chaos.h"
#include "escape.h"

namespace tarvexsim {

namespace {

bool IsLine(const std::string& text) {
    return text.size() >= 2 && text[0] == 'S' && text[1] >= '0' && text[1] <= '9';
}

}  // namespace

std::chrono::nanoseconds WireTime(std::size_t bytes) {
    // 10 bits at 9600 baud = 1e10 / 9600 ns = 25e6 / 24 ns a byte.
    return std::chrono::nanoseconds(static_cast<long long>(bytes) * 25000000LL / 24);
}

std::vector<Piece> PlanReply(const std::string& reply, std::size_t command_len,
                             const Options& options) {
    std::vector<Piece> plan;
    const std::size_t n = reply.size();
    const bool wire = options.wire_time || options.wire_pace;
    std::size_t split_at = n;
    if (options.split && n >= 2) {
        split_at = options.split_at > 0 ? std::min<std::size_t>(options.split_at, n - 1) : n / 2;
    }
    for (std::size_t i = 0; i < n; ++i) {
        std::chrono::nanoseconds at{0};
        if (options.trickle_ms > 0) {
            at += std::chrono::milliseconds(options.trickle_ms) * static_cast<long long>(i);
        } else if (i >= split_at) {
            at += std::chrono::milliseconds(options.split_ms);
        }
        if (wire)
            at += WireTime(command_len + (options.wire_pace ? i + 1 : n));
        if (!plan.empty() && plan.back().at == at) {
            plan.back().bytes += reply[i];
        } else {
            plan.push_back(Piece{at, std::string(1, reply[i])});
        }
    }
    return plan;
}

Responder::Responder(Options options) : options_(std::move(options)) {}

bool Responder::FaultsApply() const {
    switch (options_.fault_pass) {
        case PassFilter::kTest:
            return pass_ == 1;
        case PassFilter::kFlash:
            return pass_ == 2;
        case PassFilter::kBoth:
            break;
    }
    return true;
}

Response Responder::Handle(const std::string& command) {
    Response r;
    if (command.empty() || command.back() != '\r')
        return r;
    const std::string text = command.substr(0, command.size() - 1);
    if (options_.chaos)
        return Chaos(text);
    if (options_.silent || silenced_)
        return r;
    if (pass_ != 0 && IsLine(text))
        return Line(text);
    pass_ = 0;  // anything but a line ends a pass
    if (!options_.break_command.empty() && text == options_.break_command) {
        r.line_break = true;
        return r;
    }
    r.answer = true;
    if (options_.flood || options_.trickle_forever) {
        r.stream = options_.flood ? Stream::kFlood : Stream::kTrickle;
        return r;
    }
    auto it = options_.replies.find(text);
    if (it != options_.replies.end()) {
        r.reply = it->second;
        r.answer = !r.reply.empty();
        return r;
    }
    if (text == "UPDT Test" || text == "UPDT Flash") {
        pass_ = text == "UPDT Test" ? 1 : 2;
        const int byte = FaultsApply() ? options_.open_reply : kNext;
        r.reply.assign(1, static_cast<char>(byte));
        line_ = 0;
        attempt_ = 0;
        last_was_resend_ = false;
        if (byte != kNext)
            pass_ = 0;
    } else if (text == "UTID") {
        r.reply = options_.identity + "\r";
    } else if (text == "VERS") {
        r.reply = "V2.10\r";
    } else if (text == "STAT") {
        r.reply = "0\r";
    } else {
        r.reply = "1\r";  // the device's command-error reply
    }
    return r;
}

Response Responder::Line(const std::string& text) {
    Response r;
    r.answer = true;
    if (last_was_resend_) {
        ++attempt_;
    } else {
        ++line_;
        attempt_ = 1;
    }
    int byte = text[1] == '9' ? kFinish : kNext;
    if (FaultsApply()) {
        auto resend = options_.resends.find(line_);
        const int resends = resend == options_.resends.end() ? 0 : resend->second;
        auto at = options_.reply_at.find(line_);
        if (attempt_ <= resends) {
            byte = kResend;
        } else if (attempt_ == resends + 1 && at != options_.reply_at.end()) {
            byte = at->second;
        }
    }
    last_was_resend_ = byte == kResend;
    if (FaultsApply() && line_ == options_.break_line && attempt_ == 1) {
        r.answer = false;
        r.line_break = true;
        return r;
    }
    if (options_.flood || options_.trickle_forever) {
        r.stream = options_.flood ? Stream::kFlood : Stream::kTrickle;
    } else {
        r.reply.assign(1, static_cast<char>(byte));
    }
    if (!last_was_resend_ && FaultsApply()) {
        if (line_ == options_.silent_after)
            silenced_ = true;
        if (line_ == options_.vanish_after)
            r.vanish = true;
    }
    return r;
}

// What the device of the draw answers to one command, and its account of it. A line is taken
// when the device answers it with its code, even when morva cannot read that code.
Response Responder::Chaos(const std::string& text) {
    Response r;
    if (gone_)
        return r;
    const Draw draw = DrawExchange(options_.chaos_seed, ++exchanges_, options_.chaos_serial);
    const bool opening = text == "UPDT Test" || text == "UPDT Flash";
    const bool line = !opening && pass_ != 0 && IsLine(text);
    std::string verdict = "-";
    std::string right;
    if (opening) {
        right.assign(1, static_cast<char>(kNext));
    } else if (line) {
        right.assign(1, static_cast<char>(text[1] == '9' ? kFinish : kNext));
    } else if (text == "UTID") {
        right = options_.identity + "\r";
    } else if (text == "VERS") {
        right = "V2.10\r";
    } else if (text == "STAT") {
        right = "0\r";
    } else {
        right = "1\r";
    }
    const bool bytes = opening || line;
    r.answer = true;
    r.reply = right;
    bool coded = true;  // the device answers with its own code for the command
    switch (draw.fault) {
        case Fault::kRight:
            break;
        case Fault::kDelay:
            r.delay_ms = draw.delay_ms;
            break;
        case Fault::kPieces:
            r.gap_ms = draw.gap_ms;
            break;
        case Fault::kResend:
            if (bytes) {
                r.reply.assign(1, static_cast<char>(kResend));
                coded = false;
            }
            break;
        case Fault::kOther:
            coded = false;
            if (opening) {
                r.reply.assign(1, static_cast<char>(kReject));
            } else if (line) {
                r.reply.assign(1, static_cast<char>(text[1] == '9' ? kNext : kFinish));
            } else {
                r.reply = "1\r";
            }
            break;
        case Fault::kWrong:
            coded = false;
            r.reply = bytes ? std::string(1, static_cast<char>(draw.byte)) : "TARVEX-0000 V2.10\r";
            break;
        case Fault::kNoise:
            r.reply = std::string(1, static_cast<char>(draw.byte)) + right;
            break;
        case Fault::kNoCr:
            if (!bytes)
                r.reply.pop_back();
            break;
        case Fault::kSilence:
            r.answer = false;
            coded = false;
            break;
        case Fault::kLate:
            r.late = true;
            break;
        case Fault::kFlood:
            r.stream = Stream::kFlood;
            coded = false;
            break;
        case Fault::kVanish:
            r.vanish = true;
            gone_ = true;
            break;
        case Fault::kBreak:
            r.answer = false;
            r.line_break = true;
            coded = false;
            break;
    }
    if (opening) {
        pass_ = coded ? (text == "UPDT Test" ? 1 : 2) : 0;
        line_ = 0;
        if (coded)
            verdict = pass_ == 1 ? "opened test" : "opened flash";
    } else if (line) {
        if (coded) {
            ++line_;
            verdict =
                std::string(pass_ == 1 ? "took test " : "took flash ") + std::to_string(line_);
        }
    } else {
        pass_ = 0;
    }
    r.account = std::to_string(exchanges_) + "\t" + DescribeDraw(draw) + "\t" + Escape(text) +
                "\t" + verdict;
    return r;
}

}  // namespace tarvexsim

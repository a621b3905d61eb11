#include "device.h"

#include <utility>

#include "escape.h"

namespace tarvexsim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxCommand = 4096;  // longer input without CR is logged and dropped
constexpr auto kVanishGrace = std::chrono::seconds(3);  // longer than morva's 2 s receive

}  // namespace

Device::Device(std::string dir, int port, Options options)
    : dir_(std::move(dir)), port_(port), responder_(std::move(options)) {}

Device::~Device() {
    Stop();
}

std::string Device::link_path() const {
    return dir_ + "/com" + std::to_string(port_);
}

void Device::BeginServing() {
    stop_ = false;
    vanished_ = false;
    rx_.clear();
    out_.clear();
    out_off_ = 0;
    stream_ = Stream::kNone;
    vanish_pending_ = false;
    thread_ = std::thread(&Device::Serve, this);
}

void Device::SetOptions(const Options& options) {
    std::lock_guard<std::mutex> lock(mu_);
    responder_ = Responder(options);
}

Options Device::options() const {
    std::lock_guard<std::mutex> lock(mu_);
    return responder_.options();
}

std::vector<std::string> Device::Commands() const {
    std::lock_guard<std::mutex> lock(mu_);
    return commands_;
}

void Device::ClearCommands() {
    std::lock_guard<std::mutex> lock(mu_);
    commands_.clear();
}

void Device::SetLogger(std::function<void(const std::string&)> logger) {
    std::lock_guard<std::mutex> lock(mu_);
    logger_ = std::move(logger);
}

void Device::SetAccount(std::function<void(const std::string&)> account) {
    std::lock_guard<std::mutex> lock(mu_);
    account_ = std::move(account);
}

void Device::Log(const std::string& line) {
    std::function<void(const std::string&)> logger;
    {
        std::lock_guard<std::mutex> lock(mu_);
        logger = logger_;
    }
    if (logger)
        logger((serial_ ? slave_path_ : "COM" + std::to_string(port_)) + " " + line);
}

void Device::DropOutput() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (responder_.options().keep_unread)
            return;
    }
    out_.clear();
    out_off_ = 0;
    stream_ = Stream::kNone;
    FlushPeerInput();
}

void Device::OnBytes(const char* data, std::size_t len) {
    for (std::size_t i = 0; i < len; ++i) {
        if (rx_.empty())
            DropOutput();
        rx_ += data[i];
        if (data[i] == '\r') {
            OnCommand(rx_);
            rx_.clear();
        } else if (rx_.size() >= kMaxCommand) {
            {
                std::lock_guard<std::mutex> lock(mu_);
                commands_.push_back(rx_);
            }
            Log("< (no CR) " + Escape(rx_.substr(0, 64)) + "...");
            rx_.clear();
        }
    }
}

void Device::OnCommand(const std::string& command) {
    Response r;
    Options options;
    std::function<void(const std::string&)> account;
    {
        std::lock_guard<std::mutex> lock(mu_);
        commands_.push_back(command);
        r = responder_.Handle(command);
        options = responder_.options();
        account = account_;
    }
    Log("< " + Escape(command));
    if (account && !r.account.empty())
        account(r.account);
    const auto now = Clock::now();
    if (r.vanish) {
        // Gone for morva's next open, even while it still reads this reply.
        RemoveLink();
        vanish_pending_ = true;
        vanish_seen_ = false;
    }
    if (r.line_break) {
        const auto at = now + (options.wire_time || options.wire_pace ? WireTime(command.size())
                                                                      : Clock::duration::zero());
        out_.push_back(Timed{at, std::string(), true});
        Log("> (BREAK)");
    } else if (!r.answer) {
        Log("> (no answer)");
    } else if (r.stream != Stream::kNone) {
        stream_ = r.stream;
        fill_ = options.fill == '\r' ? '#' : options.fill;
        trickle_gap_ = std::chrono::milliseconds(options.trickle_ms > 0 ? options.trickle_ms : 15);
        stream_next_ = now;
        Log(r.stream == Stream::kFlood ? "> (flood)" : "> (trickle forever)");
    } else {
        bool first = true;
        for (Piece& piece : PlanReply(r.reply, command.size(), options)) {
            const bool held = r.late || (options.rest_after_close && !first);
            out_.push_back(
                Timed{held ? Clock::time_point::max() : now + piece.at, std::move(piece.bytes)});
            first = false;
        }
        if (!r.late && (r.delay_ms > 0 || r.gap_ms > 0))
            PlanChaos(r, now);
        Log(std::string(r.late ? "> (once closed) " : "> ") + Escape(r.reply));
    }
    const auto last =
        out_.empty() || out_.back().at == Clock::time_point::max() ? now : out_.back().at;
    vanish_deadline_ = last + kVanishGrace;
}

// The random device's reply: after its delay, or in up to three pieces a gap apart, the first
// of them after one gap too.
void Device::PlanChaos(const Response& r, Clock::time_point now) {
    out_.clear();
    out_off_ = 0;
    if (r.delay_ms > 0) {
        out_.push_back(Timed{now + std::chrono::milliseconds(r.delay_ms), r.reply});
        return;
    }
    const std::size_t n = r.reply.size();
    const std::size_t cuts[] = {0, n / 3, (2 * n) / 3, n};
    for (int i = 0; i < 3; ++i) {
        if (cuts[i + 1] > cuts[i]) {
            out_.push_back(Timed{now + std::chrono::milliseconds(r.gap_ms) * (i + 1),
                                 r.reply.substr(cuts[i], cuts[i + 1] - cuts[i])});
        }
    }
}

// Writes what is due; false on a fatal write error. *blocked: the port takes no more now.
bool Device::WriteDue(Clock::time_point now, bool* blocked) {
    *blocked = false;
    while (!out_.empty() && out_.front().at <= now) {
        const std::string& bytes = out_.front().bytes;
        if (out_.front().line_break) {
            SendBreak();
            out_.erase(out_.begin());
            continue;
        }
        const long n = WritePort(bytes.data() + out_off_, bytes.size() - out_off_);
        if (n < 0)
            return false;
        out_off_ += static_cast<std::size_t>(n);
        if (out_off_ < bytes.size()) {
            *blocked = true;
            return true;
        }
        out_.erase(out_.begin());
        out_off_ = 0;
    }
    if (stream_ == Stream::kNone)
        return true;
    if (stream_ == Stream::kTrickle) {
        if (now < stream_next_)
            return true;
        const long n = WritePort(reinterpret_cast<const char*>(&fill_), 1);
        if (n == 1) {
            stream_next_ = now + trickle_gap_;
        } else {
            *blocked = true;
        }
        return true;
    }
    const std::string chunk(256, static_cast<char>(fill_));
    for (;;) {
        // A part taken is a full port too: a COM port's write ends at its time-out.
        const long n = WritePort(chunk.data(), chunk.size());
        if (n < static_cast<long>(chunk.size())) {
            *blocked = true;
            return true;
        }
    }
}

}  // namespace tarvexsim

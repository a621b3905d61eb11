// A scripted stand-in for the serial port primitives, for faults that a real or simulated
// device cannot produce on demand (line errors, failing reads and writes).
#pragma once

#include <cstdint>
#include <deque>
#include <string>

namespace fake {

// What one status query reports, and the bytes that arrive just before it.
struct Poll {
    std::string arriving;
    std::uint32_t errorWord = 0;
    bool queryFails = false;
};

struct Script {
    bool openFails = false;
    int busyOpens = 0;  // the first this many opens are refused as busy
    bool writeFails = false;
    int readFailsAt = -1;  // index of the read call that fails, counted from 0
    // Consumed one per status query, the query before the send included. When it runs out,
    // queries report no error and nothing new arrives.
    std::deque<Poll> polls;
};

struct Record {
    int opens = 0;
    int openCalls = 0;
    int closes = 0;
    int sleeps = 0;
    int reads = 0;
    int lastPort = 0;
    std::string written;
    std::string unread;  // bytes that arrived and were not read
};

// Clears the script and the record; call at the start of every test.
void Reset();
Script& Scripted();
const Record& Recorded();

// Convenience: the query before the send is clean, then `arriving` comes on the first poll.
void ReplyAtFirstPoll(const std::string& arriving);

}  // namespace fake

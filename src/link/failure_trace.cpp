#include "link/failure_trace.h"

#include "common/console.h"
#include "common/verbose.h"

namespace morva {
namespace {

constexpr int kFailureTraceLevel = 3;

}  // namespace

void TraceFailedCall(const char* call, unsigned long error) {
    if (GetVerboseLevel() >= kFailureTraceLevel) {
        Print("%s failure : error %lu\n", call, error);
    }
}

void TraceShortTransfer(const char* call, unsigned long done, unsigned long count) {
    if (GetVerboseLevel() >= kFailureTraceLevel) {
        Print("%s failure : %lu of %lu bytes\n", call, done, count);
    }
}

void TraceLineError(const char* call, const char* what) {
    if (GetVerboseLevel() >= kFailureTraceLevel) {
        Print("%s line error : %s\n", call, what);
    }
}

}  // namespace morva

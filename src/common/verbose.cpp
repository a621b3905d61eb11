#include "common/verbose.h"

namespace morva {
namespace {
int g_verboseLevel = 0;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
}  // namespace

int GetVerboseLevel() {
    return g_verboseLevel;
}

void SetVerboseLevel(int level) {
    g_verboseLevel = level;
}

}  // namespace morva

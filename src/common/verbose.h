// The process-wide verbose level: raised by the option scan, read everywhere else.
#pragma once

namespace morva {

int GetVerboseLevel();
void SetVerboseLevel(int level);

}  // namespace morva

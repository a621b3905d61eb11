#include "settings/port_setting.h"

// Placeholder until the settings file is in place: no settings file is ever found.
namespace morva {

int ReadPortSetting(const char* /*programPath*/) { return 0; }

void WritePortSetting(const char* /*programPath*/, const char* /*portText*/) {}

int SetComPort(int /*argc*/, const char* const* /*argv*/, int /*commandIndex*/) { return 0; }

}  // namespace morva

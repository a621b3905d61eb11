// Whether another morva holds a COM port for a whole command (an update), told from morva's
// own hold without opening the port.
#pragma once

namespace morva {

bool PortHeldByAnotherMorva(int port);

}  // namespace morva

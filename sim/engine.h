// The whole simulator engine, as the target tarvex_sim_engine links it: reply planning
// (responder.h), the escape codec (escape.h) and the device on its pseudo-terminal (device.h).
#ifndef TARVEX_SIM_ENGINE_H_
#define TARVEX_SIM_ENGINE_H_

#include "device.h"
#include "escape.h"
#include "responder.h"

#endif  // TARVEX_SIM_ENGINE_H_

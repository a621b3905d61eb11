// Fixed names and texts of the program, kept in one place.
#pragma once

#include "common/version.h"  // kVersionText, from the project version

namespace morva {

inline constexpr char kProgramName[] = "morva";
inline constexpr char kSeriesName[] = "Tarvex";

}  // namespace morva

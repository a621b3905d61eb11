// Fixed names and texts of the program, kept in one place.
#pragma once

namespace morva {

inline constexpr char kProgramName[] = "morva";
inline constexpr char kSeriesName[] = "Tarvex";
inline constexpr char kVersionText[] = "4.00";

}  // namespace morva

// The table that morva-ports prints on both systems: one row per port, columns as wide as
// their widest entry, "-" for what is not known.
#pragma once

#include <array>

namespace morva {

inline constexpr int kTableColumns = 7;
inline constexpr int kTableFieldSize = 256;
using TableField = std::array<char, kTableFieldSize>;
using TableRow = std::array<TableField, kTableColumns>;

// The text, cut to the field, or "-" when it is empty.
void FillField(TableField* field, const char* text);
void PrintTable(const std::array<const char*, kTableColumns>& names, const TableRow* rows,
                int count);

}  // namespace morva

#include "ports/port_table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace morva {
namespace {

void PrintRow(const TableRow& row, const std::array<int, kTableColumns>& widths) {
    for (int column = 0; column + 1 < kTableColumns; ++column) {
        std::printf("%-*s  ", widths[column], row[column].data());
    }
    std::printf("%s\n", row[kTableColumns - 1].data());
}

}  // namespace

void FillField(TableField* field, const char* text) {
    static_cast<void>(
        std::snprintf(field->data(), field->size(), "%s", text[0] != '\0' ? text : "-"));
}

void PrintTable(const std::array<const char*, kTableColumns>& names, const TableRow* rows,
                int count) {
    TableRow header{};
    std::array<int, kTableColumns> widths{};
    for (int column = 0; column < kTableColumns; ++column) {
        FillField(&header[column], names[column]);
        widths[column] = static_cast<int>(std::strlen(header[column].data()));
        for (int i = 0; i < count; ++i) {
            widths[column] =
                std::max(widths[column], static_cast<int>(std::strlen(rows[i][column].data())));
        }
    }
    PrintRow(header, widths);
    for (int i = 0; i < count; ++i) {
        PrintRow(rows[i], widths);
    }
}

}  // namespace morva

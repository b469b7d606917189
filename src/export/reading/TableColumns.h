#pragma once

// The columns a table's reading gives out: the driver's fields, which of them are dates or
// times, and each column as the table or query describes it.

#include "export/reading/ReadColumns.h"
#include "platform/odbc/Odbc.h"

#include <cstddef>
#include <vector>

namespace kestrove {

struct TableColumns {
    std::vector<odbc::Field> fields;
    std::vector<bool> dateOrTime;
    std::vector<Column> described;

    int count() const { return static_cast<int>(fields.size()); }
    // Throws for an ordinal that is not a field's.
    const odbc::Field& field(int ordinal) const {
        if (ordinal < 0 || static_cast<std::size_t>(ordinal) >= fields.size())
            throwNoField();
        return fields[static_cast<std::size_t>(ordinal)];
    }
    // Whether the table declares the field as a date, time or timestamp.
    bool isDateOrTime(int ordinal) const;
    // The field's column as the table or query describes it.
    const Column& column(int ordinal) const;

private:
    [[noreturn]] static void throwNoField();
};

} // namespace kestrove

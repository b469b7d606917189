#include "export/reading/TableColumns.h"

namespace kestrove {

const odbc::Field& TableColumns::field(int ordinal) const {
    if (ordinal < 0 || static_cast<std::size_t>(ordinal) >= fields.size())
        throw odbc::OdbcError("Item cannot be found in the collection.", "07009");
    return fields[static_cast<std::size_t>(ordinal)];
}

bool TableColumns::isDateOrTime(int ordinal) const {
    field(ordinal);
    return static_cast<std::size_t>(ordinal) < dateOrTime.size() &&
           dateOrTime[static_cast<std::size_t>(ordinal)];
}

const Column& TableColumns::column(int ordinal) const {
    static const Column none;
    field(ordinal);
    return static_cast<std::size_t>(ordinal) < described.size()
               ? described[static_cast<std::size_t>(ordinal)]
               : none;
}

} // namespace kestrove

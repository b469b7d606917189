#include "export/reading/TableColumns.h"

namespace kestrove {

void TableColumns::throwNoField() {
    throw odbc::OdbcError("Item cannot be found in the collection.", "07009");
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

#include "catalogue/TableCatalogue.h"

#include "app/ErrorReport.h"
#include "platform/desktop/MessageBoxes.h"
#include "platform/odbc/Odbc.h"

#include <optional>

namespace kestrove {

namespace {
QString textOf(const odbc::RecordSet& records, int ordinal) {
    return QString::fromStdString(records.value(ordinal).value_or(std::string()));
}
} // namespace

void AddTablesToPostgreSQLListbox(TableList& list, const ConnectionSettings& settings) {
    Steps steps(QStringLiteral("PostgreSQL"), QStringLiteral("AddTablesToPostgreSQLListbox"));
    std::optional<odbc::Connection> connection;
    std::optional<odbc::RecordSet> records;

    steps(100, [&] { connection.emplace(); });
    steps(102, [&] { records.emplace(); });
    steps(104, [&] { connection.value().setCursorLocation(odbc::CursorLocationClient); });
    steps(106, [&] { connection.value().open(DriverConnectionString(settings)); });
    steps(108, [&] { records = connection.value().execute(CatalogueQuery); });
    steps(110, [&] { list.clear(); });
    const auto count = steps.bound(112, [&] { return records.value().recordCount(); });
    for (long row = 1; row <= count.value_or(0); ++row) {
        steps(114, [] { desktop::yieldToWindowSystem(); });
        steps(116, [&] { list.add(textOf(*records, 0), textOf(*records, 1)); });
        steps(118, [&] { records.value().moveNext(); });
    }
    steps(122, [&] { records.value().close(); });
    steps(124, [&] { connection.value().close(); });
}

} // namespace kestrove

#include "export/NumberNotices.h"

#include <algorithm>

namespace kestrove {

namespace {

// "numeric column `t.c`: 12 values have more digits than a spreadsheet number holds and
// stay text; a sum over the column leaves them out."
QString notice(const QString& table, const NumberNotices::Column& column,
               workbook::xml::TextCause cause, long values) {
    using workbook::xml::TextCause;
    const bool one = values == 1;
    const QString stay = one ? QStringLiteral("stays text") : QStringLiteral("stay text");
    QString why;
    switch (cause) {
    case TextCause::MoreDigits:
        why = (one ? QStringLiteral("has") : QStringLiteral("have")) +
              QStringLiteral(" more digits than a spreadsheet number holds and ") + stay;
        break;
    case TextCause::NotFinite:
        why = (one ? QStringLiteral("is") : QStringLiteral("are")) +
              QStringLiteral(" NaN or infinite, which no spreadsheet number is, and ") + stay;
        break;
    case TextCause::FormatsFull:
        why = stay + QStringLiteral(", since the workbook already has as many number formats as "
                                    "a spreadsheet takes");
        break;
    }
    return (column.typeName.isEmpty() ? QString() : column.typeName + QLatin1Char(' ')) +
           QStringLiteral("column `%1.%2`: %3 %4 %5; a sum over the column leaves %6 out.")
               .arg(table, column.name, QString::number(values),
                    one ? QStringLiteral("value") : QStringLiteral("values"), why,
                    one ? QStringLiteral("it") : QStringLiteral("them"));
}

} // namespace

void NumberNotices::beginTable(const QString& table, std::vector<Column> columns,
                               const workbook::Worksheet* sheet) {
    m_tables.push_back({table, std::move(columns), {}});
    continueOn(sheet);
}

void NumberNotices::continueOn(const workbook::Worksheet* sheet) {
    if (sheet && !m_tables.empty())
        m_tables.back().sheets.push_back(sheet);
}

QStringList NumberNotices::texts() const {
    QStringList texts;
    for (const Table& table : m_tables) {
        std::vector<workbook::TextCounts> counts(table.columns.size(), workbook::TextCounts{});
        for (const workbook::Worksheet* sheet : table.sheets) {
            const std::vector<workbook::TextCounts>& ofSheet = sheet->numbersAsText();
            for (std::size_t c = 0; c < std::min(ofSheet.size(), counts.size()); ++c)
                for (std::size_t cause = 0; cause < counts[c].size(); ++cause)
                    counts[c][cause] += ofSheet[c][cause];
        }
        for (std::size_t c = 0; c < counts.size(); ++c)
            for (std::size_t cause = 0; cause < counts[c].size(); ++cause)
                if (counts[c][cause] > 0)
                    texts << notice(table.name, table.columns[c],
                                    static_cast<workbook::xml::TextCause>(cause), counts[c][cause]);
    }
    return texts;
}

} // namespace kestrove

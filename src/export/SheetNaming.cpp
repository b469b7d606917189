#include "export/SheetNaming.h"

#include "app/ErrorReport.h"
#include "platform/workbook/Workbook.h"

#include <stdexcept>

namespace kestrove {

namespace {
constexpr int NameLength = 30;

// The first `units` UTF-16 units, as the spreadsheet counts, but never half a pair: a
// character that does not fit whole is left out.
QString leftWhole(const QString& text, qsizetype units) {
    if (text.size() <= units)
        return text;
    return text.left(units > 0 && text.at(units - 1).isHighSurrogate() ? units - 1 : units);
}
} // namespace

QString CleanSheetName(const QString& name) {
    QString cleaned = name;
    cleaned.remove(QLatin1Char('['));
    cleaned.remove(QLatin1Char(']'));
    return leftWhole(cleaned, NameLength);
}

bool SheetNameExists(const QString& name, workbook::Workbook& book) {
    const QString wanted = name.toLower();
    for (int index = 1; index <= book.count(); ++index)
        if (QString::fromStdString(book.item(index).name()).toLower() == wanted)
            return true;
    return false;
}

QString NumberedSheetName(const QString& base, int number) {
    const QString digits = QString::number(number);
    return leftWhole(base, NameLength - digits.size()) + digits;
}

void NameSheetAfterTable(Steps& steps, QString& currentTableName, workbook::Worksheet* sheet,
                         workbook::Workbook* book) {
    QString base;
    int number = 0;
    if (steps.test(150, [&] { return currentTableName.size() > 31; })) {
        steps(152, [&] { currentTableName = leftWhole(currentTableName, NameLength); });
        steps(154, [&] { base = leftWhole(currentTableName, NameLength); });
        steps(156, [&] { number = 1; });
        steps.whileLoop(
            158, [&] { return SheetNameExists(CleanSheetName(currentTableName), Required(book)); },
            [&] {
                steps(160, [&] { currentTableName = NumberedSheetName(base, number); });
                steps(162, [&] { ++number; });
            });
    }
    steps(164, [&] { Required(sheet).setName(CleanSheetName(currentTableName).toStdString()); });
}

QString ContinuationSheetName(const QString& tableName, workbook::Workbook& book) {
    const QString base = CleanSheetName(tableName);
    QString candidate;
    int number = 1;
    do
        candidate = CleanSheetName(NumberedSheetName(base, number++));
    while (SheetNameExists(candidate, book));
    return candidate;
}

} // namespace kestrove

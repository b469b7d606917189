#pragma once

// How a worksheet is named after its table: brackets removed, a long name cut to 30
// characters and numbered until no other sheet bears it.

#include <QString>

namespace kestrove {

class Steps;
namespace workbook {
class Workbook;
class Worksheet;
} // namespace workbook

// The name with every '[' and ']' removed, cut to its first 30 characters (UTF-16 units,
// as the spreadsheet counts them, without cutting a character in two).
QString CleanSheetName(const QString& name);

// Whether a sheet of the workbook bears the name, compared without regard to case.
bool SheetNameExists(const QString& name, workbook::Workbook& book);

// The numbered candidate: the base's first characters followed by the number, short
// enough that cleaning keeps the digits.
QString NumberedSheetName(const QString& base, int number);

// Names a freshly chosen sheet after the table in `currentTableName`, as the import's
// steps 150 to 164: a name over 31 characters is cut to 30 and, when a sheet already
// bears it, numbered. `currentTableName` keeps the name the rule arrived at.
void NameSheetAfterTable(Steps& steps, QString& currentTableName, workbook::Worksheet* sheet,
                         workbook::Workbook* book);

// A name for a further sheet of the same table: the cleaned name, numbered from 1 until
// no sheet bears it.
QString ContinuationSheetName(const QString& tableName, workbook::Workbook& book);

} // namespace kestrove

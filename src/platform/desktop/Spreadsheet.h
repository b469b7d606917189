#pragma once

#include <QString>

#include <functional>

namespace kestrove::desktop {

// A new path for a finished workbook: <Documents>/Kestrove/<database> <date time>.xlsx,
// never one that exists already.
QString newWorkbookPath(const QString& database);

// Opens a file in the desktop's spreadsheet program, which outlives this program.
void openInSpreadsheetProgram(const QString& path);

// The spreadsheet program that opens .xlsx files: the desktop's default for the type,
// else a known program on PATH; empty when there is none.
QString findSpreadsheetProgram();

// Stand-ins for the desktop where a test cannot have it act: the program search and the
// opening of a finished workbook. An empty function puts the real one back.
void setSpreadsheetProgramFinder(std::function<QString()> finder);
void setWorkbookOpener(std::function<void(const QString& path)> opener);

} // namespace kestrove::desktop

#pragma once

// The desktop's spreadsheet program: where a finished workbook goes, finding the program
// and opening the workbook in it.

#include <QString>

#include <functional>

namespace kestrove::desktop {

// A new path for a finished workbook: <Documents>/Kestrove/<database> <date time>.xlsx,
// never one that exists already.
QString newWorkbookPath(const QString& database);

// Opens a file in the desktop's spreadsheet program, which outlives this program.
// Throws std::runtime_error when no program could be started for it.
void openInSpreadsheetProgram(const QString& path);

// The spreadsheet program that opens .xlsx files: the desktop's default for the type
// when its program is still there, else a known program on PATH; empty when there is none.
QString findSpreadsheetProgram();

// Whether a desktop entry (such as "gnumeric.desktop") is installed and the program its
// Exec line names can be found.
bool desktopEntryRuns(const QString& desktopFile);

// Stand-ins for the desktop where a test cannot have it act: the program search and the
// opening of a finished workbook. An empty function puts the real one back.
void setSpreadsheetProgramFinder(std::function<QString()> finder);
void setWorkbookOpener(std::function<void(const QString& path)> opener);

} // namespace kestrove::desktop

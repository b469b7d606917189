#pragma once

// The check at start-up that a spreadsheet program can open the workbooks; without one the
// program explains why and ends.

#include <QString>

#include <functional>

namespace kestrove {

// The message shown when no spreadsheet program can be found.
QString ExcelMissingMessage();

// Looks for a spreadsheet program; when there is none, shows the fixed message and ends
// the program. `findProgram` returns the program found (empty for none) and `endProgram`
// ends the run; both default to the real ones.
void IsExcelInstalled(const std::function<QString()>& findProgram = {},
                      const std::function<void()>& endProgram = {});

} // namespace kestrove

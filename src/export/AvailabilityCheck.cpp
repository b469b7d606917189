#include "export/AvailabilityCheck.h"

#include "platform/desktop/MessageBoxes.h"
#include "platform/desktop/Spreadsheet.h"

#include <cstdlib>

namespace kestrove {

QString ExcelMissingMessage() {
    const QString gap = QStringLiteral("\r\n\r\n");
    return QStringLiteral("Error 842001. A normal instance of Excel could not be created.") + gap +
           QStringLiteral("1. Please make sure Excel is installed on this computer.") + gap +
           QStringLiteral("2. Please open Excel normally and make sure a blank spreadsheet opens "
                          "immediately without any interrupting window (such as an Excel file "
                          "recovery window).") +
           gap +
           QStringLiteral("3. Please make sure that when you double-click on a XLS or XLSX file "
                          "that Excel opens normally without any interrupting messages.") +
           gap +
           QStringLiteral("4. All versions of Excel are supported by this software except for the "
                          "rare Excel Starter and Student editions.");
}

void IsExcelInstalled(const std::function<QString()>& findProgram,
                      const std::function<void()>& endProgram) {
    QString found;
    try {
        found = findProgram ? findProgram() : desktop::findSpreadsheetProgram();
    } catch (...) {
        found.clear(); // a search that fails counts as nothing found
    }
    if (!found.isEmpty())
        return;
    desktop::showMessage(ExcelMissingMessage());
    if (endProgram)
        endProgram();
    else
        std::exit(0);
}

} // namespace kestrove

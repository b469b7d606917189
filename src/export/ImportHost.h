#pragma once

// What the import needs of the window that runs it, and nothing more: the list, the
// progress bar, the pointer and window state, the connection details, the window's turn,
// the finished workbook's place and the run's notices.

#include "app/PointerValues.h"
#include "catalogue/TableList.h"
#include "connection/ConnectionString.h"
#include "platform/desktop/MessageBoxes.h"

#include <QString>
#include <QStringList>

namespace kestrove {

// What the import needs of the table selection window, and nothing more.
class ImportHost {
public:
    virtual ~ImportHost() = default;
    // The entries, read live by position while the import runs.
    virtual TableList& tableList() = 0;
    // Progress from 0 to 100 and the status text shown in the bar.
    virtual void setProgress(double value) = 0;
    virtual void setStatusText(const QString& text) = 0;
    virtual int mousePointer() const = 0;
    virtual void setMousePointer(int pointer) = 0;
    virtual int windowState() const = 0;
    virtual void setWindowState(int state) = 0;
    // The connection details as they stand at this moment.
    virtual ConnectionSettings connectionSettings() const = 0;
    // Lets the window system handle pending events.
    virtual void yield() = 0;
    // Where the finished workbook is written, and handing it to the spreadsheet program.
    virtual QString workbookPath(const ConnectionSettings& settings) = 0;
    virtual void openWorkbook(const QString& path) = 0;
    // The run's notices (numbers that stayed text, see NumberNotices), all together just
    // before "Done.": one message box, a paragraph each.
    virtual void showNotices(const QStringList& notices) {
        desktop::showMessage(notices.join(QStringLiteral("\r\n\r\n")));
    }
};

} // namespace kestrove

#include "app/WindowFlow.h"
#include "command/EndOnSignals.h"
#include "platform/desktop/Locale.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    // Ended by a signal (a logout, a kill), the program cancels its statements on the
    // server and leaves no half-written workbook. First, before any other thread starts.
    kestrove::EndOnSignals ending;
    QApplication application(argc, argv);
    kestrove::desktop::UseCNumberFormat();
    QApplication::setApplicationName(QStringLiteral("Kestrove"));
    QApplication::setDesktopFileName(QStringLiteral("kestrove"));
    // The program ends when either window is closed, and only then: not when a message
    // box closes while both windows are hidden.
    QApplication::setQuitOnLastWindowClosed(false);
    kestrove::StartProgram();
    return QApplication::exec();
}

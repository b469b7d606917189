#include "app/WindowFlow.h"
#include "platform/desktop/Locale.h"

#include <QApplication>

int main(int argc, char* argv[]) {
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

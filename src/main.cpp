#include "app/WindowFlow.h"
#include "platform/desktop/Locale.h"
#include "platform/system/Signals.h"
#include "platform/workbook/LeftoverFiles.h"

#include <QApplication>

namespace {
// Ended by a signal (a logout, a kill), the program leaves no half-written workbook.
void endOnSignal(int signal) {
    kestrove::workbook::removeLeftoverFiles();
    kestrove::system::exitAtOnce(128 + signal);
}
} // namespace

int main(int argc, char* argv[]) {
    kestrove::system::onEndingSignals(endOnSignal);
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

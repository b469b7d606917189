#include "app/WindowFlow.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kestrove"));
    QApplication::setDesktopFileName(QStringLiteral("kestrove"));
    kestrove::StartProgram();
    return QApplication::exec();
}

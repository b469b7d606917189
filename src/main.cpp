#include <QApplication>
#include <QMessageBox>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kestrove"));
    QMessageBox::information(nullptr, QStringLiteral("Kestrove"),
                             QStringLiteral("The windows of Kestrove come in a later version."));
    return 0;
}

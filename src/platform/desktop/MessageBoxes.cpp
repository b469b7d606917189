#include "platform/desktop/MessageBoxes.h"

#include <QApplication>
#include <QMessageBox>

namespace kestrove::desktop {

namespace {

class WidgetMessageBoxes final : public MessageBoxService {
public:
    void show(const QString& text, int style, const QString& title) override {
        // A bare CR, a LF and CR LF each end one line on screen.
        QString shown = text;
        shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
        QMessageBox box(style == StyleExclamation ? QMessageBox::Warning : QMessageBox::NoIcon,
                        title, shown, QMessageBox::Ok);
        // A driver's message may hold something tag-like: it is shown as written.
        box.setTextFormat(Qt::PlainText);
        box.exec();
    }
};

WidgetMessageBoxes& widgetMessageBoxes() {
    static WidgetMessageBoxes service;
    return service;
}

MessageBoxService* g_installed = nullptr;
QString g_applicationTitle = QStringLiteral("Kestrove");

} // namespace

MessageBoxService& messageBoxes() {
    return g_installed ? *g_installed : widgetMessageBoxes();
}

void setMessageBoxes(MessageBoxService* service) {
    g_installed = service;
}

void showMessage(const QString& text) {
    messageBoxes().show(text, StyleOkOnly, g_applicationTitle);
}

QString applicationTitle() {
    return g_applicationTitle;
}

void setApplicationTitle(const QString& title) {
    g_applicationTitle = title;
}

void yieldToWindowSystem() {
    if (QCoreApplication::instance())
        QCoreApplication::processEvents();
}

} // namespace kestrove::desktop

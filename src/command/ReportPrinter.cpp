#include "command/ReportPrinter.h"

#include <iostream>

namespace kestrove {

ReportPrinter::ReportPrinter() {
    desktop::setMessageBoxes(this);
}

ReportPrinter::~ReportPrinter() {
    desktop::setMessageBoxes(nullptr);
}

void ReportPrinter::show(const QString& text, int style, const QString& title) {
    if (style != desktop::StyleExclamation)
        return;
    ++m_reports;
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"))
        .replace(QLatin1Char('\r'), QLatin1Char('\n'));
    if (const QString name = m_name ? m_name() : QString(); !name.isEmpty())
        shown.prepend(name + QStringLiteral(": "));
    std::cerr << "\n[" << title.toStdString() << "] " << shown.toStdString() << "\n" << std::flush;
}

} // namespace kestrove

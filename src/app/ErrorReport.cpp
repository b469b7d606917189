#include "app/ErrorReport.h"

#include "platform/desktop/MessageBoxes.h"

#include <stdexcept>

#ifndef KESTROVE_SUPPORT_ADDRESS
#define KESTROVE_SUPPORT_ADDRESS "support@drumlane.example"
#endif

namespace kestrove {

QString LocationText(const QString& module, const QString& handler) {
    return QStringLiteral("in Pellarine2021/08/31.") + module + QLatin1Char('.') + handler +
           QLatin1Char(' ');
}

QString ApplicationErrorText(const QString& description, const QString& location, int step) {
    return description + QStringLiteral("\r\n") + location + QStringLiteral("at line ") +
           QString::number(step) +
           QStringLiteral("\r\rPlease email screenshot of this message to ") +
           QStringLiteral(KESTROVE_SUPPORT_ADDRESS);
}

void ReportApplicationError(const QString& description, const QString& location, int step) {
    desktop::messageBoxes().show(ApplicationErrorText(description, location, step),
                                 desktop::StyleExclamation, QStringLiteral("Application Error"));
}

QString DescribeFailure(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

void Steps::report(int step, std::exception_ptr failure) const {
    ReportApplicationError(DescribeFailure(failure), m_location, step);
}

} // namespace kestrove

#include "connection/ConnectionString.h"

#include "platform/odbc/Odbc.h"

#include <optional>

namespace kestrove {

namespace {

// The driver splits the string at ';'. It takes braces off the password only, and
// URL-decodes an unbraced password, so '+' and '%' would change it: a password is
// braced when it holds any of these. Any other value keeps its braces as typed and is
// braced only when it holds ';', which would otherwise start a new key.
QString connectionValue(const QString& value, bool isPassword) {
    const bool needsBraces =
        value.contains(QLatin1Char(';')) ||
        (isPassword && (value.contains(QLatin1Char('{')) || value.contains(QLatin1Char('}')) ||
                        value.contains(QLatin1Char('+')) || value.contains(QLatin1Char('%'))));
    if (!needsBraces)
        return value;
    QString braced = value;
    braced.replace(QStringLiteral("}"), QStringLiteral("}}"));
    return QLatin1Char('{') + braced + QLatin1Char('}');
}

} // namespace

QString BuildConnectionString(const ConnectionSettings& settings) {
    return QStringLiteral("Driver={PostgreSQL Unicode};Server=") +
           connectionValue(settings.server, false) + QStringLiteral(";Port=") +
           connectionValue(settings.port, false) + QStringLiteral(";Uid=") +
           connectionValue(settings.user, false) + QStringLiteral(";Pwd=") +
           connectionValue(settings.password, true) + QStringLiteral(";Database=") +
           connectionValue(settings.database, false);
}

bool CanConnect(const ConnectionSettings& settings) {
    odbc::Connection connection;
    try {
        connection.open(BuildConnectionString(settings).toStdString());
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace kestrove

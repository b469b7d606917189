#include "connection/ConnectionString.h"

#include "platform/desktop/Locale.h"
#include "platform/odbc/Odbc.h"

#include <exception>
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

std::string DriverConnectionString(const ConnectionSettings& settings,
                                   const std::optional<Keepalives>& reading) {
    std::string driverString = BuildConnectionString(settings).toStdString() +
                               ";ConnSettings={SET client_encoding TO 'UTF8'}";
    // libpq's own options, passed on by the driver: its keepalive options alone cannot set
    // the probes' count or bound a request that is never acknowledged.
    if (reading)
        driverString +=
            ";pqopt={fallback_application_name=kestrove keepalives=1 keepalives_idle=" +
            std::to_string(reading->idleSeconds) +
            " keepalives_interval=" + std::to_string(reading->intervalSeconds) +
            " keepalives_count=" + std::to_string(reading->count) +
            " tcp_user_timeout=" + std::to_string(reading->unacknowledgedTimeout.count()) + "}";
    return driverString;
}

ConnectionAttempt::ConnectionAttempt() : m_connection(std::make_unique<odbc::Connection>()) {}

ConnectionAttempt::~ConnectionAttempt() = default;

std::optional<QString> ConnectionAttempt::failureToOpen(const ConnectionSettings& settings,
                                                        DriverMessages messages) {
    std::optional<desktop::UntranslatedMessages> untranslated;
    if (messages == DriverMessages::Untranslated)
        untranslated.emplace();
    try {
        m_connection->open(DriverConnectionString(settings));
        return std::nullopt;
    } catch (const std::exception& error) {
        return QString::fromStdString(error.what()).trimmed();
    } catch (...) {
        return QStringLiteral("The connection could not be opened.");
    }
}

bool CanConnect(const ConnectionSettings& settings) {
    ConnectionAttempt attempt;
    return !attempt.failureToOpen(settings);
}

} // namespace kestrove

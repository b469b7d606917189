#pragma once

// The one place a connection is described and tried: the ODBC connection string built
// from the five connection details, the driver's options added to it, and the one try to
// connect that the silent check, "Test Connection" and kestrove-export share.

#include <QString>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace kestrove {

namespace odbc {
class Connection;
}

// The five connection details, as typed into the Setup Connections window.
struct ConnectionSettings {
    QString server;
    QString port;
    QString user;
    QString password;
    QString database;
};

// The ODBC connection string for the "PostgreSQL Unicode" driver. Values go in as typed,
// except one the driver would not read back as typed, which is wrapped in braces.
QString BuildConnectionString(const ConnectionSettings& settings);

// How a connection that reads tables finds out that a server stopped answering at the
// network level: TCP keepalives after this much silence, then probes; and at most this
// long for sent data to be acknowledged.
struct Keepalives {
    int idleSeconds;
    int intervalSeconds;
    int count;
    std::chrono::milliseconds unacknowledgedTimeout;
};

// The string the driver is given: BuildConnectionString's, then the options the program
// relies on. Every session names UTF-8 as its encoding, so that the driver hands narrow
// texts over as the server's bytes whatever the locale or PGCLIENTENCODING. A connection
// that reads tables also gets libpq's keepalives, and shows as kestrove's in the server's
// activity unless PGAPPNAME names it otherwise.
std::string DriverConnectionString(const ConnectionSettings& settings,
                                   const std::optional<Keepalives>& reading = std::nullopt);

// Whether the driver's messages come in the user's language or untranslated, so that
// their meaning can be read.
enum class DriverMessages { Translated, Untranslated };

// One try to connect. The connection object is made first, and a failure to make it is the
// caller's to report; a failure to open is only the answer. The connection, when it
// opened, is released with the try.
class ConnectionAttempt {
public:
    ConnectionAttempt();
    ~ConnectionAttempt();
    ConnectionAttempt(const ConnectionAttempt&) = delete;
    ConnectionAttempt& operator=(const ConnectionAttempt&) = delete;

    // Opens the connection with the settings: the driver's message when it does not open,
    // nothing when it does.
    std::optional<QString> failureToOpen(const ConnectionSettings& settings,
                                         DriverMessages messages = DriverMessages::Translated);

private:
    std::unique_ptr<odbc::Connection> m_connection;
};

// True when a connection opens with the settings; shows nothing. Only a connection
// object that cannot be created at all is passed on to the caller as a failure.
bool CanConnect(const ConnectionSettings& settings);

} // namespace kestrove

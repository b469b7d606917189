#pragma once

#include <QString>

namespace kestrove {

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

// True when a connection opens with the settings; shows nothing. Only a connection
// object that cannot be created at all is passed on to the caller as a failure.
bool CanConnect(const ConnectionSettings& settings);

} // namespace kestrove

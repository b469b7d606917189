#pragma once

// Where the settings store keeps the five connection details, and what the wizard shows
// and connects with where it has none stored.

#include <QString>

namespace kestrove {

inline const QString ServerKey = QStringLiteral("PostgreSQLServer");
inline const QString PortKey = QStringLiteral("PostgreSQLPort");
inline const QString UserKey = QStringLiteral("PostgreSQLUser");
inline const QString PasswordKey = QStringLiteral("PostgreSQLPassword");
inline const QString DatabaseKey = QStringLiteral("PostgreSQLDatabase");

inline const QString DefaultServer = QStringLiteral("localhost");
inline const QString DefaultPort = QStringLiteral("5432");

} // namespace kestrove

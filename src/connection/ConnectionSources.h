#pragma once

// Where kestrove-export's connection details and password come from, in the order
// PostgreSQL's own clients take them: an option, then libpq's environment, then the
// password file, then a prompt, and the wizard's store last.

#include "connection/ConnectionString.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <stdexcept>

namespace kestrove {

// Where one detail came from.
enum class Origin { Option, Environment, Store, Default };

// The connection options as given on the command line; absent when not given.
struct ConnectionOptions {
    std::optional<QString> host;
    std::optional<QString> port;
    std::optional<QString> user;
    std::optional<QString> database;
    std::optional<QString> passwordFile; // its first line is the password
};

// What is read besides the options. The process's own are processSources(); tests give
// their own.
struct ConnectionSources {
    // A variable of the environment; absent when unset.
    std::function<std::optional<QString>(const char* name)> environment;
    // A key of the wizard's store; absent when not stored. Throws when the store cannot be read.
    std::function<std::optional<QString>(const QString& key)> store;
    // The home folder, for ~/.pgpass.
    QString home;
    // The login name, which libpq takes for a user that is not given.
    QString loginName;
};
ConnectionSources processSources();

// A source that was needed could not be read (the store, the --password-file), or the
// connection was refused; what() says which and why.
class ConnectionFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The details settled, with the password when one was found without asking anyone.
struct ResolvedConnection {
    ConnectionSettings settings; // password empty
    Origin host = Origin::Default;
    Origin port = Origin::Default;
    Origin user = Origin::Default;
    Origin database = Origin::Default;
    // From --password-file, PGPASSWORD or the password file, in that order.
    std::optional<QString> password;
    // The wizard's stored password, kept only when none of the four details was given
    // another way: it is never sent to a server, user or database it was not stored for.
    std::optional<QString> storedPassword;
    // Things to tell the user, such as a password file refused for its permissions.
    QStringList warnings;

    // The user and database libpq connects as when they are left empty.
    QString effectiveUser(const ConnectionSources& sources) const;
    QString effectiveDatabase(const ConnectionSources& sources) const;
};

// Takes each detail from its option, else PGHOST, PGPORT, PGUSER, PGDATABASE, else the
// wizard's store (read only for what is still missing), else the wizard's default. Throws
// ConnectionFailure when the store or the --password-file is needed but unreadable.
ResolvedConnection ResolveConnection(const ConnectionOptions& options,
                                     const ConnectionSources& sources);

// The password of the first line of a libpq password file (host:port:database:user:password,
// '*' matching anything, '\' taking the next character as it is) that matches the
// details. A file that is not a plain file, or that its group or others may read, is
// refused with a warning, as libpq does.
std::optional<QString> PasswordFromFile(const QString& path, const QString& host,
                                        const QString& port, const QString& database,
                                        const QString& user, QStringList& warnings);

// Someone asked for the password.
class PasswordPrompt {
public:
    virtual ~PasswordPrompt() = default;
    // The answer typed; absent when there is no one to ask (no terminal).
    virtual std::optional<QString> ask(const QString& question) = 0;
};

enum class Prompting {
    WhenAsked, // only when the server asks for a password and none was found
    Never,     // -w
    First,     // -W: before connecting, whatever else was found
};

// Settles the password by connecting: with the one found; else without one, and only when
// the server asks for one, with the prompt's answer, else the wizard's stored password.
// Returns the settings that connected. Throws ConnectionFailure with the driver's
// message when none connects.
ConnectionSettings SettlePassword(const ResolvedConnection& resolved,
                                  const ConnectionSources& sources, Prompting prompting,
                                  PasswordPrompt& prompt);

// "Password for user U on H:P:", as the prompt asks.
QString PasswordQuestion(const ResolvedConnection& resolved, const ConnectionSources& sources);

} // namespace kestrove

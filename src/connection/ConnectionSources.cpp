#include "connection/ConnectionSources.h"

#include "app/Settings.h"
#include "connection/StoredDetails.h"
#include "platform/system/Account.h"
#include "platform/system/Files.h"

#include <QFile>

#include <cstdlib>

namespace kestrove {

namespace {

// libpq's socket folder on Debian, which its password file calls localhost.
const QString DefaultSocketFolder = QStringLiteral("/var/run/postgresql");

// libpq's reading of one field of a password-file line: '*' matches anything, '\' takes
// the next character as it is, ':' ends the field. The rest of the line after it, or
// -1 when the field does not match.
qsizetype matchField(const QString& line, qsizetype at, const QString& value) {
    if (at >= line.size())
        return -1;
    if (line.mid(at, 2) == QLatin1String("*:"))
        return at + 2;
    qsizetype matched = 0;
    for (qsizetype i = at; i < line.size(); ++i) {
        bool escaped = false;
        if (line[i] == QLatin1Char('\\') && i + 1 < line.size()) {
            ++i;
            escaped = true;
        }
        if (!escaped && line[i] == QLatin1Char(':'))
            return matched == value.size() ? i + 1 : -1;
        if (matched >= value.size() || line[i] != value[matched])
            return -1;
        ++matched;
    }
    return -1;
}

// Connects and lets go again; the driver's message when it fails.
std::optional<QString> failureToConnect(const ConnectionSettings& settings,
                                        DriverMessages messages) {
    try {
        return ConnectionAttempt().failureToOpen(settings, messages);
    } catch (const std::exception& error) {
        // Not even a connection object: as much a failure to connect as any other.
        return QString::fromStdString(error.what()).trimmed();
    }
}

} // namespace

ConnectionSources processSources() {
    ConnectionSources sources;
    sources.environment = [](const char* name) -> std::optional<QString> {
        const char* value = std::getenv(name);
        if (!value)
            return std::nullopt;
        return QString::fromLocal8Bit(value);
    };
    sources.store = [](const QString& key) -> std::optional<QString> {
        // An absent key reads as the default given: one no store holds tells it from a
        // stored empty text.
        const QString value = ReadSetting(key, QStringLiteral("\x01"));
        if (value == QStringLiteral("\x01"))
            return std::nullopt;
        return value;
    };
    sources.home = QString::fromLocal8Bit(qgetenv("HOME"));
    if (sources.home.isEmpty())
        sources.home = system::accountHomeFolder();
    sources.loginName = system::loginName();
    return sources;
}

QString ResolvedConnection::effectiveUser(const ConnectionSources& sources) const {
    return settings.user.isEmpty() ? sources.loginName : settings.user;
}

QString ResolvedConnection::effectiveDatabase(const ConnectionSources& sources) const {
    return settings.database.isEmpty() ? effectiveUser(sources) : settings.database;
}

ResolvedConnection ResolveConnection(const ConnectionOptions& options,
                                     const ConnectionSources& sources) {
    ResolvedConnection resolved;
    const auto environment = [&](const char* name) -> std::optional<QString> {
        // An empty variable counts as unset, as it does for libpq.
        std::optional<QString> value = sources.environment(name);
        if (value && value->isEmpty())
            return std::nullopt;
        return value;
    };
    const auto stored = [&](const QString& key) -> std::optional<QString> {
        try {
            return sources.store(key);
        } catch (const std::exception& failure) {
            throw ConnectionFailure(failure.what());
        }
    };
    const auto detail = [&](const std::optional<QString>& option, const char* variable,
                            const QString& key, const QString& fallback, QString& value,
                            Origin& origin) {
        if (option) {
            value = *option;
            origin = Origin::Option;
        } else if (const auto fromEnvironment = environment(variable)) {
            value = *fromEnvironment;
            origin = Origin::Environment;
        } else if (const auto fromStore = stored(key)) {
            value = *fromStore;
            origin = Origin::Store;
        } else {
            value = fallback;
            origin = Origin::Default;
        }
    };
    ConnectionSettings& settings = resolved.settings;
    detail(options.host, "PGHOST", ServerKey, DefaultServer, settings.server, resolved.host);
    detail(options.port, "PGPORT", PortKey, DefaultPort, settings.port, resolved.port);
    detail(options.user, "PGUSER", UserKey, QString(), settings.user, resolved.user);
    detail(options.database, "PGDATABASE", DatabaseKey, QString(), settings.database,
           resolved.database);

    if (options.passwordFile) {
        QFile file(*options.passwordFile);
        if (!file.open(QIODevice::ReadOnly))
            throw ConnectionFailure(QStringLiteral("cannot read the password file %1: %2")
                                        .arg(file.fileName(), file.errorString())
                                        .toStdString());
        resolved.password =
            QString::fromUtf8(file.readLine()).remove(QLatin1Char('\n')).remove(QLatin1Char('\r'));
    } else if (const auto fromEnvironment = environment("PGPASSWORD")) {
        resolved.password = *fromEnvironment;
    } else {
        const QString path =
            environment("PGPASSFILE").value_or(sources.home + QStringLiteral("/.pgpass"));
        QString host = settings.server;
        if (host.isEmpty() || host == DefaultSocketFolder)
            host = DefaultServer;
        resolved.password =
            PasswordFromFile(path, host, settings.port.isEmpty() ? DefaultPort : settings.port,
                             resolved.effectiveDatabase(sources), resolved.effectiveUser(sources),
                             resolved.warnings);
    }

    const auto fromTheWizard = [](Origin origin) {
        return origin == Origin::Store || origin == Origin::Default;
    };
    if (fromTheWizard(resolved.host) && fromTheWizard(resolved.port) &&
        fromTheWizard(resolved.user) && fromTheWizard(resolved.database))
        resolved.storedPassword = stored(PasswordKey);
    return resolved;
}

std::optional<QString> PasswordFromFile(const QString& path, const QString& host,
                                        const QString& port, const QString& database,
                                        const QString& user, QStringList& warnings) {
    const std::optional<system::FileRights> rights = system::rightsOf(path);
    if (!rights)
        return std::nullopt;
    if (!rights->plainFile) {
        warnings << QStringLiteral("password file \"%1\" is not a plain file").arg(path);
        return std::nullopt;
    }
    if (rights->groupOrOthers) {
        warnings << QStringLiteral(
                        "password file \"%1\" has group or world access; permissions should be "
                        "u=rw (0600) or less")
                        .arg(path);
        return std::nullopt;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        QString line = QString::fromUtf8(raw);
        while (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        qsizetype at = 0;
        for (const QString* value : {&host, &port, &database, &user})
            if (at >= 0)
                at = matchField(line, at, *value);
        if (at < 0)
            continue;
        // The password ends at the line's end or at a ':' that no '\' takes.
        QString password;
        for (qsizetype i = at; i < line.size() && line[i] != QLatin1Char(':'); ++i) {
            if (line[i] == QLatin1Char('\\') && i + 1 < line.size())
                ++i;
            password += line[i];
        }
        // An empty password is none, as libpq takes it: the prompt may still ask.
        if (password.isEmpty())
            return std::nullopt;
        return password;
    }
    return std::nullopt;
}

QString PasswordQuestion(const ResolvedConnection& resolved, const ConnectionSources& sources) {
    return QStringLiteral("Password for user %1 on %2:%3: ")
        .arg(resolved.effectiveUser(sources), resolved.settings.server, resolved.settings.port);
}

ConnectionSettings SettlePassword(const ResolvedConnection& resolved,
                                  const ConnectionSources& sources, Prompting prompting,
                                  PasswordPrompt& prompt) {
    ConnectionSettings settings = resolved.settings;
    const auto connectWith = [&](const QString& password) {
        settings.password = password;
        if (const auto failure = failureToConnect(settings, DriverMessages::Translated))
            throw ConnectionFailure(failure->toStdString());
        return settings;
    };
    const auto asked = [&]() { return prompt.ask(PasswordQuestion(resolved, sources)); };

    if (prompting == Prompting::First) {
        const std::optional<QString> answer = asked();
        if (!answer)
            throw ConnectionFailure("no terminal to ask for the password on");
        return connectWith(*answer);
    }
    if (resolved.password)
        return connectWith(*resolved.password);

    // Without a password first: many servers ask for none.
    settings.password.clear();
    const std::optional<QString> failure = failureToConnect(settings, DriverMessages::Untranslated);
    if (!failure)
        return settings;
    if (!failure->contains(QLatin1String("no password supplied")))
        throw ConnectionFailure(failure->toStdString());
    if (prompting == Prompting::WhenAsked)
        if (const std::optional<QString> answer = asked())
            return connectWith(*answer);
    if (resolved.storedPassword)
        return connectWith(*resolved.storedPassword);
    throw ConnectionFailure(failure->toStdString());
}

} // namespace kestrove

// kestrove-export: the wizard's export without a window, for servers and scheduled jobs.
// Run with --help for its options; exit status 0 when every table was exported whole and
// the workbook saved, 1 when anything was reported, 2 for bad usage.

#include "app/Settings.h"
#include "export/CommandLine.h"
#include "platform/desktop/Locale.h"
#include "platform/desktop/Spreadsheet.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <optional>

using namespace kestrove;

namespace {

constexpr int ExitReported = 1;
constexpr int ExitUsage = 2;

int usageError(const QString& reason) {
    std::cerr << "kestrove-export: " << reason.toStdString() << "\n"
              << "Try 'kestrove-export --help' for more information.\n";
    return ExitUsage;
}

// Reads a line from the terminal without showing it.
QString promptForPassword() {
    std::cerr << "Password: " << std::flush;
    termios old{};
    const bool hidden = tcgetattr(STDIN_FILENO, &old) == 0;
    if (hidden) {
        termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    std::string line;
    std::getline(std::cin, line);
    if (hidden)
        tcsetattr(STDIN_FILENO, TCSANOW, &old);
    std::cerr << "\n";
    return QString::fromStdString(line);
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestrove-export"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTROVE_VERSION));
    desktop::UseCNumberFormat();

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Copies tables of a PostgreSQL database into a new workbook, one worksheet per table,\n"
        "as the Kestrove wizard does. Without connection options, the details the wizard\n"
        "stored are used. The password comes from PGPASSWORD, --password-file, a prompt on a\n"
        "terminal, or the wizard's store; never from the command line.\n"
        "Exit status: 0 all tables exported whole and the workbook saved; 1 something was\n"
        "reported (on standard error); 2 bad usage."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption server(QStringLiteral("server"), QStringLiteral("Server name or address."),
                                    QStringLiteral("host"));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("Server port."), QStringLiteral("port"));
    const QCommandLineOption user(QStringLiteral("user"), QStringLiteral("User name."), QStringLiteral("name"));
    const QCommandLineOption database(QStringLiteral("database"), QStringLiteral("Database name."),
                                      QStringLiteral("name"));
    const QCommandLineOption passwordFile(QStringLiteral("password-file"),
                                          QStringLiteral("Read the password from the first line of a file."),
                                          QStringLiteral("file"));
    const QCommandLineOption all(QStringLiteral("all"),
                                 QStringLiteral("Export every table but those of pg_catalog and information_schema."));
    const QCommandLineOption out(QStringLiteral("out"),
                                 QStringLiteral("Workbook to write (default: Documents/Kestrove/<database> <time>.xlsx)."),
                                 QStringLiteral("file"));
    const QCommandLineOption force(QStringLiteral("force"), QStringLiteral("Replace the --out file if it exists."));
    parser.addOptions({server, port, user, database, passwordFile, all, out, force});
    parser.addPositionalArgument(QStringLiteral("tables"), QStringLiteral("Tables as schema.table or bare names."),
                                 QStringLiteral("[TABLE...]"));
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    const QStringList tables = parser.positionalArguments();
    if (tables.isEmpty() == !parser.isSet(all))
        return usageError(parser.isSet(all) ? QStringLiteral("name tables or --all, not both")
                                            : QStringLiteral("name the tables to export, or --all"));
    if (parser.isSet(force) && !parser.isSet(out))
        return usageError(QStringLiteral("--force replaces only an --out file"));

    ReportPrinter printer;
    // Each detail comes from its option, else from the wizard's store, which is read only
    // for the details no option gives.
    std::optional<std::string> storeFailure;
    const auto stored = [&](const char* key, const QString& fallback) {
        try {
            return ReadSetting(QString::fromLatin1(key), fallback);
        } catch (const std::exception& failure) {
            storeFailure = failure.what();
            return fallback;
        }
    };
    const auto detail = [&](const QCommandLineOption& option, const char* key, const QString& fallback) {
        return parser.isSet(option) ? parser.value(option) : stored(key, fallback);
    };
    ConnectionSettings settings{detail(server, "PostgreSQLServer", QStringLiteral("localhost")),
                                detail(port, "PostgreSQLPort", QStringLiteral("5432")),
                                detail(user, "PostgreSQLUser", QString()), QString(),
                                detail(database, "PostgreSQLDatabase", QString())};
    const bool detailsGiven =
        parser.isSet(server) || parser.isSet(port) || parser.isSet(user) || parser.isSet(database);
    if (qEnvironmentVariableIsSet("PGPASSWORD")) {
        settings.password = qEnvironmentVariable("PGPASSWORD");
    } else if (parser.isSet(passwordFile)) {
        QFile file(parser.value(passwordFile));
        if (!file.open(QIODevice::ReadOnly))
            return usageError(QStringLiteral("cannot read the password file %1: %2")
                                  .arg(file.fileName(), file.errorString()));
        settings.password = QString::fromUtf8(file.readLine()).remove(QLatin1Char('\n')).remove(QLatin1Char('\r'));
    } else if (detailsGiven && isatty(STDIN_FILENO)) {
        settings.password = promptForPassword();
    } else {
        settings.password = stored("PostgreSQLPassword", QString());
    }
    if (storeFailure) {
        std::cerr << "kestrove-export: " << *storeFailure << "\n";
        return ExitReported;
    }

    QString path = parser.value(out);
    QString target = path;
    if (path.isEmpty()) {
        path = target = desktop::newWorkbookPath(settings.database);
    } else if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) {
        if (!parser.isSet(force))
            return usageError(QStringLiteral("%1 exists already (--force replaces it)").arg(path));
        // Written beside it under a name of its own, then put in its place in one step.
        path = path + QStringLiteral(".kestrove-%1.xlsx").arg(QCoreApplication::applicationPid());
    }

    CommandHost host(settings, path);
    if (const auto reason = host.tickTables(tables, parser.isSet(all)))
        return printer.reports() > 0 ? ExitReported : usageError(*reason);
    if (printer.reports() > 0)
        return ExitReported;
    bool saved = false;
    host.onSaved([&](const QString& written) {
        if (written != target && std::rename(QFile::encodeName(written).constData(),
                                             QFile::encodeName(target).constData()) != 0) {
            throw std::runtime_error("it could not replace " + target.toStdString());
        }
        saved = true;
    });
    TableImport import;
    if (isatty(STDERR_FILENO))
        host.showProgress(import);
    import.PushButton5_Click(host);
    if (saved)
        std::cout << target.toStdString() << "\n";
    return printer.reports() == 0 && saved ? 0 : ExitReported;
}

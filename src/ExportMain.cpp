// kestrove-export: the wizard's export without a window, for servers and scheduled jobs.
// Run with --help for its options; exit status 0 when every table was exported whole and
// the workbook saved, 1 when anything was reported, 2 for bad usage, 128 + the signal
// when ended by SIGINT, SIGTERM or SIGHUP.

#include "connection/ConnectionSources.h"
#include "connection/TerminalPrompt.h"
#include "export/CommandLine.h"
#include "export/OutputFile.h"
#include "platform/desktop/Locale.h"
#include "platform/desktop/Spreadsheet.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <unistd.h>

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

int reported(const QString& reason) {
    std::cerr << "kestrove-export: " << reason.toStdString() << "\n";
    return ExitReported;
}

} // namespace

int main(int argc, char* argv[]) {
    EndOnSignals ending;
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestrove-export"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTROVE_VERSION));
    desktop::UseCNumberFormat();

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Copies tables of a PostgreSQL database into a new workbook, one worksheet per table,\n"
        "as the Kestrove wizard does. Each connection detail comes from its option, else\n"
        "PGHOST, PGPORT, PGUSER or PGDATABASE, else the wizard's store. The password comes\n"
        "from --password-file, else PGPASSWORD, else PGPASSFILE or ~/.pgpass, else a prompt\n"
        "when the server asks for one, else the wizard's store when every detail came from\n"
        "it; never from the command line.\n"
        "Exit status: 0 all tables exported whole and the workbook saved; 1 something was\n"
        "reported (on standard error); 2 bad usage; 128 + the signal when ended by one."));
    const QCommandLineOption help({QStringLiteral("?"), QStringLiteral("help")}, QStringLiteral("Show this help."));
    const QCommandLineOption version({QStringLiteral("V"), QStringLiteral("version")},
                                     QStringLiteral("Show the version."));
    const QCommandLineOption host({QStringLiteral("h"), QStringLiteral("host"), QStringLiteral("server")},
                                  QStringLiteral("Server name, address or socket folder."), QStringLiteral("host"));
    const QCommandLineOption port({QStringLiteral("p"), QStringLiteral("port")}, QStringLiteral("Server port."),
                                  QStringLiteral("port"));
    const QCommandLineOption user({QStringLiteral("U"), QStringLiteral("username"), QStringLiteral("user")},
                                  QStringLiteral("User name."), QStringLiteral("name"));
    const QCommandLineOption database({QStringLiteral("d"), QStringLiteral("dbname"), QStringLiteral("database")},
                                      QStringLiteral("Database name."), QStringLiteral("name"));
    const QCommandLineOption noPassword({QStringLiteral("w"), QStringLiteral("no-password")},
                                       QStringLiteral("Never ask for a password."));
    const QCommandLineOption askPassword({QStringLiteral("W"), QStringLiteral("password")},
                                         QStringLiteral("Ask for the password before connecting."));
    const QCommandLineOption passwordFile(QStringLiteral("password-file"),
                                          QStringLiteral("Read the password from the first line of a file."),
                                          QStringLiteral("file"));
    const QCommandLineOption all(QStringLiteral("all"),
                                 QStringLiteral("Export every table but the system catalogues and other "
                                                "sessions' temporary tables."));
    const QCommandLineOption out({QStringLiteral("f"), QStringLiteral("file"), QStringLiteral("out")},
                                 QStringLiteral("Workbook to write (default: Documents/Kestrove/<database> <time>.xlsx)."),
                                 QStringLiteral("file"));
    const QCommandLineOption force(QStringLiteral("force"),
                                   QStringLiteral("Replace the --file workbook, once the export succeeds."));
    parser.addOptions({help, version, host, port, user, database, noPassword, askPassword, passwordFile, all, out,
                       force});
    parser.addPositionalArgument(QStringLiteral("tables"),
                                 QStringLiteral("Tables, views, materialized views or foreign tables, named as in psql."),
                                 QStringLiteral("[TABLE...]"));
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(help))
        parser.showHelp(0);
    if (parser.isSet(version))
        parser.showVersion();
    const QStringList tables = parser.positionalArguments();
    if (tables.isEmpty() == !parser.isSet(all))
        return usageError(parser.isSet(all) ? QStringLiteral("name tables or --all, not both")
                                            : QStringLiteral("name the tables to export, or --all"));
    if (parser.isSet(force) && !parser.isSet(out))
        return usageError(QStringLiteral("--force replaces only a --file workbook"));
    if (parser.isSet(noPassword) && parser.isSet(askPassword))
        return usageError(QStringLiteral("-w never asks for a password, -W always does: give one of them"));
    // The workbook's place is checked before anything is read.
    if (parser.isSet(out))
        if (const auto problem = OutputFile::problem(parser.value(out), parser.isSet(force)))
            return usageError(*problem);

    const auto given = [&](const QCommandLineOption& option) {
        return parser.isSet(option) ? std::optional<QString>(parser.value(option)) : std::nullopt;
    };
    const ConnectionOptions options{given(host), given(port), given(user), given(database), given(passwordFile)};
    const ConnectionSources sources = processSources();
    ConnectionSettings settings;
    try {
        const ResolvedConnection resolved = ResolveConnection(options, sources);
        for (const QString& warning : resolved.warnings)
            std::cerr << "kestrove-export: warning: " << warning.toStdString() << "\n";
        TerminalPrompt prompt;
        settings = SettlePassword(resolved, sources,
                                  parser.isSet(askPassword)  ? Prompting::First
                                  : parser.isSet(noPassword) ? Prompting::Never
                                                             : Prompting::WhenAsked,
                                  prompt);
    } catch (const ConnectionFailure& failure) {
        return reported(QString::fromStdString(failure.what()));
    }

    const QString target = parser.isSet(out) ? parser.value(out) : desktop::newWorkbookPath(settings.database);
    OutputFile output(target, parser.isSet(force));
    ReportPrinter printer;
    CommandHost command(settings, output.writtenPath());
    try {
        if (const auto reason = command.tickTables(tables, parser.isSet(all)))
            return printer.reports() > 0 ? ExitReported : usageError(*reason);
    } catch (const std::exception& failure) {
        return reported(QString::fromStdString(failure.what()));
    }
    if (printer.reports() > 0)
        return ExitReported;
    bool saved = false;
    command.onSaved([&](const QString&) { saved = true; });
    TableImport import;
    if (isatty(STDERR_FILENO))
        command.showProgress(import);
    import.PushButton5_Click(command);
    if (!saved)
        return ExitReported;

    const bool succeeded = printer.reports() == 0;
    ending.finishing();
    QString placed;
    try {
        placed = output.place(succeeded);
    } catch (const std::exception& failure) {
        return reported(QStringLiteral("the workbook stays at %1: %2")
                            .arg(output.writtenPath(), QString::fromStdString(failure.what())));
    }
    std::cout << placed.toStdString() << "\n";
    if (placed != target) {
        std::cerr << "kestrove-export: " << target.toStdString()
                  << (succeeded ? " was taken meanwhile" : " is left as it was, since the export was not whole")
                  << "; the new workbook is " << placed.toStdString() << "\n";
        return ExitReported;
    }
    return succeeded ? 0 : ExitReported;
}

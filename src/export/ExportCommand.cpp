#include "export/ExportCommand.h"

#include "connection/TerminalPrompt.h"
#include "export/CommandHost.h"
#include "export/EndOnSignals.h"
#include "export/OutputFile.h"
#include "export/ReportPrinter.h"
#include "platform/desktop/Spreadsheet.h"
#include "platform/system/Terminal.h"

#include <QCommandLineParser>

#include <iostream>

namespace kestrove {

namespace {

const char* const Description =
    "Copies tables of a PostgreSQL database into a new workbook, one worksheet per table,\n"
    "as the Kestrove wizard does. Each connection detail comes from its option, else\n"
    "PGHOST, PGPORT, PGUSER or PGDATABASE, else the wizard's store. The password comes\n"
    "from --password-file, else PGPASSWORD, else PGPASSFILE or ~/.pgpass, else a prompt\n"
    "when the server asks for one, else the wizard's store when every detail came from\n"
    "it; never from the command line.\n"
    "Exit status: 0 all tables exported whole and the workbook saved; 1 something was\n"
    "reported (on standard error); 2 bad usage; 128 + the signal when ended by one.";

QCommandLineOption option(std::initializer_list<const char*> names, const char* description,
                          const char* valueName = nullptr) {
    QStringList spelled;
    for (const char* name : names)
        spelled << QString::fromLatin1(name);
    return QCommandLineOption(spelled, QString::fromLatin1(description),
                              valueName ? QString::fromLatin1(valueName) : QString());
}

// The command's options, as its parser knows them.
struct Options {
    QCommandLineOption help = option({"?", "help"}, "Show this help.");
    QCommandLineOption version = option({"V", "version"}, "Show the version.");
    QCommandLineOption host =
        option({"h", "host", "server"}, "Server name, address or socket folder.", "host");
    QCommandLineOption port = option({"p", "port"}, "Server port.", "port");
    QCommandLineOption user = option({"U", "username", "user"}, "User name.", "name");
    QCommandLineOption database = option({"d", "dbname", "database"}, "Database name.", "name");
    QCommandLineOption noPassword = option({"w", "no-password"}, "Never ask for a password.");
    QCommandLineOption askPassword =
        option({"W", "password"}, "Ask for the password before connecting.");
    QCommandLineOption passwordFile =
        option({"password-file"}, "Read the password from the first line of a file.", "file");
    QCommandLineOption all =
        option({"all"}, "Export every table but those of the system catalogues.");
    QCommandLineOption out =
        option({"f", "file", "out"},
               "Workbook to write (default: Documents/Kestrove/<database> <time>.xlsx).", "file");
    QCommandLineOption force =
        option({"force"}, "Replace the --file workbook, once the export succeeds.");
};

int usageError(const QString& reason) {
    std::cerr << "kestrove-export: " << reason.toStdString() << "\n"
              << "Try 'kestrove-export --help' for more information.\n";
    return ExitUsage;
}

int reported(const QString& reason) {
    std::cerr << "kestrove-export: " << reason.toStdString() << "\n";
    return ExitReported;
}

// Why the options do not go together; absent when they do. `neverAndFirst`: both -w and -W.
std::optional<QString> conflict(const ExportOptions& options, bool neverAndFirst) {
    if (options.tables.isEmpty() == !options.all)
        return options.all ? QStringLiteral("name tables or --all, not both")
                           : QStringLiteral("name the tables to export, or --all");
    if (options.force && !options.out)
        return QStringLiteral("--force replaces only a --file workbook");
    if (neverAndFirst)
        return QStringLiteral("-w never asks for a password, -W always does: give one of them");
    // The workbook's place is checked before anything is read.
    if (options.out)
        return OutputFile::problem(*options.out, options.force);
    return std::nullopt;
}

// The details and the password, taken as PostgreSQL's own clients take them. Throws
// ConnectionFailure when none connects.
ConnectionSettings settleConnection(const ExportOptions& options) {
    const ConnectionSources sources = processSources();
    const ResolvedConnection resolved = ResolveConnection(options.connection, sources);
    for (const QString& warning : resolved.warnings)
        std::cerr << "kestrove-export: warning: " << warning.toStdString() << "\n";
    TerminalPrompt prompt;
    return SettlePassword(resolved, sources, options.prompting, prompt);
}

// Puts the written workbook in place and prints where it went; the exit status.
int placeWorkbook(OutputFile& output, const QString& target, bool succeeded) {
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
                  << (succeeded ? " was taken meanwhile"
                                : " is left as it was, since the export was not whole")
                  << "; the new workbook is " << placed.toStdString() << "\n";
        return ExitReported;
    }
    return succeeded ? 0 : ExitReported;
}

} // namespace

int RunExport(const ExportOptions& options, EndOnSignals& ending) {
    ConnectionSettings settings;
    try {
        settings = settleConnection(options);
    } catch (const ConnectionFailure& failure) {
        return reported(QString::fromStdString(failure.what()));
    }
    const QString target = options.out ? *options.out : desktop::newWorkbookPath(settings.database);
    OutputFile output(target, options.force);
    ReportPrinter printer;
    CommandHost command(settings, output.writtenPath());
    try {
        if (const auto reason = command.tickTables(options.tables, options.all))
            return printer.reports() > 0 ? ExitReported : usageError(*reason);
    } catch (const std::exception& failure) {
        return reported(QString::fromStdString(failure.what()));
    }
    if (printer.reports() > 0)
        return ExitReported;
    bool saved = false;
    command.onSaved([&](const QString&) { saved = true; });
    TableImport import;
    if (system::standardErrorIsTerminal())
        command.showProgress(import);
    import.PushButton5_Click(command);
    if (!saved)
        return ExitReported;
    const bool succeeded = printer.reports() == 0;
    ending.finishing();
    return placeWorkbook(output, target, succeeded);
}

std::variant<ExportOptions, int> ReadExportOptions(const QStringList& arguments) {
    const Options known;
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(Description));
    parser.addOptions({known.help, known.version, known.host, known.port, known.user,
                       known.database, known.noPassword, known.askPassword, known.passwordFile,
                       known.all, known.out, known.force});
    parser.addPositionalArgument(
        QStringLiteral("tables"),
        QStringLiteral("Tables, views or materialized views, named as in psql."),
        QStringLiteral("[TABLE...]"));
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet(known.help))
        parser.showHelp(0);
    if (parser.isSet(known.version))
        parser.showVersion();
    const auto given = [&](const QCommandLineOption& option) {
        return parser.isSet(option) ? std::optional<QString>(parser.value(option)) : std::nullopt;
    };
    ExportOptions options;
    options.connection = ConnectionOptions{given(known.host), given(known.port), given(known.user),
                                           given(known.database), given(known.passwordFile)};
    options.prompting = parser.isSet(known.askPassword)  ? Prompting::First
                        : parser.isSet(known.noPassword) ? Prompting::Never
                                                         : Prompting::WhenAsked;
    options.tables = parser.positionalArguments();
    options.all = parser.isSet(known.all);
    options.out = given(known.out);
    options.force = parser.isSet(known.force);
    const bool neverAndFirst = parser.isSet(known.noPassword) && parser.isSet(known.askPassword);
    if (const auto reason = conflict(options, neverAndFirst))
        return usageError(*reason);
    return options;
}

} // namespace kestrove

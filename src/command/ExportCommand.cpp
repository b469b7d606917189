#include "command/ExportCommand.h"

#include "catalogue/Form2FinishSteps.h"
#include "command/CommandHost.h"
#include "command/EndOnSignals.h"
#include "command/OutputFile.h"
#include "command/ReportPrinter.h"
#include "connection/TerminalPrompt.h"
#include "platform/desktop/Spreadsheet.h"
#include "platform/system/Terminal.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <iostream>

namespace kestrove {

namespace {

const char* const Description =
    "Copies tables of a PostgreSQL database into a new workbook, one worksheet per table,\n"
    "as the Kestrove wizard does, and the results of queries (-c, --query-file), each a\n"
    "sheet named query, query2, ... or after its file, in the one read-only snapshot of\n"
    "the tables. Sheets come in the order given (tables first with --all), each new one\n"
    "before the one before. Each connection detail comes from its option, else\n"
    "PGHOST, PGPORT, PGUSER or PGDATABASE, else the wizard's store. The password comes\n"
    "from --password-file, else PGPASSWORD, else PGPASSFILE or ~/.pgpass, else a prompt\n"
    "when the server asks for one, else the wizard's store when every detail came from\n"
    "it; never from the command line.\n"
    "Exit status: 0 all tables exported whole and the workbook saved; 1 something was\n"
    "reported (on standard error); 2 bad usage; 128 + the signal when ended by one.";

int usageError(const QString& reason);
int reported(const QString& reason);

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
    QCommandLineOption all = option(
        {"all"},
        "Export every table but the system catalogues and other sessions' temporary tables.");
    QCommandLineOption out =
        option({"f", "file", "out"},
               "Workbook to write (default: Documents/Kestrove/<database> <time>.xlsx).", "file");
    QCommandLineOption force =
        option({"force"}, "Replace the --file workbook, once the export succeeds.");
    QCommandLineOption command =
        option({"c", "command"},
               "A query whose result becomes a sheet (one statement); may be repeated.", "sql");
    QCommandLineOption exactTimes =
        option({"exact-times"}, "Keep times with more than 3 fraction digits of a second as "
                                "text, every digit shown (else date cells shown to the "
                                "millisecond).");
    QCommandLineOption queryFile = option({"query-file"},
                                          "A file of one query, whose result becomes a sheet named "
                                          "after the file less .sql; may be repeated.",
                                          "file");

    // The options that take a value, for reading the arguments' order.
    std::vector<const QCommandLineOption*> valued() const {
        return {&host, &port, &user, &database, &passwordFile, &out, &command, &queryFile};
    }
};

// Where a sheet's rows come from, as the arguments name it: a table, the query of a -c
// (--command), or that of a --query-file.
enum class SheetSource { Table, Command, QueryFile };

// The sources of the sheets in the order the arguments name them: a table, a -c query, a
// --query-file, read as the parser reads them (a value follows its option, or is joined
// to it by '=' or, for a short one, to its letter).
std::vector<SheetSource> sheetSources(const QStringList& arguments, const Options& known) {
    const auto takesValue = [&](const QString& name) {
        for (const QCommandLineOption* option : known.valued())
            if (option->names().contains(name))
                return true;
        return false;
    };
    const auto source = [&](const QString& name) -> std::optional<SheetSource> {
        if (known.command.names().contains(name))
            return SheetSource::Command;
        if (known.queryFile.names().contains(name))
            return SheetSource::QueryFile;
        return std::nullopt;
    };
    std::vector<SheetSource> sources;
    bool positionalOnly = false;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (positionalOnly || argument == QLatin1String("-") ||
            !argument.startsWith(QLatin1Char('-'))) {
            sources.push_back(SheetSource::Table);
        } else if (argument == QLatin1String("--")) {
            positionalOnly = true;
        } else if (argument.startsWith(QLatin1String("--"))) {
            const QString name = argument.mid(2).section(QLatin1Char('='), 0, 0);
            if (const auto named = source(name))
                sources.push_back(*named);
            if (takesValue(name) && !argument.contains(QLatin1Char('=')))
                ++i;
        } else {
            // Short options may be joined: the first that takes a value takes the rest.
            for (qsizetype k = 1; k < argument.size(); ++k) {
                const QString name(argument[k]);
                if (const auto named = source(name))
                    sources.push_back(*named);
                if (takesValue(name)) {
                    if (k + 1 == argument.size())
                        ++i;
                    break;
                }
            }
        }
    }
    return sources;
}

// The queries of -c and --query-file with their sheets' names and places among the
// tables; a usage error's or a file's reason when one is not one statement or cannot be
// read.
std::variant<std::vector<QuerySheet>, int>
readQueries(const QCommandLineParser& parser, const QStringList& arguments, const Options& known) {
    const QStringList commands = parser.values(known.command);
    const QStringList files = parser.values(known.queryFile);
    std::vector<QuerySheet> queries;
    int tables = 0;
    qsizetype command = 0, file = 0;
    for (const SheetSource sheet : sheetSources(arguments, known)) {
        if (sheet == SheetSource::Table) {
            ++tables;
            continue;
        }
        QuerySheet query;
        query.afterTables = tables;
        QString text;
        if (sheet == SheetSource::Command && command < commands.size()) {
            text = commands[command++];
            query.name =
                command == 1 ? QStringLiteral("query") : QStringLiteral("query%1").arg(command);
        } else if (sheet == SheetSource::QueryFile && file < files.size()) {
            const QString path = files[file++];
            QFile source(path);
            if (!source.open(QIODevice::ReadOnly))
                return reported(
                    QStringLiteral("could not read %1: %2").arg(path, source.errorString()));
            QStringDecoder utf8(QStringDecoder::Utf8);
            text = utf8(source.readAll());
            if (utf8.hasError())
                return usageError(QStringLiteral("%1 is not UTF-8 text").arg(path));
            query.name = QFileInfo(path).fileName();
            if (query.name.endsWith(QLatin1String(".sql"), Qt::CaseInsensitive))
                query.name.chop(4);
        } else {
            continue;
        }
        try {
            query.statement = QString::fromStdString(singleStatement(text.toStdString()));
        } catch (const QueryTextError& error) {
            return usageError(
                QStringLiteral("%1: %2").arg(query.name, QString::fromLatin1(error.what())));
        }
        queries.push_back(std::move(query));
    }
    return queries;
}

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
    if (!options.tables.isEmpty() && options.all)
        return QStringLiteral("name tables or --all, not both");
    if (options.tables.isEmpty() && options.queries.empty() && !options.all)
        return QStringLiteral("name the tables to export, or --all, or give a query");
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
        if (const auto reason = command.tickTables(options.tables, options.all, options.queries))
            return printer.reports() > 0 ? ExitReported : usageError(*reason);
    } catch (const std::exception& failure) {
        return reported(QString::fromStdString(failure.what()));
    }
    if (printer.reports() > 0)
        return ExitReported;
    bool saved = false;
    command.onSaved([&](const QString&) { saved = true; });
    Import import;
    import.setExactTimes(options.exactTimes);
    printer.nameReportsAfter([&import] { return import.queryInTurn(); });
    if (system::standardErrorIsTerminal())
        command.showProgress(import);
    import.run(command, FinishSteps());
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
                       known.all, known.out, known.force, known.exactTimes, known.command,
                       known.queryFile});
    parser.addPositionalArgument(
        QStringLiteral("tables"),
        QStringLiteral("Tables, views, materialized views or foreign tables, named as in psql."),
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
    options.exactTimes = parser.isSet(known.exactTimes);
    auto queries = readQueries(parser, arguments, known);
    if (const int* status = std::get_if<int>(&queries))
        return *status;
    options.queries = std::move(std::get<std::vector<QuerySheet>>(queries));
    const bool neverAndFirst = parser.isSet(known.noPassword) && parser.isSet(known.askPassword);
    if (const auto reason = conflict(options, neverAndFirst))
        return usageError(*reason);
    return options;
}

} // namespace kestrove

#include "support/ImportHost.h"
#include "support/Process.h"
#include "support/System.h"
#include "support/TestBed.h"

#include "platform/odbc/Odbc.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <tuple>

#include <chrono>
#include <thread>

using namespace kestrove;
using namespace kestrove::test;

namespace {

// kestrove-export run as a user would, in a home folder of its own.
class ExportCommand : public ::testing::Test {
protected:
    struct Result {
        int status;
        QString out;
        QString err;
    };

    // Its environment: a home of its own, and none of the tester's libpq variables.
    QStringList environment(bool withPassword = true) const {
        return {QStringLiteral("HOME=") + home.path(),
                QStringLiteral("XDG_CONFIG_HOME=") + home.filePath(QStringLiteral(".config")),
                QStringLiteral("-PGHOST"),
                QStringLiteral("-PGPORT"),
                QStringLiteral("-PGUSER"),
                QStringLiteral("-PGDATABASE"),
                QStringLiteral("-PGPASSFILE"),
                withPassword ? QStringLiteral("PGPASSWORD=") + testBedSettings().password
                             : QStringLiteral("-PGPASSWORD")};
    }

    Result run(const QStringList& arguments, bool withPassword = true,
               const QStringList& variables = {}) {
        const ProcessResult result = runProcess(QStringLiteral(KESTROVE_EXPORT_PROGRAM), arguments,
                                                environment(withPassword) + variables);
        return {result.status, QString::fromUtf8(result.out), QString::fromUtf8(result.err)};
    }

    // The wizard's store in this home, holding these details.
    void writeStore(const ConnectionSettings& settings) {
        QSettings store(file(".config/Drumlane.ini"), QSettings::IniFormat);
        store.beginGroup(QStringLiteral("Kestrove"));
        store.setValue(QStringLiteral("PostgreSQLServer"), settings.server);
        store.setValue(QStringLiteral("PostgreSQLPort"), settings.port);
        store.setValue(QStringLiteral("PostgreSQLUser"), settings.user);
        store.setValue(QStringLiteral("PostgreSQLPassword"), settings.password);
        store.setValue(QStringLiteral("PostgreSQLDatabase"), settings.database);
    }

    static QStringList connection() {
        const ConnectionSettings settings = testBedSettings();
        return {QStringLiteral("--server"),   settings.server,
                QStringLiteral("--port"),     settings.port,
                QStringLiteral("--user"),     settings.user,
                QStringLiteral("--database"), settings.database};
    }

    QString file(const char* name) const { return home.filePath(QLatin1String(name)); }

    QTemporaryDir home;
};

} // namespace

TEST_F(ExportCommand, ExportsTheNamedTablesAndPrintsTheWorkbook) {
    const Result result = run(connection() + QStringList{QStringLiteral("--out"), file("out.xlsx"),
                                                         QStringLiteral("export.numbers"),
                                                         QStringLiteral("t_first")});
    ASSERT_EQ(result.status, 0) << result.err.toStdString();
    EXPECT_EQ(result.out, file("out.xlsx") + QLatin1Char('\n'));
    const QJsonArray sheets = readWorkbook(file("out.xlsx"));
    // Each new sheet goes before the one before it, as in the wizard.
    EXPECT_EQ(tabNames(sheets), QStringList({"t_first", "numbers"}));
    EXPECT_EQ(sheetNamed(sheets, QStringLiteral("numbers"))["rows"].toArray().size(), 5001);
}

TEST_F(ExportCommand, UsesTheWizardsStoredDetailsWithoutOptions) {
    writeStore(testBedSettings());
    const Result result =
        run({QStringLiteral("--out"), file("stored.xlsx"), QStringLiteral("t_first")}, false);
    ASSERT_EQ(result.status, 0) << result.err.toStdString();
    EXPECT_EQ(tabNames(readWorkbook(file("stored.xlsx"))), QStringList({"t_first"}));
}

// A store that cannot be read (a folder in its place) matters only when a detail must
// come from it.
TEST_F(ExportCommand, AnUnreadableStoreIsReportedOnlyWhenNeeded) {
    ASSERT_TRUE(QDir().mkpath(file(".config/Drumlane.ini")));
    const Result given = run(connection() + QStringList{QStringLiteral("--out"), file("given.xlsx"),
                                                        QStringLiteral("t_first")});
    EXPECT_EQ(given.status, 0) << given.err.toStdString();
    const Result needed =
        run({QStringLiteral("--out"), file("needed.xlsx"), QStringLiteral("t_first")}, false);
    EXPECT_EQ(needed.status, 1);
    EXPECT_TRUE(needed.err.contains(QStringLiteral("cannot be read"))) << needed.err.toStdString();
    EXPECT_FALSE(QFile::exists(file("needed.xlsx")));
}

// Bad usage: status 2 and one line that says why (plus the pointer to --help).
TEST_F(ExportCommand, BadUsageGivesStatusTwoAndOneReason) {
    QFile existing(file("exists.xlsx"));
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.write("mine");
    existing.close();
    const std::vector<std::pair<QStringList, const char*>> cases{
        {{QStringLiteral("--bogus"), QStringLiteral("t_first")}, "bogus"},
        // A password is never taken from the command line, where others could read it.
        {{QStringLiteral("--password=secret"), QStringLiteral("t_first")}, "password"},
        // -h is the host, as in every PostgreSQL client: without one it is no help.
        {{QStringLiteral("t_first"), QStringLiteral("-h")}, "Missing value after '-h'"},
        {{QStringLiteral("-w"), QStringLiteral("-W"), QStringLiteral("t_first")},
         "give one of them"},
        {{QStringLiteral("\"open")}, "is not a name"},
        {{QStringLiteral("export.")}, "is not a name"},
        {{}, "name the tables"},
        {{QStringLiteral("--all"), QStringLiteral("t_first")}, "not both"},
        // Nothing runs of a query that holds more than one statement, or none.
        {{QStringLiteral("-c"), QStringLiteral("select 1; delete from export.t_first")},
         "more than one statement"},
        {{QStringLiteral("--command=-- a comment;")}, "no statement"},
        // What returns no rows to read is refused before connecting, named by its sheet.
        {{QStringLiteral("-c"), QStringLiteral("select 1"), QStringLiteral("-c"),
          QStringLiteral("show work_mem")},
         "query2: SHOW cannot become a sheet"},
        {{QStringLiteral("no_such_table")}, "no table named no_such_table"},
        {{QStringLiteral("--out"), file("exists.xlsx"), QStringLiteral("t_first")},
         "exists already"},
    };
    for (const auto& [arguments, reason] : cases) {
        const Result result = run(connection() + arguments);
        EXPECT_EQ(result.status, 2) << arguments.join(' ').toStdString();
        const QStringList lines = result.err.trimmed().split(QLatin1Char('\n'));
        EXPECT_TRUE(lines.first().startsWith(QStringLiteral("kestrove-export: ")) &&
                    lines.first().contains(reason) && lines.size() <= 2)
            << result.err.toStdString();
    }
    QFile kept(file("exists.xlsx"));
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), QByteArray("mine"));

    // --force replaces it with the workbook.
    const Result forced =
        run(connection() + QStringList{QStringLiteral("--force"), QStringLiteral("--out"),
                                       file("exists.xlsx"), QStringLiteral("t_first")});
    EXPECT_EQ(forced.status, 0) << forced.err.toStdString();
    EXPECT_EQ(tabNames(readWorkbook(file("exists.xlsx"))), QStringList({"t_first"}));
}

// Queries beside a table, each a sheet in the order given (each before the one before),
// named query, query2, ... or after its file, with the result's header and rows in order:
// numbers as numbers, dates as the server's text, binary columns unread, Nulls empty.
TEST_F(ExportCommand, QueriesAreSheetsInTheGivenOrder) {
    QFile sql(file("monthly_orders.sql"));
    ASSERT_TRUE(sql.open(QIODevice::WriteOnly));
    sql.write("-- the largest amounts; a ';' in a comment counts for nothing\n"
              "WITH big AS (SELECT id, amount FROM export.ledger WHERE amount > 9000)\n"
              "SELECT id, amount AS \"the amount\" FROM big ORDER BY amount DESC, id;\n");
    sql.close();
    const QString top50 =
        QStringLiteral("select id, amount, rate from export.ledger order by amount, id limit 50");
    const Result result =
        run(connection() +
            QStringList{QStringLiteral("--out"), file("queries.xlsx"), QStringLiteral("-c"), top50,
                        QStringLiteral("t_first"), QStringLiteral("--query-file"),
                        file("monthly_orders.sql"),
                        QStringLiteral("--command=select 1 as a, 2 as a, 'infinity'::date as d, "
                                       "'\\x01'::bytea as b, null::text as n"),
                        QStringLiteral("-cselect 1 as nothing where false")});
    ASSERT_EQ(result.status, 0) << result.err.toStdString();
    const QJsonArray sheets = readWorkbook(file("queries.xlsx"));
    EXPECT_EQ(tabNames(sheets),
              QStringList({"query3", "query2", "monthly_orders", "t_first", "query"}));
    // Every value as Excel shows it, row by row, against the server's own result.
    const QJsonArray shown = shownByExcel(file("queries.xlsx"));
    const auto lines = [&](const char* sheet) {
        std::vector<std::string> texts;
        for (const auto& row : rowsOf(sheetNamed(shown, QLatin1String(sheet)))) {
            QStringList cells;
            for (const auto& value : row.toArray())
                cells << (value.isObject()
                              ? QStringLiteral("n:") + value[QStringLiteral("number")].toString()
                              : value.toString());
            texts.push_back(cells.join(QLatin1Char('|')).toStdString());
        }
        return texts;
    };
    std::vector<std::string> expected{"id|amount|rate"};
    for (const std::string& row :
         queryColumn("SELECT concat_ws('|', 'n:' || id, 'n:' || amount, 'n:' || rate) FROM (" +
                     top50.toStdString() + ") AS q"))
        expected.push_back(row);
    EXPECT_EQ(lines("query"), expected);
    expected = {"id|the amount"};
    for (const std::string& row :
         queryColumn("SELECT concat_ws('|', 'n:' || id, 'n:' || amount) FROM export.ledger "
                     "WHERE amount > 9000 ORDER BY amount DESC, id"))
        expected.push_back(row);
    EXPECT_GT(expected.size(), 2u);
    EXPECT_EQ(lines("monthly_orders"), expected);
    EXPECT_EQ(rowsOf(sheetNamed(sheets, QStringLiteral("query2"))),
              QJsonArray({QJsonArray({"a", "a", "d", "b", "n"}),
                          QJsonArray({1.0, 2.0, "infinity", "{BINARY DATA}", QJsonValue()})}));
    EXPECT_EQ(rowsOf(sheetNamed(sheets, QStringLiteral("query3"))),
              QJsonArray({QJsonArray({"nothing"})}));
}

// A query the server refuses is reported with its reason, under its sheet's name, and the
// other sheets are written: writing is refused in the export's read-only transaction.
TEST_F(ExportCommand, RefusedQueriesAreReportedAndTheOthersExported) {
    for (const auto& [query, reason] :
         {std::pair{"delete from export.t_first", "read-only transaction"},
          std::pair{"selec oops", "syntax error"}}) {
        const QString workbook = file(reason) + QStringLiteral(".xlsx");
        const Result result =
            run(connection() + QStringList{QStringLiteral("--out"), workbook, QStringLiteral("-c"),
                                           QStringLiteral("select 1 as fine"), QStringLiteral("-c"),
                                           QLatin1String(query), QStringLiteral("t_first")});
        EXPECT_EQ(result.status, 1) << query;
        // Of the two queries, the report names the second.
        EXPECT_TRUE(result.err.contains(
            QRegularExpression(QStringLiteral("\\[Application Error\\] query2: ERROR: [^\\n]*") +
                               QLatin1String(reason))))
            << result.err.toStdString();
        EXPECT_FALSE(result.err.contains(QStringLiteral("] query: "))) << result.err.toStdString();
        const QJsonArray sheets = readWorkbook(workbook);
        EXPECT_EQ(rowsOf(sheetNamed(sheets, QStringLiteral("t_first"))).size(), 2) << query;
        EXPECT_EQ(rowsOf(sheetNamed(sheets, QStringLiteral("query"))).size(), 2) << query;
    }
    EXPECT_EQ(queryColumn("SELECT count(*) FROM export.t_first"), std::vector<std::string>{"1"});
}

TEST_F(ExportCommand, AFailedTableIsReportedAndTheOthersExported) {
    const Result result =
        run(connection() + QStringList{QStringLiteral("--out"), file("partly.xlsx"),
                                       QStringLiteral("secret"), QStringLiteral("t_first")});
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(result.err.contains(
        QStringLiteral("[Application Error] ERROR: permission denied for table secret")))
        << result.err.toStdString();
    const QJsonArray sheets = readWorkbook(file("partly.xlsx"));
    EXPECT_EQ(sheetNamed(sheets, QStringLiteral("t_first"))["rows"].toArray().size(), 2);
}

// The workbook's place is checked before anything else: the server given here is not
// there, so a reason about the place shows that nothing was tried first.
TEST_F(ExportCommand, TheWorkbooksPlaceIsCheckedBeforeConnecting) {
    ASSERT_TRUE(QDir().mkpath(file("folder")));
    const QStringList nowhere{QStringLiteral("-h"), QStringLiteral("127.0.0.1"),
                              QStringLiteral("-p"), QStringLiteral("1"),
                              QStringLiteral("-d"), QStringLiteral("none")};
    const std::vector<std::pair<QStringList, const char*>> cases{
        {{QStringLiteral("-f"), file("folder")}, "is a folder"},
        {{QStringLiteral("--force"), QStringLiteral("--out"), file("folder")}, "is a folder"},
        {{QStringLiteral("--file"), file("missing/out.xlsx")}, "does not exist"},
        // A device is never replaced by a workbook.
        {{QStringLiteral("--force"), QStringLiteral("-f"), QStringLiteral("/dev/null")},
         "not a plain file"},
    };
    for (const auto& [arguments, reason] : cases) {
        const Result result = run(nowhere + arguments + QStringList{QStringLiteral("t_first")});
        EXPECT_EQ(result.status, 2) << arguments.join(' ').toStdString();
        EXPECT_TRUE(result.err.startsWith(QStringLiteral("kestrove-export: ")) &&
                    result.err.contains(reason))
            << result.err.toStdString();
    }
    EXPECT_FALSE(QFile::exists(file("missing")));
}

// psql's short options and libpq's variables, each alone and all together, in a fresh
// home and beside a store that holds another server's details.
TEST_F(ExportCommand, DetailsFromShortOptionsAndLibpqsVariables) {
    const ConnectionSettings bed = testBedSettings();
    const QStringList options{QStringLiteral("-h"), bed.server, QStringLiteral("-p"), bed.port,
                              QStringLiteral("-U"), bed.user,   QStringLiteral("-d"), bed.database};
    const QStringList variables{
        QStringLiteral("PGHOST=") + bed.server, QStringLiteral("PGPORT=") + bed.port,
        QStringLiteral("PGUSER=") + bed.user, QStringLiteral("PGDATABASE=") + bed.database};
    struct Case {
        QString label;
        QStringList arguments;
        QStringList variables;
    };
    std::vector<Case> cases{
        {QStringLiteral("short options"), options, {}},
        {QStringLiteral("variables"), {}, variables},
        {QStringLiteral("options over other variables"),
         options,
         {QStringLiteral("PGHOST=127.0.0.2"), QStringLiteral("PGPORT=1"),
          QStringLiteral("PGUSER=nobody_here"), QStringLiteral("PGDATABASE=no_db")}},
    };
    for (int i = 0; i < 4; ++i) {
        QStringList others = options;
        others.remove(2 * i, 2);
        cases.push_back({QStringLiteral("only ") + variables[i], others, {variables[i]}});
    }
    int runs = 0;
    for (const bool beside : {false, true}) {
        if (beside)
            writeStore({QStringLiteral("127.0.0.2"), QStringLiteral("1"),
                        QStringLiteral("nobody_here"), QStringLiteral("wrong"),
                        QStringLiteral("no_db")});
        for (const Case& c : cases) {
            const QString out = home.filePath(QStringLiteral("details%1.xlsx").arg(++runs));
            const Result result =
                run(c.arguments + QStringList{QStringLiteral("-f"), out, QStringLiteral("t_first")},
                    true, c.variables);
            EXPECT_EQ(result.status, 0)
                << c.label.toStdString() << (beside ? " beside a store: " : ": ")
                << result.err.toStdString();
            EXPECT_EQ(result.out, out + QLatin1Char('\n'));
        }
    }
}

// A role that logs in with a password only, its password in ~/.pgpass or PGPASSFILE
// (':' escaped as libpq's format wants); a file its group may read is refused.
TEST_F(ExportCommand, ThePasswordFileGivesAPasswordRolesPassword) {
    const ConnectionSettings bed = testBedSettings();
    const QStringList role{QStringLiteral("-h"),      bed.server,
                           QStringLiteral("-p"),      bed.port,
                           QStringLiteral("-U"),      QStringLiteral("pgpass_user"),
                           QStringLiteral("-d"),      bed.database,
                           QStringLiteral("t_first"), QStringLiteral("-f")};
    const QByteArray entry = (bed.server + QLatin1Char(':') + bed.port +
                              QStringLiteral(":*:pgpass_user:Pgpass-Secret\\:1\n"))
                                 .toUtf8();
    const auto writePrivate = [](const QString& path, const QByteArray& text,
                                 QFile::Permissions permissions) {
        QFile pgpass(path);
        ASSERT_TRUE(pgpass.open(QIODevice::WriteOnly));
        pgpass.write(text);
        pgpass.close();
        ASSERT_TRUE(pgpass.setPermissions(permissions));
    };
    const QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner;
    writePrivate(file("elsewhere"), entry, ownerOnly);
    const Result variable = run(role + QStringList{file("variable.xlsx")}, false,
                                {QStringLiteral("PGPASSFILE=") + file("elsewhere")});
    EXPECT_EQ(variable.status, 0) << variable.err.toStdString();

    writePrivate(file(".pgpass"), "# other servers first\n127.0.0.2:*:*:*:wrong\n" + entry,
                 ownerOnly);
    const Result inHome = run(role + QStringList{file("home.xlsx")}, false);
    EXPECT_EQ(inHome.status, 0) << inHome.err.toStdString();
    EXPECT_EQ(tabNames(readWorkbook(file("home.xlsx"))), QStringList({"t_first"}));

    writePrivate(file(".pgpass"), entry, ownerOnly | QFile::ReadGroup);
    const Result refused = run(role + QStringList{file("refused.xlsx")}, false);
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(refused.err.contains(QStringLiteral("kestrove-export: warning: password file")) &&
                refused.err.contains(QStringLiteral("has group or world access")) &&
                refused.err.contains(QStringLiteral("no password supplied")))
        << refused.err.toStdString();
    EXPECT_FALSE(QFile::exists(file("refused.xlsx")));
}

// The store holds the role's right password for another server: a host given on the
// command line never gets it, the store's own server does.
TEST_F(ExportCommand, TheStoredPasswordGoesOnlyToTheStoredServer) {
    const ConnectionSettings bed = testBedSettings();
    writeStore({QStringLiteral("127.0.0.2"), bed.port, QStringLiteral("pgpass_user"),
                QStringLiteral("Pgpass-Secret:1"), bed.database});
    const Result elsewhere =
        run({QStringLiteral("-h"), bed.server, QStringLiteral("-U"), QStringLiteral("pgpass_user"),
             QStringLiteral("-f"), file("elsewhere.xlsx"), QStringLiteral("t_first")},
            false);
    EXPECT_EQ(elsewhere.status, 1);
    EXPECT_TRUE(elsewhere.err.contains(QStringLiteral("no password supplied")))
        << elsewhere.err.toStdString();
    EXPECT_FALSE(QFile::exists(file("elsewhere.xlsx")));

    writeStore({bed.server, bed.port, QStringLiteral("pgpass_user"),
                QStringLiteral("Pgpass-Secret:1"), bed.database});
    const Result own =
        run({QStringLiteral("-f"), file("own.xlsx"), QStringLiteral("t_first")}, false);
    EXPECT_EQ(own.status, 0) << own.err.toStdString();
}

// On a terminal it asks as psql does, and only when the server wants a password (its
// socket asks for none); -w never asks, -W always does.
TEST_F(ExportCommand, PromptsOnTheTerminalOnlyWhenTheServerAsks) {
    const ConnectionSettings bed = testBedSettings();
    const QString socket = testBedSocketFolder();
    struct Case {
        const char* label;
        QString host;
        QStringList extra;
        int asked;
        int status;
    };
    const std::vector<Case> cases{
        {"over TCP", bed.server, {}, 1, 0},
        {"over the socket", socket, {}, 0, 0},
        {"-w over TCP", bed.server, {QStringLiteral("-w")}, 0, 1},
        {"-W over the socket", socket, {QStringLiteral("-W")}, 1, 0},
    };
    int runs = 0;
    for (const Case& c : cases) {
        const QString out = home.filePath(QStringLiteral("prompted%1.xlsx").arg(++runs));
        const QByteArray question = QStringLiteral("Password for user pgpass_user on %1:%2: ")
                                        .arg(c.host, bed.port)
                                        .toUtf8();
        const TerminalResult result = runInTerminal(
            QStringLiteral(KESTROVE_EXPORT_PROGRAM),
            c.extra + QStringList{QStringLiteral("-h"), c.host, QStringLiteral("-p"), bed.port,
                                  QStringLiteral("-U"), QStringLiteral("pgpass_user"),
                                  QStringLiteral("-d"), bed.database, QStringLiteral("-f"), out,
                                  QStringLiteral("t_first")},
            environment(false), question, QByteArrayLiteral("Pgpass-Secret:1"));
        EXPECT_EQ(result.asked, c.asked) << c.label << ": " << result.out.toStdString();
        EXPECT_EQ(result.status, c.status) << c.label << ": " << result.out.toStdString();
        // The answer is never shown.
        EXPECT_FALSE(result.out.contains("Pgpass-Secret")) << c.label;
        EXPECT_EQ(QFile::exists(out), c.status == 0) << c.label;
    }
}

namespace {
QByteArray contentsOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
QStringList entriesOf(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                  QDir::NoDotAndDotDot);
}
} // namespace

// Ctrl-C at the prompt ends the run with status 130 and shows typed text again.
TEST_F(ExportCommand, ASignalAtThePromptPutsTheTerminalBack) {
    const ConnectionSettings bed = testBedSettings();
    const TerminalResult result = runInTerminal(
        QStringLiteral(KESTROVE_EXPORT_PROGRAM),
        {QStringLiteral("-h"), bed.server, QStringLiteral("-p"), bed.port, QStringLiteral("-U"),
         QStringLiteral("pgpass_user"), QStringLiteral("-d"), bed.database, QStringLiteral("-f"),
         file("never.xlsx"), QStringLiteral("t_first")},
        environment(false),
        QStringLiteral("Password for user pgpass_user on %1:%2: ")
            .arg(bed.server, bed.port)
            .toUtf8(),
        {}, Signal::Interrupt);
    EXPECT_EQ(result.asked, 1) << result.out.toStdString();
    EXPECT_EQ(result.status, 130) << result.out.toStdString();
    EXPECT_TRUE(result.echoing);
    EXPECT_EQ(entriesOf(home.path()), QStringList());
}

// Names as psql reads them: an exact name wins, unquoted names fold to lower case,
// quoted ones stay exact; views, materialized views, partitioned and foreign tables.
TEST_F(ExportCommand, NamesAsPsqlReadsThem) {
    const Result result =
        run(connection() +
            QStringList{QStringLiteral("-f"), file("names.xlsx"), QStringLiteral("Customers"),
                        QStringLiteral("\"Order Details\""), QStringLiteral("sales.orders"),
                        QStringLiteral("SALES.Big_Orders"), QStringLiteral("sales.order_totals"),
                        QStringLiteral("sales.events"), QStringLiteral("\"sales\".rates"),
                        QStringLiteral("MIXED"), QStringLiteral("twin")});
    ASSERT_EQ(result.status, 0) << result.err.toStdString();
    const QJsonArray sheets = readWorkbook(file("names.xlsx"));
    EXPECT_EQ(tabNames(sheets),
              QStringList({"twin", "mixed", "rates", "events", "order_totals", "big_orders",
                           "orders", "Order Details", "customers"}));
    EXPECT_EQ(
        sheetNamed(sheets, QStringLiteral("mixed"))["rows"].toArray()[1].toArray()[0].toString(),
        QStringLiteral("lower"));
    // Of two tables called twin, the one on the search path.
    EXPECT_EQ(
        sheetNamed(sheets, QStringLiteral("twin"))["rows"].toArray()[1].toArray()[0].toString(),
        QStringLiteral("public"));
    EXPECT_EQ(sheetNamed(sheets, QStringLiteral("big_orders"))["rows"].toArray().size(), 3);
    EXPECT_EQ(sheetNamed(sheets, QStringLiteral("order_totals"))["rows"].toArray().size(), 2);
    EXPECT_EQ(sheetNamed(sheets, QStringLiteral("rates"))["rows"].toArray().size(), 3);
    EXPECT_EQ(sheetNamed(sheets, QStringLiteral("customers"))["rows"].toArray().size(), 3);
    // Alone, since their sheets' names would clash with those above: an exact name wins
    // over the folded one, and a schema picks its own twin.
    for (const auto& [name, sheet, first] :
         {std::tuple{"Mixed", "Mixed", "upper"}, std::tuple{"other.twin", "twin", "other"}}) {
        const QString out = file((std::string(name) + ".xlsx").c_str());
        const Result alone =
            run(connection() + QStringList{QStringLiteral("-f"), out, QString::fromLatin1(name)});
        ASSERT_EQ(alone.status, 0) << name << ": " << alone.err.toStdString();
        EXPECT_EQ(rowsOf(sheetNamed(readWorkbook(out), QString::fromLatin1(sheet)))[1]
                      .toArray()[0]
                      .toString(),
                  QString::fromLatin1(first))
            << name;
    }
}

// Another session's temporary table is listed by the catalogue but can never be read:
// --all leaves it out.
TEST_F(ExportCommand, AllLeavesOutOtherSessionsTemporaryTables) {
    ConnectionSettings other = testBedSettings();
    other.database = QStringLiteral("kestrove_other");
    odbc::Connection holder;
    holder.open(BuildConnectionString(other).toStdString());
    holder.execute("CREATE TEMPORARY TABLE held_temporarily (v integer)");
    const Result result =
        run({QStringLiteral("-h"), other.server, QStringLiteral("-p"), other.port,
             QStringLiteral("-U"), other.user, QStringLiteral("-d"), other.database,
             QStringLiteral("--all"), QStringLiteral("-f"), file("all.xlsx")});
    EXPECT_EQ(result.status, 0) << result.err.toStdString();
    EXPECT_EQ(tabNames(readWorkbook(file("all.xlsx"))), QStringList({"only_in_other"}));
}

// --force replaces yesterday's workbook only with a whole one, keeping its permission
// bits; a run that reports anything leaves it as it was and saves beside it.
TEST_F(ExportCommand, ForceReplacesOnlyAfterAWholeRun) {
    QTemporaryDir folder;
    const QString target = folder.filePath(QStringLiteral("daily.xlsx"));
    ASSERT_EQ(
        run(connection() + QStringList{QStringLiteral("-f"), target, QStringLiteral("t_first")})
            .status,
        0);
    ASSERT_TRUE(
        QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    const QByteArray before = contentsOf(target);

    const Result failed =
        run(connection() + QStringList{QStringLiteral("--force"), QStringLiteral("-f"), target,
                                       QStringLiteral("secret"), QStringLiteral("t_second")});
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(contentsOf(target), before);
    EXPECT_EQ(permissionBits(target), 0640u);
    const QString beside = folder.filePath(QStringLiteral("daily.incomplete.xlsx"));
    EXPECT_EQ(failed.out, beside + QLatin1Char('\n'));
    EXPECT_TRUE(failed.err.contains(QStringLiteral("is left as it was")))
        << failed.err.toStdString();
    EXPECT_EQ(tabNames(readWorkbook(beside)), QStringList({"t_second", "secret"}));
    EXPECT_EQ(entriesOf(folder.path()), QStringList({"daily.incomplete.xlsx", "daily.xlsx"}));

    const Result whole =
        run(connection() + QStringList{QStringLiteral("--force"), QStringLiteral("-f"), target,
                                       QStringLiteral("t_second")});
    EXPECT_EQ(whole.status, 0) << whole.err.toStdString();
    EXPECT_EQ(permissionBits(target), 0640u);
    EXPECT_EQ(tabNames(readWorkbook(target)), QStringList({"t_second"}));
    EXPECT_EQ(entriesOf(folder.path()), QStringList({"daily.incomplete.xlsx", "daily.xlsx"}));
}

namespace {
// Waits until the condition holds, for at most a minute; false when it never did.
bool waitFor(const std::function<bool()>& condition,
             std::chrono::microseconds step = std::chrono::milliseconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(step);
    }
    return false;
}
} // namespace

// SIGINT, SIGTERM or SIGHUP while the rows are read: nothing left in the workbook's
// folder or the temporary one, status 128 + the signal, and the server's statement
// cancelled: its process no longer runs it 2 s after the signal, a table's count or
// range as well as a query that would sleep for half a minute.
TEST_F(ExportCommand, ASignalWhileReadingLeavesNoFileAndNoStatement) {
    const QStringList slowTable{QStringLiteral("t_first"), QStringLiteral("sales.slow_rows")};
    const QStringList slowQuery{QStringLiteral("-c"), QStringLiteral("select pg_sleep(30)")};
    for (const auto& [sent, status, sheets] : {std::tuple{Signal::Terminate, 143, slowTable},
                                               std::tuple{Signal::Interrupt, 130, slowQuery},
                                               std::tuple{Signal::HangUp, 129, slowTable}}) {
        QTemporaryDir out, temporary;
        // The child's session, told apart from any other test's by its name.
        const std::string name = "kestrove-signal-test-" + std::to_string(processId()) + "-" +
                                 std::to_string(signalNumber(sent));
        StartedProcess child(
            QStringLiteral(KESTROVE_EXPORT_PROGRAM),
            connection() +
                QStringList{QStringLiteral("-f"), out.filePath(QStringLiteral("x.xlsx"))} + sheets,
            environment() +
                QStringList{QStringLiteral("TMPDIR=") + temporary.path(),
                            QStringLiteral("PGAPPNAME=") + QString::fromStdString(name)});
        const auto sessions = [&](const std::string& condition) {
            return std::stoi(queryColumn("SELECT count(*) FROM pg_stat_activity WHERE " +
                                         condition + " AND application_name = '" + name + "'")
                                 .front());
        };
        // Reading has begun once the program's session sleeps in the slow view or query.
        ASSERT_TRUE(waitFor([&] { return sessions("wait_event = 'PgSleep'") > 0; }));
        child.signal(sent);
        const auto signalled = std::chrono::steady_clock::now();
        const ProcessResult result = child.finish();
        EXPECT_EQ(result.status, status) << result.err.toStdString();
        EXPECT_TRUE(entriesOf(out.path()).isEmpty())
            << entriesOf(out.path()).join(' ').toStdString();
        EXPECT_TRUE(entriesOf(temporary.path()).isEmpty())
            << entriesOf(temporary.path()).join(' ').toStdString();
        // Nothing was reported of the statements cancelled.
        EXPECT_FALSE(result.err.contains("Application Error")) << result.err.toStdString();
        while (sessions("state = 'active'") > 0 &&
               std::chrono::steady_clock::now() - signalled < std::chrono::seconds(2))
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(sessions("state = 'active'"), 0) << signalNumber(sent);
    }
}

// SIGTERM while the workbook is written over yesterday's with --force: yesterday's stays
// as it was, nothing else is left.
TEST_F(ExportCommand, ASignalWhileSavingLeavesNoFile) {
    QTemporaryDir out;
    const QString target = out.filePath(QStringLiteral("daily.xlsx"));
    {
        QFile old(target);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("yesterday");
    }
    StartedProcess child(QStringLiteral(KESTROVE_EXPORT_PROGRAM),
                         connection() + QStringList{QStringLiteral("--force"), QStringLiteral("-f"),
                                                    target, QStringLiteral("bulky")},
                         environment());
    // The workbook is being written once the program holds a file open in its folder.
    const bool saving = waitFor(
        [&] {
            const QStringList open = child.openFiles();
            return std::any_of(open.begin(), open.end(), [&](const QString& path) {
                return path.startsWith(out.path() + QLatin1Char('/'));
            });
        },
        std::chrono::microseconds(200));
    ASSERT_TRUE(saving);
    // Held still at once, so that the signal finds the save under way.
    child.signal(Signal::Stop);
    child.signal(Signal::Terminate);
    child.signal(Signal::Continue);
    const ProcessResult result = child.finish();
    EXPECT_EQ(result.status, 143) << result.err.toStdString();
    EXPECT_EQ(entriesOf(out.path()), QStringList({"daily.xlsx"}));
    EXPECT_EQ(contentsOf(target), QByteArray("yesterday"));
}

// Decimals past the 15 significant digits a spreadsheet number holds stay text: a notice on
// standard error names their column and count, and the status stays 0. Cast to double
// precision in a query, they are numbers, and nothing is said of them.
TEST_F(ExportCommand, NumbersThatStayTextAreNamedInANoticeAndTheStatusStaysZero) {
    const Result result = run(
        connection() + QStringList{QStringLiteral("--out"), file("long.xlsx"),
                                   QStringLiteral("long_numbers"), QStringLiteral("-c"),
                                   QStringLiteral("select v::float8 from export.long_numbers")});
    ASSERT_EQ(result.status, 0) << result.err.toStdString();
    QStringList notices;
    for (const QString& line : result.err.split(QLatin1Char('\n')))
        if (line.contains(QStringLiteral("notice")))
            notices << line;
    EXPECT_EQ(notices, QStringList({"kestrove-export: notice: numeric column `long_numbers.v`: 12 "
                                    "values have more digits than a spreadsheet number holds and "
                                    "stay text; a sum over the column leaves them out."}))
        << result.err.toStdString();
    const QJsonArray sheets = readWorkbook(file("long.xlsx"));
    const QJsonArray exact = rowsOf(sheetNamed(sheets, QStringLiteral("long_numbers")));
    const QJsonArray cast = rowsOf(sheetNamed(sheets, QStringLiteral("query")));
    ASSERT_EQ(exact.size(), 15);
    ASSERT_EQ(cast.size(), 15);
    for (int r = 1; r < 15; ++r) {
        EXPECT_EQ(exact[r].toArray()[0].isString(), r <= 12) << r;
        EXPECT_TRUE(cast[r].toArray()[0].isDouble()) << r;
    }
    EXPECT_EQ(exact[1].toArray()[0], QJsonValue("1234567890123456.78"));
}

// Texts come from the driver as the server's UTF-8 bytes, which it would otherwise turn
// into the locale's codeset: the cells are the same whatever the locale and whatever
// PGCLIENTENCODING names.
TEST_F(ExportCommand, EveryTextRouteGivesTheServersText) {
    const QStringList tables{QStringLiteral("alltypes"), QStringLiteral("emoji_edges"),
                             QStringLiteral("long_text"), QStringLiteral("lookalikes")};
    const auto exported = [&](const QString& name, const QStringList& variables) {
        const Result result = run(
            connection() + QStringList{QStringLiteral("--out"), file(qPrintable(name))} + tables,
            true, variables);
        EXPECT_EQ(result.status, 1)
            << name.toStdString() << result.err.toStdString(); // the cut long texts
        return readWorkbook(file(qPrintable(name)));
    };
    const QJsonArray narrow =
        exported(QStringLiteral("narrow.xlsx"), {QStringLiteral("LC_ALL=de_DE.UTF-8")});
    ASSERT_EQ(narrow.size(), 4);
    // Names the first row that differs from the narrow route's.
    const auto firstDifference = [&](const QJsonArray& sheets) -> std::string {
        for (int s = 0; s < narrow.size(); ++s)
            for (int r = 0; r < rowsOf(narrow[s].toObject()).size(); ++r)
                if (s >= sheets.size() || rowsOf(sheets[s].toObject()).size() <= r ||
                    rowsOf(sheets[s].toObject())[r] != rowsOf(narrow[s].toObject())[r])
                    return narrow[s].toObject()["name"].toString().toStdString() + ", row " +
                           std::to_string(r + 1);
        return sheets == narrow ? "" : "the sheets' other parts";
    };
    const QString latin1 = QStringLiteral("LC_ALL=de_DE.ISO-8859-1");
    int route = 0;
    for (const QStringList& variables :
         {QStringList{latin1, QStringLiteral("PGCLIENTENCODING=LATIN1")},
          QStringList{latin1, QStringLiteral("-PGCLIENTENCODING")},
          QStringList{QStringLiteral("LC_ALL=C"), QStringLiteral("-PGCLIENTENCODING")}})
        EXPECT_EQ(firstDifference(exported(QStringLiteral("route%1.xlsx").arg(++route), variables)),
                  "")
            << variables.join(QLatin1Char(' ')).toStdString();
}

// Times of more fraction digits than a date cell shows are date cells shown to the
// millisecond, or with --exact-times the server's text; the other dates and times are
// date cells either way. The session's time zone comes from PGTZ, as for psql.
TEST_F(ExportCommand, ExactTimesKeepEveryDigitAsText) {
    const QStringList sources{QStringLiteral("calendar"), QStringLiteral("-c"),
                              QStringLiteral("select tstz from export.zoned where n in (5, 6) "
                                             "order by n")};
    const auto date = [](const char* shown, const char* format) {
        return QJsonValue(QJsonObject({{"shown", shown}, {"format", format}}));
    };
    for (const bool exact : {false, true}) {
        const QString out = file(exact ? "exact.xlsx" : "shown.xlsx");
        QStringList arguments = connection() + QStringList{QStringLiteral("-f"), out} + sources;
        if (exact)
            arguments << QStringLiteral("--exact-times");
        const Result result = run(arguments, true, {QStringLiteral("PGTZ=Asia/Kathmandu")});
        ASSERT_EQ(result.status, 0) << result.err.toStdString();
        const QJsonArray sheets = readWorkbook(out);
        const QJsonArray now = rowsOf(sheetNamed(sheets, QStringLiteral("calendar")))[8].toArray();
        const QJsonArray zoned = rowsOf(sheetNamed(sheets, QStringLiteral("query")));
        ASSERT_EQ(zoned.size(), 3);
        EXPECT_EQ(now[1], date("2024-03-01", "yyyy-mm-dd"));
        EXPECT_EQ(zoned[1].toArray()[0],
                  date("1910-01-01 00:00:00+05:41:16", "yyyy-mm-dd hh:mm:ss\"+05:41:16\""));
        if (exact) {
            EXPECT_EQ(now[2], QJsonValue("12:34:56.12345"));
            EXPECT_EQ(now[3], QJsonValue("2024-03-01 12:34:56.123456"));
            EXPECT_EQ(zoned[2].toArray()[0], QJsonValue("2024-03-01 18:19:56.123456+05:45"));
        } else {
            EXPECT_EQ(now[2], date("12:34:56.123", "hh:mm:ss.000"));
            EXPECT_EQ(now[3], date("2024-03-01 12:34:56.123", "yyyy-mm-dd hh:mm:ss.000"));
            EXPECT_EQ(zoned[2].toArray()[0],
                      date("2024-03-01 18:19:56.123+05:45", "yyyy-mm-dd hh:mm:ss.000\"+05:45\""));
        }
    }
}

#include "support/ImportHost.h"
#include "support/Process.h"
#include "support/TestBed.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

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

    Result run(const QStringList& arguments, bool withPassword = true) {
        const ProcessResult result = runProcess(
            QStringLiteral(KESTROVE_EXPORT_PROGRAM), arguments,
            {QStringLiteral("HOME=") + home.path(),
             QStringLiteral("XDG_CONFIG_HOME=") + home.filePath(QStringLiteral(".config")),
             withPassword ? QStringLiteral("PGPASSWORD=") + testBedSettings().password : QStringLiteral("-PGPASSWORD")});
        return {result.status, QString::fromUtf8(result.out), QString::fromUtf8(result.err)};
    }

    static QStringList connection() {
        const ConnectionSettings settings = testBedSettings();
        return {QStringLiteral("--server"), settings.server, QStringLiteral("--port"), settings.port,
                QStringLiteral("--user"), settings.user, QStringLiteral("--database"), settings.database};
    }

    QString file(const char* name) const { return home.filePath(QLatin1String(name)); }

    QTemporaryDir home;
};

} // namespace

TEST_F(ExportCommand, ExportsTheNamedTablesAndPrintsTheWorkbook) {
    const Result result =
        run(connection() + QStringList{QStringLiteral("--out"), file("out.xlsx"), QStringLiteral("export.numbers"),
                                       QStringLiteral("t_first")});
    ASSERT_EQ(result.status, 0) << result.err.toStdString();
    EXPECT_EQ(result.out, file("out.xlsx") + QLatin1Char('\n'));
    const QJsonArray sheets = readWorkbook(file("out.xlsx"));
    // Each new sheet goes before the one before it, as in the wizard.
    EXPECT_EQ(tabNames(sheets), QStringList({"t_first", "numbers"}));
    EXPECT_EQ(sheetNamed(sheets, QStringLiteral("numbers"))["rows"].toArray().size(), 5001);
}

TEST_F(ExportCommand, UsesTheWizardsStoredDetailsWithoutOptions) {
    const ConnectionSettings settings = testBedSettings();
    {
        QSettings store(file(".config/Drumlane.ini"), QSettings::IniFormat);
        store.beginGroup(QStringLiteral("Kestrove"));
        store.setValue(QStringLiteral("PostgreSQLServer"), settings.server);
        store.setValue(QStringLiteral("PostgreSQLPort"), settings.port);
        store.setValue(QStringLiteral("PostgreSQLUser"), settings.user);
        store.setValue(QStringLiteral("PostgreSQLPassword"), settings.password);
        store.setValue(QStringLiteral("PostgreSQLDatabase"), settings.database);
    }
    const Result result = run({QStringLiteral("--out"), file("stored.xlsx"), QStringLiteral("t_first")}, false);
    ASSERT_EQ(result.status, 0) << result.err.toStdString();
    EXPECT_EQ(tabNames(readWorkbook(file("stored.xlsx"))), QStringList({"t_first"}));
}

// A store that cannot be read (a folder in its place) matters only when a detail must
// come from it.
TEST_F(ExportCommand, AnUnreadableStoreIsReportedOnlyWhenNeeded) {
    ASSERT_TRUE(QDir().mkpath(file(".config/Drumlane.ini")));
    const Result given = run(connection() + QStringList{QStringLiteral("--out"), file("given.xlsx"), QStringLiteral("t_first")});
    EXPECT_EQ(given.status, 0) << given.err.toStdString();
    const Result needed = run({QStringLiteral("--out"), file("needed.xlsx"), QStringLiteral("t_first")}, false);
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
        {{QStringLiteral("--password"), QStringLiteral("secret"), QStringLiteral("t_first")}, "password"},
        {{}, "name the tables"},
        {{QStringLiteral("--all"), QStringLiteral("t_first")}, "not both"},
        {{QStringLiteral("no_such_table")}, "no table named no_such_table"},
        {{QStringLiteral("--out"), file("exists.xlsx"), QStringLiteral("t_first")}, "exists already"},
    };
    for (const auto& [arguments, reason] : cases) {
        const Result result = run(connection() + arguments);
        EXPECT_EQ(result.status, 2) << arguments.join(' ').toStdString();
        const QStringList lines = result.err.trimmed().split(QLatin1Char('\n'));
        EXPECT_TRUE(lines.first().startsWith(QStringLiteral("kestrove-export: ")) && lines.first().contains(reason) &&
                    lines.size() <= 2)
            << result.err.toStdString();
    }
    QFile kept(file("exists.xlsx"));
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), QByteArray("mine"));

    // --force replaces it with the workbook.
    const Result forced =
        run(connection() + QStringList{QStringLiteral("--force"), QStringLiteral("--out"), file("exists.xlsx"),
                                       QStringLiteral("t_first")});
    EXPECT_EQ(forced.status, 0) << forced.err.toStdString();
    EXPECT_EQ(tabNames(readWorkbook(file("exists.xlsx"))), QStringList({"t_first"}));
}

TEST_F(ExportCommand, AFailedTableIsReportedAndTheOthersExported) {
    const Result result = run(connection() + QStringList{QStringLiteral("--out"), file("partly.xlsx"),
                                                         QStringLiteral("secret"), QStringLiteral("t_first")});
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(result.err.contains(QStringLiteral("[Application Error] ERROR: permission denied for table secret")))
        << result.err.toStdString();
    const QJsonArray sheets = readWorkbook(file("partly.xlsx"));
    EXPECT_EQ(sheetNamed(sheets, QStringLiteral("t_first"))["rows"].toArray().size(), 2);
}

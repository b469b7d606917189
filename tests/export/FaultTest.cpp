// Faults made for real while tables export: a server process ended or frozen, a server
// stopped, a login nobody answers, folders and disks that refuse, tables changed or
// dropped by another session. None may crash, hang, or lose rows without a report.

#include "export/Import.h"
#include "export/reading/ReadingTransaction.h"
#include "platform/odbc/Odbc.h"
#include "support/ImportHost.h"
#include "support/Process.h"
#include "support/Skip.h"
#include "support/System.h"
#include "support/TestBed.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>

using namespace kestrove;
using namespace kestrove::test;
using Clock = std::chrono::steady_clock;

namespace {

// The application name of this program's imports.
std::string applicationName() {
    return "kestrove-fault-test-" + std::to_string(processId());
}

// An import as the role whose server processes the tests end and freeze.
struct FaultRun : ImportRun {
    explicit FaultRun(int tablesAtOnce = 1) {
        // The import's server processes are told apart from any other by their name; with
        // one table at a time, there is one.
        import.setTablesAtOnce(tablesAtOnce);
        qputenv("PGAPPNAME", applicationName().c_str());
        host.settings = testBedSettings();
        host.settings->user = QStringLiteral("fault_victim");
        host.settings->password = QStringLiteral("Victim-1");
    }
    bool done() const { return doneBoxes() == 1; }
};

qsizetype rowsOf(const QJsonArray& sheets, const char* name) {
    return kestrove::test::rowsOf(sheetNamed(sheets, QLatin1String(name))).size();
}

// An SQL file for a server of the test's own: a table `big` of the given rows and an
// empty table `small`, both in public.
QString tablesFile(int rows) {
    static QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("tables-%1.sql").arg(rows));
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(QStringLiteral("SET ROLE kestrove_test;\n"
                                  "CREATE TABLE big AS SELECT g AS id, repeat('y', 100) AS filler "
                                  "FROM generate_series(1, %1) AS g;\n"
                                  "CREATE TABLE small (v text);\n")
                       .arg(rows)
                       .toUtf8());
    return path;
}

// The import's server processes, all in its transaction (the asking one left out, and
// those of earlier questions still on their way out: they have the same name).
std::vector<std::string> victimBackends() {
    return queryColumn(
        "SELECT pid FROM pg_stat_activity WHERE application_name = '" + applicationName() +
        "' AND pid <> pg_backend_pid() AND state IN ('active', 'idle in transaction')");
}

// Waits (a minute at most) until one of the import's server processes counts the rows of
// an export table: after every lock, the snapshot and the further connections. The asking
// session has the import's name too, and its own query holds the text looked for. False
// when the minute passed first.
bool waitUntilTheImportCounts(const std::string& table) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (queryColumn(
               "SELECT pid FROM pg_stat_activity WHERE application_name = '" + applicationName() +
               "' AND pid <> pg_backend_pid() AND query LIKE '%count(*) FROM \"export\".\"" +
               table + "\"%' AND state = 'active'")
               .empty()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string victimBackend() {
    const auto pids = victimBackends();
    return pids.empty() ? std::string() : pids.front();
}

// Lets a frozen server process go on when the test ends, whatever happens in it.
struct Thawed {
    std::string pid;
    ~Thawed() {
        if (!pid.empty())
            sendSignal(std::stol(pid), Signal::Continue);
    }
};

} // namespace

// The import's server process ended mid-table: one report for the broken stream saying how
// short the sheet is, the next table's query fails, the workbook holds every row that came.
TEST(Faults, ServerProcessEndedMidTable) {
    FaultRun run;
    run.host.tick(QStringLiteral("stream_rows"));
    run.host.tick(QStringLiteral("t_first"));
    run.onceRowsAreWritten(
        [] { executeSql("SELECT pg_terminate_backend(" + victimBackend() + ")"); });
    const QJsonArray sheets = run.finish();
    const std::vector<int> steps = run.boxes.reportedSteps();
    EXPECT_EQ(std::count(steps.begin(), steps.end(), 202), 1);
    EXPECT_EQ(std::count(steps.begin(), steps.end(), 140), 1);
    const QString broken = run.reportAt(202);
    EXPECT_TRUE(broken.contains(
        QStringLiteral(" of 100000 rows of stream_rows were read: its sheet is short.")))
        << broken.toStdString();
    const qsizetype rows = rowsOf(sheets, "stream_rows");
    EXPECT_GT(rows, 1);
    EXPECT_LT(rows, 100001);
    EXPECT_TRUE(broken.contains(QStringLiteral("Only %1 of").arg(rows - 1)))
        << broken.toStdString();
    // Every row that arrived is in the sheet: the table's first rows in block order, none
    // missing, as its ranges of blocks come in block order (its ids follow its blocks).
    const QJsonArray written = kestrove::test::rowsOf(sheetNamed(sheets, "stream_rows"));
    for (int r = 1; r < written.size(); ++r)
        ASSERT_EQ(written.at(r).toArray().at(0).toInteger(), r);
    EXPECT_EQ(rowsOf(sheets, "t_first"), 0);
    EXPECT_TRUE(run.done());
}

// Every connection of an import that reads tables at once ended mid-table: each table
// is whole, or its report says how many of its rows the sheet holds.
TEST(Faults, ServerProcessesEndedWhileTablesAreReadAtOnce) {
    FaultRun run(2);
    const std::vector<std::pair<QString, qsizetype>> tables{
        {QStringLiteral("stream_rows"), 100001},
        {QStringLiteral("changing_rows"), 100001},
        {QStringLiteral("t_first"), 2}};
    for (const auto& table : tables)
        run.host.tick(table.first);
    run.onceRowsAreWritten([] {
        executeSql(
            "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = '" +
            applicationName() + "' AND pid <> pg_backend_pid()");
    });
    const QJsonArray sheets = run.finish();
    const std::vector<int> steps = run.boxes.reportedSteps();
    qsizetype whole = 0;
    for (const auto& [table, rows] : tables) {
        const qsizetype written = kestrove::test::rowsOf(sheetNamed(sheets, table)).size();
        whole += written == rows;
        const QString said = QStringLiteral("Only %1 of %2 rows of %3 were read")
                                 .arg(written - 1)
                                 .arg(rows - 1)
                                 .arg(table);
        EXPECT_TRUE(written == rows || written == 0 ||
                    std::any_of(run.boxes.boxes.begin(), run.boxes.boxes.end(),
                                [&](const auto& box) { return box.text.contains(said); }))
            << table.toStdString() << ": " << written << " rows";
    }
    // What is not whole is reported: short at 202, or not read at all at 140.
    EXPECT_EQ(whole + std::count(steps.begin(), steps.end(), 202) +
                  std::count(steps.begin(), steps.end(), 140),
              static_cast<qsizetype>(tables.size()));
    EXPECT_LT(whole, static_cast<qsizetype>(tables.size()));
    EXPECT_TRUE(run.done());
}

// A further connection of the snapshot ended while it reads the table's ranges, the
// table's own connection alive: its ranges are read again on the other, the sheet holds
// every row in order, and the loss is reported.
TEST(Faults, AHelpersConnectionEndedMidTableLosesNoRow) {
    FaultRun run(2);
    run.host.tick(QStringLiteral("stream_rows"));
    run.onceRowsAreWritten([] {
        // The table's own connection is the first to log in.
        executeSql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE "
                   "application_name = '" +
                   applicationName() +
                   "' AND pid <> pg_backend_pid() AND state IN ('active', 'idle in transaction') "
                   "ORDER BY backend_start DESC LIMIT 1");
    });
    const QJsonArray rows = kestrove::test::rowsOf(sheetNamed(run.finish(), "stream_rows"));
    ASSERT_EQ(rows.size(), 100001);
    for (int r = 1; r < rows.size(); ++r)
        ASSERT_EQ(rows.at(r).toArray().at(0).toInteger(), r);
    EXPECT_EQ(run.boxes.reportedSteps(), std::vector<int>{202});
    EXPECT_TRUE(run.reportAt(202).contains(
        QStringLiteral("A further connection of the reading was lost while it read stream_rows")))
        << run.reportAt(202).toStdString();
    EXPECT_TRUE(run.done());
}

// The server itself stopped mid-table: the same, with no hang.
TEST(Faults, ServerStoppedMidTable) {
    OwnServer server({tablesFile(200000)});
    FaultRun run;
    run.host.settings = server.settings();
    run.host.tick(QStringLiteral("big"), QStringLiteral("public"));
    run.host.tick(QStringLiteral("small"), QStringLiteral("public"));
    run.onceRowsAreWritten([&] { server.stop(); });
    const QJsonArray sheets = run.finish();
    EXPECT_TRUE(run.reportAt(202).contains(QStringLiteral("its sheet is short")));
    EXPECT_FALSE(run.reportAt(140).isEmpty());
    EXPECT_GT(rowsOf(sheets, "big"), 1);
    EXPECT_LT(rowsOf(sheets, "big"), 200001);
    EXPECT_TRUE(run.done());
}

// A frozen server process: the window keeps getting its turns, and once the process goes
// on, every row arrives.
TEST(Faults, FrozenServerProcessDoesNotFreezeTheWindow) {
    FaultRun run;
    run.host.tick(QStringLiteral("stream_rows"));
    Thawed frozen;
    std::string& pid = frozen.pid;
    Clock::time_point frozenAt;
    int yieldsWhileFrozen = 0;
    run.host.onYield = [&] {
        if (pid.empty() && run.writingRows()) {
            pid = victimBackend();
            ASSERT_FALSE(pid.empty());
            sendSignal(std::stol(pid), Signal::Stop);
            frozenAt = Clock::now();
        } else if (!pid.empty() && frozenAt != Clock::time_point{}) {
            ++yieldsWhileFrozen;
            if (Clock::now() - frozenAt > std::chrono::milliseconds(1500)) {
                sendSignal(std::stol(pid), Signal::Continue);
                frozenAt = {};
            }
        }
    };
    const QJsonArray sheets = run.finish();
    // 1.5 s at a turn every ~30 ms; a window that froze would have had none.
    EXPECT_GT(yieldsWhileFrozen, 10);
    EXPECT_EQ(rowsOf(sheets, "stream_rows"), 100001);
    EXPECT_TRUE(run.boxes.reportedSteps().empty());
}

// A login to an address that takes the connection but never answers ends with the
// driver's message once the login time-out has passed.
TEST(Faults, LoginNobodyAnswersEndsAfterTheTimeOut) {
    const SilentListener listener;
    ASSERT_GT(listener.port(), 0);
    ConnectionSettings silent = testBedSettings();
    silent.port = QString::number(listener.port());
    const auto started = Clock::now();
    odbc::Connection connection;
    try {
        connection.open(BuildConnectionString(silent).toStdString());
        ADD_FAILURE() << "a server that never answers let the login through";
    } catch (const odbc::OdbcError& error) {
        EXPECT_STRNE(error.what(), "");
    }
    const auto waited = std::chrono::duration<double>(Clock::now() - started).count();
    EXPECT_GT(waited, 10.0);
    EXPECT_LT(waited, 60.0);
}

// Folders that cannot take the workbook: reported at the save with the path, nothing left
// behind, and the run ends as usual.
TEST(FaultsDeathTest, AFolderThatRefusesIsReportedWithItsPath) {
    QTemporaryDir base;
    QFile blocker(base.filePath(QStringLiteral("a file")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString readOnly = base.filePath(QStringLiteral("read-only"));
    QDir().mkpath(readOnly);
    QFile::setPermissions(readOnly, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    // Root writes into read-only folders anyway: there the run is a user's who may not.
    const std::optional<Account> nobody = accountNamed("nobody");
    ASSERT_TRUE(nobody.has_value());
    if (runningAsRoot()) {
        QFile::setPermissions(base.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                               QFileDevice::ExeOwner | QFileDevice::ExeOther);
        ASSERT_TRUE(giveTo(readOnly, *nobody));
    }
    for (const QString& folder : {base.filePath(QStringLiteral("missing/Kestrove")),
                                  base.filePath(QStringLiteral("a file")), readOnly}) {
        FaultRun run;
        run.host.workbookFolder = folder;
        run.host.tick(QStringLiteral("t_first"));
        if (folder == readOnly && runningAsRoot()) {
            // In a process of its own, since its user stays changed.
            EXPECT_EXIT(
                {
                    if (!becomeAccount(*nobody))
                        std::_Exit(2);
                    run.finish();
                    const bool reported = run.boxes.reportedSteps() == std::vector<int>{210} &&
                                          run.reportAt(210).contains(folder) &&
                                          run.host.opened.empty() && run.done() &&
                                          QDir(folder).isEmpty();
                    std::_Exit(reported ? 0 : 1);
                },
                ::testing::ExitedWithCode(0), "");
            continue;
        }
        run.finish();
        ASSERT_EQ(run.boxes.reportedSteps(), (std::vector<int>{210})) << folder.toStdString();
        EXPECT_TRUE(run.reportAt(210).contains(folder)) << run.reportAt(210).toStdString();
        EXPECT_TRUE(run.host.opened.empty());
        EXPECT_TRUE(run.done());
    }
    EXPECT_EQ(
        QDir(base.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size(),
        2);
    EXPECT_TRUE(QDir(readOnly).isEmpty());
}

// The workbook's disk fills, then the temporary folder's: each is reported at the step
// that wrote, the reading ends once nothing more can be kept, and no file is left behind.
TEST(Faults, FullDisksAreReportedAndLeaveNoFile) {
    TinyFileSystem output(QStringLiteral("64k"));
    if (!output.mounted())
        KESTROVE_SKIP("no tmpfs could be mounted here (not root?)");
    {
        FaultRun run;
        run.host.workbookFolder = output.path();
        run.host.tick(QStringLiteral("stream_rows"));
        run.finish();
        ASSERT_EQ(run.boxes.reportedSteps(), (std::vector<int>{210}));
        EXPECT_TRUE(run.reportAt(210).contains(QStringLiteral("No space left on device")));
        EXPECT_TRUE(output.entries().isEmpty()) << output.entries().join(' ').toStdString();
    }
    // Ten million rows: the reading ends soon after the temporary folder fills.
    TinyFileSystem temporary(QStringLiteral("64k"));
    const QByteArray previous = qgetenv("TMPDIR");
    {
        FaultRun run;
        run.host.tick(QStringLiteral("ten_million"));
        run.host.tick(QStringLiteral("stream_rows"));
        qputenv("TMPDIR", temporary.path().toUtf8());
        const QJsonArray sheets = run.finish();
        qputenv("TMPDIR", previous);
        EXPECT_LT(run.import.rowsWritten(), 1000000);
        EXPECT_EQ(rowsOf(sheets, "stream_rows"), 0);
        // The cells handed over after the worker found the disk full are reported (unless
        // every cell was handed over by then); the save always is.
        const std::vector<int> steps = run.boxes.reportedSteps();
        EXPECT_TRUE(steps == (std::vector<int>{198, 210}) || steps == (std::vector<int>{210}));
        EXPECT_TRUE(run.reportAt(210).contains(QStringLiteral("No space left on device")))
            << run.reportAt(210).toStdString();
        EXPECT_TRUE(run.host.opened.empty());
        EXPECT_TRUE(temporary.entries().isEmpty());
    }
    qputenv("TMPDIR", previous);
}

// Another session changes tables while the export runs. Rows inserted and deleted leave
// the sheet as the table stood when the export began; a TRUNCATE (and a DROP) of a table
// not yet read waits until the last table is read, so its sheet holds the old rows, and
// the other session goes on before "Done." is shown.
TEST(Faults, TablesChangedDuringTheExportShowTheirRowsOfItsStart) {
    // Also with tables read at once, on connections that share the snapshot and hold
    // every lock: the tables after the first are then read while the changes are made.
    for (const int atOnce : {1, 2}) {
        SCOPED_TRACE(atOnce);
        FaultRun run(atOnce);
        run.host.tick(QStringLiteral("changing_rows"));
        run.host.tick(QStringLiteral("stream_rows"));
        run.host.tick(QStringLiteral("doomed"));
        run.host.tick(QStringLiteral("later_t"));
        std::future<void> truncated;
        run.onceRowsAreWritten([&] {
            executeSql("DELETE FROM export.changing_rows WHERE id % 2 = 0");
            executeSql("INSERT INTO export.changing_rows SELECT g, 'new' FROM generate_series(1, "
                       "50000) AS g");
            executeSql("INSERT INTO export.later_t VALUES (99, 'inserted')");
            truncated = std::async(std::launch::async, [] {
                executeSql("TRUNCATE export.later_t; INSERT INTO export.later_t VALUES (100, "
                           "'new'); DROP TABLE export.doomed");
            });
        });
        bool truncatedBeforeDone = false;
        run.boxes.onShow = [&](const MessageBoxRecorder::Box& box) {
            if (box.text == QStringLiteral("Done.") && truncated.valid())
                truncatedBeforeDone =
                    truncated.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        };
        const QJsonArray sheets = run.finish();
        const QJsonArray rows =
            kestrove::test::rowsOf(sheetNamed(sheets, QStringLiteral("changing_rows")));
        ASSERT_EQ(rows.size(), 100001);
        for (qsizetype r = 1; r < rows.size(); ++r)
            ASSERT_EQ(rows[r].toArray()[1].toString(), QStringLiteral("old")) << "row " << r;
        EXPECT_EQ(rowsOf(sheets, "stream_rows"), 100001);
        EXPECT_EQ(rowsOf(sheets, "later_t"), 11);
        EXPECT_EQ(
            kestrove::test::rowsOf(sheetNamed(sheets, QStringLiteral("later_t")))[10].toArray()[1],
            QStringLiteral("old"));
        EXPECT_EQ(rowsOf(sheets, "doomed"), 2);
        EXPECT_TRUE(run.boxes.reportedSteps().empty());
        EXPECT_TRUE(truncatedBeforeDone);
        truncated.get();
        EXPECT_EQ(queryColumn("SELECT v FROM export.later_t"), std::vector<std::string>{"new"});
        executeSql("TRUNCATE export.later_t; INSERT INTO export.later_t SELECT g, 'old' FROM "
                   "generate_series(1, 10) AS g; "
                   "CREATE TABLE export.doomed (v text); INSERT INTO export.doomed VALUES ('before "
                   "the drop'); "
                   "GRANT SELECT ON export.doomed TO fault_victim; TRUNCATE export.changing_rows; "
                   "INSERT INTO export.changing_rows SELECT g, 'old' FROM generate_series(1, "
                   "100000) AS g");
    }
}

// Tables read at once all show the database as it was when every lock was taken: a row
// committed while the first table is still being read is not in a later table's sheet,
// which is read on a connection of its own.
TEST(Faults, TablesReadAtOnceShareOneSnapshot) {
    FaultRun run(2);
    run.host.tick(QStringLiteral("slow_first"));
    run.host.tick(QStringLiteral("snapshot_later"));
    // Once the first table is being counted, after every lock and the snapshot; by then
    // the second connection has joined.
    std::future<std::pair<std::size_t, std::string>> inserted = std::async(std::launch::async, [] {
        if (!waitUntilTheImportCounts("slow_first"))
            return std::pair{std::size_t{0}, std::string("the import never counted slow_first")};
        // (The activity view may show a session's state a moment late.)
        std::size_t connections = 0;
        for (int tries = 0; tries < 25 && connections < 2; ++tries) {
            connections = std::max(connections, victimBackends().size());
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const std::vector<std::string> sessions =
            queryColumn("SELECT pid || ' ' || coalesce(state, '') || ' ' || left(query, 80) FROM "
                        "pg_stat_activity "
                        "WHERE application_name = '" +
                        applicationName() + "' AND pid <> pg_backend_pid()");
        executeSql("INSERT INTO export.snapshot_later VALUES (2)");
        std::string seen;
        for (const std::string& session : sessions)
            seen += session + "\n";
        return std::pair{connections, seen};
    });
    const QJsonArray sheets = run.finish();
    const auto [connections, seen] = inserted.get();
    EXPECT_EQ(connections, 2u) << seen;
    EXPECT_EQ(kestrove::test::rowsOf(sheetNamed(sheets, QStringLiteral("snapshot_later"))),
              QJsonArray({QJsonArray{"v"}, QJsonArray{1.0}}));
    EXPECT_EQ(rowsOf(sheets, "slow_first"), 100001);
    EXPECT_TRUE(run.boxes.reportedSteps().empty());
    executeSql("DELETE FROM export.snapshot_later WHERE v = 2");
}

// A later table that another session waits to alter, once the reading started, cannot
// be locked without waiting on a further connection: it is read on the first, which holds
// its lock, and the other session goes on once the export has read it.
TEST(Faults, ATableASessionWaitsForIsReadOnTheFirstConnection) {
    FaultRun run(2);
    run.host.tick(QStringLiteral("slow_first"));
    run.host.tick(QStringLiteral("altered_later"));
    std::future<bool> altered = std::async(std::launch::async, [] {
        const bool counted = waitUntilTheImportCounts("slow_first");
        executeSql("ALTER TABLE export.altered_later ADD COLUMN extra integer");
        return counted;
    });
    const QJsonArray sheets = run.finish();
    EXPECT_TRUE(altered.get()) << "the import never counted slow_first";
    QString shown;
    for (const auto& box : run.boxes.boxes)
        shown += box.text + QStringLiteral("\n");
    EXPECT_EQ(kestrove::test::rowsOf(sheetNamed(sheets, QStringLiteral("altered_later"))),
              QJsonArray({QJsonArray{"v"}, QJsonArray{1.0}}))
        << shown.toStdString();
    EXPECT_TRUE(run.boxes.reportedSteps().empty()) << shown.toStdString();
    executeSql("ALTER TABLE export.altered_later DROP COLUMN extra");
}

// A table held by another session's open ALTER TABLE is reported once its lock has been
// waited for as long as the lock time-out, and the other tables export whole.
TEST(Faults, ATableHeldByAnotherSessionIsReportedAfterABoundedWait) {
    odbc::Connection other;
    other.open(BuildConnectionString(testBedSettings()).toStdString());
    other.setAutocommit(false);
    other.execute("ALTER TABLE export.held ADD COLUMN extra integer");
    ReadingLimits& limits = readingLimits();
    const ReadingLimits previous = limits;
    limits.lockTimeout = std::chrono::milliseconds(1000);
    FaultRun run;
    run.host.tick(QStringLiteral("t_first"));
    run.host.tick(QStringLiteral("held"));
    run.host.tick(QStringLiteral("t_second"));
    const auto started = Clock::now();
    const QJsonArray sheets = run.finish();
    const double waited = std::chrono::duration<double>(Clock::now() - started).count();
    limits = previous;
    other.close();
    EXPECT_EQ(run.boxes.reportedSteps(), (std::vector<int>{140, 172, 174}));
    EXPECT_TRUE(run.reportAt(140).contains(QStringLiteral("could not obtain lock")))
        << run.reportAt(140).toStdString();
    EXPECT_LT(waited, 30.0);
    EXPECT_EQ(rowsOf(sheets, "t_first"), 2);
    EXPECT_EQ(rowsOf(sheets, "t_second"), 2);
    EXPECT_EQ(rowsOf(sheets, "held"), 0);
}

// A server that stops answering at the network level (its packets dropped) ends the table
// in a report once the keepalives go unanswered, here shortened to a few seconds.
TEST(Faults, AServerThatStopsAnsweringEndsInAReport) {
    if (runProcess(QStringLiteral("iptables"), {QStringLiteral("-L"), QStringLiteral("-n")})
            .status != 0)
        KESTROVE_SKIP("packets cannot be dropped here (no iptables, or not root)");
    OwnServer server({tablesFile(200000)});
    const QString port = server.settings().port;
    const auto rules = [&](const char* action) {
        for (const char* side : {"--dport", "--sport"})
            runProcess(QStringLiteral("iptables"),
                       {QString::fromLatin1(action), QStringLiteral("INPUT"), QStringLiteral("-p"),
                        QStringLiteral("tcp"), QString::fromLatin1(side), port,
                        QStringLiteral("-j"), QStringLiteral("DROP")});
    };
    ReadingLimits& limits = readingLimits();
    const ReadingLimits previous = limits;
    limits.keepaliveIdleSeconds = 1;
    limits.keepaliveIntervalSeconds = 1;
    limits.keepaliveCount = 2;
    limits.unacknowledgedTimeout = std::chrono::milliseconds(3000);
    FaultRun run;
    run.host.settings = server.settings();
    run.host.tick(QStringLiteral("big"), QStringLiteral("public"));
    run.host.tick(QStringLiteral("small"), QStringLiteral("public"));
    // First in the chain, before any rule that accepts all of loopback.
    run.onceRowsAreWritten([&] { rules("-I"); });
    const auto started = Clock::now();
    const QJsonArray sheets = run.finish();
    const double waited = std::chrono::duration<double>(Clock::now() - started).count();
    rules("-D");
    limits = previous;
    EXPECT_LT(waited, 60.0);
    EXPECT_TRUE(run.reportAt(202).contains(QStringLiteral("its sheet is short")))
        << run.reportAt(202).toStdString();
    EXPECT_GT(rowsOf(sheets, "big"), 1);
    EXPECT_TRUE(run.done());
}

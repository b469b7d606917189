// Faults made for real while tables export: a server process ended or frozen, a server
// stopped, a login nobody answers, folders and disks that refuse, tables changed or
// dropped by another session. None may crash, hang, or lose rows without a report.

#include "export/Import.h"
#include "platform/odbc/Odbc.h"
#include "support/ImportHost.h"
#include "support/Process.h"
#include "support/TestBed.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>

using namespace kestrove;
using namespace kestrove::test;
using Clock = std::chrono::steady_clock;

namespace {

struct FaultRun {
    MessageBoxRecorder boxes;
    RecordingImportHost host;
    TableImport import;

    FaultRun() {
        host.settings = testBedSettings();
        host.settings->user = QStringLiteral("fault_victim");
        host.settings->password = QStringLiteral("Victim-1");
    }
    QJsonArray finish() {
        import.PushButton5_Click(host);
        return host.opened.empty() ? QJsonArray() : readWorkbook(host.opened.back());
    }
    // True once the import writes the rows of a table. (The status text is a late sign:
    // while the import waits for rows it yields without renewing it.)
    bool writingRows() const { return import.rowsWritten() > 0; }
    // Does something once, at the first yield after rows are written.
    void onceRowsAreWritten(std::function<void()> action) {
        host.onYield = [this, action = std::move(action), done = false]() mutable {
            if (!done && writingRows()) {
                done = true;
                action();
            }
        };
    }
    QString reportAt(int step) const {
        for (const auto& box : boxes.boxes)
            if (box.text.contains(QStringLiteral(" at line %1\r").arg(step)))
                return box.text;
        return {};
    }
    bool done() const {
        return std::any_of(boxes.boxes.begin(), boxes.boxes.end(),
                           [](const auto& box) { return box.text == QStringLiteral("Done."); });
    }
};

qsizetype rowsOf(const QJsonArray& sheets, const char* name) {
    return sheetNamed(sheets, QLatin1String(name))["rows"].toArray().size();
}

std::string victimBackend() {
    const auto pids = queryColumn("SELECT pid FROM pg_stat_activity WHERE usename = 'fault_victim'");
    return pids.empty() ? std::string() : pids.front();
}

} // namespace

// The import's server process ended mid-table: one report for the broken stream saying how
// short the sheet is, the next table's query fails, the workbook holds every row that came.
TEST(Faults, ServerProcessEndedMidTable) {
    FaultRun run;
    run.host.tick(QStringLiteral("stream_rows"));
    run.host.tick(QStringLiteral("t_first"));
    run.onceRowsAreWritten(
        [] { executeSql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE usename = 'fault_victim'"); });
    const QJsonArray sheets = run.finish();
    const std::vector<int> steps = run.boxes.reportedSteps();
    EXPECT_EQ(std::count(steps.begin(), steps.end(), 202), 1);
    EXPECT_EQ(std::count(steps.begin(), steps.end(), 140), 1);
    const QString broken = run.reportAt(202);
    EXPECT_TRUE(broken.contains(QStringLiteral(" of 100000 rows of stream_rows were read: its sheet is short.")))
        << broken.toStdString();
    const qsizetype rows = rowsOf(sheets, "stream_rows");
    EXPECT_GT(rows, 1);
    EXPECT_LT(rows, 100001);
    EXPECT_TRUE(broken.contains(QStringLiteral("Only %1 of").arg(rows - 1))) << broken.toStdString();
    EXPECT_EQ(rowsOf(sheets, "t_first"), 0);
    EXPECT_TRUE(run.done());
}

// The server itself stopped mid-table: the same, with no hang.
TEST(Faults, ServerStoppedMidTable) {
    QTemporaryDir folder;
    const QString sql = folder.filePath(QStringLiteral("tables.sql"));
    QFile file(sql);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("SET ROLE kestrove_test;\n"
               "CREATE TABLE big AS SELECT g AS id, repeat('y', 100) AS filler FROM generate_series(1, 200000) AS g;\n"
               "CREATE TABLE small (v text);\n");
    file.close();
    OwnServer server({sql});
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
    std::string pid;
    Clock::time_point frozenAt;
    int yieldsWhileFrozen = 0;
    run.host.onYield = [&] {
        if (pid.empty() && run.writingRows()) {
            pid = victimBackend();
            ASSERT_FALSE(pid.empty());
            ::kill(std::stoi(pid), SIGSTOP);
            frozenAt = Clock::now();
        } else if (!pid.empty() && frozenAt != Clock::time_point{}) {
            ++yieldsWhileFrozen;
            if (Clock::now() - frozenAt > std::chrono::milliseconds(1500)) {
                ::kill(std::stoi(pid), SIGCONT);
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
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    ConnectionSettings silent = testBedSettings();
    silent.port = QString::number(ntohs(address.sin_port));
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
    ::close(listener);
}

// Folders that cannot take the workbook: reported at the save with the path, nothing left
// behind, and the run ends as usual.
TEST(Faults, AFolderThatRefusesIsReportedWithItsPath) {
    QTemporaryDir base;
    QFile blocker(base.filePath(QStringLiteral("a file")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QStringList folders{base.filePath(QStringLiteral("missing/Kestrove")), base.filePath(QStringLiteral("a file"))};
    if (::geteuid() != 0) { // root writes into read-only folders anyway
        const QString readOnly = base.filePath(QStringLiteral("read-only"));
        QDir().mkpath(readOnly);
        QFile::setPermissions(readOnly, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        folders << readOnly;
    }
    for (const QString& folder : folders) {
        FaultRun run;
        run.host.workbookFolder = folder;
        run.host.tick(QStringLiteral("t_first"));
        run.finish();
        ASSERT_EQ(run.boxes.reportedSteps(), (std::vector<int>{210})) << folder.toStdString();
        EXPECT_TRUE(run.reportAt(210).contains(folder)) << run.reportAt(210).toStdString();
        EXPECT_TRUE(run.host.opened.empty());
        EXPECT_TRUE(run.done());
    }
    EXPECT_EQ(QDir(base.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size(),
              folders.size() == 3 ? 2 : 1);
}

// The workbook's disk fills, then the temporary folder's: each is reported at the step
// that wrote, and no file is left behind.
TEST(Faults, FullDisksAreReportedAndLeaveNoFile) {
    TinyFileSystem output(QStringLiteral("64k"));
    if (!output.mounted())
        GTEST_SKIP() << "no tmpfs could be mounted here (not root?)";
    {
        FaultRun run;
        run.host.workbookFolder = output.path();
        run.host.tick(QStringLiteral("stream_rows"));
        run.finish();
        ASSERT_EQ(run.boxes.reportedSteps(), (std::vector<int>{210}));
        EXPECT_TRUE(run.reportAt(210).contains(QStringLiteral("No space left on device")));
        EXPECT_TRUE(output.entries().isEmpty()) << output.entries().join(' ').toStdString();
    }
    TinyFileSystem temporary(QStringLiteral("64k"));
    const QByteArray previous = qgetenv("TMPDIR");
    {
        FaultRun run;
        run.host.tick(QStringLiteral("stream_rows"));
        qputenv("TMPDIR", temporary.path().toUtf8());
        run.finish();
        qputenv("TMPDIR", previous);
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

// Rows inserted and deleted by another session while a table exports: the sheet holds
// exactly the rows its count came from. A table dropped after the list was filled gets
// its query's report and an empty named sheet.
TEST(Faults, TablesChangedOrDroppedDuringTheExport) {
    FaultRun run;
    run.host.tick(QStringLiteral("changing_rows"));
    run.host.tick(QStringLiteral("doomed"));
    run.onceRowsAreWritten([] {
        executeSql("DELETE FROM export.changing_rows WHERE id % 2 = 0");
        executeSql("INSERT INTO export.changing_rows SELECT g, 'new' FROM generate_series(1, 50000) AS g");
        executeSql("DROP TABLE export.doomed");
    });
    const QJsonArray sheets = run.finish();
    const QJsonArray rows = sheetNamed(sheets, QStringLiteral("changing_rows"))["rows"].toArray();
    ASSERT_EQ(rows.size(), 100001);
    for (qsizetype r = 1; r < rows.size(); ++r)
        ASSERT_EQ(rows[r].toArray()[1].toString(), QStringLiteral("old")) << "row " << r;
    EXPECT_EQ(run.boxes.reportedSteps(), (std::vector<int>{140, 172, 174}));
    EXPECT_TRUE(run.reportAt(140).contains(QStringLiteral("does not exist")));
    EXPECT_EQ(rowsOf(sheets, "doomed"), 0);
    EXPECT_FALSE(sheetNamed(sheets, QStringLiteral("doomed")).isEmpty());
}

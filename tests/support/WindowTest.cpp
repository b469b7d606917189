#include "support/WindowTest.h"

#include "app/Settings.h"
#include "app/WindowFlow.h"
#include "platform/desktop/Spreadsheet.h"

#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstdlib>

namespace kestrove::test {

namespace {
std::unique_ptr<QTemporaryDir> g_home;
const char* const SharedHome = "KESTROVE_TEST_SHARED_HOME";
} // namespace

void WindowTest::SetUp() {
    if (qEnvironmentVariableIsSet(SharedHome)) {
        home = qEnvironmentVariable(SharedHome);
    } else {
        g_home = std::make_unique<QTemporaryDir>();
        home = g_home->path();
    }
    qputenv("HOME", QFile::encodeName(home));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home + QStringLiteral("/.config")));
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope,
                       home + QStringLiteral("/.config"));
    boxes = std::make_unique<MessageBoxRecorder>();
    desktop::setSpreadsheetProgramFinder([] { return QStringLiteral("test-spreadsheet.desktop"); });
    desktop::setWorkbookOpener([this](const QString& path) {
        opened << path;
        // Also on disk, for a death test's parent to see what its child opened.
        QFile log(home + QStringLiteral("/opened-workbooks.txt"));
        if (log.open(QIODevice::Append))
            log.write(QFile::encodeName(path) + '\n');
    });
}

void WindowTest::TearDown() {
    DestroyWindows();
    desktop::setSpreadsheetProgramFinder({});
    desktop::setWorkbookOpener({});
    boxes.reset();
    qunsetenv(SharedHome);
    g_home.reset();
}

void WindowTest::shareHomeWithChildProcess() const {
    qputenv(SharedHome, QFile::encodeName(home));
}

void WindowTest::storeSettings(const ConnectionSettings& settings) {
    WriteSetting(QStringLiteral("PostgreSQLServer"), settings.server);
    WriteSetting(QStringLiteral("PostgreSQLPort"), settings.port);
    WriteSetting(QStringLiteral("PostgreSQLUser"), settings.user);
    WriteSetting(QStringLiteral("PostgreSQLPassword"), settings.password);
    WriteSetting(QStringLiteral("PostgreSQLDatabase"), settings.database);
}

std::optional<QString> WindowTest::storedValue(const QString& key) {
    QSettings store(SettingsFilePath(), QSettings::IniFormat);
    store.beginGroup(QStringLiteral("Kestrove"));
    if (!store.contains(key))
        return std::nullopt;
    return store.value(key).toString();
}

void WindowTest::click(QWidget& window, const char* button) {
    QTest::mouseClick(control<QPushButton>(window, button), Qt::LeftButton);
}

int WindowTest::positionOf(TableList& list, const QString& text, const QString& schema) {
    for (int position = 1; position <= list.count(); ++position) {
        const TableEntry entry = list.entry(position);
        if (entry.text == text && (schema.isNull() || entry.schema == schema))
            return position;
    }
    return 0;
}

QString WindowTest::workbookFolder() const {
    return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) +
           QStringLiteral("/Kestrove");
}

void WindowTest::finishAndCloseWhen(QWidget& window, const std::function<bool()>& due) {
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (due())
            window.close();
    });
    closer.start(0);
    click(window, "PushButton5");
    std::exit(3);
}

} // namespace kestrove::test

#include "app/Settings.h"
#include "support/System.h"
#include "support/WindowTest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

using namespace kestrove;
using kestrove::test::permissionBits;

using SettingsStore = kestrove::test::WindowTest;

TEST_F(SettingsStore, TheDefaultIsOnlyForAnAbsentKey) {
    EXPECT_EQ(ReadSetting(QStringLiteral("PostgreSQLServer"), QStringLiteral("localhost")),
              QStringLiteral("localhost"));
    // A stored empty server stays empty; "localhost" does not come back.
    WriteSetting(QStringLiteral("PostgreSQLServer"), QString());
    EXPECT_EQ(ReadSetting(QStringLiteral("PostgreSQLServer"), QStringLiteral("localhost")),
              QString());
    EXPECT_EQ(storedValue(QStringLiteral("PostgreSQLServer")), QString());
}

TEST_F(SettingsStore, TextsComeBackExactlyAsStored) {
    const QStringList texts = {QStringLiteral("54x32"),
                               QStringLiteral(" pass word "),
                               QStringLiteral("a;b=c#d\"e\\f[g]"),
                               QStringLiteral("Пароль表"),
                               QStringLiteral("line\nbreak"),
                               QStringLiteral("@Variant(0)")};
    for (const QString& text : texts) {
        WriteSetting(QStringLiteral("PostgreSQLPassword"), text);
        EXPECT_EQ(ReadSetting(QStringLiteral("PostgreSQLPassword"), QString()), text)
            << text.toStdString();
    }
    // Writing one key leaves the others alone.
    WriteSetting(QStringLiteral("PostgreSQLPort"), QStringLiteral("5433"));
    EXPECT_EQ(ReadSetting(QStringLiteral("PostgreSQLPassword"), QString()), texts.last());
}

TEST_F(SettingsStore, TheFileIsPrivateToItsUser) {
    WriteSetting(QStringLiteral("PostgreSQLPassword"), QStringLiteral("secret"));
    EXPECT_EQ(permissionBits(SettingsFilePath()), 0600u);

    // A file that existed with wider rights is narrowed at the next write.
    ASSERT_TRUE(kestrove::test::setPermissionBits(SettingsFilePath(), 0644));
    WriteSetting(QStringLiteral("PostgreSQLUser"), QStringLiteral("someone"));
    EXPECT_EQ(permissionBits(SettingsFilePath()), 0600u);
    EXPECT_EQ(ReadSetting(QStringLiteral("PostgreSQLPassword"), QString()),
              QStringLiteral("secret"));
}

// A store that exists but cannot be read (here a folder in the file's place) is a failure
// of every read, and nothing is written over it.
TEST_F(SettingsStore, AStoreThatCannotBeReadIsAFailureAndStaysAsItWas) {
    ASSERT_TRUE(QDir().mkpath(SettingsFilePath()));
    EXPECT_THROW(ReadSetting(QStringLiteral("PostgreSQLServer"), QStringLiteral("localhost")),
                 std::exception);
    EXPECT_THROW(WriteSetting(QStringLiteral("PostgreSQLServer"), QStringLiteral("x")),
                 std::exception);
    EXPECT_TRUE(QFileInfo(SettingsFilePath()).isDir());
}

TEST_F(SettingsStore, AWriteThatCannotBeStoredIsAFailure) {
    // The store's folder is taken by an ordinary file.
    QFile blocker(home + QStringLiteral("/blocked"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope,
                       home + QStringLiteral("/blocked"));
    EXPECT_THROW(WriteSetting(QStringLiteral("PostgreSQLUser"), QStringLiteral("x")),
                 std::exception);
}

#include "connection/ConnectionString.h"
#include "support/TestBed.h"

#include <gtest/gtest.h>

using namespace kestrove;
using kestrove::test::MessageBoxRecorder;
using kestrove::test::testBedSettings;

TEST(BuildConnectionString, OrdinaryValuesGoInExactlyAsTyped) {
    EXPECT_EQ(BuildConnectionString({}),
              QStringLiteral("Driver={PostgreSQL Unicode};Server=;Port=;Uid=;Pwd=;Database="));
    EXPECT_EQ(
        BuildConnectionString({QStringLiteral("localhost"), QStringLiteral("5432"),
                               QStringLiteral("postgres"), QString(), QStringLiteral("sales")}),
        QStringLiteral("Driver={PostgreSQL Unicode};Server=localhost;Port=5432;Uid=postgres;"
                       "Pwd=;Database=sales"));
    // Blanks, '=', letters in the port and non-Latin text stay as typed.
    EXPECT_EQ(BuildConnectionString({QStringLiteral(" db.local "), QStringLiteral("54x"),
                                     QStringLiteral("a=b"), QStringLiteral(" pass word "),
                                     QStringLiteral("продажи")}),
              QStringLiteral("Driver={PostgreSQL Unicode};Server= db.local ;Port=54x;Uid=a=b;"
                             "Pwd= pass word ;Database=продажи"));
}

TEST(BuildConnectionString, BracesOnlyWhereTheDriverWouldMisreadTheValue) {
    const auto with = [](QString server, QString password) {
        return BuildConnectionString(
            {server, QStringLiteral("1"), QStringLiteral("u"), password, QStringLiteral("d")});
    };
    EXPECT_EQ(
        with(QStringLiteral("a;b"), QStringLiteral("p")),
        QStringLiteral("Driver={PostgreSQL Unicode};Server={a;b};Port=1;Uid=u;Pwd=p;Database=d"));
    // Only the password loses its braces in the driver: other values keep them as typed.
    EXPECT_TRUE(with(QStringLiteral("x{y}"), QStringLiteral("{p}"))
                    .contains(QStringLiteral("Server=x{y};Port=1;Uid=u;Pwd={{p}}};")));
    EXPECT_TRUE(with(QStringLiteral("h;Uid=x"), QString())
                    .contains(QStringLiteral("Server={h;Uid=x};Port=1;")));
    // A password with '+' or '%' would be URL-decoded unbraced; a server would not.
    EXPECT_TRUE(with(QStringLiteral("a+b"), QStringLiteral("a+b%41"))
                    .contains(QStringLiteral("Server=a+b;Port=1;Uid=u;Pwd={a+b%41};")));
    EXPECT_TRUE(with(QString(), QStringLiteral("a+b%41;c}d{e"))
                    .contains(QStringLiteral("Pwd={a+b%41;c}}d{e};Database=d")));
}

// Connects through the real driver with the test server's details.
TEST(CanConnect, TrueForTheTestServerAndTrickyPasswords) {
    MessageBoxRecorder boxes;
    ConnectionSettings settings = testBedSettings();
    EXPECT_TRUE(CanConnect(settings));

    settings.user = QStringLiteral("role_plus");
    settings.password = QStringLiteral("a+b%41;c}d{e");
    EXPECT_TRUE(CanConnect(settings));
    settings.user = QStringLiteral("role_spaced");
    settings.password = QStringLiteral(" spaced ");
    EXPECT_TRUE(CanConnect(settings));
    // The decoded or trimmed forms of those passwords must not be what reached the server.
    settings.password = QStringLiteral("spaced");
    EXPECT_FALSE(CanConnect(settings));
    // Braces in a user or database name reach the server as typed.
    settings.user = QStringLiteral("brace}user");
    settings.password = QStringLiteral("Brace-1");
    EXPECT_TRUE(CanConnect(settings));
    settings = testBedSettings();
    settings.database = QStringLiteral("db{x}");
    EXPECT_TRUE(CanConnect(settings));
    // A ';' in a value cannot add a key of its own: the server is then simply unknown.
    settings = testBedSettings();
    settings.server += QStringLiteral(";Uid=") + settings.user;
    settings.user = QStringLiteral("no_such_role");
    EXPECT_FALSE(CanConnect(settings));
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST(CanConnect, FalseAndSilentForDetailsThatDoNotConnect) {
    MessageBoxRecorder boxes;
    ConnectionSettings wrongPassword = testBedSettings();
    wrongPassword.password = QStringLiteral("not-the-password");
    EXPECT_FALSE(CanConnect(wrongPassword));

    ConnectionSettings closedPort = testBedSettings();
    closedPort.port = QStringLiteral("1");
    EXPECT_FALSE(CanConnect(closedPort));

    ConnectionSettings unknownDatabase = testBedSettings();
    unknownDatabase.database = QStringLiteral("no_such_database");
    EXPECT_FALSE(CanConnect(unknownDatabase));

    ConnectionSettings letters = testBedSettings();
    letters.port = QStringLiteral("port");
    EXPECT_FALSE(CanConnect(letters));
    EXPECT_TRUE(boxes.boxes.empty());
}

// The driver gets the string as built, then the session's encoding, and for a connection
// that reads tables libpq's keepalives.
TEST(DriverConnectionString, TheBuiltStringThenTheDriversOptions) {
    const ConnectionSettings settings{QStringLiteral("h"), QStringLiteral("1"), QStringLiteral("u"),
                                      QStringLiteral("p;w"), QStringLiteral("d")};
    const std::string built = BuildConnectionString(settings).toStdString();
    const std::string encoding = ";ConnSettings={SET client_encoding TO 'UTF8'}";
    EXPECT_EQ(DriverConnectionString(settings), built + encoding);
    EXPECT_EQ(
        DriverConnectionString(settings, Keepalives{3, 2, 1, std::chrono::milliseconds(4000)}),
        built + encoding +
            ";pqopt={fallback_application_name=kestrove keepalives=1 keepalives_idle=3 "
            "keepalives_interval=2 keepalives_count=1 tcp_user_timeout=4000}");
}

#include "connection/ConnectionSources.h"
#include "support/TestBed.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>

using namespace kestrove;
using kestrove::test::testBedSettings;
using kestrove::test::testBedSocketFolder;

namespace {

using Values = std::map<QString, QString>;

ConnectionSources sourcesOf(const Values& environment, const Values& store,
                            const QString& home = QString()) {
    ConnectionSources sources;
    sources.environment = [environment](const char* name) -> std::optional<QString> {
        const auto found = environment.find(QString::fromLatin1(name));
        return found == environment.end() ? std::nullopt : std::optional<QString>(found->second);
    };
    sources.store = [store](const QString& key) -> std::optional<QString> {
        const auto found = store.find(key);
        return found == store.end() ? std::nullopt : std::optional<QString>(found->second);
    };
    sources.home = home.isEmpty() ? QStringLiteral("/nonexistent") : home;
    sources.loginName = QStringLiteral("login");
    return sources;
}

void writeFile(const QString& path, const QByteArray& text, QFile::Permissions permissions) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
    file.close();
    ASSERT_TRUE(file.setPermissions(permissions));
}

// Answers with a fixed text, or as when there is no terminal; records the questions.
class RecordingPrompt final : public PasswordPrompt {
public:
    explicit RecordingPrompt(std::optional<QString> answer) : m_answer(std::move(answer)) {}
    std::optional<QString> ask(const QString& question) override {
        questions << question;
        return m_answer;
    }
    QStringList questions;

private:
    std::optional<QString> m_answer;
};

const Values WizardsStore{{"PostgreSQLServer", "stored.example"},
                          {"PostgreSQLPort", "6000"},
                          {"PostgreSQLUser", "stored_user"},
                          {"PostgreSQLDatabase", "stored_db"},
                          {"PostgreSQLPassword", "stored-secret"}};

} // namespace

// Each detail: the option, else libpq's variable, else the store, else the wizard's
// default; the stored password only when all four came from the store or defaults.
TEST(ResolveConnection, EachDetailFromTheFirstSourceThatHasIt) {
    struct Case {
        const char* label;
        ConnectionOptions options;
        Values environment;
        Values store;
        ConnectionSettings expected;
        bool storedPassword;
    };
    const Values variables{{"PGHOST", "env.example"},
                           {"PGPORT", "7000"},
                           {"PGUSER", "env_user"},
                           {"PGDATABASE", "env_db"}};
    const std::vector<Case> cases{
        {"nothing anywhere", {}, {}, {}, {"localhost", "5432", "", "", ""}, true},
        {"the store",
         {},
         {},
         WizardsStore,
         {"stored.example", "6000", "stored_user", "", "stored_db"},
         true},
        {"the environment over the store",
         {},
         variables,
         WizardsStore,
         {"env.example", "7000", "env_user", "", "env_db"},
         false},
        {"options over both",
         {"opt.example", "8000", "opt_user", "opt_db", {}},
         variables,
         WizardsStore,
         {"opt.example", "8000", "opt_user", "", "opt_db"},
         false},
        {"one option, the rest stored",
         {{}, {}, "opt_user", {}, {}},
         {},
         WizardsStore,
         {"stored.example", "6000", "opt_user", "", "stored_db"},
         false},
        {"one variable, the rest stored",
         {},
         {{"PGHOST", "env.example"}},
         WizardsStore,
         {"env.example", "6000", "stored_user", "", "stored_db"},
         false},
        // An empty variable is no variable, as for libpq.
        {"an empty variable",
         {},
         {{"PGPORT", ""}},
         WizardsStore,
         {"stored.example", "6000", "stored_user", "", "stored_db"},
         true},
    };
    for (const Case& c : cases) {
        const ResolvedConnection resolved =
            ResolveConnection(c.options, sourcesOf(c.environment, c.store));
        EXPECT_EQ(resolved.settings.server, c.expected.server) << c.label;
        EXPECT_EQ(resolved.settings.port, c.expected.port) << c.label;
        EXPECT_EQ(resolved.settings.user, c.expected.user) << c.label;
        EXPECT_EQ(resolved.settings.database, c.expected.database) << c.label;
        EXPECT_TRUE(resolved.settings.password.isEmpty()) << c.label;
        EXPECT_EQ(resolved.storedPassword.has_value(),
                  c.storedPassword && c.store.count("PostgreSQLPassword"))
            << c.label;
    }
}

// --password-file, then PGPASSWORD, then the password file; the store is never read for
// what is given otherwise, so an unreadable store matters only when needed.
TEST(ResolveConnection, ThePasswordsOrderAndTheStoreReadOnlyWhenNeeded) {
    QTemporaryDir home;
    writeFile(home.filePath(QStringLiteral("given")), "from-option\nsecond line\n",
              QFile::ReadOwner | QFile::WriteOwner);
    writeFile(home.filePath(QStringLiteral(".pgpass")), "*:*:*:*:from-pgpass\n",
              QFile::ReadOwner | QFile::WriteOwner);
    const ConnectionOptions withFile{{}, {}, {}, {}, home.filePath(QStringLiteral("given"))};
    const Values password{{"PGPASSWORD", "from-environment"}};
    EXPECT_EQ(ResolveConnection(withFile, sourcesOf(password, {}, home.path())).password,
              QStringLiteral("from-option"));
    EXPECT_EQ(ResolveConnection({}, sourcesOf(password, {}, home.path())).password,
              QStringLiteral("from-environment"));
    EXPECT_EQ(ResolveConnection({}, sourcesOf({}, {}, home.path())).password,
              QStringLiteral("from-pgpass"));
    EXPECT_FALSE(ResolveConnection({}, sourcesOf({}, {})).password);

    ConnectionSources broken = sourcesOf({}, {});
    broken.store = [](const QString&) -> std::optional<QString> {
        throw std::runtime_error("cannot be read");
    };
    const ConnectionOptions everything{"h", "1", "u", "d", {}};
    EXPECT_NO_THROW(ResolveConnection(everything, broken));
    EXPECT_THROW(ResolveConnection({}, broken), ConnectionFailure);
    EXPECT_THROW(
        ResolveConnection(ConnectionOptions{{}, {}, {}, {}, QStringLiteral("/no/such/file")},
                          sourcesOf({}, {})),
        ConnectionFailure);
}

// libpq's format: the first matching line wins, '*' matches anything, '\' escapes.
TEST(PasswordFromFile, MatchesAsLibpqDoes) {
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("pgpass"));
    writeFile(path,
              "# a comment:*:*:*:no\n"
              "\n"
              "db.example:5432:sales:report:first\r\n"
              "db.example:5432:sales:report:second\n"
              "db\\:colon:*:*:*:colon host\n"
              "*:6000:*:odd:pass\\:with\\\\escapes:ignored\n"
              "*:*:*:*:catch-all\n",
              QFile::ReadOwner | QFile::WriteOwner);
    struct Case {
        const char* host;
        const char* port;
        const char* database;
        const char* user;
        const char* expected;
    };
    const std::vector<Case> cases{
        {"db.example", "5432", "sales", "report", "first"},
        {"db:colon", "1", "x", "y", "colon host"},
        {"any", "6000", "x", "odd", "pass:with\\escapes"},
        {"db.example", "5433", "sales", "report", "catch-all"},
        // A value that is only the start of a field does not match it.
        {"db.exampl", "5432", "sales", "report", "catch-all"},
    };
    for (const Case& c : cases) {
        QStringList warnings;
        EXPECT_EQ(PasswordFromFile(path, QString::fromUtf8(c.host), QString::fromUtf8(c.port),
                                   QString::fromUtf8(c.database), QString::fromUtf8(c.user),
                                   warnings),
                  QString::fromUtf8(c.expected))
            << c.host << ":" << c.port;
        EXPECT_TRUE(warnings.isEmpty());
    }
}

// A file its group or others may read is refused with libpq's warning; so is a folder.
TEST(PasswordFromFile, RefusesAFileOthersMayRead) {
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("pgpass"));
    writeFile(path, "*:*:*:*:secret\n", QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
    QStringList warnings;
    EXPECT_FALSE(PasswordFromFile(path, "h", "1", "d", "u", warnings));
    ASSERT_EQ(warnings.size(), 1);
    EXPECT_TRUE(warnings.front().contains(QStringLiteral("has group or world access")))
        << warnings.front().toStdString();
    warnings.clear();
    EXPECT_FALSE(PasswordFromFile(folder.path(), "h", "1", "d", "u", warnings));
    EXPECT_EQ(warnings.size(), 1);
    warnings.clear();
    EXPECT_FALSE(
        PasswordFromFile(folder.filePath(QStringLiteral("absent")), "h", "1", "d", "u", warnings));
    EXPECT_TRUE(warnings.isEmpty());
}

// Against the test server, which asks TCP clients for a password and its socket's none.
TEST(SettlePassword, AsksOnlyWhenTheServerWantsAPasswordAndNoneWasFound) {
    // libpq under the driver reads its own password variables and file: not the runner's.
    const QByteArray previousPassword = qgetenv("PGPASSWORD"), previousFile = qgetenv("PGPASSFILE");
    qunsetenv("PGPASSWORD");
    qputenv("PGPASSFILE", "/nonexistent/kestrove-pgpass");
    struct Restore {
        QByteArray password, file;
        ~Restore() {
            password.isNull() ? qunsetenv("PGPASSWORD") : qputenv("PGPASSWORD", password);
            file.isNull() ? qunsetenv("PGPASSFILE") : qputenv("PGPASSFILE", file);
        }
    } restore{previousPassword, previousFile};
    const ConnectionSettings bed = testBedSettings();
    const ConnectionSources sources = sourcesOf({}, {});
    ResolvedConnection overTcp;
    overTcp.settings = {bed.server, bed.port, QStringLiteral("pgpass_user"), QString(),
                        bed.database};
    ResolvedConnection overSocket = overTcp;
    overSocket.settings.server = testBedSocketFolder();

    {
        RecordingPrompt prompt(QStringLiteral("Pgpass-Secret:1"));
        EXPECT_EQ(SettlePassword(overTcp, sources, Prompting::WhenAsked, prompt).password,
                  QStringLiteral("Pgpass-Secret:1"));
        EXPECT_EQ(prompt.questions,
                  QStringList{QStringLiteral("Password for user pgpass_user on %1:%2: ")
                                  .arg(bed.server, bed.port)});
    }
    {
        RecordingPrompt prompt(QStringLiteral("unused"));
        EXPECT_EQ(SettlePassword(overSocket, sources, Prompting::WhenAsked, prompt).password,
                  QString());
        EXPECT_TRUE(prompt.questions.isEmpty());
    }
    {
        // -W asks before connecting, even where no password is needed.
        RecordingPrompt prompt(QStringLiteral("typed"));
        EXPECT_EQ(SettlePassword(overSocket, sources, Prompting::First, prompt).password,
                  QStringLiteral("typed"));
        EXPECT_EQ(prompt.questions.size(), 1);
    }
    {
        // -w never asks: the driver's message instead.
        RecordingPrompt prompt(QStringLiteral("Pgpass-Secret:1"));
        try {
            SettlePassword(overTcp, sources, Prompting::Never, prompt);
            ADD_FAILURE() << "connected without a password";
        } catch (const ConnectionFailure& failure) {
            EXPECT_TRUE(
                QString::fromUtf8(failure.what()).contains(QStringLiteral("no password supplied")))
                << failure.what();
        }
        EXPECT_TRUE(prompt.questions.isEmpty());
    }
    {
        // A password found is used as it is: a wrong one is the driver's message, no prompt.
        ResolvedConnection wrong = overTcp;
        wrong.password = QStringLiteral("wrong");
        RecordingPrompt prompt(QStringLiteral("Pgpass-Secret:1"));
        EXPECT_THROW(SettlePassword(wrong, sources, Prompting::WhenAsked, prompt),
                     ConnectionFailure);
        EXPECT_TRUE(prompt.questions.isEmpty());
    }
}

// Without a terminal the stored password is the last resort, kept only for the store's
// own details; after a prompt's answer it is never tried.
TEST(SettlePassword, TheStoredPasswordLast) {
    const ConnectionSettings bed = testBedSettings();
    const ConnectionSources sources = sourcesOf({}, {});
    ResolvedConnection stored;
    stored.settings = {bed.server, bed.port, QStringLiteral("pgpass_user"), QString(),
                       bed.database};
    stored.storedPassword = QStringLiteral("Pgpass-Secret:1");
    RecordingPrompt noTerminal(std::nullopt);
    EXPECT_EQ(SettlePassword(stored, sources, Prompting::WhenAsked, noTerminal).password,
              QStringLiteral("Pgpass-Secret:1"));
    EXPECT_EQ(noTerminal.questions.size(), 1);
    RecordingPrompt wrongAnswer(QStringLiteral("wrong"));
    EXPECT_THROW(SettlePassword(stored, sources, Prompting::WhenAsked, wrongAnswer),
                 ConnectionFailure);

    // The same store with one detail given another way keeps no password to send.
    const Values store{{"PostgreSQLServer", bed.server},
                       {"PostgreSQLPort", bed.port},
                       {"PostgreSQLUser", "pgpass_user"},
                       {"PostgreSQLDatabase", bed.database},
                       {"PostgreSQLPassword", "Pgpass-Secret:1"}};
    EXPECT_TRUE(ResolveConnection({}, sourcesOf({}, store)).storedPassword);
    EXPECT_FALSE(
        ResolveConnection({bed.server, {}, {}, {}, {}}, sourcesOf({}, store)).storedPassword);
    EXPECT_FALSE(
        ResolveConnection({}, sourcesOf({{"PGDATABASE", bed.database}}, store)).storedPassword);
}

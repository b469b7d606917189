#include "app/Settings.h"

#include "platform/system/Files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <stdexcept>

namespace kestrove {

namespace {

constexpr auto OwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

// The store's file, "Drumlane", opened at its section "Kestrove".
struct Store {
    Store() { settings.beginGroup(QStringLiteral("Kestrove")); }
    QSettings settings{QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Drumlane")};
};

// Creates the file empty with mode 0600 when it does not exist yet, so that the password
// is never on disk with wider rights; narrows the rights of a file that has them.
void makePrivate(const QString& path) {
    if (QFile::exists(path)) {
        QFile::setPermissions(path, OwnerOnly);
        return;
    }
    QDir().mkpath(QFileInfo(path).absolutePath());
    system::createPrivateFile(path); // where it cannot, the write that follows reports it
}

// A file that exists but cannot be read must not be taken for an empty store, and must
// not be written over from one.
void requireReadable(const QString& path) {
    QFile file(path);
    if (!file.exists())
        return;
    if (QFileInfo(path).isDir() || !file.open(QIODevice::ReadOnly))
        throw std::runtime_error("The settings file " + path.toStdString() + " cannot be read" +
                                 (file.error() != QFileDevice::NoError
                                      ? ": " + file.errorString().toStdString()
                                      : std::string(": it is a folder")) +
                                 ".");
}

} // namespace

QString SettingsFilePath() {
    return Store().settings.fileName();
}

QString ReadSetting(const QString& key, const QString& defaultText) {
    const Store opened;
    const QSettings& store = opened.settings;
    requireReadable(store.fileName());
    if (store.status() == QSettings::FormatError)
        throw std::runtime_error("The settings file " + store.fileName().toStdString() +
                                 " cannot be read.");
    return store.value(key, defaultText).toString();
}

void WriteSetting(const QString& key, const QString& text) {
    Store opened;
    QSettings& store = opened.settings;
    const QString path = store.fileName();
    requireReadable(path);
    makePrivate(path);
    store.setValue(key, text);
    store.sync();
    if (store.status() != QSettings::NoError)
        throw std::runtime_error("The setting " + key.toStdString() + " could not be written to " +
                                 path.toStdString() + ".");
    // The store replaces its file on write; the new file must be private too.
    QFile::setPermissions(path, OwnerOnly);
}

} // namespace kestrove

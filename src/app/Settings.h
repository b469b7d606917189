#pragma once

// The per-user settings store: application "Drumlane", section "Kestrove", text values.

#include <QString>

namespace kestrove {

// The stored text of the key; the default only when the key is absent (an empty stored
// text stays empty). Throws when the store's file exists but cannot be read.
QString ReadSetting(const QString& key, const QString& defaultText);

// Stores the text under the key and flushes the store to disk at once. The file stays
// readable by its owner only, because it holds the password. Throws when the store
// cannot be written, or when its file cannot be read (it is never written over then).
void WriteSetting(const QString& key, const QString& text);

// The file that holds the store.
QString SettingsFilePath();

} // namespace kestrove

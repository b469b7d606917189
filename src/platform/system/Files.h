#pragma once

// Files and links where the program needs more than Qt gives: a file private from its
// first byte, what a path names and who may read it, and renames that never replace a
// file by accident.

#include <QString>

#include <optional>

namespace kestrove::system {

// Creates the file, empty and readable and writable by its owner only, where nothing
// bears its name yet. A file that cannot be made is left to the write that follows.
void createPrivateFile(const QString& path);

// What a path names, a last link not followed.
enum class PathKind { Missing, PlainFile, Link, Other };
PathKind kindOf(const QString& path);

// The file a path names, links followed: whether it is a plain file, and whether its
// group or others have any rights to it. Absent when it cannot be found.
struct FileRights {
    bool plainFile;
    bool groupOrOthers;
};
std::optional<FileRights> rightsOf(const QString& path);

// Why no file can be made in the folder, in the system's words; absent when one can.
std::optional<QString> whyNotWritableFolder(const QString& folder);

// Renames without replacing anything; false when `to` exists. Throws std::runtime_error
// with the system's reason when it cannot rename.
bool renameWithoutReplacing(const QString& from, const QString& to);

// Puts `from` in the place of `to`, with the permission bits of the file `to` names (a
// link followed; a link to nothing leaves `from` its own). The system's reason when it
// cannot; absent when done.
std::optional<QString> replaceKeepingPermissions(const QString& from, const QString& to);

// Removes the name; a name that is not there is no failure.
void removeFile(const QString& path);

} // namespace kestrove::system

#pragma once

// Where kestrove-export's workbook goes: the --out path checked before anything is read,
// the workbook written under a hidden name beside it, and put in its place at the end.

#include <QString>

#include <optional>

namespace kestrove {

class OutputFile {
public:
    // Why the path cannot take the workbook (a folder, a missing or unwritable folder, a
    // file that exists without `replace`, or one that is not a plain file); absent when it can.
    static std::optional<QString> problem(const QString& path, bool replace);

    // Chooses the hidden name beside `target` and registers it, so that a program ended
    // early removes it.
    OutputFile(const QString& target, bool replace);
    // Removes the hidden file unless place() was called.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Where the workbook is to be written.
    const QString& writtenPath() const { return m_written; }

    // Puts the written workbook in place: on the target, replacing a file there (with its
    // permission bits) only when the run `succeeded`; otherwise on the target only when
    // it is free, else beside it as "<name>.incomplete.xlsx". Returns where it went.
    // Throws std::runtime_error when it cannot be moved; it then stays where it was written.
    QString place(bool succeeded);

private:
    QString m_target;
    QString m_written;
    bool m_replace = false;
    bool m_placed = false;
};

} // namespace kestrove

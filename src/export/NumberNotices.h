#pragma once

// The notices of a run's columns whose numbers stayed text, since a sum over such a
// column leaves them out: one per column and cause, with the table, the column, how many
// values and why. They are notices, not failures.

#include "platform/workbook/Workbook.h"

#include <QString>
#include <QStringList>

#include <vector>

namespace kestrove {

class NumberNotices {
public:
    // A column as a notice names it: its name, and its type's ("numeric").
    struct Column {
        QString name;
        QString typeName;
    };

    // The table in turn (as the list names it), its columns, and the sheet its rows go to.
    void beginTable(const QString& table, std::vector<Column> columns,
                    const workbook::Worksheet* sheet);
    // A further sheet the table goes on in.
    void continueOn(const workbook::Worksheet* sheet);

    // Once the workbook is saved: the notices, tables in their order, the columns of each
    // in theirs.
    QStringList texts() const;

private:
    struct Table {
        QString name;
        std::vector<Column> columns;
        std::vector<const workbook::Worksheet*> sheets;
    };
    std::vector<Table> m_tables;
};

} // namespace kestrove

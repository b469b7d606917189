#pragma once

// The list of tables the import reads: an entry per table with its tick, as the window
// holds it or in memory.

#include <QString>

#include <vector>

namespace kestrove {

// One table of the list: its name as shown, its schema (not shown) and its tick. An
// entry of a command's list may stand for a query's result instead: its text is then the
// sheet's name and `query` the query's one statement.
struct TableEntry {
    QString text;
    QString schema;
    bool checked = false;
    QString query;
};

// A list of tables with a tick box per entry. Positions count from 1.
class TableList {
public:
    virtual ~TableList() = default;
    virtual void clear() = 0;
    // Adds an unticked entry at the end.
    virtual void add(const QString& text, const QString& schema) = 0;
    virtual int count() const = 0;
    // Throws std::out_of_range for a position outside 1..count().
    virtual TableEntry entry(int position) const = 0;
    virtual void setChecked(int position, bool checked) = 0;
};

// A list held in memory, for callers without a window.
class MemoryTableList final : public TableList {
public:
    void clear() override { m_entries.clear(); }
    void add(const QString& text, const QString& schema) override;
    // Adds an unticked entry for a query's result, whose sheet is named after `text`.
    void addQuery(const QString& text, const QString& query);
    int count() const override { return static_cast<int>(m_entries.size()); }
    TableEntry entry(int position) const override;
    void setChecked(int position, bool checked) override;

private:
    std::vector<TableEntry> m_entries;
};

} // namespace kestrove

#include "catalogue/TableList.h"

#include <stdexcept>

namespace kestrove {

namespace {
void requirePosition(int position, int count) {
    if (position < 1 || position > count)
        throw std::out_of_range("Index out of bounds");
}
} // namespace

void MemoryTableList::add(const QString& text, const QString& schema) {
    m_entries.push_back(TableEntry{text, schema, false, QString()});
}

void MemoryTableList::addQuery(const QString& text, const QString& query) {
    m_entries.push_back(TableEntry{text, QString(), false, query});
}

TableEntry MemoryTableList::entry(int position) const {
    requirePosition(position, count());
    return m_entries[static_cast<std::size_t>(position - 1)];
}

void MemoryTableList::setChecked(int position, bool checked) {
    requirePosition(position, count());
    m_entries[static_cast<std::size_t>(position - 1)].checked = checked;
}

} // namespace kestrove

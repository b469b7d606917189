#include "export/CellFailures.h"

#include "app/ErrorReport.h"

#include <exception>

namespace kestrove {

void CellFailures::countCurrentFailure(int step) {
    count(step, DescribeFailure(std::current_exception()));
}

void CellFailures::count(int step, const QString& description, long cells) {
    auto [it, added] = m_counts.try_emplace(description, Counted{step, 0});
    if (added)
        m_order.push_back(description);
    it->second.cells += cells;
}

void CellFailures::reportAndClear(const QString& location) {
    for (const QString& description : m_order) {
        const Counted& counted = m_counts.at(description);
        ReportApplicationError(
            description + QStringLiteral(" (") + QString::number(counted.cells) +
                (counted.cells == 1 ? QStringLiteral(" cell)") : QStringLiteral(" cells)")),
            location, counted.step);
    }
    m_counts.clear();
    m_order.clear();
}

} // namespace kestrove

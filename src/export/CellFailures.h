#pragma once

// Failures of single cells, counted per cause and reported once per table with their
// count, rather than one report per cell.

#include <QString>

#include <map>
#include <vector>

namespace kestrove {

class CellFailures {
public:
    // Runs the action that writes one cell; a failure is counted under its description.
    template <class Action> void run(int step, Action&& action) {
        try {
            action();
        } catch (...) {
            countCurrentFailure(step);
        }
    }
    // Counts `cells` under a description; the step is that of its first count.
    void count(int step, const QString& description, long cells = 1);
    // One report per cause, in the order they first came, then nothing counted.
    void reportAndClear(const QString& location);

private:
    void countCurrentFailure(int step);

    struct Counted {
        int step;
        long cells;
    };
    std::map<QString, Counted> m_counts;
    std::vector<QString> m_order;
};

} // namespace kestrove

#pragma once

// The one "Application Error" report and the numbered steps of the handlers that show it:
// a failing step is reported with its handler's location and number, and the handler goes on.

#include <QString>

#include <exception>
#include <optional>
#include <stdexcept>
#include <utility>

namespace kestrove {

// "in Pellarine2021/08/31.<module>.<handler> ", the location text of a handler's reports.
QString LocationText(const QString& module, const QString& handler);

// The text of an "Application Error" report.
QString ApplicationErrorText(const QString& description, const QString& location, int step);

// Shows the report (style 48, title "Application Error") and returns when it is closed.
void ReportApplicationError(const QString& description, const QString& location, int step);

// The description a failure carries into its report.
QString DescribeFailure(std::exception_ptr failure);

// The object an earlier step should have made; a step that uses it after that step
// failed fails in its turn, as each later step brings its own report.
template <class T> T& Required(T* object) {
    if (!object)
        throw std::runtime_error("Object variable or With block variable not set");
    return *object;
}

// Runs a handler's numbered steps: each step runs on its own; a failing one is
// reported with the handler's location and the step's number, and the handler goes
// on with the next step.
class Steps {
public:
    Steps(const QString& module, const QString& handler)
        : m_location(LocationText(module, handler)) {}

    // One action. Returns whether it ran to its end.
    template <class Action> bool operator()(int step, Action&& action) {
        try {
            std::forward<Action>(action)();
            return true;
        } catch (...) {
            report(step, std::current_exception());
            return false;
        }
    }

    // The test of a conditional. A test that fails leads into the then-branch.
    template <class Condition> bool test(int step, Condition&& condition) {
        try {
            return static_cast<bool>(std::forward<Condition>(condition)());
        } catch (...) {
            report(step, std::current_exception());
            return true;
        }
    }

    // The bound of a counted loop; empty when it cannot be read, and the loop is skipped.
    template <class Bound> auto bound(int step, Bound&& read) -> std::optional<decltype(read())> {
        try {
            return std::forward<Bound>(read)();
        } catch (...) {
            report(step, std::current_exception());
            return std::nullopt;
        }
    }

    // A while loop. A test that fails leads into the body once; the loop then ends,
    // so a test that fails on every pass cannot repeat without end.
    template <class Condition, class Body>
    void whileLoop(int step, Condition&& condition, Body&& body) {
        for (;;) {
            bool failed = false;
            bool holds = true;
            try {
                holds = static_cast<bool>(condition());
            } catch (...) {
                report(step, std::current_exception());
                failed = true;
            }
            if (!holds)
                return;
            body();
            if (failed)
                return;
        }
    }

    const QString& location() const { return m_location; }

private:
    void report(int step, std::exception_ptr failure) const;

    QString m_location;
};

} // namespace kestrove

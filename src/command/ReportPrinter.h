#pragma once

// The command-line programs' message boxes: reports go to standard error, and are counted.

#include "platform/desktop/MessageBoxes.h"

#include <QString>

#include <functional>

namespace kestrove {

// Prints each report to standard error in its own text (line breaks as on screen) and
// counts the error reports; other messages ("Done.") are left out.
class ReportPrinter final : public desktop::MessageBoxService {
public:
    ReportPrinter();
    ~ReportPrinter() override;
    ReportPrinter(const ReportPrinter&) = delete;
    ReportPrinter& operator=(const ReportPrinter&) = delete;

    void show(const QString& text, int style, const QString& title) override;
    int reports() const { return m_reports; }
    // Each report starts with the name this gives, when it gives one ("query2: ..."), so
    // that the report of one of several queries says which it was.
    void nameReportsAfter(std::function<QString()> name) { m_name = std::move(name); }

private:
    int m_reports = 0;
    std::function<QString()> m_name;
};

} // namespace kestrove

#pragma once

// The table window's progress bar, which shows the import's status text inside it.

#include <QProgressBar>
#include <QString>

namespace kestrove {

// A progress bar that shows a status text inside the bar, exactly as given: a '%' in a
// table name is not taken for one of the bar's placeholders.
class StatusProgressBar final : public QProgressBar {
public:
    using QProgressBar::QProgressBar;

    QString text() const override { return m_statusText; }
    void setStatusText(const QString& text) {
        m_statusText = text;
        update();
    }

private:
    QString m_statusText;
};

} // namespace kestrove

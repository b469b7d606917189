#pragma once

// The Setup Connections window: the five connection details and the buttons that test
// them, explain them and go on to the table selection window.

#include "app/LookAndFeel.h"
#include "connection/ConnectionString.h"

#include "ui_Form1.h"

#include <QWidget>

#include <array>

namespace kestrove {

// The Setup Connections window: the five connection details, each written to the
// settings store on every change, and the buttons "Test Connection", "Help" and "Next >".
class Form1 final : public QWidget {
public:
    Form1();

    // The start-up sequence.
    void Form_Load();

    // The details as the boxes hold them at this moment.
    ConnectionSettings connectionSettings() const;

    void PushButton2_Click(); // "Next >"
    void PushButton3_Click(); // "Test Connection"
    void PushButton5_Click(); // "Help"

    WindowPointer& pointer() { return *m_pointer; }

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // A connection box, its settings key, its default at start-up and the step that
    // restores it.
    struct StoredBox {
        QLineEdit* box;
        QString key;
        QString defaultText;
        int step;
    };
    std::array<StoredBox, 5> storedBoxes() const;

    Ui::Form1 ui;
    WindowPointer* m_pointer = nullptr;
};

} // namespace kestrove

#pragma once

// The table selection window: the list of tables with their tick boxes, "Select All",
// "Deselect All", "< Back" and "Finish", which runs the import.

#include "app/LookAndFeel.h"
#include "catalogue/TableList.h"
#include "export/Import.h"

#include "ui_Form2.h"

#include <QWidget>

#include <memory>

class QListWidget;
class QListWidgetItem;

namespace kestrove {

// The list of tables as the window shows it: one entry with a tick box per table, the
// schema kept alongside, not shown.
class ListWidgetTableList final : public TableList {
public:
    explicit ListWidgetTableList(QListWidget& widget) : m_widget(widget) {}

    void clear() override;
    void add(const QString& text, const QString& schema) override;
    int count() const override;
    TableEntry entry(int position) const override;
    void setChecked(int position, bool checked) override;

private:
    QListWidgetItem& itemAt(int position) const;

    QListWidget& m_widget;
};

// The table selection window: the tables with tick boxes, "Select All", "Deselect All",
// "< Back", and "Finish", which runs the import with a progress bar.
class Form2 final : public QWidget {
public:
    Form2();
    ~Form2() override;

    void Form_Load();

    TableList& tableList() { return *m_list; }
    bool importRunning() const { return m_import.importRunning(); }

    void PushButton2_Click(); // "< Back"
    void PushButton5_Click(); // "Finish"
    void PushButton8_Click(); // "Select All"
    void PushButton9_Click(); // "Deselect All"

    WindowPointer& pointer() { return *m_pointer; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    class Host;
    friend class Host;

    void setAllTicks(const QString& handler, bool checked);

    Ui::Form2 ui;
    std::unique_ptr<ListWidgetTableList> m_list;
    WindowPointer* m_pointer = nullptr;
    Import m_import;
    std::unique_ptr<Host> m_host;
};

} // namespace kestrove

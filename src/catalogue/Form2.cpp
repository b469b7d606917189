#include "catalogue/Form2.h"

#include "app/ErrorReport.h"
#include "app/WindowFlow.h"
#include "catalogue/Form2FinishSteps.h"
#include "catalogue/TableCatalogue.h"
#include "connection/Form1.h"
#include "platform/desktop/MessageBoxes.h"
#include "platform/desktop/Spreadsheet.h"

#include <QCloseEvent>
#include <QListWidget>

#include <cmath>
#include <stdexcept>

namespace kestrove {

namespace {

const QString Module = QStringLiteral("Form2");
constexpr int SchemaRole = Qt::UserRole;

} // namespace

void ListWidgetTableList::clear() {
    m_widget.clear();
}

void ListWidgetTableList::add(const QString& text, const QString& schema) {
    auto* item = new QListWidgetItem(text);
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(Qt::Unchecked);
    item->setData(SchemaRole, schema);
    m_widget.addItem(item);
}

int ListWidgetTableList::count() const {
    return m_widget.count();
}

QListWidgetItem& ListWidgetTableList::itemAt(int position) const {
    QListWidgetItem* item = position >= 1 ? m_widget.item(position - 1) : nullptr;
    if (!item)
        throw std::out_of_range("Index out of bounds");
    return *item;
}

TableEntry ListWidgetTableList::entry(int position) const {
    const QListWidgetItem& item = itemAt(position);
    return TableEntry{item.text(), item.data(SchemaRole).toString(),
                      item.checkState() == Qt::Checked, QString()};
}

void ListWidgetTableList::setChecked(int position, bool checked) {
    itemAt(position).setCheckState(checked ? Qt::Checked : Qt::Unchecked);
}

// What the import needs of this window.
class Form2::Host final : public ImportHost {
public:
    explicit Host(Form2& form) : m_form(form) {}

    TableList& tableList() override { return *m_form.m_list; }
    void setProgress(double value) override {
        m_form.ui.ProgressBar1->setValue(static_cast<int>(std::lround(value)));
    }
    void setStatusText(const QString& text) override {
        m_form.ui.ProgressBar1->setStatusText(text);
    }
    int mousePointer() const override { return m_form.m_pointer->value(); }
    void setMousePointer(int pointer) override { m_form.m_pointer->set(pointer); }
    int windowState() const override {
        return m_form.isMinimized() ? WindowMinimised : WindowNormal;
    }
    void setWindowState(int state) override {
        if (state == WindowMinimised)
            m_form.showMinimized();
        else
            m_form.setWindowState(m_form.QWidget::windowState() & ~Qt::WindowMinimized);
    }
    ConnectionSettings connectionSettings() const override {
        return TheForm1().connectionSettings();
    }
    void yield() override { desktop::yieldToWindowSystem(); }
    QString workbookPath(const ConnectionSettings& settings) override {
        return desktop::newWorkbookPath(settings.database);
    }
    void openWorkbook(const QString& path) override { desktop::openInSpreadsheetProgram(path); }

private:
    Form2& m_form;
};

Form2::Form2() {
    ui.setupUi(this);
    SetUpFixedWindow(*this);
    for (QPushButton* button : {ui.PushButton8, ui.PushButton9, ui.PushButton2, ui.PushButton5})
        StyleWizardButton(*button);
    PaintWhite(*this, {});
    ui.ProgressBar1->setRange(0, 100);
    ui.ProgressBar1->setStatusText(QStringLiteral("Progress Bar"));
    m_list = std::make_unique<ListWidgetTableList>(*ui.ListView1);
    m_host = std::make_unique<Host>(*this);

    connect(ui.PushButton2, &QPushButton::clicked, this, [this] { PushButton2_Click(); });
    connect(ui.PushButton5, &QPushButton::clicked, this, [this] { PushButton5_Click(); });
    connect(ui.PushButton8, &QPushButton::clicked, this, [this] { PushButton8_Click(); });
    connect(ui.PushButton9, &QPushButton::clicked, this, [this] { PushButton9_Click(); });

    m_pointer = new WindowPointer(*this);
    m_pointer->onMouseMove(this, PointerDefault);
    m_pointer->onMouseMove(ui.ListView1, PointerDefault);
    for (QWidget* button : {ui.PushButton2, ui.PushButton5, ui.PushButton8, ui.PushButton9})
        m_pointer->onMouseMove(button, PointerCustom);
}

Form2::~Form2() = default;

void Form2::Form_Load() {
    Steps steps(Module, QStringLiteral("Form_Load"));
    const QString pointerFile = HandPointerFile();

    steps(100, [&] { ApplyFormColours(*this); });
    steps(102, [&] { setWindowIcon(ApplicationIcon()); });
    if (steps.test(104, [&] { return FileExists(pointerFile); }))
        steps(106, [&] { m_pointer->setImage(LoadCursorFile(pointerFile)); });
    steps(108, [&] { setWindowTitle(ProductTitle); });
    steps(110, [&] { AddTablesToPostgreSQLListbox(*m_list, TheForm1().connectionSettings()); });
    steps(114, [&] { m_pointer->set(PointerDefault); });
}

void Form2::PushButton2_Click() {
    Steps steps(Module, QStringLiteral("PushButton2_Click"));
    steps(100, [&] { TheForm1().show(); });
    steps(102, [&] { hide(); });
}

void Form2::PushButton5_Click() {
    m_import.run(*m_host, FinishSteps());
}

void Form2::PushButton8_Click() {
    setAllTicks(QStringLiteral("PushButton8_Click"), true);
}

void Form2::PushButton9_Click() {
    setAllTicks(QStringLiteral("PushButton9_Click"), false);
}

void Form2::setAllTicks(const QString& handler, bool checked) {
    Steps steps(Module, handler);
    // The number of entries at the start of the click; a 32-bit count reaches every one.
    const auto entries = steps.bound(100, [&] { return m_list->count(); });
    for (int position = 1; position <= entries.value_or(0); ++position)
        steps(102, [&] { m_list->setChecked(position, checked); });
}

void Form2::closeEvent(QCloseEvent* event) {
    event->accept();
    EndProgram();
}

} // namespace kestrove

#include "connection/Form1.h"

#include "app/ErrorReport.h"
#include "app/Settings.h"
#include "app/WindowFlow.h"
#include "catalogue/Form2.h"
#include "catalogue/TableCatalogue.h"
#include "connection/StoredDetails.h"
#include "export/AvailabilityCheck.h"
#include "platform/desktop/MessageBoxes.h"

#include <QCloseEvent>
#include <QLineEdit>

#include <cstdio>
#include <exception>
#include <initializer_list>
#include <optional>

namespace kestrove {

namespace {

const QString Module = QStringLiteral("Form1");

// Writes a box's whole text under its key. A write that fails is no reason to stop the
// user typing: it is only told on standard error.
void storeOnChange(QLineEdit* box, const QString& key) {
    QObject::connect(box, &QLineEdit::textChanged, box, [key](const QString& text) {
        try {
            WriteSetting(key, text);
        } catch (const std::exception& failure) {
            std::fprintf(stderr, "kestrove: warning: %s\n", failure.what());
        }
    });
}

} // namespace

Form1::Form1() {
    ui.setupUi(this);
    SetUpFixedWindow(*this);
    for (QPushButton* button : {ui.PushButton3, ui.PushButton5, ui.PushButton2})
        StyleWizardButton(*button);
    PaintWhite(*this, {ui.Frame1, ui.Label1, ui.Label2, ui.Label3, ui.Label4, ui.Label6});
    ShowPasswordAsStars(*ui.Text4);

    for (const StoredBox& stored : storedBoxes()) {
        storeOnChange(stored.box, stored.key);
        stored.box->installEventFilter(this);
    }

    connect(ui.PushButton2, &QPushButton::clicked, this, [this] { PushButton2_Click(); });
    connect(ui.PushButton3, &QPushButton::clicked, this, [this] { PushButton3_Click(); });
    connect(ui.PushButton5, &QPushButton::clicked, this, [this] { PushButton5_Click(); });

    m_pointer = new WindowPointer(*this);
    for (QWidget* place :
         std::initializer_list<QWidget*>{this, ui.Frame1, ui.Text1, ui.Text2, ui.Text5})
        m_pointer->onMouseMove(place, PointerDefault);
    m_pointer->onMouseMove(ui.Text4, PointerDefault, true);
    for (QWidget* button : {ui.PushButton2, ui.PushButton3, ui.PushButton5})
        m_pointer->onMouseMove(button, PointerCustom);
}

std::array<Form1::StoredBox, 5> Form1::storedBoxes() const {
    return {{{ui.Text1, ServerKey, DefaultServer, 126},
             {ui.Text2, PortKey, DefaultPort, 128},
             {ui.Text3, UserKey, QString(), 130},
             {ui.Text4, PasswordKey, QString(), 132},
             {ui.Text5, DatabaseKey, QString(), 134}}};
}

ConnectionSettings Form1::connectionSettings() const {
    return ConnectionSettings{ui.Text1->text(), ui.Text2->text(), ui.Text3->text(),
                              ui.Text4->text(), ui.Text5->text()};
}

void Form1::Form_Load() {
    Steps steps(Module, QStringLiteral("Form_Load"));
    const QString pointerFile = HandPointerFile();

    steps(104, [&] { ApplySkin(*this, ProgramFolder()); });
    if (steps.test(122, [&] { return FileExists(pointerFile); }))
        steps(124, [&] { m_pointer->setImage(LoadCursorFile(pointerFile)); });
    for (const StoredBox& stored : storedBoxes())
        steps(stored.step,
              [&] { stored.box->setText(ReadSetting(stored.key, stored.defaultText)); });
    if (steps.test(136, [&] { return CanConnect(connectionSettings()); }))
        steps(138, [&] { PushButton2_Click(); });
    steps(140, [&] { setWindowTitle(ProductTitle); });
    steps(140, [&] { setWindowIcon(ApplicationIcon()); });
    steps(140, [&] { SetApplicationTitle(); });
    steps(142, [&] { IsExcelInstalled({}, EndProgram); });
}

void Form1::PushButton3_Click() {
    Steps steps(Module, QStringLiteral("PushButton3_Click"));
    std::optional<ConnectionAttempt> attempt;
    steps(100, [&] { attempt.emplace(); });
    // From here on a failure is the answer "could not connect", never a report.
    m_pointer->set(PointerBusy);
    const bool connected = attempt && !attempt->failureToOpen(connectionSettings());
    desktop::showMessage(
        connected ? QStringLiteral("Connection successful.")
                  : QStringLiteral("Could not connect. Please check with your administrator."));
    m_pointer->set(PointerDefault);
}

void Form1::PushButton5_Click() {
    Steps steps(Module, QStringLiteral("PushButton5_Click"));
    QString first;
    QString second;
    QString third;
    steps(100, [&] {
        first = QStringLiteral("If you can not connect, please try downloading pgAdmin III. ");
    });
    steps(102, [&] {
        second = QStringLiteral("If you can not connect with that software, you know the login "
                                "information you are providing here is incorrect.");
    });
    steps(104, [&] { third = QStringLiteral("https://www.pgadmin.org/download/"); });
    steps(106, [&] { desktop::showMessage(first + second + QStringLiteral("\r\n\r\n") + third); });
}

void Form1::PushButton2_Click() {
    Steps steps(Module, QStringLiteral("PushButton2_Click"));
    if (steps.test(100, [&] { return CanConnect(connectionSettings()); })) {
        steps(102,
              [&] { AddTablesToPostgreSQLListbox(TheForm2().tableList(), connectionSettings()); });
        steps(104, [&] { TheForm2().show(); });
        steps(106, [&] { hide(); });
    } else {
        steps(108, [&] { desktop::showMessage(QStringLiteral("Could not connect.")); });
    }
}

void Form1::closeEvent(QCloseEvent* event) {
    event->accept();
    EndProgram();
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    // A box that receives the focus selects its whole text, so that typing replaces it;
    // not when the focus comes back from its own context menu, whose Paste would then
    // replace the whole value.
    if (event->type() == QEvent::FocusIn &&
        static_cast<QFocusEvent*>(event)->reason() != Qt::PopupFocusReason)
        if (auto* box = qobject_cast<QLineEdit*>(watched))
            box->selectAll();
    return QWidget::eventFilter(watched, event);
}

} // namespace kestrove

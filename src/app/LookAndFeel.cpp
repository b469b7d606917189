#include "app/LookAndFeel.h"

#include "platform/desktop/MessageBoxes.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QWidget>

#include <stdexcept>

namespace kestrove {

namespace {

void paint(QWidget& widget, const QColor& colour) {
    QPalette palette = widget.palette();
    palette.setColor(QPalette::Window, colour);
    widget.setPalette(palette);
    widget.setAutoFillBackground(true);
}

bool isPaintedKind(const QWidget* widget) {
    return qobject_cast<const QRadioButton*>(widget) || qobject_cast<const QCheckBox*>(widget) ||
           qobject_cast<const QGroupBox*>(widget) || qobject_cast<const QLabel*>(widget);
}

quint16 littleEndian16(const QByteArray& bytes, int offset) {
    return static_cast<quint16>(static_cast<quint8>(bytes[offset]) |
                                static_cast<quint8>(bytes[offset + 1]) << 8);
}

// Moves a window to the centre of its screen the first time it is shown; later shows
// keep wherever the user has put it.
class CentreOnFirstShow final : public QObject {
public:
    explicit CentreOnFirstShow(QWidget& window) : QObject(&window), m_window(window) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &m_window && event->type() == QEvent::Show) {
            if (const QScreen* screen = m_window.screen())
                m_window.move(screen->availableGeometry().center() - m_window.rect().center());
            m_window.removeEventFilter(this);
            deleteLater();
        }
        return false;
    }

private:
    QWidget& m_window;
};

} // namespace

QString ProgramFolder() {
    QString folder = QCoreApplication::applicationDirPath();
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    return folder;
}

QString HandPointerFile() {
    return ProgramFolder() + QStringLiteral("/HAND-M.CUR");
}

bool FileExists(const QString& path) {
    try {
        if (path.isEmpty())
            return false;
        const QFileInfo info(path);
        return info.exists() && info.lastModified().isValid();
    } catch (...) {
        return false;
    }
}

void SetUpFixedWindow(QWidget& window) {
    window.setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint);
    window.setFixedSize(window.size());
    window.installEventFilter(new CentreOnFirstShow(window));
}

void PaintWhite(QWidget& window, std::initializer_list<QWidget*> controls) {
    paint(window, Qt::white);
    for (QWidget* control : controls)
        paint(*control, Qt::white);
}

void StyleWizardButton(QPushButton& button) {
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(11.25);
    font.setBold(true);
    button.setFont(font);
    QPalette palette = button.palette();
    palette.setColor(QPalette::Button, Qt::white);
    button.setPalette(palette);
}

void ShowPasswordAsStars(QLineEdit& box) {
    box.setEchoMode(QLineEdit::Password);
    box.setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));
}

QColor ButtonFace() {
    return QApplication::palette().color(QPalette::Button);
}

void ApplyFormColours(QWidget& window) {
    const QColor face = ButtonFace();
    paint(window, face);
    for (QWidget* control : window.findChildren<QWidget*>())
        if (isPaintedKind(control))
            paint(*control, face);
}

void ApplySkin(QWidget& window, const QString& programFolder) {
    const QString path = programFolder + QStringLiteral("/x/o.cjs");
    // Only an ordinary file counts: a folder of that name is no style file.
    if (!QFileInfo(path).isFile())
        return;
    ApplyFormColours(window);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("The style file " + path.toStdString() +
                                 " could not be read: " + file.errorString().toStdString());
    window.setStyleSheet(QString::fromUtf8(file.readAll()));
}

QString ApplicationTitleFrom(const QString& productTitle) {
    constexpr int MaxTitle = 40;
    QString title = productTitle;
    while (title.size() > MaxTitle) {
        const int space = title.lastIndexOf(QLatin1Char(' '));
        if (space < 0) {
            title.truncate(MaxTitle);
            break;
        }
        title.truncate(space);
    }
    return title;
}

void SetApplicationTitle() {
    desktop::setApplicationTitle(ApplicationTitleFrom(ProductTitle));
}

QCursor LoadCursorFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("The pointer file " + path.toStdString() +
                                 " could not be read: " + file.errorString().toStdString());
    const QByteArray bytes = file.readAll();
    QImage image;
    if (!image.loadFromData(bytes, "ICO") && !image.loadFromData(bytes))
        throw std::runtime_error("The pointer file " + path.toStdString() + " is not a picture.");
    // A cursor file's first directory entry holds the hotspot where an icon file holds
    // planes and bit count.
    int x = -1;
    int y = -1;
    if (bytes.size() >= 22 && littleEndian16(bytes, 0) == 0 && littleEndian16(bytes, 2) == 2) {
        x = qMin<int>(littleEndian16(bytes, 10), image.width() - 1);
        y = qMin<int>(littleEndian16(bytes, 12), image.height() - 1);
    }
    return QCursor(QPixmap::fromImage(image), x, y);
}

QIcon ApplicationIcon() {
    QIcon icon;
    for (int size : {32, 48, 128, 256})
        icon.addFile(QStringLiteral(":/icons/kestrove-%1.png").arg(size), QSize(size, size));
    return icon;
}

WindowPointer::WindowPointer(QWidget& window) : QObject(&window) {
    m_own.push_back({&window, std::nullopt});
    for (QWidget* control : window.findChildren<QWidget*>())
        m_own.push_back({control, control->testAttribute(Qt::WA_SetCursor)
                                      ? std::optional<QCursor>(control->cursor())
                                      : std::nullopt});
}

QCursor WindowPointer::shapeOf(int value) const {
    switch (value) {
    case PointerBusy:
        return QCursor(Qt::WaitCursor);
    case PointerCustom:
        return m_image.value_or(QCursor(Qt::PointingHandCursor));
    default:
        return QCursor(Qt::ArrowCursor);
    }
}

void WindowPointer::set(int value) {
    m_value = value;
    for (const OwnCursor& own : m_own) {
        if (!own.widget)
            continue;
        if (value != PointerDefault)
            own.widget->setCursor(shapeOf(value));
        else if (own.cursor)
            own.widget->setCursor(*own.cursor);
        else
            own.widget->unsetCursor();
    }
}

void WindowPointer::onMouseMove(QWidget* place, int value, bool evenOverBusy) {
    // A list's entries lie on its viewport, which receives the mouse moves.
    QWidget* receiver = place;
    if (auto* area = qobject_cast<QAbstractScrollArea*>(place))
        receiver = area->viewport();
    receiver->setMouseTracking(true);
    receiver->installEventFilter(this);
    m_rules.insert(receiver, Rule{receiver, value, evenOverBusy});
}

bool WindowPointer::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseMove) {
        const auto rule = m_rules.constFind(watched);
        if (rule != m_rules.constEnd()) {
            const auto* move = static_cast<QMouseEvent*>(event);
            // A move that only passes through on its way up from a control is not a
            // move over this place.
            const bool overItself = !rule->place->childAt(move->position().toPoint());
            if (overItself && (rule->evenOverBusy || m_value != PointerBusy) &&
                m_value != rule->value)
                set(rule->value);
        }
    }
    return QObject::eventFilter(watched, event);
}

} // namespace kestrove

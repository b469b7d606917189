#pragma once

// The look of the two windows and the mouse pointer that covers each: titles, colours,
// the skin's style sheet, the hand pointer's image and the program's icon.

#include "app/PointerValues.h"

#include <QColor>
#include <QCursor>
#include <QHash>
#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QString>

#include <initializer_list>
#include <optional>
#include <vector>

class QLineEdit;
class QPushButton;
class QWidget;

namespace kestrove {

// The product title, the caption of both windows.
inline const QString ProductTitle = QStringLiteral("Kestrove");

// The folder that holds the program file, without a trailing separator.
QString ProgramFolder();

// The hand pointer's file: <program folder>/HAND-M.CUR.
QString HandPointerFile();

// True exactly when the time of last change of the path can be read; never fails.
bool FileExists(const QString& path);

// A window of fixed size (its designed size) with a close and a minimise box but no
// maximise box, centred on its screen when first shown.
void SetUpFixedWindow(QWidget& window);

// The designed look: white backgrounds for the window and the given controls.
void PaintWhite(QWidget& window, std::initializer_list<QWidget*> controls);

// The designed look of the wizard's push buttons: Arial 11.25 pt bold, on white.
void StyleWizardButton(QPushButton& button);

// A password box shows one '*' per character.
void ShowPasswordAsStars(QLineEdit& box);

// The button-face colour of the user's colour scheme.
QColor ButtonFace();

// Paints the window, and its frames, labels, check boxes and option buttons, in button face.
void ApplyFormColours(QWidget& window);

// When <programFolder>/x/o.cjs is an ordinary file: button face as ApplyFormColours paints
// it, then the file's content as the window's style sheet. Otherwise nothing at all.
void ApplySkin(QWidget& window, const QString& programFolder);

// The product title, cut back word by word to at most 40 characters (and at 40 when
// there is no space left to cut at).
QString ApplicationTitleFrom(const QString& productTitle);

// Sets the caption of message boxes that name no title of their own.
void SetApplicationTitle();

// A Windows cursor file as a pointer image, with the hotspot its header gives. Throws
// when the file cannot be read as a picture.
QCursor LoadCursorFile(const QString& path);

// The program's icon, 32, 48, 128 and 256 pixels.
QIcon ApplicationIcon();

// One mouse pointer setting covering a window and all its controls, and the hover rule
// that changes it. 0 lets each spot show its own cursor (an edit box its text cursor),
// 11 shows the busy cursor everywhere, 99 the window's custom image, or a pointing hand
// when the window has none.
class WindowPointer final : public QObject {
public:
    explicit WindowPointer(QWidget& window);

    int value() const { return m_value; }
    void set(int value);
    void setImage(const QCursor& image) { m_image = image; }
    // The cursor that a value shows over a control with no cursor of its own.
    QCursor shapeOf(int value) const;

    // When the mouse moves over `place` itself (not over one of its controls), the
    // pointer becomes `value`, unless the hourglass shows and `evenOverBusy` is false.
    void onMouseMove(QWidget* place, int value, bool evenOverBusy = false);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Rule {
        QWidget* place;
        int value;
        bool evenOverBusy;
    };
    struct OwnCursor {
        QPointer<QWidget> widget;
        std::optional<QCursor> cursor;
    };

    int m_value = PointerDefault;
    std::optional<QCursor> m_image;
    std::vector<OwnCursor> m_own;
    QHash<QObject*, Rule> m_rules;
};

} // namespace kestrove

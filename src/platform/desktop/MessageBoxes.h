#pragma once

// Modal message boxes, through one service that tests replace with a recorder, and the
// window system's turn.

#include <QString>

namespace kestrove::desktop {

// Message-box styles: the OK button alone, and OK with the exclamation icon.
constexpr int StyleOkOnly = 0;
constexpr int StyleExclamation = 48;

// Shows modal message boxes. The program has one; tests install a recorder instead,
// because a person would otherwise have to press OK.
class MessageBoxService {
public:
    virtual ~MessageBoxService() = default;
    // Returns when the user has closed the box.
    virtual void show(const QString& text, int style, const QString& title) = 0;
};

MessageBoxService& messageBoxes();
// Installs a service for the whole program; nullptr puts the real one back.
void setMessageBoxes(MessageBoxService* service);

// The message boxes that name no title of their own: the OK button alone, no icon, the
// application title as caption.
void showMessage(const QString& text);

// The caption of every message box that names no title of its own.
QString applicationTitle();
void setApplicationTitle(const QString& title);

// Lets the window system handle pending events (repaint, clicks), if there is one.
void yieldToWindowSystem();

} // namespace kestrove::desktop

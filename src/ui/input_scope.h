#pragma once

#include <QAccessible>
#include <QKeySequence>
#include <QList>

class QAbstractButton;
class QLabel;
class QWidget;

// Mouse and keyboard on a desktop: input reaches only what is on screen. Whatever lies on
// top (an alert, the busy overlay, a presented screen, the confirmation card) holds the
// keyboard and the mouse until it goes; an open bottom panel holds the keyboard only, so a
// click on the page still closes it the way it was opened. Tab and Shift+Tab move among the
// controls of what is on top (or of the shown page and the menu), Return presses the main
// action, Escape the cancel action, and buttons may carry a shortcut of their own.
namespace est::ui {

// A view that covers what lies beneath it while it is visible.
void setModalLayer(QWidget* view, bool modal = true);
// A bottom panel: holds the keyboard while it is out (see animation.h).
void setPanelLayer(QWidget* panel);

// Return presses the main action of what is on top; Escape its cancel action.
void setMainAction(QAbstractButton* button);
void setCancelAction(QAbstractButton* button);
// A key that presses `button` whenever it is reachable.
void setShortcut(QAbstractButton* button, const QKeySequence& key);

// The layer on top in `widget`'s window for the keyboard (panels count) or for the mouse
// (only modal layers count); null when nothing covers the window's own content.
QWidget* topLayer(const QWidget* widget, bool forKeyboard);
// Whether a click on `widget` may reach it now.
bool acceptsInput(const QWidget* widget);
// Visible, not faded out, and not clipped away by the views that hold it (a page off to the
// side of a pager, a panel parked below the window).
bool isOnScreen(const QWidget* widget);

// The controls Tab visits now in `widget`'s window, top to bottom, left to right.
QList<QWidget*> tabChain(const QWidget* widget);
// After a page change inside `root`: a field left off screen stops editing, and the first
// text field now on screen (one typed into, not filled from a panel) takes the focus.
void settleFocus(QWidget* root);

// The height of the on-screen keyboard the input method reports now; 0 with none (a
// physical keyboard), so forms move up only for a keyboard that covers them.
int onScreenKeyboardHeight();

// Reported to screen readers with this role (alerts as dialogs, the busy overlay as a status).
void setAccessibleRole(QWidget* view, QAccessible::Role role);

// Controls without a text of their own are named after the caption beside them.
void nameAfter(const QLabel* caption, std::initializer_list<QWidget*> controls);

// The application-wide filter that does all of the above; installed once, by the first window.
void installInputScope();

}  // namespace est::ui

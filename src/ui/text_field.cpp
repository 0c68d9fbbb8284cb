#include "ui/text_field.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>

#include "ui/animation.h"
#include "ui/input_scope.h"
#include "ui/view.h"

namespace est::ui {
namespace {
QPointer<TextField> currentlyEditing;
}

TextField::TextField(QWidget* parent) : QLineEdit(parent) {
  setFrame(false);
  setTextMargins(6, 0, 6, 0);
  setAttribute(Qt::WA_MacShowFocusRect, false);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Base, Qt::transparent);
  setPalette(palette);
  connect(qApp, &QApplication::focusChanged, this,
          [this](QWidget* from, QWidget* to) { focusMoved(from, to); });
}

TextField::~TextField() {
  if (currentlyEditing == this) currentlyEditing = nullptr;
}

TextField* TextField::editingField() {
  return currentlyEditing;
}

bool TextField::becomeFirstResponder() {
  if (!editing_) beginEditing();
  if (editing_ && !hasFocus()) setFocus(Qt::OtherFocusReason);
  return editing_;
}

bool TextField::resignFirstResponder() {
  bool was = editing_;
  if (editing_) endEditing();
  if (hasFocus()) clearFocus();
  return was;
}

void TextField::beginEditing() {
  if (delegate_ && !delegate_->textFieldShouldBeginEditing(this)) {
    if (hasFocus()) clearFocus();
    return;
  }
  // One field edits at a time: the previous one ends before this one begins.
  if (currentlyEditing && currentlyEditing != this) currentlyEditing->resignFirstResponder();
  editing_ = true;
  currentlyEditing = this;
  raiseInputView();
  if (delegate_) delegate_->textFieldDidBeginEditing(this);
}

void TextField::endEditing() {
  editing_ = false;
  if (currentlyEditing == this) currentlyEditing = nullptr;
  lowerInputView();
  deselect();
  if (delegate_) delegate_->textFieldDidEndEditing(this);
}

void TextField::focusMoved(QWidget*, QWidget* to) {
  if (to == this) {
    if (!editing_) beginEditing();
    return;
  }
  // A window losing activation leaves the field editing, as a phone app going to the
  // background does; so does a tap into the field's own input panel. Focus going to another
  // window (the frame that draws this one scaled, a dialog) is the same.
  if (!editing_ || !to || to->window() != window()) return;
  if (inputView_ && (to == inputView_ || inputView_->isAncestorOf(to))) return;
  endEditing();
}

// Inside a frame the application's focus-change signal does not follow the drawn window's
// own focus; the field's focus events do.
void TextField::focusInEvent(QFocusEvent* event) {
  QLineEdit::focusInEvent(event);
  focusMoved(nullptr, this);
}

void TextField::focusOutEvent(QFocusEvent* event) {
  QLineEdit::focusOutEvent(event);
  if (event->reason() == Qt::ActiveWindowFocusReason) return;
  QWidget* to = window()->focusWidget();
  if (to && to != this) focusMoved(this, to);
}

void TextField::setInputView(QWidget* panel) {
  if (inputView_ == panel) return;
  if (editing_) lowerInputView();
  inputView_ = panel;
  if (editing_) raiseInputView();
}

void TextField::raiseInputView() {
  if (!inputView_) return;
  if (!inputView_->parentWidget()) {
    QWidget* container = window();
    QRect frame(0, container->height(), container->width(), inputView_->height());
    inputView_->setGeometry(frame);
    addSubview(container, inputView_);
  }
  QWidget* container = inputView_->parentWidget();
  QRect frame = inputView_->geometry();
  frame.moveTop(container->height() - frame.height());
  setPanelLayer(inputView_);
  inputView_->show();
  bringToFront(inputView_);
  animateFrame(inputView_, frame, kPanelAnimationDuration);
}

void TextField::lowerInputView() {
  if (!inputView_ || !inputView_->parentWidget()) return;
  QRect frame = inputView_->geometry();
  frame.moveTop(inputView_->parentWidget()->height());
  animateFrame(inputView_, frame, kPanelAnimationDuration);
}

void TextField::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      if (delegate_) delegate_->textFieldShouldReturn(this);
      event->accept();
      return;
    case Qt::Key_Escape:
      resignFirstResponder();
      event->accept();
      return;
    default:
      break;
  }
  // A field with an input panel is filled from the panel, never by typing.
  if (inputView_) {
    event->accept();
    return;
  }
  if (!editing_) beginEditing();
  if (editing_) QLineEdit::keyPressEvent(event);
}

void TextField::inputMethodEvent(QInputMethodEvent* event) {
  if (inputView_) {
    event->accept();
    return;
  }
  QLineEdit::inputMethodEvent(event);
}

void TextField::setBackgroundColor(const QColor& color) {
  background_ = color;
  update();
}

void TextField::setCornerRadius(double radius) {
  radius_ = radius;
  update();
}

void TextField::paintEvent(QPaintEvent* event) {
  if (background_.alpha() > 0) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()), radius_, radius_);
    p.fillPath(path, background_);
  }
  QLineEdit::paintEvent(event);
}

}  // namespace est::ui

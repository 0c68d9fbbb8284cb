#include "ui/input_scope.h"

#include <QAbstractButton>
#include <QAccessibleWidget>
#include <QApplication>
#include <QGuiApplication>
#include <QInputMethod>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QWidget>
#include <algorithm>
#include <cmath>

#include "ui/animation.h"
#include "ui/text_field.h"
#include "ui/view.h"

namespace est::ui {
namespace {

const char* const kModal = "estModalLayer";
const char* const kPanel = "estPanelLayer";
const char* const kMain = "estMainAction";
const char* const kCancel = "estCancelAction";
const char* const kShortcut = "estShortcut";
const char* const kRole = "estAccessibleRole";
// Set on a window whose content is another window drawn scaled (see window_frame.h).
const char* const kCanvas = "estCanvas";

bool contains(const QWidget* outer, const QWidget* inner) {
  return outer && inner && (outer == inner || outer->isAncestorOf(inner));
}

// Whether `a` is drawn over `b`.
bool above(const QWidget* a, const QWidget* b) {
  if (b->isAncestorOf(a)) return true;
  if (a->isAncestorOf(b)) return false;
  const QWidget* ca = a;
  while (ca->parentWidget() && !ca->parentWidget()->isAncestorOf(b)) ca = ca->parentWidget();
  const QWidget* common = ca->parentWidget();
  if (!common) return false;
  const QWidget* cb = b;
  while (cb->parentWidget() != common) cb = cb->parentWidget();
  const QObjectList& order = common->children();
  return order.indexOf(const_cast<QWidget*>(ca)) > order.indexOf(const_cast<QWidget*>(cb));
}

// The window whose content takes the input: the widget's own, or the one a frame draws.
QWidget* contentWindow(QWidget* widget) {
  if (!widget) return nullptr;
  QWidget* top = widget->window();
  if (auto* drawn = qobject_cast<QWidget*>(top->property(kCanvas).value<QObject*>())) return drawn;
  return top;
}

// The widget the keyboard reaches in `content`. Inside a frame the application's focus stays
// on the frame itself while the drawn window keeps its own focus widget.
QWidget* focusIn(QWidget* content) {
  QWidget* focus = QApplication::focusWidget();
  if (focus && content && focus->window() != content && contentWindow(focus) == content)
    focus = content->focusWidget();
  return focus;
}

bool canTakeTab(const QWidget* w) {
  return (w->focusPolicy() & Qt::TabFocus) == Qt::TabFocus && w->isEnabled() && isOnScreen(w) &&
         w->focusProxy() == nullptr;
}

QList<QWidget*> chainIn(QWidget* root) {
  QList<QWidget*> chain;
  for (QWidget* w : root->findChildren<QWidget*>())
    if (canTakeTab(w)) chain.append(w);
  auto key = [root](const QWidget* w) {
    QPointF centre = QPointF(w->mapTo(root, QPoint(0, 0))) + QPointF(w->width(), w->height()) / 2;
    return std::pair{std::lround(centre.y() / 12.0), centre.x()};
  };
  std::stable_sort(chain.begin(), chain.end(),
                   [&](QWidget* a, QWidget* b) { return key(a) < key(b); });
  return chain;
}

QAbstractButton* flaggedButton(QWidget* root, const char* flag) {
  for (auto* button : root->findChildren<QAbstractButton*>())
    if (button->property(flag).toBool() && button->isEnabled() && isOnScreen(button) &&
        acceptsInput(button))
      return button;
  return nullptr;
}

void closePanel(QWidget* panel) {
  TextField* field = TextField::editingField();
  if (field && field->inputView() == panel)
    field->resignFirstResponder();
  else if (!isPanelOutOfSight(panel))
    togglePanel(panel);
}

void moveFocus(QWidget* root, bool forward) {
  QList<QWidget*> chain = chainIn(root);
  if (chain.isEmpty()) return;
  int n = static_cast<int>(chain.size());
  int at = static_cast<int>(chain.indexOf(focusIn(contentWindow(root))));
  int next = at < 0 ? (forward ? 0 : n - 1) : (at + (forward ? 1 : -1) + n) % n;
  chain[next]->setFocus(forward ? Qt::TabFocusReason : Qt::BacktabFocusReason);
}

// The outline around a button that has the keyboard focus from Tab: the buttons are drawn
// flat by their style sheets, which show no focus of their own.
class FocusRing : public QWidget {
 public:
  static constexpr int kGap = 3;

  explicit FocusRing(QAbstractButton* button) : QWidget(button->parentWidget()), target(button) {
    setObjectName(QStringLiteral("focusRing"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    setGeometry(button->geometry().adjusted(-kGap, -kGap, kGap, kGap));
    show();
    raise();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QRectF outer = QRectF(rect()).adjusted(1, 1, -1, -1);
    p.setPen(QPen(QColor(0, 0x41, 0x5e), 2));  // dark and light, seen on any background
    p.drawRoundedRect(outer, 8, 8);
    p.setPen(QPen(QColor(0xb5, 0xf1, 0xff), 2));
    p.drawRoundedRect(outer.adjusted(2, 2, -2, -2), 6, 6);
  }

 public:
  QPointer<QWidget> target;
};

QPointer<FocusRing> ring;

void dropRing() {
  // Hidden now, destroyed later: the event being filtered may be the outline's own.
  if (ring) {
    ring->hide();
    ring->deleteLater();
  }
  ring = nullptr;
}

class InputScope : public QObject {
 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget) return false;
    switch (event->type()) {
      case QEvent::MouseButtonPress:
        dropRing();
        return !acceptsInput(widget);
      case QEvent::MouseButtonRelease:
      case QEvent::MouseButtonDblClick:
      case QEvent::Wheel:
        return !acceptsInput(widget);
      case QEvent::KeyPress:
        return key(widget, static_cast<QKeyEvent*>(event));
      case QEvent::FocusIn: {
        auto reason = static_cast<QFocusEvent*>(event)->reason();
        auto* button = qobject_cast<QAbstractButton*>(widget);
        if (button && button->parentWidget() &&
            (reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason)) {
          dropRing();
          ring = new FocusRing(button);
        }
        return false;
      }
      case QEvent::FocusOut:
      case QEvent::Hide:
        if (ring && ring->target == widget) dropRing();
        return false;
      default:
        return false;
    }
  }

 private:
  static bool key(QWidget* receiver, QKeyEvent* event) {
    QWidget* content = contentWindow(receiver);
    if (!content) return false;
    QWidget* layer = topLayer(content, true);
    QWidget* root = layer ? layer : content;
    QWidget* focus = focusIn(content);
    bool focusHere = contains(root, focus) && isOnScreen(focus);
    Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
    int k = event->key();

    if (mods & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) {
      QKeySequence pressed(QKeyCombination(mods, Qt::Key(k)));
      if (pressed == QKeySequence(Qt::CTRL | Qt::Key_Q)) {
        receiver->window()->close();  // the window's normal close, as its close button does
        return true;
      }
      for (auto* button : content->findChildren<QAbstractButton*>()) {
        if (button->property(kShortcut).value<QKeySequence>() != pressed) continue;
        if (button->isEnabled() && isOnScreen(button) && acceptsInput(button)) button->click();
        return true;
      }
      return !focusHere;
    }
    switch (k) {
      case Qt::Key_Tab:
      case Qt::Key_Backtab:
        moveFocus(root, k == Qt::Key_Tab && !(mods & Qt::ShiftModifier));
        return true;
      case Qt::Key_Return:
      case Qt::Key_Enter:
        if (auto* button = qobject_cast<QAbstractButton*>(focus); button && focusHere) {
          button->click();
          return true;
        }
        if (auto* button = flaggedButton(root, kMain)) {
          button->click();
          return true;
        }
        return !focusHere;
      case Qt::Key_Escape:
        if (auto* button = flaggedButton(root, kCancel)) {
          button->click();
          return true;
        }
        if (layer && layer->property(kPanel).toBool()) {
          closePanel(layer);
          return true;
        }
        return !focusHere;
      default:
        // Typing reaches only a control of what is on top, and only while it is on screen.
        return !focusHere;
    }
  }
};

}  // namespace

void setModalLayer(QWidget* view, bool modal) {
  if (view) view->setProperty(kModal, modal);
}

void setPanelLayer(QWidget* panel) {
  if (panel) panel->setProperty(kPanel, true);
}

void setMainAction(QAbstractButton* button) {
  if (button) button->setProperty(kMain, true);
}

void setCancelAction(QAbstractButton* button) {
  if (button) button->setProperty(kCancel, true);
}

void setShortcut(QAbstractButton* button, const QKeySequence& key) {
  if (button) button->setProperty(kShortcut, QVariant::fromValue(key));
}

QWidget* topLayer(const QWidget* widget, bool forKeyboard) {
  if (!widget) return nullptr;
  QWidget* top = widget->window();
  QWidget* best = nullptr;
  for (QWidget* w : top->findChildren<QWidget*>()) {
    bool layer = w->property(kModal).toBool() ||
                 (forKeyboard && w->property(kPanel).toBool() && !isPanelOutOfSight(w));
    if (!layer || !w->isVisibleTo(top) || w->isHidden()) continue;
    if (!best || above(w, best)) best = w;
  }
  return best;
}

bool acceptsInput(const QWidget* widget) {
  QWidget* layer = topLayer(widget, false);
  return !layer || contains(layer, widget);
}

bool isOnScreen(const QWidget* widget) {
  if (!widget || !widget->isVisible()) return false;
  QRect r = widget->rect();
  for (const QWidget* w = widget; !w->isWindow(); w = w->parentWidget()) {
    if (alpha(w) <= 0.01) return false;
    r.translate(w->pos());
    r &= w->parentWidget()->rect();
    if (r.isEmpty()) return false;
  }
  return true;
}

QList<QWidget*> tabChain(const QWidget* widget) {
  if (!widget) return {};
  QWidget* content = contentWindow(const_cast<QWidget*>(widget));
  QWidget* layer = topLayer(content, true);
  return chainIn(layer ? layer : content);
}

void settleFocus(QWidget* root) {
  if (!root) return;
  QWidget* focus = focusIn(contentWindow(root));
  if (contains(root, focus) && !isOnScreen(focus)) {
    if (auto* field = qobject_cast<TextField*>(focus))
      field->resignFirstResponder();
    else
      focus->clearFocus();
  }
  if (topLayer(root, true)) return;  // something on top holds the keyboard
  focus = focusIn(contentWindow(root));
  if (contains(root, focus)) return;
  for (QWidget* w : chainIn(root)) {
    auto* field = qobject_cast<TextField*>(w);
    if (field && !field->inputView()) {
      field->setFocus(Qt::OtherFocusReason);
      return;
    }
  }
}

int onScreenKeyboardHeight() {
  QInputMethod* method = QGuiApplication::inputMethod();
  if (!method || !method->isVisible()) return 0;
  return std::max(0, static_cast<int>(std::lround(method->keyboardRectangle().height())));
}

void setAccessibleRole(QWidget* view, QAccessible::Role role) {
  static bool installed = false;
  if (!installed) {
    installed = true;
    QAccessible::installFactory([](const QString&, QObject* object) -> QAccessibleInterface* {
      auto* w = qobject_cast<QWidget*>(object);
      if (!w || !w->property(kRole).isValid()) return nullptr;
      return new QAccessibleWidget(w, static_cast<QAccessible::Role>(w->property(kRole).toInt()));
    });
  }
  if (view) view->setProperty(kRole, static_cast<int>(role));
}

void nameAfter(const QLabel* caption, std::initializer_list<QWidget*> controls) {
  if (!caption) return;
  for (QWidget* control : controls)
    if (control) control->setAccessibleName(caption->text());
}

void installInputScope() {
  static QPointer<InputScope> scope;
  if (scope || !qApp) return;
  scope = new InputScope;
  scope->setParent(qApp);
  qApp->installEventFilter(scope);
}

}  // namespace est::ui

#include "ui/view.h"

#include <QGraphicsEffect>
#include <QPainter>
#include <QVariant>
#include <QWidget>

#include "ui/text_field.h"

namespace est::ui {
namespace {

const char* const kTag = "tag";
const char* const kAlpha = "estAlpha";
const char* const kScale = "estScale";
const char* const kClickThrough = "estClickThrough";
const char* const kWasHidden = "estHidden";

// Draws the view (with its children) through a pixmap at the view's alpha and scale. It is
// installed only while either differs from 1, so views at rest paint directly and crisply.
class AlphaScaleEffect : public QGraphicsEffect {
 public:
  using QGraphicsEffect::QGraphicsEffect;
  double alpha = 1;
  double scale = 1;
  void changed() { update(); }

 protected:
  void draw(QPainter* painter) override {
    if (alpha <= 0) return;
    QPoint offset;
    QPixmap pixmap = sourcePixmap(Qt::LogicalCoordinates, &offset, PadToEffectiveBoundingRect);
    painter->save();
    painter->setOpacity(painter->opacity() * alpha);
    if (scale != 1) {
      QPointF centre = sourceBoundingRect(Qt::LogicalCoordinates).center();
      painter->setRenderHint(QPainter::SmoothPixmapTransform);
      painter->translate(centre);
      painter->scale(scale, scale);
      painter->translate(-centre);
    }
    painter->drawPixmap(offset, pixmap);
    painter->restore();
  }
};

double number(const QWidget* view, const char* key, double fallback) {
  QVariant v = view ? view->property(key) : QVariant();
  return v.isValid() ? v.toDouble() : fallback;
}

void applyEffect(QWidget* view) {
  double a = number(view, kAlpha, 1);
  double s = number(view, kScale, 1);
  auto* effect = dynamic_cast<AlphaScaleEffect*>(view->graphicsEffect());
  if (a >= 1 && s == 1) {
    if (effect) view->setGraphicsEffect(nullptr);
    return;
  }
  if (!effect) {
    effect = new AlphaScaleEffect(view);
    view->setGraphicsEffect(effect);
  }
  effect->alpha = a;
  effect->scale = s;
  effect->changed();
}

}  // namespace

int tag(const QWidget* view) {
  return view ? view->property(kTag).toInt() : 0;
}

void setTag(QWidget* view, int value) {
  if (view) view->setProperty(kTag, value);
}

QWidget* viewWithTag(QWidget* root, int value) {
  if (!root) return nullptr;
  if (tag(root) == value) return root;
  for (QWidget* child : subviews(root))
    if (QWidget* found = viewWithTag(child, value)) return found;
  return nullptr;
}

double alpha(const QWidget* view) {
  return number(view, kAlpha, 1);
}

void setAlpha(QWidget* view, double value) {
  if (!view) return;
  value = std::clamp(value, 0.0, 1.0);
  view->setProperty(kAlpha, value);
  bool through = value <= 0.01;
  if (through != view->property(kClickThrough).toBool()) {
    view->setProperty(kClickThrough, through);
    view->setAttribute(Qt::WA_TransparentForMouseEvents, through);
  }
  applyEffect(view);
}

double scale(const QWidget* view) {
  return number(view, kScale, 1);
}

void setScale(QWidget* view, double value) {
  if (!view) return;
  view->setProperty(kScale, value);
  applyEffect(view);
}

QList<QWidget*> subviews(const QWidget* view) {
  QList<QWidget*> result;
  if (!view) return result;
  for (QObject* child : view->children())
    if (auto* w = qobject_cast<QWidget*>(child); w && !w->isWindow()) result.append(w);
  return result;
}

void addSubview(QWidget* parent, QWidget* child) {
  if (!parent || !child) return;
  bool hidden;
  if (child->parentWidget()) {
    hidden = child->isHidden();
  } else {
    // A loose view is hidden if it was when it left its last parent, or if it was hidden
    // on purpose; one that was merely never shown comes up visible.
    QVariant was = child->property(kWasHidden);
    hidden = was.isValid()
                 ? was.toBool()
                 : child->testAttribute(Qt::WA_WState_ExplicitShowHide) && child->isHidden();
    child->setProperty(kWasHidden, QVariant());
  }
  QRect frame = child->geometry();
  if (child->parentWidget() != parent) child->setParent(parent);
  child->setGeometry(frame);
  child->setVisible(!hidden);
  child->raise();
}

void removeFromSuperview(QWidget* view) {
  if (!view || !view->parentWidget()) return;
  view->setProperty(kWasHidden, view->isHidden());
  QRect frame = view->geometry();
  view->setParent(nullptr);
  view->setGeometry(frame);
}

bool hasSuperview(const QWidget* view) {
  return view && view->parentWidget();
}

void bringToFront(QWidget* view) {
  if (view) view->raise();
}

void sendToBack(QWidget* view) {
  if (view) view->lower();
}

void setBackgroundColor(QWidget* view, const QColor& color) {
  if (!view) return;
  if (color.alpha() == 0) {
    view->setAutoFillBackground(false);
    return;
  }
  QPalette palette = view->palette();
  palette.setColor(QPalette::Window, color);
  view->setPalette(palette);
  view->setAutoFillBackground(true);
}

void setTextColor(QWidget* view, const QColor& color) {
  if (!view) return;
  QPalette palette = view->palette();
  for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
    palette.setColor(role, color);
  view->setPalette(palette);
}

void endEditing(QWidget* root) {
  if (!root) return;
  if (auto* field = qobject_cast<TextField*>(root)) field->resignFirstResponder();
  for (TextField* field : root->findChildren<TextField*>()) field->resignFirstResponder();
}

}  // namespace est::ui

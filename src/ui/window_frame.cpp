#include "ui/window_frame.h"

#include <QCloseEvent>
#include <QGraphicsProxyWidget>
#include <QGraphicsScene>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <algorithm>
#include <array>

#include "platform/preferences.h"
#include "ui/view_controller.h"

namespace est::ui {
namespace {

constexpr double kMinimumScale = 0.5;
constexpr std::array<double, 9> kZoomSteps = {0.5, 0.67, 0.8, 1, 1.25, 1.5, 1.75, 2, 2.5};
// Room kept for the title bar and borders the window manager adds.
constexpr int kDecorationAllowance = 48;

QSize canvasSize() {
  return {Window::kWidth, Window::kHeight};
}

QSize scaled(double scale) {
  return {static_cast<int>(std::lround(Window::kWidth * scale)),
          static_cast<int>(std::lround(Window::kHeight * scale))};
}

}  // namespace

WindowFrame::WindowFrame(Window* canvas, const QColor& margin, QWidget* parent)
    : QGraphicsView(parent), canvas_(canvas) {
  auto* scene = new QGraphicsScene(this);
  setScene(scene);
  setFrameShape(QFrame::NoFrame);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform |
                 QPainter::TextAntialiasing);
  // Partial updates of a scaled drawing leave hairline seams behind.
  setViewportUpdateMode(QGraphicsView::FullViewportUpdate);
  setAlignment(Qt::AlignCenter);
  setBackgroundBrush(margin);
  scene->setBackgroundBrush(margin);
  setMinimumSize(scaled(kMinimumScale));
  proxy_ = scene->addWidget(canvas);
  scene->setSceneRect(QRectF(QPointF(0, 0), canvasSize()));
  connect(proxy_, &QGraphicsWidget::geometryChanged, this, [this] { rescale(); });
  // The input rules read this to find the content behind the frame (input_scope.h).
  setProperty("estCanvas", QVariant::fromValue<QObject*>(canvas));
  viewport()->setProperty("estCanvas", QVariant::fromValue<QObject*>(canvas));
  qApp->installEventFilter(this);
  resize(scaled(1));
}

WindowFrame::~WindowFrame() {
  qApp->removeEventFilter(this);
  if (isVisible()) saveGeometryNow();
  // The canvas goes back to its owner instead of with the scene.
  if (proxy_ && proxy_->widget()) proxy_->setWidget(nullptr);
}

void WindowFrame::setGeometryFile(std::filesystem::path file) {
  store_ = std::make_unique<Preferences>(std::move(file));
}

double WindowFrame::largestFittingScale() const {
  QScreen* shown = screen() ? screen() : QGuiApplication::primaryScreen();
  if (!shown) return 1;
  QRect area = shown->availableGeometry();
  int decoration = isVisible() ? std::max(0, frameGeometry().height() - height()) : 0;
  if (decoration == 0) decoration = kDecorationAllowance;
  double byHeight = double(area.height() - decoration) / Window::kHeight;
  double byWidth = double(area.width()) / Window::kWidth;
  return std::max(kMinimumScale, std::min(byHeight, byWidth));
}

void WindowFrame::placeOnScreen() {
  if (store_ && store_->objectForKey("windowWidth")) {
    QRect saved(static_cast<int>(store_->integerForKey("windowX")),
                static_cast<int>(store_->integerForKey("windowY")),
                static_cast<int>(store_->integerForKey("windowWidth")),
                static_cast<int>(store_->integerForKey("windowHeight")));
    for (QScreen* s : QGuiApplication::screens()) {
      QRect area = s->availableGeometry();
      if (area.contains(saved.center()) && saved.width() <= area.width() &&
          saved.height() <= area.height() && saved.width() >= minimumWidth() &&
          saved.height() >= minimumHeight()) {
        // Left hanging past an edge (a screen that shrank, a window manager that allowed it):
        // come back whole on that screen.
        saved.moveLeft(std::clamp(saved.left(), area.left(), area.right() - saved.width() + 1));
        saved.moveTop(std::clamp(saved.top(), area.top(), area.bottom() - saved.height() + 1));
        setGeometry(saved);
        if (store_->boolForKey("windowMaximized")) setWindowState(Qt::WindowMaximized);
        return;
      }
    }
  }
  resize(scaled(std::min(1.0, largestFittingScale())));
  if (QScreen* s = QGuiApplication::primaryScreen()) {
    QRect frame(QPoint(0, 0), size());
    frame.moveCenter(s->availableGeometry().center());
    move(frame.topLeft());
  }
}

void WindowFrame::saveGeometryNow() {
  if (!store_) return;
  QRect g = isMaximized() || isFullScreen() ? normalGeometry() : geometry();
  if (!g.isValid()) g = geometry();
  store_->setObject("windowX", PrefValue(g.x()));
  store_->setObject("windowY", PrefValue(g.y()));
  store_->setObject("windowWidth", PrefValue(g.width()));
  store_->setObject("windowHeight", PrefValue(g.height()));
  store_->setObject("windowMaximized", PrefValue(isMaximized()));
  store_->flush();
}

void WindowFrame::rescale() {
  QSize area = viewport()->size();
  scale_ = std::min(double(area.width()) / Window::kWidth, double(area.height()) / Window::kHeight);
  if (scale_ <= 0) scale_ = 1;
  setTransform(QTransform::fromScale(scale_, scale_));
  // Faded views (alpha through a graphics effect) come out blank when drawn straight through a
  // scaled painter; drawn once at the canvas's own size and then scaled, they are right.
  proxy_->setCacheMode(scale_ == 1 ? QGraphicsItem::NoCache : QGraphicsItem::ItemCoordinateCache);
  centerOn(QPointF(Window::kWidth / 2.0, Window::kHeight / 2.0));
}

void WindowFrame::resizeEvent(QResizeEvent* event) {
  QGraphicsView::resizeEvent(event);
  rescale();
}

void WindowFrame::closeEvent(QCloseEvent* event) {
  saveGeometryNow();
  QGraphicsView::closeEvent(event);
}

void WindowFrame::zoomTo(double scale) {
  if (isMaximized() || isFullScreen()) showNormal();
  scale = std::clamp(scale, kMinimumScale, largestFittingScale());
  resize(scaled(scale));
}

void WindowFrame::zoomIn() {
  for (double step : kZoomSteps)
    if (step > scale_ + 0.01) return zoomTo(step);
  zoomTo(kZoomSteps.back());
}

void WindowFrame::zoomOut() {
  for (auto it = kZoomSteps.rbegin(); it != kZoomSteps.rend(); ++it)
    if (*it < scale_ - 0.01) return zoomTo(*it);
  zoomTo(kZoomSteps.front());
}

void WindowFrame::resetZoom() {
  zoomTo(std::min(1.0, largestFittingScale()));
}

bool WindowFrame::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return false;
  auto* widget = qobject_cast<QWidget*>(watched);
  if (!widget || (widget->window() != this && widget->window() != canvas_)) return false;
  auto* key = static_cast<QKeyEvent*>(event);
  if (!(key->modifiers() & Qt::ControlModifier)) return false;
  switch (key->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal:
      zoomIn();
      return true;
    case Qt::Key_Minus:
      zoomOut();
      return true;
    case Qt::Key_0:
      resetZoom();
      return true;
    default:
      return false;
  }
}

}  // namespace est::ui

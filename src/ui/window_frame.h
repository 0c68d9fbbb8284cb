#pragma once

#include <QColor>
#include <QGraphicsView>
#include <QPointer>
#include <filesystem>
#include <memory>

class QGraphicsProxyWidget;

namespace est {
class Preferences;
}

namespace est::ui {

class Window;

// The desktop window around the phone's screen. The screen (a Window, 320 × 568 points) is
// the design canvas: drawn scaled by one factor in both directions to fill as much of the
// frame as it can, centred, with the margins in the page colour. Nothing outside the canvas
// (panels parked below it) ever shows. The frame opens at a size that fits the screen's
// available area, remembers its size and position across runs in a file of its own, and
// zooms with Ctrl+Plus, Ctrl+Minus and Ctrl+0 (the size it opens at the first time).
class WindowFrame : public QGraphicsView {
  Q_OBJECT

 public:
  // `canvas` must have no parent; the frame draws it but does not own it and gives it back
  // when it goes.
  explicit WindowFrame(Window* canvas, const QColor& margin, QWidget* parent = nullptr);
  ~WindowFrame() override;

  Window* canvas() const { return canvas_; }
  // The factor the canvas is drawn at now.
  double scaleFactor() const { return scale_; }

  // Remembered geometry goes to (and comes from) this file; none by default.
  void setGeometryFile(std::filesystem::path file);
  // The remembered geometry when it still fits a screen, else the opening size centred on
  // the primary screen.
  void placeOnScreen();
  void saveGeometryNow();

  void zoomIn();
  void zoomOut();
  void resetZoom();
  // The largest factor at which the whole frame fits the available area of its screen.
  double largestFittingScale() const;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void rescale();
  void zoomTo(double scale);

  QPointer<Window> canvas_;
  QGraphicsProxyWidget* proxy_ = nullptr;
  double scale_ = 1;
  std::unique_ptr<Preferences> store_;
};

}  // namespace est::ui

#include "ui/alert.h"

#include <QFontMetricsF>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTextLayout>

#include "platform/log.h"
#include "ui/color.h"
#include "ui/fonts.h"
#include "ui/view.h"

namespace est::ui {

// The card drawn over the window.
class AlertView : public QWidget {
 public:
  AlertView(QWidget* parent, Alert alert, std::function<void()> tap)
      : QWidget(parent), alert_(std::move(alert)), tap_(std::move(tap)) {
    setGeometry(parent->rect());
    parent->installEventFilter(this);
  }

  QRectF buttonRect() const { return button_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == parentWidget() && event->type() == QEvent::Resize)
      setGeometry(parentWidget()->rect());
    return false;
  }

  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.fillRect(rect(), QColor(0, 0, 0, 102));

    const double cardWidth = std::min(270.0, width() - 40.0);
    const double inner = cardWidth - 32;
    QFont titleFont = boldSystemFont(17);
    QFont messageFont = systemFont(14);
    QFont buttonFont = boldSystemFont(17);
    QRectF titleBox = QFontMetricsF(titleFont).boundingRect(
        QRectF(0, 0, inner, 1000), Qt::AlignHCenter | Qt::TextWordWrap, alert_.title);
    QRectF messageBox = QFontMetricsF(messageFont)
                            .boundingRect(QRectF(0, 0, inner, 1000),
                                          Qt::AlignHCenter | Qt::TextWordWrap, alert_.message);
    bool hasTitle = !alert_.title.isEmpty();
    bool hasMessage = !alert_.message.isEmpty();
    double textHeight = (hasTitle ? titleBox.height() : 0) +
                        (hasMessage ? messageBox.height() : 0) + (hasTitle && hasMessage ? 6 : 0);
    const double buttonHeight = 44;
    double cardHeight = 20 + textHeight + 20 + buttonHeight;
    QRectF card((width() - cardWidth) / 2, (height() - cardHeight) / 2, cardWidth, cardHeight);

    for (int i = 4; i >= 1; --i) {  // a soft shadow
      QPainterPath shadow;
      shadow.addRoundedRect(card.adjusted(-i, -i + 2, i, i + 2), 14 + i, 14 + i);
      p.fillPath(shadow, QColor(0, 0, 0, 10));
    }
    QPainterPath path;
    path.addRoundedRect(card, 14, 14);
    p.fillPath(path, QColor(250, 250, 250, 245));

    double y = card.top() + 20;
    p.setPen(colorWithHexString("1c2a33"));
    if (hasTitle) {
      p.setFont(titleFont);
      p.drawText(QRectF(card.left() + 16, y, inner, titleBox.height()),
                 Qt::AlignHCenter | Qt::TextWordWrap, alert_.title);
      y += titleBox.height() + (hasMessage ? 6 : 0);
    }
    if (hasMessage) {
      p.setFont(messageFont);
      p.setPen(hasTitle ? colorWithHexString("3b4a54") : colorWithHexString("1c2a33"));
      p.drawText(QRectF(card.left() + 16, y, inner, messageBox.height()),
                 Qt::AlignHCenter | Qt::TextWordWrap, alert_.message);
    }
    button_ = QRectF(card.left(), card.bottom() - buttonHeight, cardWidth, buttonHeight);
    p.fillRect(QRectF(card.left(), button_.top(), cardWidth, 0.75), QColor(0, 0, 0, 50));
    if (pressed_) {
      QPainterPath lit;
      lit.addRoundedRect(button_, 14, 14);
      lit.addRect(button_.adjusted(0, 0, 0, -buttonHeight / 2));
      p.fillPath(lit.simplified(), QColor(0, 0, 0, 18));
    }
    p.setFont(buttonFont);
    p.setPen(colorWithHexString("005c84"));
    p.drawText(button_, Qt::AlignCenter, alert_.buttonTitle);
  }

  void mousePressEvent(QMouseEvent* event) override {
    pressed_ = button_.contains(event->position());
    update();
  }
  void mouseReleaseEvent(QMouseEvent* event) override {
    bool hit = pressed_ && button_.contains(event->position());
    pressed_ = false;
    update();
    if (hit && tap_) tap_();
  }

 private:
  Alert alert_;
  std::function<void()> tap_;
  QRectF button_;
  bool pressed_ = false;
};

namespace {
AlertPresenter* installed = nullptr;
}

AlertPresenter::~AlertPresenter() {
  if (installed == this) installed = nullptr;
}

AlertPresenter* AlertPresenter::current() {
  return installed;
}
void AlertPresenter::setCurrent(AlertPresenter* presenter) {
  installed = presenter;
}

void AlertPresenter::present(Alert alert) {
  record_.push_back({alert.title, alert.message, alert.buttonTitle});
  logf("alert: \"%s\" \"%s\" [%s]", alert.title.toStdString().c_str(),
       alert.message.toStdString().c_str(), alert.buttonTitle.toStdString().c_str());
  queue_.push_back(std::move(alert));
  if (queue_.size() == 1 && !dismissing_) display(queue_.front());
}

bool AlertPresenter::tapButton() {
  if (queue_.empty() || dismissing_) return false;
  Alert gone = std::move(queue_.front());
  queue_.pop_front();
  conceal();
  // An alert presented from onDismiss waits its turn behind those already queued.
  dismissing_ = true;
  if (gone.onDismiss) gone.onDismiss();
  dismissing_ = false;
  if (!queue_.empty()) display(queue_.front());
  return true;
}

WindowAlertPresenter::WindowAlertPresenter(QWidget* window) : window_(window) {}

WindowAlertPresenter::~WindowAlertPresenter() {
  delete view_.data();
}

QWidget* WindowAlertPresenter::alertWidget() const {
  return view_;
}

void WindowAlertPresenter::display(const Alert& alert) {
  delete view_.data();
  if (!window_) return;
  view_ = new AlertView(window_, alert, [this] { tapButton(); });
  view_->show();
  bringToFront(view_);
}

void WindowAlertPresenter::conceal() {
  if (view_) view_->deleteLater();
  view_ = nullptr;
}

void showAlert(const QString& title, const QString& message, const QString& buttonTitle,
               std::function<void()> onDismiss) {
  if (AlertPresenter* presenter = AlertPresenter::current()) {
    presenter->present({title, message, buttonTitle, std::move(onDismiss)});
    return;
  }
  logf("alert (no presenter): \"%s\" \"%s\" [%s]", title.toStdString().c_str(),
       message.toStdString().c_str(), buttonTitle.toStdString().c_str());
}

}  // namespace est::ui

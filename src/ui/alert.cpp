#include "ui/alert.h"

#include <QFontMetricsF>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>

#include "platform/log.h"
#include "ui/color.h"
#include "ui/fonts.h"
#include "ui/input_scope.h"
#include "ui/view.h"

namespace est::ui {

// The card drawn over the window.
class AlertView : public QWidget {
 public:
  AlertView(QWidget* parent, Alert alert, std::function<void()> tap)
      : QWidget(parent), alert_(std::move(alert)), tap_(std::move(tap)) {
    parent->installEventFilter(this);
    // A dialog for screen readers, holding everything beneath it until it goes; its button
    // is a real one (drawn by the card) that Return and Escape press.
    setModalLayer(this);
    setAccessibleRole(this, QAccessible::Dialog);
    setAccessibleName(alert_.title.isEmpty() ? alert_.message : alert_.title);
    setAccessibleDescription(alert_.message);
    button_ = new Button(this);
    button_->setText(alert_.buttonTitle);
    button_->setAccessibleName(alert_.buttonTitle);
    button_->setFocusPolicy(Qt::NoFocus);
    button_->setAttribute(Qt::WA_TransparentForMouseEvents);
    setMainAction(button_);
    setCancelAction(button_);
    connect(button_, &QPushButton::clicked, this, [this] {
      if (tap_) tap_();
    });
    setGeometry(parent->rect());
    relayout();
  }

  QRectF buttonRect() const { return buttonRect_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == parentWidget() && event->type() == QEvent::Resize) {
      setGeometry(parentWidget()->rect());
      relayout();
    }
    return false;
  }

  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.fillRect(rect(), QColor(0, 0, 0, 102));

    for (int i = 4; i >= 1; --i) {  // a soft shadow
      QPainterPath shadow;
      shadow.addRoundedRect(card_.adjusted(-i, -i + 2, i, i + 2), kRadius + i, kRadius + i);
      p.fillPath(shadow, QColor(0, 0, 0, 10));
    }
    QPainterPath path;
    path.addRoundedRect(card_, kRadius, kRadius);
    p.fillPath(path, QColor(250, 250, 250, 245));

    if (!title_.isEmpty()) {
      p.setFont(titleFont_);
      p.setPen(colorWithHexString("1c2a33"));
      p.drawText(title_, Qt::AlignHCenter | Qt::TextWordWrap, alert_.title);
    }
    if (!message_.isEmpty()) {
      p.setFont(messageFont_);
      p.setPen(title_.isEmpty() ? colorWithHexString("1c2a33") : colorWithHexString("3b4a54"));
      p.drawText(message_, Qt::AlignHCenter | Qt::TextWordWrap, alert_.message);
    }
    p.fillRect(QRectF(card_.left(), buttonRect_.top(), card_.width(), 0.75), QColor(0, 0, 0, 50));
    if (pressed_) {
      QPainterPath lit;
      lit.addRoundedRect(buttonRect_, kRadius, kRadius);
      QPainterPath top;
      top.addRect(buttonRect_.adjusted(0, 0, 0, -buttonRect_.height() / 2));
      p.fillPath(lit.united(top), QColor(0, 0, 0, 18));
    }
    p.setFont(buttonFont_);
    p.setPen(colorWithHexString("005c84"));
    p.drawText(buttonRect_, Qt::AlignCenter, alert_.buttonTitle);
  }

  void mousePressEvent(QMouseEvent* event) override {
    pressed_ = buttonRect_.contains(event->position());
    update();
  }
  void mouseReleaseEvent(QMouseEvent* event) override {
    bool hit = pressed_ && buttonRect_.contains(event->position());
    pressed_ = false;
    update();
    if (hit) button_->click();
  }

 private:
  static constexpr double kRadius = 14;
  static constexpr double kButtonHeight = 44;

  // Drawn by the card; there for the keyboard and screen readers.
  class Button : public QPushButton {
   public:
    using QPushButton::QPushButton;

   protected:
    void paintEvent(QPaintEvent*) override {}
  };

  void relayout() {
    // Without a title the message takes the title's place, a little heavier.
    if (alert_.title.isEmpty()) {
      messageFont_ = systemFont(16);
      messageFont_.setWeight(QFont::DemiBold);
    }
    const double cardWidth = std::min(270.0, width() - 40.0);
    const double inner = cardWidth - 32;
    auto measure = [inner](const QFont& font, const QString& text) {
      if (text.isEmpty()) return 0.0;
      return QFontMetricsF(font)
          .boundingRect(QRectF(0, 0, inner, 10000), Qt::AlignHCenter | Qt::TextWordWrap, text)
          .height();
    };
    double titleHeight = measure(titleFont_, alert_.title);
    double messageHeight = measure(messageFont_, alert_.message);
    double gap = titleHeight > 0 && messageHeight > 0 ? 6 : 0;
    double cardHeight = 20 + titleHeight + gap + messageHeight + 20 + kButtonHeight;
    card_ = QRectF((width() - cardWidth) / 2, (height() - cardHeight) / 2, cardWidth, cardHeight);
    double y = card_.top() + 20;
    title_ = titleHeight > 0 ? QRectF(card_.left() + 16, y, inner, titleHeight) : QRectF();
    y += titleHeight + gap;
    message_ = messageHeight > 0 ? QRectF(card_.left() + 16, y, inner, messageHeight) : QRectF();
    buttonRect_ = QRectF(card_.left(), card_.bottom() - kButtonHeight, cardWidth, kButtonHeight);
    button_->setGeometry(buttonRect_.toRect());
  }

  Alert alert_;
  std::function<void()> tap_;
  QFont titleFont_ = boldSystemFont(17);
  QFont messageFont_ = systemFont(14);
  QFont buttonFont_ = boldSystemFont(17);
  QRectF card_, title_, message_, buttonRect_;
  QPushButton* button_ = nullptr;
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

QRectF WindowAlertPresenter::buttonRect() const {
  return view_ ? view_->buttonRect() : QRectF();
}

void WindowAlertPresenter::display(const Alert& alert) {
  delete view_.data();
  if (!window_) return;
  view_ = new AlertView(window_, alert, [this] { tapButton(); });
  view_->show();
  bringToFront(view_);
}

void WindowAlertPresenter::conceal() {
  // Hidden now, destroyed later: the button's own click may still be on the stack.
  if (view_) {
    view_->hide();
    view_->deleteLater();
  }
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

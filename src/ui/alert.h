#pragma once

#include <QPointer>
#include <QRectF>
#include <QString>
#include <QWidget>
#include <deque>
#include <functional>
#include <vector>

namespace est::ui {

// A message with a title (often empty), a text and one button. Showing one never blocks:
// the call returns at once and `onDismiss` runs when the user taps the button.
struct Alert {
  QString title;
  QString message;
  QString buttonTitle;
  std::function<void()> onDismiss;
};

// Shows alerts one at a time, in order, and keeps a record of every alert it was asked to
// show, which tests read. The base class shows nothing; WindowAlertPresenter draws them.
// Screens reach the installed presenter through showAlert().
class AlertPresenter {
 public:
  struct Record {
    QString title;
    QString message;
    QString buttonTitle;
  };

  AlertPresenter() = default;
  virtual ~AlertPresenter();
  AlertPresenter(const AlertPresenter&) = delete;
  AlertPresenter& operator=(const AlertPresenter&) = delete;

  void present(Alert alert);
  // Every alert presented so far, oldest first.
  const std::vector<Record>& record() const { return record_; }
  void clearRecord() { record_.clear(); }
  // The alert on screen now (the oldest not yet dismissed), if any.
  const Alert* visibleAlert() const { return queue_.empty() ? nullptr : &queue_.front(); }
  size_t waitingCount() const { return queue_.size(); }
  // Taps the visible alert's button: it goes away, its onDismiss runs, the next one shows.
  // Answers false when no alert is showing.
  bool tapButton();

  // The presenter that showAlert() uses (not owned); null restores the default, which
  // only logs.
  static AlertPresenter* current();
  static void setCurrent(AlertPresenter* presenter);

 protected:
  virtual void display(const Alert& alert) { (void)alert; }
  virtual void conceal() {}

 private:
  std::vector<Record> record_;
  std::deque<Alert> queue_;
  bool dismissing_ = false;
};

// Installs a presenter for a scope (tests).
class ScopedAlertPresenter {
 public:
  explicit ScopedAlertPresenter(AlertPresenter& presenter) : previous_(AlertPresenter::current()) {
    AlertPresenter::setCurrent(&presenter);
  }
  ~ScopedAlertPresenter() { AlertPresenter::setCurrent(previous_); }
  ScopedAlertPresenter(const ScopedAlertPresenter&) = delete;
  ScopedAlertPresenter& operator=(const ScopedAlertPresenter&) = delete;

 private:
  AlertPresenter* previous_;
};

class AlertView;

// Draws alerts inside a window, over everything in it: the window dims, a rounded card in
// the middle holds the title, the message and the button; a click on the button dismisses
// it. The alert takes no keyboard focus, so a field being edited stays in editing.
class WindowAlertPresenter : public AlertPresenter {
 public:
  explicit WindowAlertPresenter(QWidget* window);
  ~WindowAlertPresenter() override;

  // The widget on screen, for rendering; null when no alert shows.
  QWidget* alertWidget() const;
  // Where its button is, in the widget's coordinates.
  QRectF buttonRect() const;

 protected:
  void display(const Alert& alert) override;
  void conceal() override;

 private:
  QPointer<QWidget> window_;
  QPointer<AlertView> view_;
};

// Shows an alert through the current presenter, or logs it when none is installed.
void showAlert(const QString& title, const QString& message, const QString& buttonTitle,
               std::function<void()> onDismiss = {});

}  // namespace est::ui

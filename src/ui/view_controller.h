#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>

#include "ui/animation.h"

namespace est::ui {

class Window;

// A screen: owns one root view and is told when that view loads, appears and disappears, at
// the moments a phone would tell it:
//
//  - viewDidLoad: once, the first time view() is asked for;
//  - viewWillAppear / viewDidAppear: when the window shows it as its root, when it is presented
//    (before and after the slide-in), and when a screen it presented is dismissed;
//  - viewWillDisappear / viewDidDisappear: the mirror images.
//
// Presenting screen A over B calls B.viewWillDisappear, A.viewWillAppear, (the animation),
// B.viewDidDisappear, A.viewDidAppear, then the completion. Dismissing A calls
// A.viewWillDisappear, B.viewWillAppear, (the animation), A.viewDidDisappear, B.viewDidAppear,
// then the completion. Child controllers (addChildViewController) whose views sit inside
// this view hear the same calls right after their parent.
//
// A screen built from a Qt Designer layout derives from LayoutViewController below. Main
// thread only. Controllers do not own the controllers they present; whoever created them does.
class ViewController : public QObject {
  Q_OBJECT

 public:
  explicit ViewController(QObject* parent = nullptr);
  ~ViewController() override;

  // The root view, loaded on first use: loadView(), then viewDidLoad().
  QWidget* view();
  bool isViewLoaded() const { return !view_.isNull(); }
  // The name of the layout the view was built from (its top widget's name), or empty.
  QString layoutName() const;

  virtual void viewDidLoad() {}
  virtual void viewWillAppear(bool animated) { (void)animated; }
  virtual void viewDidAppear(bool animated) { (void)animated; }
  virtual void viewWillDisappear(bool animated) { (void)animated; }
  virtual void viewDidDisappear(bool animated) { (void)animated; }

  // Shows `controller` modally over the whole window, sliding it up from the bottom edge in
  // kPanelAnimationDuration when animated. Refused (with a log line) when this screen already
  // presents one or `controller` is already presented or is a child.
  void presentViewController(ViewController* controller, bool animated,
                             std::function<void()> completion = {});
  // Dismisses the screen this one presents, or else this screen itself when another presented
  // it (with everything it presented in turn). Does nothing when neither applies. The
  // presentation links are cut at once; the view leaves when the slide-down ends.
  void dismissViewController(bool animated, std::function<void()> completion = {});
  ViewController* presentedViewController() const { return presented_; }
  ViewController* presentingViewController() const { return presenting_; }

  void addChildViewController(ViewController* child);
  void removeFromParentViewController();
  ViewController* parentViewController() const { return parent_; }
  QList<ViewController*> childViewControllers() const;

  // True between viewDidAppear and the next viewWillDisappear.
  bool isAppeared() const { return appeared_; }
  // True when the view is loaded and sits inside another view (shown or not).
  bool isViewInHierarchy() const;
  // The window that holds the view, or null.
  Window* window() const;

 protected:
  // Builds the view; the default makes a plain view and hands it to setupLayout().
  virtual void loadView();
  virtual void setupLayout(QWidget* view) { (void)view; }
  void setView(QWidget* view);

 private:
  friend class Window;
  void willAppear(bool appearing, bool animated);
  void didAppear(bool appearing, bool animated);
  void finishTransition();

  QPointer<QWidget> view_;
  QPointer<ViewController> presented_;
  QPointer<ViewController> presenting_;
  QPointer<ViewController> parent_;
  QList<QPointer<ViewController>> children_;
  AnimationId transition_ = 0;
  bool appeared_ = false;
  bool loading_ = false;
};

// A screen whose view comes from the Qt Designer layout named after it. With AUTOUIC on,
// HomeViewController.ui (top widget named "HomeViewController") becomes Ui::HomeViewController:
//
//   #include "ui_HomeViewController.h"
//   class HomeViewController : public est::ui::LayoutViewController<Ui::HomeViewController> {
//     void viewDidLoad() override { ui.lblTitle->setFont(...); }
//   };
//
// The layout's widgets are then reachable as `ui.<name>` once the view is loaded.
template <class Layout>
class LayoutViewController : public ViewController {
 public:
  using ViewController::ViewController;

 protected:
  void setupLayout(QWidget* view) override { ui.setupUi(view); }
  Layout ui;
};

// The phone's single window: 320 × 568 points, one root screen filling it, presented screens
// on top of it. On the desktop it is drawn scaled inside a WindowFrame (window_frame.h).
class Window : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kWidth = 320;
  static constexpr int kHeight = 568;

  explicit Window(QWidget* parent = nullptr);
  ~Window() override;

  // Not owned.
  void setRootViewController(ViewController* controller);
  ViewController* rootViewController() const { return root_; }
  // Shows the window; the root screen hears viewWillAppear and viewDidAppear.
  void makeKeyAndVisible();
  static Window* keyWindow();

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  QPointer<ViewController> root_;
};

}  // namespace est::ui

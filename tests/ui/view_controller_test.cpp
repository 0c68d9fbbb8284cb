#include "ui/view_controller.h"

#include <QStringList>

#include "platform/log.h"
#include "ui/picker_view.h"
#include "ui/slider.h"
#include "ui/test_fixture.h"
#include "ui/text_field.h"
#include "ui/view.h"
#include "ui_SampleViewController.h"

namespace est::ui {
namespace {

// Writes every hook it hears into a shared journal, prefixed with its name.
class Journal {
 public:
  QStringList entries;
  void add(const QString& who, const char* what) { entries << who + QLatin1Char('.') + what; }
};

class Screen : public ViewController {
 public:
  Screen(QString name, Journal* journal) : name_(std::move(name)), journal_(journal) {}
  void viewDidLoad() override { journal_->add(name_, "didLoad"); }
  void viewWillAppear(bool) override { journal_->add(name_, "willAppear"); }
  void viewDidAppear(bool) override { journal_->add(name_, "didAppear"); }
  void viewWillDisappear(bool) override { journal_->add(name_, "willDisappear"); }
  void viewDidDisappear(bool) override { journal_->add(name_, "didDisappear"); }

 private:
  QString name_;
  Journal* journal_;
};

class SampleViewController : public LayoutViewController<Ui::SampleViewController> {
 public:
  int loads = 0;
  Ui::SampleViewController& layout() { return ui; }
  void viewDidLoad() override { ++loads; }
};

class ViewControllerTest : public test::UiTest {
 protected:
  Journal journal;
  Window window;
  Screen root{QStringLiteral("root"), &journal};
  Screen modal{QStringLiteral("modal"), &journal};

  void showRoot() {
    window.setRootViewController(&root);
    window.makeKeyAndVisible();
    journal.entries.clear();
  }
};

TEST_F(ViewControllerTest, LayoutLoadsOnFirstUseFromTheDesignerFile) {
  SampleViewController screen;
  EXPECT_FALSE(screen.isViewLoaded());
  QWidget* view = screen.view();
  EXPECT_TRUE(screen.isViewLoaded());
  EXPECT_EQ(screen.view(), view);
  EXPECT_EQ(screen.loads, 1);
  EXPECT_EQ(screen.layoutName(), QStringLiteral("SampleViewController"));
  EXPECT_EQ(view->size(), QSize(320, 568));
  // Promoted widgets come out as the layer's own classes, tags as set in the designer.
  EXPECT_EQ(screen.layout().slider->maximumValue(), 16.0f);
  EXPECT_EQ(screen.layout().slider->value(), 3.0f);
  EXPECT_EQ(viewWithTag(view, 123), screen.layout().picker);
  EXPECT_EQ(viewWithTag(view, 2), screen.layout().txtModel);
  EXPECT_EQ(screen.layout().txtName->placeholderText(), QStringLiteral("Matrícula"));
}

TEST_F(ViewControllerTest, WindowShowsItsRootWithAppearanceHooks) {
  window.setRootViewController(&root);
  EXPECT_TRUE(journal.entries.contains(QStringLiteral("root.didLoad")));
  journal.entries.clear();
  window.makeKeyAndVisible();
  EXPECT_EQ(journal.entries, QStringList({"root.willAppear", "root.didAppear"}));
  EXPECT_EQ(root.view()->geometry(), QRect(0, 0, 320, 568));
  EXPECT_EQ(root.window(), &window);
  EXPECT_EQ(Window::keyWindow(), &window);
  window.makeKeyAndVisible();  // already shown: not told again
  EXPECT_EQ(journal.entries.size(), 2);
}

TEST_F(ViewControllerTest, PresentWithoutAnimationCallsTheHooksInThePhonesOrder) {
  showRoot();
  bool completed = false;
  root.presentViewController(&modal, false, [&] {
    journal.entries << QStringLiteral("completion");
    completed = true;
  });
  EXPECT_TRUE(completed);
  EXPECT_EQ(journal.entries, QStringList({"modal.didLoad", "root.willDisappear", "modal.willAppear",
                                          "root.didDisappear", "modal.didAppear", "completion"}));
  EXPECT_EQ(root.presentedViewController(), &modal);
  EXPECT_EQ(modal.presentingViewController(), &root);
  EXPECT_EQ(modal.view()->parentWidget(), &window);
  EXPECT_EQ(modal.view()->geometry(), window.rect());
  EXPECT_EQ(subviews(&window).last(), modal.view());
  EXPECT_TRUE(modal.isAppeared());
  EXPECT_FALSE(root.isAppeared());
}

TEST_F(ViewControllerTest, AnimatedPresentSlidesUpAndFinishesItsHooksAtTheEnd) {
  showRoot();
  modal.view();
  journal.entries.clear();
  bool completed = false;
  root.presentViewController(&modal, true, [&] { completed = true; });
  EXPECT_EQ(journal.entries, QStringList({"root.willDisappear", "modal.willAppear"}));
  loop.advance(Seconds(0.15));
  EXPECT_GT(modal.view()->y(), 0);
  EXPECT_LT(modal.view()->y(), 568);
  EXPECT_FALSE(completed);
  loop.advance(Seconds(0.16));
  EXPECT_TRUE(completed);
  EXPECT_EQ(modal.view()->y(), 0);
  EXPECT_EQ(journal.entries.mid(2), QStringList({"root.didDisappear", "modal.didAppear"}));
}

TEST_F(ViewControllerTest, AnimatedDismissReturnsTheAppearanceToThePresenter) {
  showRoot();
  root.presentViewController(&modal, false);
  journal.entries.clear();
  bool completed = false;
  // The presented screen may dismiss itself.
  modal.dismissViewController(true, [&] { completed = true; });
  EXPECT_EQ(root.presentedViewController(), nullptr);
  EXPECT_EQ(journal.entries, QStringList({"modal.willDisappear", "root.willAppear"}));
  EXPECT_TRUE(modal.isViewInHierarchy());  // still sliding down
  loop.advance(Seconds(0.31));
  EXPECT_TRUE(completed);
  EXPECT_EQ(journal.entries.mid(2), QStringList({"modal.didDisappear", "root.didAppear"}));
  EXPECT_FALSE(modal.isViewInHierarchy());
  EXPECT_TRUE(root.isAppeared());
}

TEST_F(ViewControllerTest, DismissWithNothingPresentedAndASecondPresentationAreIgnored) {
  showRoot();
  bool completed = false;
  root.dismissViewController(true, [&] { completed = true; });
  modal.dismissViewController(false, [&] { completed = true; });
  EXPECT_FALSE(completed);
  EXPECT_TRUE(journal.entries.isEmpty());

  Screen other(QStringLiteral("other"), &journal);
  root.presentViewController(&modal, false);
  LogCapture log;
  root.presentViewController(&other, false, [&] { completed = true; });
  EXPECT_FALSE(completed);
  EXPECT_EQ(root.presentedViewController(), &modal);
  EXPECT_FALSE(other.isViewInHierarchy());
  EXPECT_TRUE(log.contains("already presents"));
}

TEST_F(ViewControllerTest, PresentingDuringASlideDownFinishesTheSlideFirst) {
  showRoot();
  root.presentViewController(&modal, false);
  root.dismissViewController(true);
  loop.advance(Seconds(0.1));
  journal.entries.clear();
  root.presentViewController(&modal, false);
  EXPECT_EQ(journal.entries,
            QStringList({"modal.didDisappear", "root.didAppear", "root.willDisappear",
                         "modal.willAppear", "root.didDisappear", "modal.didAppear"}));
  EXPECT_EQ(modal.view()->geometry(), window.rect());
  loop.advance(Seconds(1));
  EXPECT_TRUE(modal.isViewInHierarchy());  // the finished slide does not take it away later
}

TEST_F(ViewControllerTest, DismissingTheBottomOfAStackTakesEveryScreenAbove) {
  showRoot();
  Screen top(QStringLiteral("top"), &journal);
  root.presentViewController(&modal, false);
  modal.presentViewController(&top, false);
  journal.entries.clear();
  root.dismissViewController(false);
  EXPECT_EQ(journal.entries, QStringList({"top.willDisappear", "root.willAppear",
                                          "top.didDisappear", "root.didAppear"}));
  EXPECT_FALSE(modal.isViewInHierarchy());
  EXPECT_FALSE(top.isViewInHierarchy());
  EXPECT_EQ(modal.presentedViewController(), nullptr);
}

TEST_F(ViewControllerTest, ChildrenInsideTheViewHearTheirParentsHooks) {
  Screen child(QStringLiteral("child"), &journal);
  Screen loose(QStringLiteral("loose"), &journal);
  root.addChildViewController(&child);
  root.addChildViewController(&loose);  // its view is never put inside the parent's
  addSubview(root.view(), child.view());
  loose.view();
  journal.entries.clear();
  window.setRootViewController(&root);
  window.makeKeyAndVisible();
  EXPECT_EQ(journal.entries, QStringList({"root.willAppear", "child.willAppear", "root.didAppear",
                                          "child.didAppear"}));
  child.removeFromParentViewController();
  EXPECT_EQ(root.childViewControllers(), QList<ViewController*>({&loose}));
}

TEST_F(ViewControllerTest, WithAnimationsOffAnAnimatedPresentIsImmediate) {
  showRoot();
  ScopedAnimationsDisabled off;
  bool completed = false;
  root.presentViewController(&modal, true, [&] { completed = true; });
  EXPECT_TRUE(completed);
  EXPECT_EQ(modal.view()->geometry(), window.rect());
}

TEST_F(ViewControllerTest, DestroyingAPresentedScreenCutsTheLink) {
  showRoot();
  {
    Screen shortLived(QStringLiteral("short"), &journal);
    root.presentViewController(&shortLived, true);
  }
  EXPECT_EQ(root.presentedViewController(), nullptr);
  root.presentViewController(&modal, false);
  EXPECT_EQ(root.presentedViewController(), &modal);
}

}  // namespace
}  // namespace est::ui

#include "ui/progress_hud.h"

#include <QLabel>
#include <QPointer>
#include <atomic>
#include <future>
#include <thread>

#include "platform/log.h"
#include "ui/activity_indicator.h"
#include "ui/round_progress_view.h"
#include "ui/test_fixture.h"
#include "ui/view.h"

namespace est::ui {
namespace {

using std::chrono::duration;

class CountingDelegate : public KvProgressHUDDelegate {
 public:
  void hudWasHidden(KvProgressHUD* hud) override {
    ++calls;
    last = hud;
  }
  int calls = 0;
  KvProgressHUD* last = nullptr;
};

// Implements only the hook without argument.
class PlainDelegate : public KvProgressHUDDelegate {
 public:
  using KvProgressHUDDelegate::hudWasHidden;
  void hudWasHidden() override { ++calls; }
  int calls = 0;
};

// Counts the times the overlay was actually put on screen.
class ShowCounter : public QObject {
 public:
  explicit ShowCounter(QWidget* w) { w->installEventFilter(this); }
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::ShowToParent) ++shows;
    return false;
  }
  int shows = 0;
};

class ProgressHudTest : public test::UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    view.resize(320, 480);
    new QLabel(QStringLiteral("content"), &view);
  }
  QWidget view;
};

TEST_F(ProgressHudTest, RefusesANilViewWithTheNamedError) {
  Error error;
  EXPECT_EQ(KvProgressHUD::initWithView(nullptr, &error), nullptr);
  EXPECT_EQ(error.domain, "KvProgressHUDViewIsNillException");
  EXPECT_EQ(error.description, "The view used in the KvProgressHUD initializer is nil.");
  LogCapture log;
  EXPECT_EQ(KvProgressHUD::showHUDAddedTo(nullptr, true), nullptr);
  EXPECT_TRUE(log.contains("KvProgressHUDViewIsNillException"));
  EXPECT_FALSE(KvProgressHUD::hideHUDForView(nullptr, true));
}

TEST_F(ProgressHudTest, ShowAddsOnTopAndIsVisibleAtOnceWithoutGrace) {
  {
    // Before it is shown: transparent, outside the view, over the view's whole bounds.
    auto fresh = KvProgressHUD::initWithView(&view);
    EXPECT_EQ(fresh->geometry(), view.rect());
    EXPECT_EQ(fresh->alpha(), 0);
    EXPECT_EQ(fresh->parentWidget(), nullptr);
  }
  auto* hud = KvProgressHUD::showHUDAddedTo(&view, false);
  ASSERT_NE(hud, nullptr);
  EXPECT_EQ(subviews(&view).last(), hud);
  EXPECT_EQ(hud->alpha(), 1);
  EXPECT_FALSE(hud->isHidden());
  // While shown it swallows the clicks meant for the view's controls.
  EXPECT_FALSE(hud->testAttribute(Qt::WA_TransparentForMouseEvents));
}

TEST_F(ProgressHudTest, AnimatedShowFadesInOverThreeTenthsAndZoomSettlesAtNaturalSize) {
  auto* fading = KvProgressHUD::showHUDAddedTo(&view, true);
  EXPECT_EQ(fading->alpha(), 0);
  loop.advance(Seconds(0.15));
  EXPECT_GT(fading->alpha(), 0.05);
  EXPECT_LT(fading->alpha(), 0.95);
  loop.advance(Seconds(0.16));
  EXPECT_EQ(fading->alpha(), 1);

  auto hud = KvProgressHUD::initWithView(&view);
  hud->setAnimationType(KvProgressHUDAnimation::Zoom);
  hud->show(true);
  EXPECT_DOUBLE_EQ(scale(hud.get()), 1.5);
  loop.advance(Seconds(0.31));
  EXPECT_DOUBLE_EQ(scale(hud.get()), 1.0);
  hud->hide(true);
  loop.advance(Seconds(0.15));
  EXPECT_LT(scale(hud.get()), 1.0);
  EXPECT_GT(scale(hud.get()), 0.5);
  loop.advance(Seconds(0.2));
  EXPECT_TRUE(hud->isFinished());
  EXPECT_DOUBLE_EQ(scale(hud.get()), 1.0);  // reset for the next show
}

TEST_F(ProgressHudTest, MinimumShowTimeHoldsAnEarlyHideButNotALateOne) {
  CountingDelegate delegate;
  auto* hud = KvProgressHUD::showHUDAddedTo(&view, false);
  hud->setMinShowTime(1);
  hud->setDelegate(&delegate);
  loop.advance(Seconds(0.2));
  EXPECT_TRUE(KvProgressHUD::hideHUDForView(&view, false));
  loop.advance(Seconds(0.79));
  EXPECT_EQ(hud->alpha(), 1);
  EXPECT_EQ(delegate.calls, 0);
  loop.advance(Seconds(0.02));
  EXPECT_EQ(delegate.calls, 1);
  EXPECT_EQ(hud->parentWidget(), nullptr);

  QPointer<KvProgressHUD> late = KvProgressHUD::showHUDAddedTo(&view, false);
  late->setMinShowTime(1);
  loop.advance(Seconds(1.5));
  KvProgressHUD::hideHUDForView(&view, false);
  EXPECT_TRUE(late->isFinished());
}

TEST_F(ProgressHudTest, EachHideForViewRemovesTheTopmostRemainingOverlay) {
  QPointer<KvProgressHUD> first = KvProgressHUD::showHUDAddedTo(&view, false);
  QPointer<KvProgressHUD> second = KvProgressHUD::showHUDAddedTo(&view, false);
  // Animated: the second one is still fading while the next call is made.
  EXPECT_TRUE(KvProgressHUD::hideHUDForView(&view, true));
  EXPECT_TRUE(second->isHiding());
  EXPECT_FALSE(first->isHiding());
  EXPECT_TRUE(KvProgressHUD::hideHUDForView(&view, true));
  EXPECT_TRUE(first->isHiding());
  EXPECT_FALSE(KvProgressHUD::hideHUDForView(&view, true));
  loop.advance(Seconds(0.31));
  flushDeletes();
  EXPECT_TRUE(first.isNull());
  EXPECT_TRUE(second.isNull());
  EXPECT_FALSE(KvProgressHUD::hideHUDForView(&view, false));
}

TEST_F(ProgressHudTest, WithoutRemoveOnHideTheOverlayStaysInItsViewTransparent) {
  auto hud = KvProgressHUD::initWithView(&view);
  KvProgressHUD* raw = hud.release();
  addSubview(&view, raw);
  raw->show(false);
  raw->hide(true);
  loop.advance(Seconds(0.1));
  EXPECT_GT(raw->alpha(), 0.02);  // still fading
  loop.advance(Seconds(0.25));
  EXPECT_TRUE(raw->isFinished());
  EXPECT_EQ(raw->parentWidget(), &view);
  EXPECT_EQ(raw->alpha(), 0);
  EXPECT_TRUE(raw->testAttribute(Qt::WA_TransparentForMouseEvents));
}

TEST_F(ProgressHudTest, DelegateIsToldOnceWhicheverHookItImplements) {
  CountingDelegate counting;
  PlainDelegate plain;
  auto a = KvProgressHUD::initWithView(&view);
  auto b = KvProgressHUD::initWithView(&view);
  a->setDelegate(&counting);
  b->setDelegate(&plain);
  a->show(false);
  b->show(false);
  a->hide(true);
  a->hide(true);  // a second request while the first fades
  b->hide(false);
  loop.advance(Seconds(1));
  EXPECT_EQ(counting.calls, 1);
  EXPECT_EQ(counting.last, a.get());
  EXPECT_EQ(plain.calls, 1);
}

TEST_F(ProgressHudTest, ShowingAgainWhileFadingOutKeepsItUp) {
  CountingDelegate delegate;
  auto hud = KvProgressHUD::initWithView(&view);
  hud->setDelegate(&delegate);
  hud->show(false);
  hud->hide(true);
  loop.advance(Seconds(0.1));
  hud->show(false);
  loop.advance(Seconds(1));
  EXPECT_EQ(hud->alpha(), 1);
  EXPECT_EQ(delegate.calls, 0);
  EXPECT_FALSE(hud->isFinished());
}

TEST_F(ProgressHudTest, DelayedHideWaitsForItsDelayAndHonoursTheFlag) {
  CountingDelegate delegate;
  auto hud = KvProgressHUD::initWithView(&view);
  hud->setDelegate(&delegate);
  hud->show(false);
  hud->hide(false, 2.0);
  loop.advance(Seconds(1.99));
  EXPECT_EQ(hud->alpha(), 1);
  loop.advance(Seconds(0.01));
  EXPECT_EQ(hud->alpha(), 0);  // no fade: gone the moment the delay ends
  EXPECT_EQ(delegate.calls, 1);

  hud->show(false);
  hud->hide(true, 1.0);
  loop.advance(Seconds(1.1));
  EXPECT_GT(hud->alpha(), 0.02);
  EXPECT_LT(hud->alpha(), 1.0);
  loop.advance(Seconds(0.3));
  EXPECT_EQ(delegate.calls, 2);
}

TEST_F(ProgressHudTest, ATaskEndingWithinTheGraceTimeNeverShowsTheOverlay) {
  CountingDelegate delegate;
  auto fresh = KvProgressHUD::initWithView(&view);
  KvProgressHUD* task = fresh.release();
  addSubview(&view, task);
  ShowCounter shows(task);
  task->setGraceTime(0.5);
  task->setDelegate(&delegate);
  std::atomic<bool> ran{false};
  task->showWhileExecuting([&] { ran = true; }, true);
  EXPECT_TRUE(task->taskInProgress());
  ASSERT_TRUE(loop.waitUntil([&] { return !task->taskInProgress(); }));
  EXPECT_TRUE(ran);
  loop.advance(Seconds(1));
  EXPECT_EQ(shows.shows, 0);
  EXPECT_EQ(task->alpha(), 0);
  EXPECT_FALSE(task->showStarted());
  EXPECT_EQ(delegate.calls, 1);
}

TEST_F(ProgressHudTest, ATaskOutlastingTheGraceTimeShowsThenHidesAndNoTaskShowsNothing) {
  CountingDelegate delegate;
  auto hud = KvProgressHUD::initWithView(&view);
  hud->setGraceTime(0.5);
  hud->setDelegate(&delegate);
  std::promise<void> go;
  auto gate = go.get_future().share();
  hud->showWhileExecuting([gate] { gate.wait(); }, false);
  loop.advance(Seconds(0.49));
  EXPECT_EQ(hud->alpha(), 0);
  loop.advance(Seconds(0.02));
  EXPECT_EQ(hud->alpha(), 1);
  go.set_value();
  ASSERT_TRUE(loop.waitUntil([&] { return delegate.calls == 1; }));
  EXPECT_FALSE(hud->taskInProgress());
  EXPECT_EQ(hud->alpha(), 0);

  auto plain = KvProgressHUD::initWithView(&view);
  plain->setGraceTime(0.3);
  plain->show(false);
  loop.advance(Seconds(1));
  EXPECT_EQ(plain->alpha(), 0);  // no task is bound, so there is nothing to show for
}

TEST_F(ProgressHudTest, TheTaskRunsOnItsOwnThreadAndIsReleasedOnTheMainThread) {
  // Whatever the method holds is the phone's target and argument.
  struct Held {
    std::thread::id* releasedOn;
    ~Held() { *releasedOn = std::this_thread::get_id(); }
  };
  std::thread::id ranOn, releasedOn;
  auto hud = KvProgressHUD::initWithView(&view);
  {
    auto held = std::make_shared<Held>(&releasedOn);
    hud->showWhileExecuting([held, &ranOn] { ranOn = std::this_thread::get_id(); }, false);
  }
  ASSERT_TRUE(loop.waitUntil([&] { return hud->isFinished(); }));
  EXPECT_NE(ranOn, std::thread::id());
  EXPECT_NE(ranOn, std::this_thread::get_id());
  EXPECT_EQ(releasedOn, std::this_thread::get_id());
}

TEST_F(ProgressHudTest, OverlayDestroyedWhileItsTaskRunsIsLeftAlone) {
  struct Held {
    std::atomic<bool>* released;
    ~Held() { *released = true; }
  };
  std::promise<void> go;
  auto gate = go.get_future().share();
  std::atomic<bool> released{false};
  {
    auto held = std::make_shared<Held>(&released);
    auto hud = KvProgressHUD::initWithView(&view);
    hud->showWhileExecuting([gate, held] { gate.wait(); }, false);
  }
  go.set_value();
  // The clean-up still runs on the main thread and lets go of the method; it finds no overlay.
  EXPECT_TRUE(loop.waitUntil([&] { return released.load(); }));
}

TEST_F(ProgressHudTest, ModesSwapTheIndicatorAndKeepTheProgress) {
  auto hud = KvProgressHUD::initWithView(&view);
  hud->setProgress(0.4f);
  EXPECT_NE(qobject_cast<ActivityIndicatorView*>(hud->indicator()), nullptr);
  hud->setMode(KvProgressHUDMode::Determinate);
  auto* pie = qobject_cast<KvRoundProgressView*>(hud->indicator());
  ASSERT_NE(pie, nullptr);
  EXPECT_FLOAT_EQ(pie->progress(), 0.4f);
  hud->setProgress(0.7f);
  EXPECT_FLOAT_EQ(pie->progress(), 0.7f);

  hud->setMode(KvProgressHUDMode::CustomView);  // no custom view yet: the wheel
  EXPECT_NE(qobject_cast<ActivityIndicatorView*>(hud->indicator()), nullptr);
  auto* check = new QLabel(QStringLiteral("✓"));
  check->resize(30, 24);
  hud->setCustomView(check);
  EXPECT_EQ(hud->indicator(), check);
  EXPECT_EQ(check->parentWidget(), hud.get());
  QPointer<QLabel> gone(check);
  hud->setCustomView(new QLabel(QStringLiteral("!")));
  EXPECT_TRUE(gone.isNull());  // owned, so replaced means destroyed
}

TEST_F(ProgressHudTest, SettersFromAnotherThreadReachTheMainThreadLater) {
  auto hud = KvProgressHUD::initWithView(&view);
  std::thread([&] {
    hud->setLabelText(QStringLiteral("Cargando"));
    hud->setMode(KvProgressHUDMode::Determinate);
    hud->setProgress(0.5f);
  }).join();
  EXPECT_FALSE(hud->labelText());
  EXPECT_EQ(hud->mode(), KvProgressHUDMode::Indeterminate);
  loop.runPending();
  EXPECT_EQ(hud->labelText(), QStringLiteral("Cargando"));
  auto* pie = qobject_cast<KvRoundProgressView*>(hud->indicator());
  ASSERT_NE(pie, nullptr);
  EXPECT_FLOAT_EQ(pie->progress(), 0.5f);
}

TEST_F(ProgressHudTest, BoxWrapsItsContentWithMarginsAndSpacing) {
  auto hud = KvProgressHUD::initWithView(&view);
  hud->show(false);
  EXPECT_FLOAT_EQ(hud->boxWidth(), 37 + 40);
  EXPECT_FLOAT_EQ(hud->boxHeight(), 37 + 40);
  EXPECT_EQ(hud->boxRect().center(), QRectF(view.rect()).center());

  QFontMetricsF label(hud->labelFont());
  QFontMetricsF details(hud->detailsLabelFont());
  hud->setLabelText(QStringLiteral("Cargando"));
  hud->setDetailsLabelText(QStringLiteral("un momento"));
  double wide = std::max({37.0, label.horizontalAdvance(QStringLiteral("Cargando")),
                          details.horizontalAdvance(QStringLiteral("un momento"))});
  EXPECT_NEAR(hud->boxWidth(), wide + 40, 0.01);
  EXPECT_NEAR(hud->boxHeight(), 37 + 40 + label.height() + 4 + details.height() + 4, 0.01);

  // Details without a main line are not shown.
  hud->setLabelText(std::nullopt);
  EXPECT_FLOAT_EQ(hud->boxHeight(), 37 + 40);

  // A long line is cut at the view's width less four margins.
  hud->setLabelText(QString(200, QLatin1Char('W')));
  EXPECT_FLOAT_EQ(hud->boxWidth(), 320 - 2 * 20);

  hud->setXOffset(10);
  hud->setYOffset(-30);
  EXPECT_EQ(hud->boxRect().center(), QRectF(view.rect()).center() + QPointF(10, -30));
}

TEST_F(ProgressHudTest, StaysCentredWhenItsViewIsResized) {
  view.show();  // hidden views hear of their new size only when shown
  auto* hud = KvProgressHUD::showHUDAddedTo(&view, false);
  view.resize(420, 480);
  EXPECT_EQ(hud->size(), QSize(320, 480));
  EXPECT_EQ(hud->x(), 50);
}

}  // namespace
}  // namespace est::ui

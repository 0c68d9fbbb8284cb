#include "ui/paging_area.h"

#include <QPushButton>
#include <QSignalSpy>

#include "ui/slider.h"
#include "ui/test_fixture.h"
#include "ui/view.h"

namespace est::ui {
namespace {

class Listener : public PagingAreaDelegate {
 public:
  int decelerated = 0;
  int scrollAnimations = 0;
  int scrolls = 0;
  double offsetAtRest = -1;
  void scrollViewDidScroll(PagingArea*) override { ++scrolls; }
  void scrollViewDidEndDecelerating(PagingArea* area) override {
    ++decelerated;
    offsetAtRest = area->contentOffset();
  }
  void scrollViewDidEndScrollingAnimation(PagingArea*) override { ++scrollAnimations; }
};

class PagingAreaTest : public test::UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    area.resize(320, 400);
    area.setContentWidth(1600);
    area.setDelegate(&listener);
    for (int i = 0; i < 5; ++i) {
      auto* page = new QWidget;
      page->setGeometry(320 * i, 0, 320, 400);
      area.addSubview(page);
      pages.push_back(page);
    }
    button = new QPushButton(QStringLiteral("COMPRAR"), pages[1]);
    button->setGeometry(100, 100, 120, 40);
  }

  // Drags over `on` from x0 to x1 (in the area's coordinates) in `steps` moves spread over
  // `seconds` of virtual time, then lets go.
  void swipe(QWidget* on, double x0, double x1, double seconds, int steps = 6) {
    test::press(on, {x0, 150}, &area);
    for (int i = 1; i <= steps; ++i) {
      loop.advance(Seconds(seconds / steps));
      test::move(on, {x0 + (x1 - x0) * i / steps, 150}, &area);
    }
    test::release(on, {x1, 150}, &area);
  }

  Listener listener;
  PagingArea area;
  std::vector<QWidget*> pages;
  QPushButton* button = nullptr;
};

TEST_F(PagingAreaTest, PagesAreTheAreasWidthAndTheOffsetIsFreeInCode) {
  EXPECT_EQ(area.pageWidth(), 320);
  EXPECT_EQ(area.numberOfPages(), 5);
  EXPECT_EQ(area.subviews().size(), 5);
  area.setContentOffset(960, false);
  EXPECT_EQ(area.contentOffset(), 960);
  EXPECT_EQ(area.currentPage(), 3);
  EXPECT_EQ(pages[3]->mapTo(&area, QPoint(0, 0)), QPoint(0, 0));
  area.setContentOffset(1600, false);  // the sixth page before it is added, as code may ask
  EXPECT_EQ(area.contentOffset(), 1600);
  EXPECT_EQ(listener.decelerated, 0);
}

TEST_F(PagingAreaTest, AnimatedScrollArrivesAndSaysSoOnce) {
  area.setContentOffset(1280, true);
  loop.advance(Seconds(0.15));
  EXPECT_GT(area.contentOffset(), 0);
  EXPECT_LT(area.contentOffset(), 1280);
  loop.advance(Seconds(0.2));
  EXPECT_EQ(area.contentOffset(), 1280);
  EXPECT_EQ(listener.scrollAnimations, 1);
  EXPECT_EQ(listener.decelerated, 0);  // only swipes decelerate
  EXPECT_GT(listener.scrolls, 2);
}

TEST_F(PagingAreaTest, SlowDragSnapsToTheNextPageOnlyPastHalfway) {
  swipe(pages[0], 300, 100, 2.0);  // 200 points in two seconds: no flick
  EXPECT_EQ(area.contentOffset(), 200);
  EXPECT_TRUE(area.isDecelerating());
  EXPECT_EQ(listener.decelerated, 0);
  loop.advance(Seconds(0.5));
  EXPECT_EQ(area.contentOffset(), 320);
  EXPECT_EQ(listener.decelerated, 1);
  EXPECT_EQ(listener.offsetAtRest, 320);

  // A slow short drag falls back to its page.
  swipe(pages[1], 300, 200, 2.0);
  loop.advance(Seconds(0.5));
  EXPECT_EQ(area.contentOffset(), 320);
  EXPECT_EQ(listener.decelerated, 2);
}

TEST_F(PagingAreaTest, QuickFlickTurnsOnePageAndNoMore) {
  swipe(pages[0], 200, 140, 0.1);  // 60 points in a tenth of a second
  loop.advance(Seconds(0.5));
  EXPECT_EQ(area.contentOffset(), 320);
  // However hard the flick, it goes one page at a time.
  swipe(pages[1], 310, 10, 0.05);
  loop.advance(Seconds(0.5));
  EXPECT_EQ(area.contentOffset(), 640);
  // Backwards too.
  swipe(pages[2], 100, 160, 0.1);
  loop.advance(Seconds(0.5));
  EXPECT_EQ(area.contentOffset(), 320);
  EXPECT_EQ(listener.decelerated, 3);
}

TEST_F(PagingAreaTest, CannotSwipePastTheEnds) {
  swipe(pages[0], 100, 300, 0.1);  // towards the left of the first page
  loop.advance(Seconds(0.5));
  EXPECT_EQ(area.contentOffset(), 0);
  area.setContentOffset(1280, false);
  swipe(pages[4], 300, 100, 0.1);
  loop.advance(Seconds(0.5));
  EXPECT_EQ(area.contentOffset(), 1280);
}

TEST_F(PagingAreaTest, APressOnAControlBelongsToItUntilReleased) {
  area.setContentOffset(320, false);
  QSignalSpy clicked(button, &QPushButton::clicked);
  test::press(button, {10, 10});
  test::release(button, {10, 10});
  EXPECT_EQ(clicked.count(), 1);

  // The button spans x 100..220 of the area on this page: dragged off it, it lets go without
  // clicking, and the page never moves.
  test::press(button, {160, 120}, &area);
  test::move(button, {120, 120}, &area);
  test::move(button, {40, 120}, &area);
  EXPECT_EQ(area.contentOffset(), 320);
  test::release(button, {40, 120}, &area);
  EXPECT_EQ(clicked.count(), 1);
  EXPECT_FALSE(button->isDown());
  loop.advance(Seconds(0.5));
  EXPECT_EQ(area.contentOffset(), 320);
  EXPECT_EQ(listener.decelerated, 0);

  // A slider's thumb follows the pointer; the page stays.
  auto* slider = new Slider(pages[1]);
  slider->setGeometry(20, 200, 280, 34);
  slider->setMaximumValue(10);
  slider->show();
  QSignalSpy changed(slider, &Slider::valueChanged);
  test::press(slider, {14, 17});  // the thumb, at the value 0
  for (int x = 30; x <= 154; x += 31) test::move(slider, {double(x), 17});
  test::release(slider, {154, 17});
  EXPECT_NEAR(slider->value(), 140.0 / 252 * 10, 0.05);
  EXPECT_GE(changed.count(), 4);  // smoothly, with every move
  loop.advance(Seconds(0.5));
  EXPECT_EQ(area.contentOffset(), 320);

  // The page's background still swipes.
  swipe(pages[1], 300, 20, 0.1);
  loop.advance(Seconds(1));
  EXPECT_EQ(area.contentOffset(), 640);
}

TEST_F(PagingAreaTest, VerticalDragsAreLeftAlone) {
  test::press(pages[0], {150, 100}, &area);
  test::move(pages[0], {152, 150}, &area);
  test::move(pages[0], {120, 200}, &area);  // sideways only after the gesture was decided
  test::release(pages[0], {120, 200}, &area);
  loop.advance(Seconds(0.5));
  EXPECT_EQ(area.contentOffset(), 0);
  EXPECT_EQ(listener.scrolls, 0);
}

TEST_F(PagingAreaTest, ScrollingSwitchedOffKeepsThePageStill) {
  area.setScrollEnabled(false);
  swipe(pages[0], 300, 20, 0.2);
  loop.advance(Seconds(0.5));
  EXPECT_EQ(area.contentOffset(), 0);
  EXPECT_EQ(listener.decelerated, 0);
  area.setScrollEnabled(true);
  swipe(pages[0], 300, 20, 0.2);
  loop.advance(Seconds(0.5));
  EXPECT_EQ(area.contentOffset(), 320);
}

TEST_F(PagingAreaTest, ContentWidthGrowsAndShrinksWithASixthPage) {
  auto* extra = new QWidget;
  extra->setGeometry(1600, 0, 320, 400);
  area.addSubview(extra);
  area.setContentWidth(area.contentWidth() + area.pageWidth());
  EXPECT_EQ(area.numberOfPages(), 6);
  EXPECT_TRUE(area.containsView(extra));
  area.setContentWidth(area.contentWidth() - area.pageWidth());
  removeFromSuperview(extra);
  EXPECT_FALSE(area.containsView(extra));
  EXPECT_EQ(area.numberOfPages(), 5);
  delete extra;
  area.removeAllSubviews();
  EXPECT_TRUE(area.subviews().isEmpty());
  for (QWidget* page : pages) delete page;
}

}  // namespace
}  // namespace est::ui

#include "ui/animation.h"

#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>

#include "ui/color.h"
#include "ui/fonts.h"
#include "ui/image.h"
#include "ui/test_fixture.h"
#include "ui/view.h"

namespace est::ui {
namespace {

class AnimationTest : public test::UiTest {};

TEST_F(AnimationTest, StepsRiseToOneOverTheDurationThenComplete) {
  std::vector<double> steps;
  std::optional<bool> completed;
  auto id = animate(
      kPanelAnimationDuration, [&](double t) { steps.push_back(t); },
      [&](bool finished) { completed = finished; }, AnimationCurve::Linear);
  EXPECT_TRUE(isAnimating(id));
  loop.advance(Seconds(0.15));
  ASSERT_FALSE(steps.empty());
  EXPECT_NEAR(steps.back(), 0.5, 0.06);
  EXPECT_FALSE(completed);
  loop.advance(Seconds(0.16));
  EXPECT_EQ(completed, true);
  EXPECT_EQ(steps.back(), 1.0);
  EXPECT_TRUE(std::is_sorted(steps.begin(), steps.end()));
  EXPECT_FALSE(isAnimating(id));
  EXPECT_EQ(loop.pendingTimers(), 0u);
}

TEST_F(AnimationTest, CancelStopsWhereItIsAndFinishJumpsToTheEnd) {
  double last = -1;
  std::optional<bool> a, b;
  auto first = animate(
      1.0, [&](double t) { last = t; }, [&](bool f) { a = f; });
  loop.advance(Seconds(0.2));
  double reached = last;
  cancelAnimation(first);
  EXPECT_EQ(a, false);
  loop.advance(Seconds(1));
  EXPECT_EQ(last, reached);

  auto second = animate(
      1.0, [&](double t) { last = t; }, [&](bool f) { b = f; });
  finishAnimation(second);
  EXPECT_EQ(b, true);
  EXPECT_EQ(last, 1.0);
}

TEST_F(AnimationTest, TheSwitchMakesEveryAnimationInstant) {
  std::optional<bool> running;
  animate(kOverlayAnimationDuration, {}, [&](bool f) { running = f; });
  setAnimationsEnabled(false);  // what runs ends at once too
  EXPECT_EQ(running, true);
  double last = 0;
  bool done = false;
  EXPECT_EQ(animate(
                kOverlayAnimationDuration, [&](double t) { last = t; }, [&](bool) { done = true; }),
            0u);
  EXPECT_EQ(last, 1.0);
  EXPECT_TRUE(done);
  EXPECT_EQ(loop.pendingTimers(), 0u);
}

TEST_F(AnimationTest, ANewFrameAnimationTakesOverFromTheRunningOne) {
  QWidget parent;
  auto* panel = new QWidget(&parent);
  panel->setGeometry(0, 568, 320, 260);
  std::optional<bool> firstDone;
  animateFrame(panel, QRect(0, 308, 320, 260), kPanelAnimationDuration,
               [&](bool f) { firstDone = f; });
  loop.advance(Seconds(0.15));
  int midway = panel->y();
  EXPECT_LT(midway, 568);
  EXPECT_GT(midway, 308);
  animateFrame(panel, QRect(0, 568, 320, 260), kPanelAnimationDuration);
  EXPECT_EQ(firstDone, false);
  loop.advance(Seconds(0.01));
  EXPECT_GE(panel->y(), midway);  // heads back down from where it was, without a jump
  loop.advance(Seconds(0.3));
  EXPECT_EQ(panel->y(), 568);
}

TEST_F(AnimationTest, PanelsToggleBetweenOutOfSightAndFlushWithTheBottom) {
  QWidget page;
  page.resize(320, 568);
  auto* panel = new QWidget;
  panel->resize(100, 260);
  addPanelOutOfSight(&page, panel);
  EXPECT_EQ(panel->geometry(), QRect(0, 568, 320, 260));
  EXPECT_TRUE(isPanelOutOfSight(panel));
  togglePanel(panel);
  EXPECT_FALSE(isPanelOutOfSight(panel));  // judged by where it is going
  EXPECT_EQ(targetFrame(panel), QRect(0, 308, 320, 260));
  loop.advance(Seconds(0.1));
  // Toggled again half-way up, it heads back down: the decision uses the final frame.
  togglePanel(panel);
  loop.advance(Seconds(0.31));
  EXPECT_EQ(panel->y(), 568);
  EXPECT_EQ(targetFrame(panel), panel->geometry());
  togglePanel(panel, false);
  EXPECT_EQ(panel->y(), 308);
  addPanelOutOfSight(&page, panel);  // the refresh puts an open panel away at once
  EXPECT_EQ(panel->y(), 568);
}

TEST_F(AnimationTest, AnAnimatedWidgetThatGoesAwayEndsItsAnimation) {
  auto* panel = new QWidget;
  std::optional<bool> done;
  animateAlpha(panel, 0.0, 1.0, [&](bool f) { done = f; });
  delete panel;
  loop.advance(Seconds(0.1));
  EXPECT_EQ(done, false);
}

TEST(ColorTest, SixHexDigitsGiveAnOpaqueColourAndAnythingElseClear) {
  QColor blue(0, 92, 132);
  for (const char* text : {"005c84", "005C84", "0x005c84", "0X005C84", " 005c84\n", "\t0x005c84 "})
    EXPECT_EQ(colorWithHexString(text), blue) << text;
  for (const char* text : {"5c84", "05c84", "#005c84", "0x05c84", "005c8400", "", "0x"}) {
    QColor c = colorWithHexString(text);
    EXPECT_EQ(c.alpha(), 0) << text;
  }
  EXPECT_EQ(colorWithHexString("b5f1ff"), QColor(0xb5, 0xf1, 0xff));
  // Only leading hex digits of a pair count.
  EXPECT_EQ(colorWithHexString("1g00zz"), QColor(1, 0, 0));
}

TEST(FontTest, LayoutNamesMapToOpenSansAtPointSizes) {
  QFont bold = fontNamed(QStringLiteral("MyriadPro-Bold"), 15);
  QFont regular = fontNamed(QStringLiteral("MyriadPro-Regular"), 13);
  EXPECT_TRUE(bold.bold());
  EXPECT_FALSE(regular.bold());
  EXPECT_EQ(bold.pixelSize(), 15);
  EXPECT_EQ(QFontInfo(regular).family(), QStringLiteral("Open Sans"));
  EXPECT_EQ(QFontInfo(bold).family(), QStringLiteral("Open Sans"));
}

TEST(ImageTest, NamedArtworkFallsBackToDoubleSizeAndVectorFiles) {
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  QFile svg(folder.filePath(QStringLiteral("menu_ico_inicio_on.svg")));
  ASSERT_TRUE(svg.open(QIODevice::WriteOnly));
  svg.write(R"(<svg xmlns="http://www.w3.org/2000/svg" width="40" height="30">
               <rect width="40" height="30" fill="#005c84"/></svg>)");
  svg.close();
  QPixmap doubled(48, 48);
  doubled.fill(Qt::red);
  doubled.save(folder.filePath(QStringLiteral("caja_texto@2x.png")));
  addImageSearchPath(folder.path());

  Image vector = Image::named(QStringLiteral("menu_ico_inicio_on.png"));
  ASSERT_FALSE(vector.isNull());
  EXPECT_EQ(vector.size(), QSizeF(40, 30));
  QImage drawn = vector.pixmap(QSize(80, 60), 2).toImage();
  EXPECT_EQ(drawn.size(), QSize(160, 120));  // crisp at twice the scale
  EXPECT_EQ(drawn.pixelColor(80, 60), colorWithHexString("005c84"));

  Image bitmap = Image::named(QStringLiteral("caja_texto.png"));
  EXPECT_EQ(bitmap.size(), QSizeF(24, 24));
  EXPECT_TRUE(Image::named(QStringLiteral("missing.png")).isNull());

  ImageView view;
  view.setImageName(QStringLiteral("menu_ico_inicio_on.png"));
  view.resize(20, 20);
  EXPECT_EQ(view.grab().toImage().pixelColor(10, 10), colorWithHexString("005c84"));
  QPushButton button;
  button.resize(40, 30);
  setButtonImage(&button, vector);
  EXPECT_FALSE(button.icon().isNull());
  EXPECT_EQ(button.iconSize(), QSize(40, 30));
}

TEST_F(AnimationTest, ViewsHaveTagsAlphaAndStackingOrder) {
  QWidget root;
  auto* a = new QWidget(&root);
  auto* b = new QWidget(&root);
  auto* deep = new QLabel(b);
  setTag(a, 5);
  setTag(deep, 1001);
  EXPECT_EQ(viewWithTag(&root, 1001), deep);
  EXPECT_EQ(viewWithTag(&root, 5), a);
  EXPECT_EQ(viewWithTag(&root, 6), nullptr);
  bringToFront(a);
  EXPECT_EQ(subviews(&root), QList<QWidget*>({b, a}));

  setAlpha(b, 0.5);
  EXPECT_DOUBLE_EQ(alpha(b), 0.5);
  EXPECT_FALSE(b->testAttribute(Qt::WA_TransparentForMouseEvents));
  setAlpha(b, 0);
  EXPECT_TRUE(b->testAttribute(Qt::WA_TransparentForMouseEvents));  // invisible: clicks pass
  setAlpha(b, 1);
  EXPECT_FALSE(b->testAttribute(Qt::WA_TransparentForMouseEvents));
  EXPECT_EQ(b->graphicsEffect(), nullptr);  // at rest it paints directly

  // Taking a view out and putting it back keeps its frame and whether it was hidden.
  a->setGeometry(10, 20, 30, 40);
  a->hide();
  removeFromSuperview(a);
  EXPECT_FALSE(hasSuperview(a));
  addSubview(&root, a);
  EXPECT_EQ(a->geometry(), QRect(10, 20, 30, 40));
  EXPECT_TRUE(a->isHidden());
  removeFromSuperview(b);
  addSubview(&root, b);
  EXPECT_FALSE(b->isHidden());
}

}  // namespace
}  // namespace est::ui

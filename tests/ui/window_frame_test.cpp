#include "ui/window_frame.h"

#include <QGuiApplication>
#include <QScreen>
#include <QTest>
#include <filesystem>

#include "ui/test_fixture.h"
#include "ui/view_controller.h"

namespace est::ui {
namespace {

class WindowFrameTest : public test::UiTest {
 protected:
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove(file, ec);
    UiTest::TearDown();
  }
  std::filesystem::path file = std::filesystem::temp_directory_path() / "est-window-test.plist";
};

TEST_F(WindowFrameTest, OpensInsideTheAvailableAreaAndComesBackWhereItWasLeft) {
  QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  Window canvas;
  QRect left;
  {
    WindowFrame frame(&canvas, Qt::darkBlue);
    frame.setGeometryFile(file);
    frame.placeOnScreen();
    frame.show();
    EXPECT_LE(frame.height(), area.height());
    EXPECT_LE(frame.width(), area.width());
    EXPECT_TRUE(area.contains(frame.geometry()));
    // Never larger than the screen allows, whatever the zoom asks for.
    for (int i = 0; i < 12; ++i) frame.zoomIn();
    EXPECT_LE(frame.height(), area.height());
    EXPECT_NEAR(frame.scaleFactor(), frame.largestFittingScale(), 0.01);
    frame.resetZoom();
    EXPECT_NEAR(frame.scaleFactor(), std::min(1.0, frame.largestFittingScale()), 0.01);
    frame.zoomOut();
    EXPECT_LT(frame.scaleFactor(), std::min(1.0, frame.largestFittingScale()));
    frame.setGeometry(area.left() + 30, area.top() + 20, 300, 500);
    left = frame.geometry();
    frame.close();
  }
  EXPECT_EQ(canvas.parentWidget(), nullptr);  // handed back, not destroyed with the scene
  {
    WindowFrame frame(&canvas, Qt::darkBlue);
    frame.setGeometryFile(file);
    frame.placeOnScreen();
    EXPECT_EQ(frame.geometry(), left);
    // Ctrl+Minus and Ctrl+0 reach the frame from the canvas it draws.
    frame.show();
    QApplication::setActiveWindow(&frame);
    double before = frame.scaleFactor();
    QTest::keyClick(&canvas, Qt::Key_Minus, Qt::ControlModifier);
    EXPECT_LT(frame.scaleFactor(), before);
    QTest::keyClick(&canvas, Qt::Key_0, Qt::ControlModifier);
    EXPECT_NEAR(frame.scaleFactor(), std::min(1.0, frame.largestFittingScale()), 0.01);
  }
  {
    // Left hanging past the right and bottom edges, it comes back whole on the screen.
    WindowFrame frame(&canvas, Qt::darkBlue);
    frame.setGeometryFile(file);
    frame.show();
    QRect hanging(area.right() - 250, area.bottom() - 400, 300, 500);
    frame.setGeometry(hanging);
    frame.close();
  }
  {
    WindowFrame frame(&canvas, Qt::darkBlue);
    frame.setGeometryFile(file);
    frame.placeOnScreen();
    EXPECT_EQ(frame.size(), QSize(300, 500));
    EXPECT_TRUE(area.contains(frame.geometry()));
  }
}

}  // namespace
}  // namespace est::ui

#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QWidget>
#include <ostream>

#include "platform/manual_run_loop.h"
#include "ui/animation.h"

// Readable test failures for Qt strings (found by argument-dependent lookup).
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}

namespace est::ui::test {

// Runs each test on virtual time: the UI main loop is a ManualRunLoop that only moves when
// the test advances it. Animations stay on unless a test turns them off.
class UiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RunLoop::setMain(&loop);
    setAnimationsEnabled(true);
  }
  void TearDown() override {
    finishAllAnimations();
    setAnimationsEnabled(true);
    flushDeletes();
    RunLoop::setMain(nullptr);
  }

  static void flushDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }

  ManualRunLoop loop;
};

// Sends a mouse event to `target` through the application, as a click or drag would arrive,
// so application event filters see it too. `at` is in the coordinates of `frame` (by default
// `target` itself); give a frame that stays put when the target moves under the pointer.
inline void sendMouse(QWidget* target, QEvent::Type type, QPointF at, Qt::MouseButtons buttons,
                      QWidget* frame = nullptr) {
  QPointF global = (frame ? frame : target)->mapToGlobal(at);
  QPointF local = target->mapFromGlobal(global);
  Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
  QMouseEvent event(type, local, local, global, button, buttons, Qt::NoModifier);
  QApplication::sendEvent(target, &event);
}

inline void press(QWidget* target, QPointF at, QWidget* frame = nullptr) {
  sendMouse(target, QEvent::MouseButtonPress, at, Qt::LeftButton, frame);
}
inline void move(QWidget* target, QPointF at, QWidget* frame = nullptr) {
  sendMouse(target, QEvent::MouseMove, at, Qt::LeftButton, frame);
}
inline void release(QWidget* target, QPointF at, QWidget* frame = nullptr) {
  sendMouse(target, QEvent::MouseButtonRelease, at, Qt::NoButton, frame);
}

}  // namespace est::ui::test

#pragma once

#include <QRect>
#include <cstdint>
#include <functional>

class QWidget;

namespace est::ui {

// Panels sliding up from the bottom edge, and modal screens coming in or going away.
inline constexpr double kPanelAnimationDuration = 0.3;
// Translucent screens sliding over the whole window.
inline constexpr double kOverlayAnimationDuration = 0.8;

// The global switch: with animations off every animation jumps to its end at once, in line,
// so tests see final states without moving time. On by default.
// Turning them off also ends the running ones.
bool animationsEnabled();
void setAnimationsEnabled(bool enabled);

// Jumps every running animation to its end (a test's tear-down, before its loop goes away).
void finishAllAnimations();

class ScopedAnimationsDisabled {
 public:
  ScopedAnimationsDisabled() : previous_(animationsEnabled()) { setAnimationsEnabled(false); }
  ~ScopedAnimationsDisabled() { setAnimationsEnabled(previous_); }
  ScopedAnimationsDisabled(const ScopedAnimationsDisabled&) = delete;
  ScopedAnimationsDisabled& operator=(const ScopedAnimationsDisabled&) = delete;

 private:
  bool previous_;
};

enum class AnimationCurve { Linear, EaseInOut, EaseIn, EaseOut };

using AnimationId = std::uint64_t;  // 0 is never an animation

// Calls step(progress) about sixty times a second on the UI main loop for `duration` seconds,
// progress rising from 0 to 1 along `curve` and ending at exactly 1, then completion(true).
// With animations off or a duration of zero or less, step(1) and completion(true) run at once,
// before this returns (and the answer is 0). Main thread only.
AnimationId animate(double duration, std::function<void(double progress)> step,
                    std::function<void(bool finished)> completion = {},
                    AnimationCurve curve = AnimationCurve::EaseInOut);

// Jumps a running animation to its end: step(1), then completion(true), now.
void finishAnimation(AnimationId id);
// Stops a running animation where it is: completion(false), now.
void cancelAnimation(AnimationId id);
bool isAnimating(AnimationId id);

// Moves and resizes a widget to `target`. A new frame animation of the same widget takes over
// from wherever the running one has got to; the running one completes with false. Should the
// widget be destroyed meanwhile, the animation completes with false.
AnimationId animateFrame(QWidget* widget, QRect target, double duration,
                         std::function<void(bool finished)> completion = {},
                         AnimationCurve curve = AnimationCurve::EaseInOut);

// Where the widget is going: the end frame of its running frame animation, or its frame.
// Code that decides from a frame reads this one, as a phone's code sees the final frame of a
// view in motion.
QRect targetFrame(const QWidget* widget);

// Fades a widget's alpha (see view.h) to `target`, with the same take-over rule.
AnimationId animateAlpha(QWidget* widget, double target, double duration,
                         std::function<void(bool finished)> completion = {},
                         AnimationCurve curve = AnimationCurve::EaseInOut);

// Bottom panels (pickers sliding up from below). Puts `panel` into `container`, as wide as it,
// with its top edge on the container's bottom edge: out of sight.
void addPanelOutOfSight(QWidget* container, QWidget* panel);
// A panel whose top edge lies on its container's bottom edge slides up by its own height, to
// sit flush with the bottom; any other panel slides back down to that edge. Takes
// kPanelAnimationDuration when animated.
void togglePanel(QWidget* panel, bool animated = true);
// Whether the panel is (or is on its way to being) out of sight below its container.
bool isPanelOutOfSight(const QWidget* panel);

}  // namespace est::ui

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

// Fades a widget's alpha (see view.h) to `target`, with the same take-over rule.
AnimationId animateAlpha(QWidget* widget, double target, double duration,
                         std::function<void(bool finished)> completion = {},
                         AnimationCurve curve = AnimationCurve::EaseInOut);

}  // namespace est::ui

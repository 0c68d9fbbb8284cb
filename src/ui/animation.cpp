#include "ui/animation.h"

#include <QPointer>
#include <QWidget>
#include <map>
#include <memory>

#include "ui/input_scope.h"
#include "ui/main_loop.h"
#include "ui/view.h"

namespace est::ui {
namespace {

bool enabled = true;

// A step answers false when what it animates has gone away.
using Step = std::function<bool(double)>;
using Completion = std::function<void(bool)>;

struct Running {
  Step step;
  Completion completion;
  RunLoop* loop;
  std::chrono::steady_clock::time_point start;
  double duration;
  AnimationCurve curve;
  ScopedTimer timer;
};

std::map<AnimationId, std::shared_ptr<Running>>& running() {
  static std::map<AnimationId, std::shared_ptr<Running>> animations;
  return animations;
}
AnimationId nextId = 1;

constexpr double kFrameInterval = 1.0 / 60.0;

double shape(double t, AnimationCurve curve) {
  if (t <= 0) return 0;
  if (t >= 1) return 1;
  switch (curve) {
    case AnimationCurve::Linear:
      return t;
    case AnimationCurve::EaseIn:
      return t * t * t;
    case AnimationCurve::EaseOut:
      return 1 - (1 - t) * (1 - t) * (1 - t);
    case AnimationCurve::EaseInOut:
      return t < 0.5 ? 4 * t * t * t : 1 - (-2 * t + 2) * (-2 * t + 2) * (-2 * t + 2) / 2;
  }
  return t;
}

// Removes the animation first, so that its completion may start new animations freely.
void end(AnimationId id, bool finished, bool jumpToEnd) {
  auto it = running().find(id);
  if (it == running().end()) return;
  auto anim = it->second;
  running().erase(it);
  anim->timer.reset();
  bool alive = true;
  if (jumpToEnd) alive = anim->step(1.0);
  if (anim->completion) anim->completion(finished && alive);
}

void tick(AnimationId id) {
  auto it = running().find(id);
  if (it == running().end()) return;
  auto anim = it->second;
  double elapsed = std::chrono::duration<double>(anim->loop->now() - anim->start).count();
  double t = elapsed / anim->duration;
  // Frame ticks land on whole nanoseconds; the one within half a frame of the end is the last.
  if (elapsed >= anim->duration - kFrameInterval / 2) {
    end(id, true, true);
    return;
  }
  if (!anim->step(shape(t, anim->curve))) end(id, false, false);
}

AnimationId start(double duration, Step step, Completion completion, AnimationCurve curve) {
  if (!enabled || duration <= 0) {
    bool alive = step(1.0);
    if (completion) completion(alive);
    return 0;
  }
  AnimationId id = nextId++;
  auto anim = std::make_shared<Running>();
  anim->step = std::move(step);
  anim->completion = std::move(completion);
  anim->loop = &mainLoop();
  anim->start = anim->loop->now();
  anim->duration = duration;
  anim->curve = curve;
  running()[id] = anim;
  anim->timer.start(
      *anim->loop, Seconds(kFrameInterval), [id] { tick(id); }, true);
  return id;
}

const char* const kFrameKey = "estFrameAnimation";
const char* const kFrameTarget = "estFrameTarget";
const char* const kAlphaKey = "estAlphaAnimation";

// Ends the widget's previous animation of the same kind and remembers the new one.
AnimationId takeOver(QWidget* widget, const char* key, Step step, double duration,
                     Completion completion, AnimationCurve curve) {
  auto previous = widget->property(key).toULongLong();
  if (previous) cancelAnimation(previous);
  QPointer<QWidget> guard(widget);
  auto id = start(duration, std::move(step), std::move(completion), curve);
  if (guard) guard->setProperty(key, QVariant::fromValue<qulonglong>(id));
  return id;
}

}  // namespace

bool animationsEnabled() {
  return enabled;
}

void setAnimationsEnabled(bool on) {
  enabled = on;
  if (on) return;
  finishAllAnimations();
}

void finishAllAnimations() {
  // Completions may start new animations; those end in the same pass, within reason.
  for (int guard = 0; guard < 10000 && !running().empty(); ++guard)
    end(running().begin()->first, true, true);
}

AnimationId animate(double duration, std::function<void(double)> step,
                    std::function<void(bool)> completion, AnimationCurve curve) {
  return start(
      duration,
      [step = std::move(step)](double t) {
        if (step) step(t);
        return true;
      },
      std::move(completion), curve);
}

void finishAnimation(AnimationId id) {
  end(id, true, true);
}
void cancelAnimation(AnimationId id) {
  end(id, false, false);
}
bool isAnimating(AnimationId id) {
  return running().count(id) != 0;
}

AnimationId animateFrame(QWidget* widget, QRect target, double duration,
                         std::function<void(bool)> completion, AnimationCurve curve) {
  if (!widget) return 0;
  QPointer<QWidget> w(widget);
  QRect from = widget->geometry();
  auto step = [w, from, target](double t) {
    if (!w) return false;
    auto mix = [t](int a, int b) { return static_cast<int>(std::lround(a + (b - a) * t)); };
    w->setGeometry(mix(from.x(), target.x()), mix(from.y(), target.y()),
                   mix(from.width(), target.width()), mix(from.height(), target.height()));
    return true;
  };
  auto done = [w, completion = std::move(completion)](bool finished) {
    if (w) w->setProperty(kFrameTarget, QVariant());
    if (completion) completion(finished);
  };
  widget->setProperty(kFrameTarget, target);
  return takeOver(widget, kFrameKey, step, duration, std::move(done), curve);
}

QRect targetFrame(const QWidget* widget) {
  if (!widget) return {};
  QVariant target = widget->property(kFrameTarget);
  return target.isValid() ? target.toRect() : widget->geometry();
}

AnimationId animateAlpha(QWidget* widget, double target, double duration,
                         std::function<void(bool)> completion, AnimationCurve curve) {
  if (!widget) return 0;
  QPointer<QWidget> w(widget);
  double from = alpha(widget);
  auto step = [w, from, target](double t) {
    if (!w) return false;
    setAlpha(w, from + (target - from) * t);
    return true;
  };
  return takeOver(widget, kAlphaKey, step, duration, std::move(completion), curve);
}

void addPanelOutOfSight(QWidget* container, QWidget* panel) {
  if (!container || !panel) return;
  auto previous = panel->property(kFrameKey).toULongLong();
  if (previous) cancelAnimation(previous);
  panel->setGeometry(0, container->height(), container->width(), panel->height());
  setPanelLayer(panel);
  addSubview(container, panel);
  panel->show();
}

bool isPanelOutOfSight(const QWidget* panel) {
  if (!panel || !panel->parentWidget()) return true;
  return targetFrame(panel).top() >= panel->parentWidget()->height();
}

void togglePanel(QWidget* panel, bool animated) {
  if (!panel || !panel->parentWidget()) return;
  QRect frame = targetFrame(panel);
  int bottom = panel->parentWidget()->height();
  if (frame.top() == bottom)
    frame.moveTop(bottom - frame.height());
  else
    frame.moveTop(bottom);
  bringToFront(panel);
  animateFrame(panel, frame, animated ? kPanelAnimationDuration : 0);
}

}  // namespace est::ui

#include "ui/view_controller.h"

#include <QGraphicsProxyWidget>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QResizeEvent>

#include "platform/log.h"
#include "ui/input_scope.h"
#include "ui/view.h"

namespace est::ui {
namespace {

std::string describe(const ViewController* controller) {
  QString name = controller->layoutName();
  if (name.isEmpty()) name = QString::fromLatin1(controller->metaObject()->className());
  return name.toStdString();
}

QPointer<Window> keyWindowPointer;

}  // namespace

ViewController::ViewController(QObject* parent) : QObject(parent) {}

ViewController::~ViewController() {
  // Transitions left running would call back into a half-destroyed screen.
  auto transition = std::exchange(transition_, 0);
  presented_ = nullptr;
  presenting_ = nullptr;
  cancelAnimation(transition);
  if (parent_) parent_->children_.removeAll(QPointer<ViewController>(this));
  delete view_.data();
}

QWidget* ViewController::view() {
  if (!view_ && !loading_) {
    loading_ = true;
    loadView();
    if (!view_) setView(new QWidget);
    loading_ = false;
    viewDidLoad();
  }
  return view_;
}

QString ViewController::layoutName() const {
  return view_ ? view_->objectName() : QString();
}

void ViewController::loadView() {
  auto* root = new QWidget;
  setupLayout(root);
  setView(root);
}

void ViewController::setView(QWidget* root) {
  view_ = root;
}

void ViewController::willAppear(bool appearing, bool animated) {
  if (appearing)
    viewWillAppear(animated);
  else
    viewWillDisappear(animated);
  for (ViewController* child : childViewControllers())
    if (child->view_ && view_ && view_->isAncestorOf(child->view_))
      child->willAppear(appearing, animated);
}

void ViewController::didAppear(bool appearing, bool animated) {
  appeared_ = appearing;
  if (appearing)
    viewDidAppear(animated);
  else
    viewDidDisappear(animated);
  for (ViewController* child : childViewControllers())
    if (child->view_ && view_ && view_->isAncestorOf(child->view_))
      child->didAppear(appearing, animated);
}

void ViewController::finishTransition() {
  if (transition_) finishAnimation(std::exchange(transition_, 0));
}

void ViewController::presentViewController(ViewController* controller, bool animated,
                                           std::function<void()> completion) {
  if (!controller || controller == this) return;
  finishTransition();
  if (presented_) {
    logf("ui: %s already presents %s; %s is not presented", describe(this).c_str(),
         describe(presented_).c_str(), describe(controller).c_str());
    return;
  }
  if (controller->presenting_ || controller->parent_) {
    logf("ui: %s is already shown elsewhere; not presented again", describe(controller).c_str());
    return;
  }
  QWidget* host = view()->window();
  QWidget* shown = controller->view();
  presented_ = controller;
  controller->presenting_ = this;
  setModalLayer(shown);

  willAppear(false, animated);
  controller->willAppear(true, animated);
  QRect full = host->rect();
  bool slide = animated && animationsEnabled();
  shown->setGeometry(slide ? full.translated(0, full.height()) : full);
  addSubview(host, shown);
  shown->show();

  QPointer<ViewController> self(this), other(controller);
  auto finish = [self, other, animated, completion = std::move(completion)](bool) {
    if (self) self->didAppear(false, animated);
    if (other) other->didAppear(true, animated);
    if (completion) completion();
  };
  if (slide)
    transition_ = animateFrame(shown, full, kPanelAnimationDuration, std::move(finish),
                               AnimationCurve::EaseOut);
  else
    finish(true);
}

void ViewController::dismissViewController(bool animated, std::function<void()> completion) {
  ViewController* presenter = presented_ ? this : presenting_.data();
  if (!presenter) return;
  presenter->finishTransition();
  QList<QPointer<ViewController>> chain;
  for (ViewController* c = presenter->presented_; c; c = c->presented_) {
    c->finishTransition();
    chain.append(c);
  }
  if (chain.isEmpty()) return;
  ViewController* top = chain.last();
  presenter->presented_ = nullptr;
  for (auto& c : chain) {
    c->presenting_ = nullptr;
    c->presented_ = nullptr;
  }

  top->willAppear(false, animated);
  presenter->willAppear(true, animated);
  // Screens between the presenter and the top one go at once; only the top one slides.
  for (int i = 0; i + 1 < chain.size(); ++i) {
    if (chain[i]) chain[i]->appeared_ = false;
    if (chain[i] && chain[i]->view_) removeFromSuperview(chain[i]->view_);
  }

  QPointer<ViewController> self(presenter), gone(top);
  auto finish = [self, gone, animated, completion = std::move(completion)](bool) {
    if (gone && gone->view_) removeFromSuperview(gone->view_);
    if (gone) gone->didAppear(false, animated);
    if (self) self->didAppear(true, animated);
    if (completion) completion();
  };
  QWidget* leaving = top->view_;
  if (animated && animationsEnabled() && leaving && leaving->parentWidget()) {
    QRect from = leaving->geometry();
    QRect to = from.translated(0, leaving->parentWidget()->height() - from.y());
    presenter->transition_ = animateFrame(leaving, to, kPanelAnimationDuration, std::move(finish),
                                          AnimationCurve::EaseIn);
  } else {
    finish(true);
  }
}

void ViewController::addChildViewController(ViewController* child) {
  if (!child || child == this || child->parent_ == this) return;
  if (child->parent_) child->removeFromParentViewController();
  child->parent_ = this;
  children_.append(child);
}

void ViewController::removeFromParentViewController() {
  if (!parent_) return;
  parent_->children_.removeAll(QPointer<ViewController>(this));
  parent_ = nullptr;
}

QList<ViewController*> ViewController::childViewControllers() const {
  QList<ViewController*> result;
  for (const auto& child : children_)
    if (child) result.append(child);
  return result;
}

bool ViewController::isViewInHierarchy() const {
  return view_ && view_->parentWidget();
}

Window* ViewController::window() const {
  if (!view_) return nullptr;
  return qobject_cast<Window*>(view_->window());
}

Window::Window(QWidget* parent) : QWidget(parent) {
  resize(kWidth, kHeight);
  setBackgroundColor(this, Qt::white);
  installInputScope();
}

Window::~Window() {
  if (root_ && root_->view_ && root_->view_->parentWidget() == this)
    removeFromSuperview(root_->view_);
}

void Window::setRootViewController(ViewController* controller) {
  if (controller == root_) return;
  bool visible = isVisible();
  if (root_) {
    if (visible) root_->willAppear(false, false);
    if (root_->view_) removeFromSuperview(root_->view_);
    if (visible) root_->didAppear(false, false);
  }
  root_ = controller;
  if (!root_) return;
  QWidget* shown = root_->view();
  if (visible) root_->willAppear(true, false);
  shown->setGeometry(rect());
  addSubview(this, shown);
  shown->show();
  shown->lower();
  if (visible) root_->didAppear(true, false);
}

void Window::makeKeyAndVisible() {
  keyWindowPointer = this;
  bool appear = root_ && !root_->isAppeared();
  if (appear) root_->willAppear(true, false);
  show();
  // Drawn inside a frame (window_frame.h): the frame is the window on the desktop.
  QList<QGraphicsView*> frames;
  if (QGraphicsProxyWidget* proxy = graphicsProxyWidget())
    if (proxy->scene()) frames = proxy->scene()->views();
  for (QGraphicsView* frame : frames) {
    frame->window()->show();
    frame->window()->activateWindow();
  }
  if (frames.isEmpty()) activateWindow();
  if (appear) root_->didAppear(true, false);
}

Window* Window::keyWindow() {
  return keyWindowPointer;
}

void Window::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  for (ViewController* c = root_; c; c = c->presentedViewController())
    if (c->isViewLoaded() && c->view()->parentWidget() == this) c->view()->setGeometry(rect());
}

}  // namespace est::ui

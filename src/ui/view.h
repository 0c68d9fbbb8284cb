#pragma once

#include <QColor>
#include <QList>

class QWidget;

// Small view operations the screens are written against, on plain QWidgets: tags, alpha,
// the view tree, colours. Main thread only.
namespace est::ui {

// A number that identifies a view among its relatives (0 when none was given). Layouts set
// it as the dynamic property "tag".
int tag(const QWidget* view);
void setTag(QWidget* view, int tag);
// The view itself when its tag matches, otherwise the first match among its descendants,
// depth first in stacking order; null when none.
QWidget* viewWithTag(QWidget* root, int tag);

// Opacity of the view and everything in it, 0..1 (1 by default). A view at 0.01 or less lets
// clicks through to what lies beneath, as an invisible view should.
double alpha(const QWidget* view);
void setAlpha(QWidget* view, double alpha);
// Drawing scale about the view's centre (zoom effects); 1 by default.
double scale(const QWidget* view);
void setScale(QWidget* view, double scale);

// The direct child views, back to front.
QList<QWidget*> subviews(const QWidget* view);
// Adds `child` on top of `parent`'s children, keeping its frame and its hidden flag.
void addSubview(QWidget* parent, QWidget* child);
// Takes the view out of its parent without destroying it; its owner keeps it.
void removeFromSuperview(QWidget* view);
bool hasSuperview(const QWidget* view);
void bringToFront(QWidget* view);
void sendToBack(QWidget* view);

// Fills the view's background with `color`; a transparent colour leaves it unpainted.
void setBackgroundColor(QWidget* view, const QColor& color);
// Text colour of labels, buttons and fields.
void setTextColor(QWidget* view, const QColor& color);

// Ends editing in every text field at or under `root` (hides the input panel).
void endEditing(QWidget* root);

}  // namespace est::ui

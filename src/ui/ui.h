#pragma once

// The UI layer in one include: the small phone-like toolkit the screens are written against.
//
// A screen is a view controller built from the Qt Designer layout named after it:
//   - HomeViewController.ui beside the screen's sources, its top widget named
//     "HomeViewController" and 320 points wide; the screen's target has AUTOUIC on and
//     links est_ui;
//   - class HomeViewController : public est::ui::LayoutViewController<Ui::HomeViewController>,
//     with #include "ui_HomeViewController.h"; the layout's widgets are ui.<name>.
//   - In Designer, promote widgets to est::ui::TextField (extends QLineEdit,
//     header ui/text_field.h), est::ui::Slider (ui/slider.h), est::ui::PickerView
//     (ui/picker_view.h), est::ui::TableView (ui/table_view.h), est::ui::PagingArea
//     (ui/paging_area.h) or est::ui::ImageView (ui/image.h; property imageName); give a tag
//     as the dynamic integer property "tag".
//   - Headers named ui_*.h are taken by AUTOUIC for generated layouts: avoid the prefix.
//   - Cells come from layouts too: cellFromLayout<Ui::TicketsCell>("CellIdentifier").
//
// Time: every timer and animation runs on est::RunLoop::main() — a QtRunLoop in the
// application, a ManualRunLoop in tests (advance() moves virtual time). The switch
// setAnimationsEnabled(false) makes every animation end at once.
//
// Alerts: showAlert(title, message, button, onDismiss) goes to AlertPresenter::current():
// a WindowAlertPresenter in the application; in tests a plain AlertPresenter, whose
// record() lists what was shown and whose tapButton() dismisses the visible one.
//
// Busy overlay: KvProgressHUD::showHUDAddedTo(view(), true) while a request runs, and
// KvProgressHUD::hideHUDForView(view(), true) in its callbacks.

#include "ui/activity_indicator.h"
#include "ui/alert.h"
#include "ui/animation.h"
#include "ui/color.h"
#include "ui/fonts.h"
#include "ui/image.h"
#include "ui/main_loop.h"
#include "ui/paging_area.h"
#include "ui/picker_view.h"
#include "ui/progress_hud.h"
#include "ui/round_progress_view.h"
#include "ui/slider.h"
#include "ui/table_view.h"
#include "ui/text_field.h"
#include "ui/view.h"
#include "ui/view_controller.h"

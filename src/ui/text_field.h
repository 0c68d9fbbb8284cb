#pragma once

#include <QColor>
#include <QLineEdit>
#include <QPointer>

namespace est::ui {

class TextField;

// Told about a field's editing. Every hook is optional.
class TextFieldDelegate {
 public:
  virtual ~TextFieldDelegate() = default;
  // Answering false keeps the field from starting to edit.
  virtual bool textFieldShouldBeginEditing(TextField* field) {
    (void)field;
    return true;
  }
  virtual void textFieldDidBeginEditing(TextField* field) { (void)field; }
  virtual void textFieldDidEndEditing(TextField* field) { (void)field; }
  // The return key; the answer is the phone's and changes nothing here.
  virtual bool textFieldShouldReturn(TextField* field) {
    (void)field;
    return true;
  }
};

// A one-line text field that edits the way a phone's does: it starts editing when it takes
// the focus (the delegate may refuse), ends when it gives the focus up to anything but its
// own input panel (a window losing activation does not end it), and sends the return key to
// the delegate. A field with an input panel shows that panel instead of taking typed text:
// the panel slides up to the bottom edge of its container while the field edits and slides
// back out of sight when it ends. Fields paint no frame; a background colour and rounded
// corners are optional.
class TextField : public QLineEdit {
  Q_OBJECT

 public:
  explicit TextField(QWidget* parent = nullptr);
  ~TextField() override;

  void setDelegate(TextFieldDelegate* delegate) { delegate_ = delegate; }
  TextFieldDelegate* delegate() const { return delegate_; }

  // Starts editing (asking the delegate) and takes the focus; answers whether it edits.
  bool becomeFirstResponder();
  // Ends editing and gives the focus up; answers whether it was editing.
  bool resignFirstResponder();
  bool isEditing() const { return editing_; }
  // The field being edited in the application, if any.
  static TextField* editingField();

  // Not owned. Without a container of its own the panel goes to the bottom of the window.
  void setInputView(QWidget* panel);
  QWidget* inputView() const { return inputView_; }

  void setBackgroundColor(const QColor& color);
  void setCornerRadius(double radius);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void inputMethodEvent(QInputMethodEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  void focusMoved(QWidget* from, QWidget* to);
  void beginEditing();
  void endEditing();
  void raiseInputView();
  void lowerInputView();

  TextFieldDelegate* delegate_ = nullptr;
  QPointer<QWidget> inputView_;
  QColor background_ = Qt::transparent;
  double radius_ = 0;
  bool editing_ = false;
};

}  // namespace est::ui

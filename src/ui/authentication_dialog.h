#pragma once

#include <QDialog>
#include <QPointer>
#include <QString>

#include "http/http_request.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace est::ui {

// The login form shown when a server (or a proxy) wants credentials that a request could not
// find. Showing it never blocks: "Login" copies the user name, password and domain onto the
// request (its proxy fields for a proxy) and lets the request try again; "Cancel" gives up
// with "Authentication needed". One dialog shows at a time; later ones wait their turn.
class AuthenticationDialog : public QDialog {
  Q_OBJECT

 public:
  // Shows (or queues) the dialog for `request` over `window`. Main thread only.
  static void presentAuthenticationDialogForRequest(const HTTPRequestPtr& request, bool proxy,
                                                    QWidget* window);
  // Makes HTTPRequest present this dialog over `window`; null removes it again.
  static void install(QWidget* window);
  // The dialog on screen, if any.
  static AuthenticationDialog* current();

  QString titleText() const;
  QString footerText() const;
  // Who asks: "host:port" and, on a second line, the realm in quotes (plain text).
  QLabel* originLabel() const { return origin_; }
  QLineEdit* userField() const { return user_; }
  QLineEdit* passwordField() const { return password_; }
  QLineEdit* domainField() const { return domain_; }  // null when the row is not shown
  QPushButton* loginButton() const { return login_; }
  QPushButton* cancelButton() const { return cancel_; }

  void login();
  void cancelLogin();

 protected:
  void reject() override;  // Escape, or the window closed: the same as Cancel

 private:
  AuthenticationDialog(HTTPRequestPtr request, bool proxy, QWidget* parent);
  void finishAndShowNext();

  HTTPRequestPtr request_;
  bool proxy_;
  bool answered_ = false;
  QLabel* title_ = nullptr;
  QLabel* origin_ = nullptr;
  QLabel* footer_ = nullptr;
  QLineEdit* user_ = nullptr;
  QLineEdit* password_ = nullptr;
  QLineEdit* domain_ = nullptr;
  QPushButton* login_ = nullptr;
  QPushButton* cancel_ = nullptr;
};

}  // namespace est::ui

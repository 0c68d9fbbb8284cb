#include "ui/authentication_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <deque>

namespace est::ui {

namespace {

struct Waiting {
  HTTPRequestPtr request;
  bool proxy;
  QPointer<QWidget> window;
};

std::deque<Waiting>& waiting() {
  static std::deque<Waiting> queue;
  return queue;
}

QPointer<AuthenticationDialog>& shown() {
  static QPointer<AuthenticationDialog> dialog;
  return dialog;
}

// The server or proxy that asks, and the realm it names. The realm is the asker's own text:
// shown plainly, without control characters, and cut short.
QString originOf(const HTTPRequest& request, bool proxy) {
  std::string host;
  int port = 0;
  if (proxy && !request.proxyHost().empty()) {
    host = request.proxyHost();
    port = request.proxyPort();
  } else if (request.url()) {
    host = request.url()->host();
    port = request.url()->effectivePort();
  }
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  QString text = QString::fromStdString(host);
  if (port > 0) text += QStringLiteral(":%1").arg(port);
  auto auth = proxy ? request.proxyAuthentication() : request.requestAuthentication();
  QString realm = QString::fromStdString(auth ? auth->realm() : std::string());
  realm.removeIf([](QChar c) { return c.category() == QChar::Other_Control; });
  constexpr int kLongestRealm = 120;
  if (realm.size() > kLongestRealm) realm = realm.left(kLongestRealm) + QChar(0x2026);
  if (!realm.isEmpty()) text += QStringLiteral("\n\"%1\"").arg(realm);
  return text;
}

}  // namespace

AuthenticationDialog::AuthenticationDialog(HTTPRequestPtr request, bool proxy, QWidget* parent)
    : QDialog(parent), request_(std::move(request)), proxy_(proxy) {
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
  QString title = proxy ? QStringLiteral("Login to this secure proxy server.")
                        : QStringLiteral("Login to this secure server.");
  setWindowTitle(title);

  auto* layout = new QVBoxLayout(this);
  title_ = new QLabel(title, this);
  title_->setWordWrap(true);
  layout->addWidget(title_);
  origin_ = new QLabel(originOf(*request_, proxy), this);
  origin_->setTextFormat(Qt::PlainText);
  origin_->setWordWrap(true);
  layout->addWidget(origin_);

  user_ = new QLineEdit(this);
  user_->setPlaceholderText(QStringLiteral("User"));
  user_->setText(QString::fromStdString(proxy ? request_->proxyUsername() : request_->username()));
  layout->addWidget(user_);
  password_ = new QLineEdit(this);
  password_->setPlaceholderText(QStringLiteral("password"));
  password_->setEchoMode(QLineEdit::Password);
  layout->addWidget(password_);

  // The domain row shows for schemes that need an account domain, and when the request
  // already names one (so it can be corrected).
  auto auth = proxy ? request_->proxyAuthentication() : request_->requestAuthentication();
  std::string domain = proxy ? request_->proxyDomain() : request_->domain();
  if ((auth && auth->requiresAccountDomain()) || !domain.empty()) {
    domain_ = new QLineEdit(this);
    domain_->setPlaceholderText(QStringLiteral("Domain"));
    domain_->setText(QString::fromStdString(domain));
    layout->addWidget(domain_);
  }

  // Proxy credentials travel to the proxy, whatever the scheme of the page: only a page's own
  // credentials over https are protected by it.
  bool secure = !proxy && request_->url() && request_->url()->scheme() == "https";
  footer_ = new QLabel(secure ? QStringLiteral("Password will be sent securely.")
                              : QStringLiteral("Password will be sent in the clear."),
                       this);
  footer_->setWordWrap(true);
  layout->addWidget(footer_);

  auto* buttons = new QHBoxLayout;
  cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
  login_ = new QPushButton(QStringLiteral("Login"), this);
  login_->setDefault(true);
  buttons->addWidget(cancel_);
  buttons->addWidget(login_);
  layout->addLayout(buttons);
  connect(login_, &QPushButton::clicked, this, &AuthenticationDialog::login);
  connect(cancel_, &QPushButton::clicked, this, &AuthenticationDialog::cancelLogin);
  user_->setFocus();
}

QString AuthenticationDialog::titleText() const {
  return title_->text();
}

QString AuthenticationDialog::footerText() const {
  return footer_->text();
}

void AuthenticationDialog::login() {
  if (answered_) return;
  answered_ = true;
  std::string user = user_->text().toStdString();
  std::string password = password_->text().toStdString();
  std::string domain = domain_ ? domain_->text().toStdString() : std::string();
  if (proxy_) {
    request_->setProxyUsername(user);
    request_->setProxyPassword(password);
    if (domain_) request_->setProxyDomain(domain);
  } else {
    request_->setUsername(user);
    request_->setPassword(password);
    if (domain_) request_->setDomain(domain);
  }
  request_->retryUsingSuppliedCredentials();
  finishAndShowNext();
}

void AuthenticationDialog::cancelLogin() {
  if (answered_) return;
  answered_ = true;
  request_->cancelAuthentication();
  finishAndShowNext();
}

void AuthenticationDialog::reject() {
  cancelLogin();
}

void AuthenticationDialog::finishAndShowNext() {
  hide();
  deleteLater();
  shown() = nullptr;
  while (!waiting().empty()) {
    Waiting next = std::move(waiting().front());
    waiting().pop_front();
    if (next.request->isFinished()) continue;  // cancelled or failed meanwhile
    presentAuthenticationDialogForRequest(next.request, next.proxy, next.window);
    break;
  }
}

void AuthenticationDialog::presentAuthenticationDialogForRequest(const HTTPRequestPtr& request,
                                                                 bool proxy, QWidget* window) {
  if (!request) return;
  if (shown()) {
    waiting().push_back({request, proxy, window});
    return;
  }
  auto* dialog = new AuthenticationDialog(request, proxy, window);
  shown() = dialog;
  dialog->open();
}

void AuthenticationDialog::install(QWidget* window) {
  if (!window) {
    HTTPRequest::setPresentAuthenticationDialog(nullptr);
    return;
  }
  QPointer<QWidget> target(window);
  HTTPRequest::setPresentAuthenticationDialog([target](const HTTPRequestPtr& request, bool proxy) {
    presentAuthenticationDialogForRequest(request, proxy, target);
  });
}

AuthenticationDialog* AuthenticationDialog::current() {
  return shown();
}

}  // namespace est::ui

// The login dialog: its texts, and what Login and Cancel do to a waiting request.
#include "ui/authentication_dialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "http/support/request_fixture.h"
#include "http/support/test_server.h"
#include "ui/test_fixture.h"

namespace est::ui {
namespace {

using est::testing::RecordingDelegate;
using est::testing::ServerConnection;
using est::testing::TestServer;

class AuthenticationDialogTest : public test::UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    HTTPRequest::clearSession();
    HTTPRequest::closeIdlePersistentConnections();
    window.resize(320, 568);
    AuthenticationDialog::install(&window);
  }
  void TearDown() override {
    while (auto* d = AuthenticationDialog::current()) d->cancelLogin();
    AuthenticationDialog::install(nullptr);
    for (auto& op : HTTPRequest::sharedQueue().operations()) op->cancel();
    loop.waitUntil([] { return HTTPRequest::sharedQueue().operationCount() == 0; }, Seconds(5));
    loop.runPending();
    HTTPRequest::closeIdlePersistentConnections();
    UiTest::TearDown();
  }
  bool pumpUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 1000 && !done(); ++i) {
      loop.waitUntil(done, Seconds(0.01));
      QCoreApplication::processEvents();
    }
    return done();
  }
  static TestServer::Script basicOnly() {
    return [](ServerConnection& c) {
      while (auto req = c.readRequest()) {
        if (req->header("Authorization") == "Basic dXNlcjpwYXNz")  // user:pass
          c.sendResponse(200, "secret");
        else if (req->target == "/hostile")
          c.sendResponse(
              401, "",
              "WWW-Authenticate: Basic realm=\"<b>Bank</b>\t" + std::string(200, 'x') + "\"\r\n",
              "Unauthorized");
        else if (req->target == "/proxy")
          c.sendResponse(407, "", "Proxy-Authenticate: Basic realm=\"gate\"\r\n", "Proxy");
        else
          c.sendResponse(401, "", "WWW-Authenticate: Basic realm=\"est\"\r\n", "Unauthorized");
      }
    };
  }
  QWidget window;
};

TEST_F(AuthenticationDialogTest, TextsFollowTheChallengeAndTheScheme) {
  struct Case {
    const char* url;
    bool proxy;
    const char* title;
    const char* footer;
  };
  for (const Case& k : {Case{"https://127.0.0.1/x", false, "Login to this secure server.",
                             "Password will be sent securely."},
                        Case{"http://127.0.0.1/x", false, "Login to this secure server.",
                             "Password will be sent in the clear."},
                        Case{"https://127.0.0.1/x", true, "Login to this secure proxy server.",
                             "Password will be sent in the clear."}}) {
    auto r = HTTPRequest::requestWithURL(k.url);
    AuthenticationDialog::presentAuthenticationDialogForRequest(r, k.proxy, &window);
    auto* d = AuthenticationDialog::current();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->titleText(), QString(k.title));
    EXPECT_EQ(d->windowTitle(), QString(k.title));
    EXPECT_EQ(d->footerText(), QString(k.footer)) << k.url << k.proxy;
    EXPECT_EQ(d->userField()->placeholderText(), "User");
    EXPECT_EQ(d->passwordField()->placeholderText(), "password");
    EXPECT_EQ(d->passwordField()->echoMode(), QLineEdit::Password);
    EXPECT_EQ(d->domainField(), nullptr);
    EXPECT_EQ(d->loginButton()->text(), "Login");
    d->cancelLogin();
    EXPECT_EQ(AuthenticationDialog::current(), nullptr);
    EXPECT_FALSE(r->error()) << "a request that never ran is left alone";
  }
  auto withDomain = HTTPRequest::requestWithURL("http://127.0.0.1/x");
  withDomain->setDomain("CORP");
  withDomain->setUsername("alice");
  AuthenticationDialog::presentAuthenticationDialogForRequest(withDomain, false, &window);
  auto* d = AuthenticationDialog::current();
  ASSERT_NE(d->domainField(), nullptr);
  EXPECT_EQ(d->domainField()->placeholderText(), "Domain");
  EXPECT_EQ(d->domainField()->text(), "CORP");
  EXPECT_EQ(d->userField()->text(), "alice");
}

TEST_F(AuthenticationDialogTest, LoginRetriesCancelFailsAndDialogsTakeTurns) {
  TestServer server(basicOnly());
  auto first = HTTPRequest::requestWithURL(server.url("/private"));
  auto second = HTTPRequest::requestWithURL(server.url("/proxy"));  // a proxy challenge
  first->setShouldPresentAuthenticationDialog(true);
  RecordingDelegate d1, d2;
  first->setDelegate(&d1);
  second->setDelegate(&d2);
  first->startAsynchronous();
  ASSERT_TRUE(pumpUntil([] { return AuthenticationDialog::current() != nullptr; }));
  second->startAsynchronous();
  ASSERT_TRUE(pumpUntil([&] { return server.requestCount() == 2; }));
  loop.runPending();
  auto* serverDialog = AuthenticationDialog::current();
  EXPECT_EQ(serverDialog->titleText(), "Login to this secure server.");
  std::string port = std::to_string(server.port());
  EXPECT_EQ(serverDialog->originLabel()->text().toStdString(), "127.0.0.1:" + port + "\n\"est\"");
  serverDialog->userField()->setText("user");
  serverDialog->passwordField()->setText("pass");
  serverDialog->loginButton()->click();
  ASSERT_TRUE(pumpUntil([&] { return d1.outcomes() > 0; }));
  EXPECT_EQ(d1.finished, 1);
  EXPECT_EQ(first->username(), "user");
  EXPECT_EQ(toString(*first->responseData()), "secret");

  ASSERT_TRUE(pumpUntil([&] {
    return AuthenticationDialog::current() && AuthenticationDialog::current() != serverDialog;
  }));
  EXPECT_EQ(AuthenticationDialog::current()->titleText(), "Login to this secure proxy server.");
  // No proxy in use: the server that answered 407 is the one that asks.
  EXPECT_EQ(AuthenticationDialog::current()->originLabel()->text().toStdString(),
            "127.0.0.1:" + port + "\n\"gate\"");
  AuthenticationDialog::current()->cancelButton()->click();
  ASSERT_TRUE(pumpUntil([&] { return d2.outcomes() > 0; }));
  ASSERT_EQ(d2.failed, 1);
  EXPECT_EQ(d2.lastError->code, 3);
  EXPECT_EQ(d2.lastError->description, "Authentication needed");
  EXPECT_EQ(AuthenticationDialog::current(), nullptr);
}

TEST_F(AuthenticationDialogTest, AHostileRealmIsShownPlainAndShort) {
  TestServer server(basicOnly());
  auto r = HTTPRequest::requestWithURL(server.url("/hostile"));
  r->setShouldPresentAuthenticationDialog(true);
  RecordingDelegate d;
  r->setDelegate(&d);
  r->startAsynchronous();
  ASSERT_TRUE(pumpUntil([] { return AuthenticationDialog::current() != nullptr; }));
  QLabel* origin = AuthenticationDialog::current()->originLabel();
  EXPECT_EQ(origin->textFormat(), Qt::PlainText);
  QString expected = QString::fromStdString("127.0.0.1:" + std::to_string(server.port()) +
                                            "\n\"<b>Bank</b>" + std::string(109, 'x')) +
                     QChar(0x2026) + "\"";
  EXPECT_EQ(origin->text(), expected);
  AuthenticationDialog::current()->cancelLogin();
  ASSERT_TRUE(pumpUntil([&] { return d.outcomes() > 0; }));
}

}  // namespace
}  // namespace est::ui

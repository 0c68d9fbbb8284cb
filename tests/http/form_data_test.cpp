#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "http/form_data_request.h"
#include "http/mime_types.h"
#include "http/support/nginx_server.h"
#include "http/support/request_fixture.h"

namespace est::testing {
namespace {

namespace fs = std::filesystem;

// One part as the form writes it, after the default boundary.
std::string part(const std::string& name, const std::string& content, const std::string& file = "",
                 const std::string& type = "") {
  std::string head = "--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"" + name + "\"";
  if (!file.empty()) head += "; filename=\"" + file + "\"\r\nContent-Type: " + type;
  return head + "\r\n\r\n" + content + "\r\n";
}
const std::string kClosing = "--0xKhTmLbOuNdArY--\r\n";

class FormDataTest : public HttpRequestTest {
 protected:
  // Sends the form to a server answering 200 and returns what the server read.
  ReceivedRequest send(const FormDataRequestPtr& r) {
    TestServer server(TestServer::replyForever(httpResponse(200, "ok")));
    r->setUrl(Url::parse(server.url("/form")));
    run(r);
    EXPECT_EQ(last.finished, 1) << (last.lastError ? last.lastError->description : "");
    auto requests = server.requests();
    EXPECT_EQ(requests.size(), 1u);
    return requests.empty() ? ReceivedRequest{} : requests[0];
  }
  std::string file(const std::string& name, std::string_view contents) const {
    writeFile(dir.path() / name, contents);
    return dir.path() / name;
  }
  TempDir dir;
};

TEST_F(FormDataTest, UrlEncodedFieldsBecomeAPostWithTheFormContentTypeAndCharset) {
  auto r = FormDataRequest::requestWithURL(std::optional<Url>());
  r->addPostValue("1", "a");
  r->addPostValue("x y", "b");
  r->addPostValue("old", "c");
  r->setPostValue("new", "c");  // replaces, and moves to the end
  auto sent = send(r);
  EXPECT_EQ(sent.method, "POST");
  EXPECT_EQ(sent.header("Content-Type"), "application/x-www-form-urlencoded; charset=utf-8");
  EXPECT_EQ(sent.body, "a=1&b=x%20y&c=new");
  EXPECT_EQ(sent.header("Content-Length"), std::to_string(sent.body.size()));

  auto latin = FormDataRequest::requestWithURL(std::optional<Url>());
  latin->setStringEncoding(ISOLatin1StringEncoding);
  latin->addPostValue("Montevideo año", "ciudad");
  sent = send(latin);
  EXPECT_EQ(sent.header("Content-Type"), "application/x-www-form-urlencoded; charset=iso-8859-1");
  EXPECT_EQ(sent.body, "ciudad=Montevideo%20a%F1o");
}

TEST_F(FormDataTest, EncodeURLEscapesEverythingButLettersDigitsAndThreeMarks) {
  auto r = FormDataRequest::requestWithURL("http://127.0.0.1/");
  EXPECT_EQ(r->encodeURL("aZ09-._"), "aZ09-._");
  EXPECT_EQ(r->encodeURL(":/?#[]@!$ &'()*+,;=\"<>%{}|\\^~`"),
            "%3A%2F%3F%23%5B%5D%40%21%24%20%26%27%28%29%2A%2B%2C%3B%3D%22%3C%3E%25%7B%7D%7C%5C"
            "%5E%7E%60");
  EXPECT_EQ(r->encodeURL("ñ\n"), "%C3%B1%0A");
  r->setStringEncoding(ISOLatin1StringEncoding);
  EXPECT_EQ(r->encodeURL("ñ"), "%F1");
  EXPECT_EQ(r->encodeURL("€"), "");  // no Latin-1 form
}

TEST_F(FormDataTest, AFileSwitchesToMultipartWithOneSeparatorPerGap) {
  auto path = file("photo.PNG", std::string("\x89PNG\r\n\0x", 8));
  auto r = FormDataRequest::requestWithURL(std::optional<Url>());
  r->addPostValue("ABC 123", "plate");
  r->addFile(path, "picture");
  auto sent = send(r);
  EXPECT_EQ(r->postFormat(), MultipartFormDataPostFormat);
  EXPECT_EQ(sent.method, "POST");
  EXPECT_EQ(sent.header("Content-Type"),
            "multipart/form-data; charset=utf-8; boundary=0xKhTmLbOuNdArY");
  std::string expected =
      part("plate", "ABC 123") +
      part("picture", std::string("\x89PNG\r\n\0x", 8), "photo.PNG", "image/png") + kClosing;
  EXPECT_EQ(sent.body, expected);
  EXPECT_EQ(sent.header("Content-Length"), std::to_string(expected.size()));
}

TEST_F(FormDataTest, DataPartsAndExplicitNamesAndTypes) {
  auto unknown = file("notes.zzzunknown", "n");
  auto r = FormDataRequest::requestWithURL(std::optional<Url>());
  r->addData(toData("raw"), "blob");
  r->addData(toData("{}"), "a.json", "application/json", "meta");
  r->setData(toData("{\"v\":2}"), "b.json", "application/json", "meta");  // replaces
  r->addFile(unknown, "notes");
  r->addFile(unknown, "renamed.txt", "text/x-custom", "notes2");
  ASSERT_EQ(r->fileData().size(), 4u);
  auto sent = send(r);
  std::string octets = "application/octet-stream";
  std::string expected = part("blob", "raw", "file", octets) +
                         part("meta", "{\"v\":2}", "b.json", "application/json") +
                         part("notes", "n", "notes.zzzunknown", octets) +
                         part("notes2", "n", "renamed.txt", "text/x-custom") + kClosing;
  EXPECT_EQ(sent.body, expected);
}

TEST_F(FormDataTest, MultipartWithoutFilesKeepsTheMethodGivenAndEndsWithTheClosingBoundary) {
  auto r = FormDataRequest::requestWithURL(std::optional<Url>());
  r->setPostFormat(MultipartFormDataPostFormat);
  r->setRequestMethod("PUT");
  r->addPostValue("1", "only");
  auto sent = send(r);
  EXPECT_EQ(sent.method, "PUT");
  EXPECT_EQ(sent.body, part("only", "1") + kClosing);
}

TEST_F(FormDataTest, FormsThatCannotBeBuiltFailAndSendNothing) {
  TestServer server(TestServer::replyForever(httpResponse(200, "ok")));
  auto fails = [&](const FormDataRequestPtr& r, int code) {
    run(r);
    EXPECT_EQ(last.failed, 1);
    EXPECT_EQ(last.finished, 0);
    return last.lastError && last.lastError->code == code ? last.lastError->description : "";
  };
  // Text without a form in the encoding is refused rather than dropped.
  for (int format : {URLEncodedPostFormat, MultipartFormDataPostFormat}) {
    auto r = FormDataRequest::requestWithURL(server.url());
    r->setStringEncoding(ISOLatin1StringEncoding);
    r->setPostFormat(format);
    r->addPostValue("10 €", "price");
    EXPECT_NE(fails(r, InternalErrorWhileBuildingRequestType), "");
  }
  for (std::string path : {(dir.path() / "gone.txt").string(), dir.path().string()}) {
    auto r = FormDataRequest::requestWithURL(server.url());
    r->addPostValue("v", "k");
    r->addFile(path, "upload");
    EXPECT_EQ(fails(r, 6), "No file exists at " + path);
  }
  EXPECT_EQ(server.connectionCount(), 0);
}

TEST_F(FormDataTest, NamesCannotForgeHeadersOrParts) {
  auto r = FormDataRequest::requestWithURL(std::optional<Url>());
  r->addData(toData("x"), "evil\"\r\nX: y.txt", "text/plain", "k\"ey");
  auto sent = send(r);
  EXPECT_NE(sent.body.find("name=\"k%22ey\"; filename=\"evil%22%0D%0AX: y.txt\"\r\n"),
            std::string::npos)
      << sent.body;
}

TEST_F(FormDataTest, ContentHoldingTheBoundaryGetsABoundaryOfItsOwn) {
  // The marker straddles the 256 KiB pieces the file is scanned in.
  std::string big(262144 - 5, 'a');
  big += "\r\n--0xKhTmLbOuNdArY--\r\n";
  auto path = file("big.bin", big);
  auto r = FormDataRequest::requestWithURL(std::optional<Url>());
  r->addFile(path, "f");
  auto sent = send(r);
  std::string type = sent.header("Content-Type");
  auto at = type.find("boundary=");
  ASSERT_NE(at, std::string::npos);
  std::string boundary = type.substr(at + 9);
  EXPECT_NE(boundary, "0xKhTmLbOuNdArY");
  EXPECT_EQ(big.find("--" + boundary), std::string::npos);
  std::string tail = "\r\n--" + boundary + "--\r\n";
  ASSERT_GT(sent.body.size(), tail.size());
  EXPECT_EQ(sent.body.substr(sent.body.size() - tail.size()), tail);
  EXPECT_NE(sent.body.find(big), std::string::npos);
}

TEST_F(FormDataTest, ACompressedFormCarriesItsFilesInflatingToTheSameParts) {
  std::string contents(100000, 'c');
  auto path = file("c.txt", contents);
  auto r = FormDataRequest::requestWithURL(std::optional<Url>());
  r->setShouldCompressRequestBody(true);
  r->addFile(path, "f");
  auto sent = send(r);
  EXPECT_EQ(sent.header("Content-Encoding"), "gzip");
  EXPECT_EQ(sent.header("Content-Length"), std::to_string(sent.body.size()));
  auto inflated = DataDecompressor::uncompressData(toData(sent.body));
  ASSERT_TRUE(inflated);
  EXPECT_TRUE(toString(*inflated) == part("f", contents, "c.txt", "text/plain") + kClosing);
}

TEST_F(FormDataTest, RedirectsResendTheFormOnlyWhenTheMethodIsKept) {
  auto path = file("a.txt", "file body");
  for (int status : {307, 302}) {
    TestServer server([status](ServerConnection& c) {
      while (auto req = c.readRequest()) {
        if (req->target == "/form")
          c.sendResponse(status, "", "Location: /next\r\n", "Moved");
        else
          c.sendResponse(200, "ok");
      }
    });
    auto r = FormDataRequest::requestWithURL(server.url("/form"));
    r->addPostValue("1", "a");
    r->addFile(path, "f");
    run(r);
    EXPECT_EQ(last.finished, 1);
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "POST");
    if (status == 307) {
      EXPECT_EQ(requests[1].method, "POST");
      EXPECT_EQ(requests[1].body, requests[0].body);
      EXPECT_EQ(requests[1].header("Content-Type"), requests[0].header("Content-Type"));
    } else {
      EXPECT_EQ(requests[1].method, "GET");
      EXPECT_EQ(requests[1].body, "");
    }
  }
}

// Uploads whose files are read while they go out: a server that reads nothing until told
// holds the body in the middle of its first, large file.
class FormUploadTest : public FormDataTest {
 protected:
  void SetUp() override {
    FormDataTest::SetUp();
    fs::create_directory(runtime);
    if (const char* old = std::getenv("XDG_RUNTIME_DIR")) oldRuntime = old;
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  }
  void TearDown() override {
    released = true;  // a script still waiting must not hold the server up
    server.reset();
    FormDataTest::TearDown();
    if (oldRuntime)
      ::setenv("XDG_RUNTIME_DIR", oldRuntime->c_str(), 1);
    else
      ::unsetenv("XDG_RUNTIME_DIR");
  }
  void startStalled(const HTTPRequestPtr& r) {
    // The last server's scripts must be over before the flag holds a new one back.
    released = true;
    server.reset();
    released = false;
    server = std::make_unique<TestServer>(
        [this](ServerConnection& c) {
          while (!released) std::this_thread::sleep_for(std::chrono::milliseconds(2));
          if (c.readRequest(5)) c.sendResponse(200, "ok");
        },
        4096);
    r->setUrl(Url::parse(server->url("/upload")));
    last = {};
    r->setDelegate(&last);
    r->startAsynchronous();
    ASSERT_TRUE(eventually([&] { return r->totalBytesSent() > 0; }));
  }
  void release(const HTTPRequestPtr& r) {
    released = true;
    ASSERT_TRUE(waitForFinish(*r));
  }
  std::vector<fs::path> workFiles() const {
    std::vector<fs::path> found;
    std::error_code ec;
    for (auto& e : fs::directory_iterator(runtime / "est-http", ec)) found.push_back(e.path());
    return found;
  }

  fs::path runtime = dir.path() / "runtime";
  std::optional<std::string> oldRuntime;
  // Larger than what the kernel buffers between the two ends can hold.
  std::string big = std::string(8u << 20, 'f') + "end";
  std::unique_ptr<TestServer> server;
  std::atomic<bool> released{false};
};

TEST_F(FormUploadTest, AttachedFilesAreReadWhileTheyAreSentNeverCopied) {
  auto first = file("big.bin", big), second = file("small.txt", "small");
  auto r = FormDataRequest::requestWithURL(std::optional<Url>());
  r->addPostValue("1", "a");
  r->addFile(first, "big");
  r->addFile(second, "small");
  startStalled(r);
  EXPECT_EQ(workFiles(), std::vector<fs::path>{}) << "the body was copied";
  EXPECT_LT(r->totalBytesSent(), big.size());
  release(r);
  ASSERT_EQ(last.finished, 1) << (last.lastError ? last.lastError->description : "");
  std::string expected = part("a", "1") + part("big", big, "big.bin", "application/octet-stream") +
                         part("small", "small", "small.txt", "text/plain") + kClosing;
  auto requests = server->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].header("Content-Length"), std::to_string(expected.size()));
  EXPECT_TRUE(requests[0].body == expected);
  EXPECT_EQ(r->postLength(), expected.size());
  EXPECT_EQ(r->totalBytesSent(), expected.size());
}

TEST_F(FormUploadTest, AFileThatChangesOrGoesWhileSendingFailsInsteadOfSendingAnotherBody) {
  enum Fails { none, bigFile, smallFile };
  struct Case {
    const char* name;
    std::function<void(const std::string& big, const std::string& small)> change;
    Fails fails;
  };
  std::vector<Case> cases = {
      {"shrunk", [](const std::string& b, const std::string&) { fs::resize_file(b, 1000); },
       bigFile},
      {"grown",
       [](const std::string& b, const std::string&) { std::ofstream(b, std::ios::app) << "more"; },
       bigFile},
      {"later file removed", [](const std::string&, const std::string& s) { fs::remove(s); },
       smallFile},
      {"later file grown",
       [](const std::string&, const std::string& s) { writeFile(s, "small but longer"); },
       smallFile},
      // What is already open is the old file, whole as measured: the body stays consistent.
      {"replaced under its name",
       [](const std::string& b, const std::string&) {
         fs::remove(b);
         writeFile(b, "x");
       },
       none},
  };
  for (auto& k : cases) {
    SCOPED_TRACE(k.name);
    auto b = file("big.bin", big), s = file("small.txt", "small");
    auto r = FormDataRequest::requestWithURL(std::optional<Url>());
    r->addFile(b, "big");
    r->addFile(s, "small");
    startStalled(r);
    k.change(b, s);
    release(r);
    if (k.fails == none) {
      EXPECT_EQ(last.finished, 1);
      ASSERT_EQ(server->requestCount(), 1u);
      EXPECT_NE(server->requests()[0].body.find(big), std::string::npos);
      continue;
    }
    ASSERT_EQ(last.failed, 1);
    EXPECT_EQ(last.lastError->domain, NetworkRequestErrorDomain);
    EXPECT_EQ(last.lastError->code, FileManagementError);
    EXPECT_EQ(last.lastError->description,
              "Failed to get attributes for file at path '" + (k.fails == bigFile ? b : s) + "'");
    EXPECT_EQ(server->requestCount(), 0u) << "a whole body reached the server";
  }
}

TEST(MimeTypeTable, ReadsTypesCommentsAndCase) {
  auto table = MimeTypeTable::fromText(
      "# comment line png\n"
      "image/png\t\tpng PNGX\n"
      "text/plain txt # c trailing comment\n"
      "notatype foo\n"
      "image/other png\n");
  EXPECT_EQ(table.typeForExtension("png"), "image/png");  // first line wins
  EXPECT_EQ(table.typeForExtension("pngx"), "image/png");
  EXPECT_EQ(table.typeForExtension("TXT"), "text/plain");
  EXPECT_FALSE(table.typeForExtension("c"));
  EXPECT_FALSE(table.typeForExtension("foo"));
  EXPECT_FALSE(table.typeForExtension(""));

  EXPECT_EQ(contentTypeForPath("/a/b.txt", table), "text/plain");
  EXPECT_EQ(contentTypeForPath("/a.png/readme", table), "application/octet-stream");
  EXPECT_EQ(contentTypeForPath("/a/.png", table), "application/octet-stream");
  EXPECT_EQ(contentTypeForPath("/a/b.", table), "application/octet-stream");
  EXPECT_FALSE(MimeTypeTable::fromFile("/nonexistent/mime.types"));
}

// A caller's own body file is held to the length announced for it, like a form's files.
TEST_F(FormUploadTest, ABodyFileThatChangesWhileSendingFailsInsteadOfSendingAnotherBody) {
  std::vector<std::pair<const char*, std::function<void(const std::string&)>>> cases = {
      {"shrunk", [](const std::string& b) { fs::resize_file(b, 1000); }},
      {"grown", [](const std::string& b) { std::ofstream(b, std::ios::app) << "more"; }},
  };
  for (auto& [name, change] : cases) {
    SCOPED_TRACE(name);
    auto b = file("body.bin", big);
    auto r = HTTPRequest::requestWithURL(std::optional<Url>());
    r->setPostBodyFilePath(b);
    startStalled(r);
    change(b);
    release(r);
    ASSERT_EQ(last.failed, 1);
    EXPECT_EQ(last.lastError->code, FileManagementError);
    EXPECT_EQ(last.lastError->description, "Failed to get attributes for file at path '" + b + "'");
    EXPECT_EQ(server->requestCount(), 0u) << "a whole body reached the server";
  }
  auto b = file("body.bin", big);
  auto r = HTTPRequest::requestWithURL(std::optional<Url>());
  r->setPostBodyFilePath(b);
  startStalled(r);
  release(r);
  ASSERT_EQ(last.finished, 1);
  ASSERT_EQ(server->requestCount(), 1u);
  EXPECT_TRUE(server->requests()[0].body == big);
}

}  // namespace
}  // namespace est::testing

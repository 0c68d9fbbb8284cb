#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "http/http_request.h"

namespace est {

class FormDataRequest;
using FormDataRequestPtr = std::shared_ptr<FormDataRequest>;

inline constexpr int MultipartFormDataPostFormat = 0;
inline constexpr int URLEncodedPostFormat = 1;

// An HTTPRequest whose body is a form: named fields, URL-encoded, or fields and files as
// multipart/form-data. Only the body differs; a "GET" form is sent as "POST".
class FormDataRequest : public HTTPRequest {
 public:
  struct Field {
    std::string key;
    std::string value;
  };
  struct FilePart {
    std::string key;
    std::variant<std::string, Data> data;  // a file path, or the bytes themselves
    std::string fileName;
    std::string contentType;
  };

  static constexpr const char* kBoundary = "0xKhTmLbOuNdArY";

  static FormDataRequestPtr requestWithURL(std::optional<Url> url);
  static FormDataRequestPtr requestWithURL(std::string_view urlText);

  void addPostValue(std::string_view value, std::string_view key);
  // Replaces every field with that key.
  void setPostValue(std::string_view value, std::string_view key);

  // A file by path. A path that names no regular file makes the request fail when it
  // starts, with "No file exists at <path>". An empty file name means the path's last
  // component; an empty content type means the type known for the extension.
  void addFile(std::string path, std::string_view key);
  void addFile(std::string path, std::string fileName, std::string contentType,
               std::string_view key);
  void setFile(std::string path, std::string_view key);
  void setFile(std::string path, std::string fileName, std::string contentType,
               std::string_view key);
  // Bytes as a file part (type "application/octet-stream" unless given).
  void addData(Data data, std::string_view key);
  void addData(Data data, std::string fileName, std::string contentType, std::string_view key);
  void setData(Data data, std::string_view key);
  void setData(Data data, std::string fileName, std::string contentType, std::string_view key);

  std::vector<Field> postData() const;
  std::vector<FilePart> fileData() const;
  int postFormat() const;
  void setPostFormat(int format);
  StringEncoding stringEncoding() const;
  void setStringEncoding(StringEncoding encoding);

  // Percent-escapes the text in the form's encoding, leaving only letters, digits, '-', '.'
  // and '_'; empty when the text has no form in that encoding.
  std::string encodeURL(std::string_view text) const;
  // Appends the text in the form's encoding to the body; false when it has no such form.
  bool appendPostString(std::string_view text);

  void buildPostBody() override;

 protected:
  explicit FormDataRequest(std::optional<Url> url);

 private:
  void removeFilesForKey(std::string_view key);
  bool buildURLEncodedBody(const std::vector<Field>& fields, Error* error);
  bool buildMultipartBody(const std::vector<Field>& fields, const std::vector<FilePart>& files,
                          Error* error);

  mutable std::mutex formLock_;
  std::vector<Field> postData_;
  std::vector<FilePart> fileData_;
  int postFormat_ = URLEncodedPostFormat;
  StringEncoding stringEncoding_ = UTF8StringEncoding;
  bool builtForm_ = false;
};

}  // namespace est

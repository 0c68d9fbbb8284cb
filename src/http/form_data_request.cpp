#include "http/form_data_request.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <random>

#include "http/mime_types.h"
#include "http/request_body.h"
#include "platform/format.h"

namespace est {

namespace {

constexpr size_t kFilePiece = 262144;

bool isRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string lastPathComponent(const std::string& path) {
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

Error missingFileError(const std::string& path) {
  return makeRequestError(InternalErrorWhileBuildingRequestType,
                          strprintf("No file exists at %s", path.c_str()));
}

// Names go into quoted header parameters: a quote or line break there would end the
// parameter or the header and let the text forge parts of its own.
std::string quotedParameter(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '"')
      out += "%22";
    else if (c == '\r')
      out += "%0D";
    else if (c == '\n')
      out += "%0A";
    else
      out += c;
  }
  return out;
}

bool contains(std::string_view haystack, std::string_view needle) {
  return haystack.find(needle) != std::string_view::npos;
}

bool fileContains(const std::string& path, std::string_view needle) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string window;
  std::vector<char> piece(kFilePiece);
  while (in) {
    in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
    auto got = static_cast<size_t>(in.gcount());
    if (got == 0) break;
    window.append(piece.data(), got);
    if (contains(window, needle)) return true;
    // Keep enough of the tail to catch a boundary split between two pieces.
    if (window.size() > needle.size()) window.erase(0, window.size() - needle.size());
  }
  return false;
}

}  // namespace

FormDataRequest::FormDataRequest(std::optional<Url> url) : HTTPRequest(std::move(url)) {}

FormDataRequestPtr FormDataRequest::requestWithURL(std::optional<Url> url) {
  return FormDataRequestPtr(new FormDataRequest(std::move(url)));
}

FormDataRequestPtr FormDataRequest::requestWithURL(std::string_view urlText) {
  return requestWithURL(Url::parse(urlText));
}

void FormDataRequest::addPostValue(std::string_view value, std::string_view key) {
  std::lock_guard lock(formLock_);
  postData_.push_back({std::string(key), std::string(value)});
}

void FormDataRequest::setPostValue(std::string_view value, std::string_view key) {
  std::lock_guard lock(formLock_);
  std::erase_if(postData_, [&](const Field& f) { return f.key == key; });
  postData_.push_back({std::string(key), std::string(value)});
}

void FormDataRequest::addFile(std::string path, std::string_view key) {
  addFile(std::move(path), {}, {}, key);
}

void FormDataRequest::addFile(std::string path, std::string fileName, std::string contentType,
                              std::string_view key) {
  if (fileName.empty()) fileName = lastPathComponent(path);
  if (contentType.empty()) contentType = contentTypeForPath(path);
  std::lock_guard lock(formLock_);
  fileData_.push_back(
      {std::string(key), std::move(path), std::move(fileName), std::move(contentType)});
}

void FormDataRequest::setFile(std::string path, std::string_view key) {
  setFile(std::move(path), {}, {}, key);
}

void FormDataRequest::setFile(std::string path, std::string fileName, std::string contentType,
                              std::string_view key) {
  removeFilesForKey(key);
  addFile(std::move(path), std::move(fileName), std::move(contentType), key);
}

void FormDataRequest::addData(Data data, std::string_view key) {
  addData(std::move(data), {}, {}, key);
}

void FormDataRequest::addData(Data data, std::string fileName, std::string contentType,
                              std::string_view key) {
  if (fileName.empty()) fileName = "file";
  if (contentType.empty()) contentType = kDefaultContentType;
  std::lock_guard lock(formLock_);
  fileData_.push_back(
      {std::string(key), std::move(data), std::move(fileName), std::move(contentType)});
}

void FormDataRequest::setData(Data data, std::string_view key) {
  setData(std::move(data), {}, {}, key);
}

void FormDataRequest::setData(Data data, std::string fileName, std::string contentType,
                              std::string_view key) {
  removeFilesForKey(key);
  addData(std::move(data), std::move(fileName), std::move(contentType), key);
}

void FormDataRequest::removeFilesForKey(std::string_view key) {
  std::lock_guard lock(formLock_);
  std::erase_if(fileData_, [&](const FilePart& f) { return f.key == key; });
}

std::vector<FormDataRequest::Field> FormDataRequest::postData() const {
  std::lock_guard lock(formLock_);
  return postData_;
}

std::vector<FormDataRequest::FilePart> FormDataRequest::fileData() const {
  std::lock_guard lock(formLock_);
  return fileData_;
}

int FormDataRequest::postFormat() const {
  std::lock_guard lock(formLock_);
  return postFormat_;
}

void FormDataRequest::setPostFormat(int format) {
  std::lock_guard lock(formLock_);
  postFormat_ = format;
}

StringEncoding FormDataRequest::stringEncoding() const {
  std::lock_guard lock(formLock_);
  return stringEncoding_;
}

void FormDataRequest::setStringEncoding(StringEncoding encoding) {
  std::lock_guard lock(formLock_);
  stringEncoding_ = encoding;
}

std::string FormDataRequest::encodeURL(std::string_view text) const {
  auto bytes = encodeString(text, stringEncoding());
  if (!bytes) return {};
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes->size());
  for (std::uint8_t b : *bytes) {
    if (std::isalnum(b) && b < 0x80) {
      out += static_cast<char>(b);
    } else if (b == '-' || b == '.' || b == '_') {
      out += static_cast<char>(b);
    } else {
      out += '%';
      out += hex[b >> 4];
      out += hex[b & 0xF];
    }
  }
  return out;
}

bool FormDataRequest::appendPostString(std::string_view text) {
  auto bytes = encodeString(text, stringEncoding());
  if (!bytes) return false;
  appendPostData(*bytes);
  return true;
}

void FormDataRequest::buildPostBody() {
  if (haveBuiltPostBody()) return;
  std::vector<Field> fields;
  std::vector<FilePart> files;
  bool buildForm = false;
  {
    std::lock_guard lock(formLock_);
    buildForm = !builtForm_ && (!postData_.empty() || !fileData_.empty());
    builtForm_ = true;
    fields = postData_;
    files = fileData_;
  }
  if (buildForm) {
    Error error;
    bool ok = false;
    if (!files.empty()) setPostFormat(MultipartFormDataPostFormat);
    if (postFormat() == URLEncodedPostFormat)
      ok = buildURLEncodedBody(fields, &error);
    else
      ok = buildMultipartBody(fields, files, &error);
    if (!ok) {
      failWithError(error);
      return;
    }
  }
  HTTPRequest::buildPostBody();
}

bool FormDataRequest::buildURLEncodedBody(const std::vector<Field>& fields, Error* error) {
  auto charset = ianaCharsetNameForEncoding(stringEncoding()).value_or("utf-8");
  addRequestHeader("Content-Type",
                   strprintf("application/x-www-form-urlencoded; charset=%s", charset.c_str()));
  std::string body;
  for (size_t i = 0; i < fields.size(); ++i) {
    std::string key = encodeURL(fields[i].key), value = encodeURL(fields[i].value);
    // An empty escape of a non-empty text means it has no form in the encoding: sending it
    // empty would lose the value without a word.
    if ((key.empty() && !fields[i].key.empty()) || (value.empty() && !fields[i].value.empty())) {
      *error = makeRequestError(
          InternalErrorWhileBuildingRequestType,
          strprintf("Unable to encode the form field '%s'", fields[i].key.c_str()));
      return false;
    }
    body += strprintf("%s=%s%s", key.c_str(), value.c_str(), i + 1 < fields.size() ? "&" : "");
  }
  appendPostData(std::string_view(body));
  return true;
}

bool FormDataRequest::buildMultipartBody(const std::vector<Field>& fields,
                                         const std::vector<FilePart>& files, Error* error) {
  for (auto& f : files) {
    if (auto* path = std::get_if<std::string>(&f.data); path && !isRegularFile(*path)) {
      *error = missingFileError(*path);
      return false;
    }
  }

  // Content that holds the boundary line would end a part early; such a form gets a
  // boundary of its own.
  auto clashes = [&](const std::string& boundary) {
    std::string marker = "--" + boundary;
    for (auto& f : fields)
      if (contains(f.value, marker)) return true;
    for (auto& f : files) {
      if (auto* path = std::get_if<std::string>(&f.data)) {
        if (fileContains(*path, marker)) return true;
      } else {
        auto& d = std::get<Data>(f.data);
        if (contains(std::string_view(reinterpret_cast<const char*>(d.data()), d.size()), marker))
          return true;
      }
    }
    return false;
  };
  std::string boundary = kBoundary;
  if (clashes(boundary)) {
    std::random_device rd;
    std::mt19937_64 gen(rd());
    do {
      boundary = strprintf("%s%016llx", kBoundary, static_cast<unsigned long long>(gen()));
    } while (clashes(boundary));
  }

  auto charset = ianaCharsetNameForEncoding(stringEncoding()).value_or("utf-8");
  addRequestHeader("Content-Type", strprintf("multipart/form-data; charset=%s; boundary=%s",
                                             charset.c_str(), boundary.c_str()));
  auto unencodable = [&](const std::string& key) {
    *error = makeRequestError(InternalErrorWhileBuildingRequestType,
                              strprintf("Unable to encode the form field '%s'", key.c_str()));
    return false;
  };
  // Files are measured now and read while the body goes out, never copied.
  auto body = std::make_shared<RequestBody>();
  auto appendString = [&](std::string_view text) {
    auto bytes = encodeString(text, stringEncoding());
    if (bytes) body->appendBytes(*bytes);
    return bytes.has_value();
  };
  std::string separator = strprintf("\r\n--%s\r\n", boundary.c_str());
  body->appendBytes(strprintf("--%s\r\n", boundary.c_str()));
  size_t parts = fields.size() + files.size(), written = 0;
  for (auto& f : fields) {
    if (!appendString(strprintf("Content-Disposition: form-data; name=\"%s\"\r\n\r\n",
                                quotedParameter(f.key).c_str())) ||
        !appendString(f.value))
      return unencodable(f.key);
    if (++written < parts) body->appendBytes(separator);
  }
  for (auto& f : files) {
    if (!appendString(strprintf("Content-Disposition: form-data; name=\"%s\"; filename=\"%s\"\r\n",
                                quotedParameter(f.key).c_str(),
                                quotedParameter(f.fileName).c_str())) ||
        !appendString(strprintf("Content-Type: %s\r\n\r\n", f.contentType.c_str())))
      return unencodable(f.key);
    if (auto* path = std::get_if<std::string>(&f.data)) {
      if (!body->appendFile(*path)) {
        *error = missingFileError(*path);
        return false;
      }
    } else {
      body->appendBytes(std::get<Data>(f.data));
    }
    if (++written < parts) body->appendBytes(separator);
  }
  body->appendBytes(strprintf("\r\n--%s--\r\n", boundary.c_str()));
  if (auto bytes = body->bytesInMemory())
    appendPostData(*bytes);
  else
    setPostBodySource(std::move(body));
  return true;
}

}  // namespace est

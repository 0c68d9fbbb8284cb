#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace est {

// File-name extension to content type, read from a mime.types file ("type ext ext ...",
// '#' comments). Extensions are compared without case.
class MimeTypeTable {
 public:
  MimeTypeTable() = default;
  // Nothing when the file cannot be read.
  static std::optional<MimeTypeTable> fromFile(const std::string& path);
  static MimeTypeTable fromText(std::string_view text);
  // The table of /etc/mime.types, read once; empty when that file is missing.
  static const MimeTypeTable& system();

  std::optional<std::string> typeForExtension(std::string_view extension) const;
  size_t size() const { return types_.size(); }

 private:
  std::map<std::string, std::string> types_;
};

inline constexpr const char* kDefaultContentType = "application/octet-stream";

// The content type for a file path by its extension, or "application/octet-stream".
std::string contentTypeForPath(std::string_view path,
                               const MimeTypeTable& table = MimeTypeTable::system());

}  // namespace est

#include "http/mime_types.h"

#include <cctype>
#include <fstream>
#include <sstream>

namespace est {

namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

MimeTypeTable MimeTypeTable::fromText(std::string_view text) {
  MimeTypeTable table;
  std::istringstream in{std::string(text)};
  std::string line;
  while (std::getline(in, line)) {
    if (auto hash = line.find('#'); hash != std::string::npos) line.resize(hash);
    std::istringstream words(line);
    std::string type, ext;
    if (!(words >> type) || type.find('/') == std::string::npos) continue;
    // The first line naming an extension wins, as in the usual readers of this file.
    while (words >> ext) table.types_.emplace(lower(ext), type);
  }
  return table;
}

std::optional<MimeTypeTable> MimeTypeTable::fromFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return fromText(text.str());
}

const MimeTypeTable& MimeTypeTable::system() {
  static const MimeTypeTable table = fromFile("/etc/mime.types").value_or(MimeTypeTable());
  return table;
}

std::optional<std::string> MimeTypeTable::typeForExtension(std::string_view extension) const {
  if (extension.empty()) return std::nullopt;
  auto it = types_.find(lower(extension));
  if (it == types_.end()) return std::nullopt;
  return it->second;
}

std::string contentTypeForPath(std::string_view path, const MimeTypeTable& table) {
  auto slash = path.find_last_of('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  auto dot = name.find_last_of('.');
  // A leading dot names a hidden file, not an extension.
  if (dot == std::string_view::npos || dot == 0) return kDefaultContentType;
  return table.typeForExtension(name.substr(dot + 1)).value_or(kDefaultContentType);
}

}  // namespace est

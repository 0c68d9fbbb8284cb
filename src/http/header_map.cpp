#include "http/header_map.h"

#include <algorithm>

namespace est {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x != y && std::tolower(x) != std::tolower(y)) return false;
  }
  return true;
}

std::string toLower(std::string_view s) {
  std::string out(s);
  for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view trimWhitespace(std::string_view s) {
  const char* ws = " \t\r\n";
  auto b = s.find_first_not_of(ws);
  if (b == std::string_view::npos) return {};
  auto e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

void HeaderMap::set(std::string_view name, std::string_view value) {
  for (auto& f : fields_) {
    if (equalsIgnoringCase(f.first, name)) {
      f.second = std::string(value);
      return;
    }
  }
  fields_.emplace_back(std::string(name), std::string(value));
}

void HeaderMap::append(std::string_view name, std::string_view value) {
  for (auto& f : fields_) {
    if (equalsIgnoringCase(f.first, name)) {
      f.second += ", ";
      f.second += value;
      return;
    }
  }
  fields_.emplace_back(std::string(name), std::string(value));
}

void HeaderMap::remove(std::string_view name) {
  std::erase_if(fields_, [&](const Field& f) { return equalsIgnoringCase(f.first, name); });
}

const std::string* HeaderMap::find(std::string_view name) const {
  for (auto& f : fields_)
    if (equalsIgnoringCase(f.first, name)) return &f.second;
  return nullptr;
}

std::string HeaderMap::value(std::string_view name) const {
  auto* v = find(name);
  return v ? *v : std::string();
}

}  // namespace est

#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace est {

// Header fields by name. Names compare without regard to case (servers differ in how they
// write them); insertion order is kept so the message goes out as it was built.
class HeaderMap {
 public:
  using Field = std::pair<std::string, std::string>;

  // A later value for the same name replaces the earlier one, keeping its place.
  void set(std::string_view name, std::string_view value);
  // Adds a field as received; a repeated name is joined to the earlier value with ", ".
  void append(std::string_view name, std::string_view value);
  void remove(std::string_view name);
  void clear() { fields_.clear(); }

  const std::string* find(std::string_view name) const;
  std::string value(std::string_view name) const;  // empty when absent
  bool contains(std::string_view name) const { return find(name) != nullptr; }

  bool empty() const { return fields_.empty(); }
  size_t size() const { return fields_.size(); }
  const std::vector<Field>& fields() const { return fields_; }
  auto begin() const { return fields_.begin(); }
  auto end() const { return fields_.end(); }

  bool operator==(const HeaderMap& other) const = default;

 private:
  std::vector<Field> fields_;
};

bool equalsIgnoringCase(std::string_view a, std::string_view b);
std::string toLower(std::string_view s);
std::string_view trimWhitespace(std::string_view s);

}  // namespace est

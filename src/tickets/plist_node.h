#pragma once

#include <plist/plist.h>

#include <memory>

namespace est {

// Owns a libplist tree (a root node or one not yet attached to a parent).
struct PlistFree {
  void operator()(plist_t node) const {
    if (node) plist_free(node);
  }
};
using PlistNode = std::unique_ptr<void, PlistFree>;

// A node of `type` or null: lookups that also check the type in one step.
inline plist_t plistChild(plist_t dict, const char* key, plist_type type) {
  plist_t item = dict ? plist_dict_get_item(dict, key) : nullptr;
  return item && plist_get_node_type(item) == type ? item : nullptr;
}

}  // namespace est

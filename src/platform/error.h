#pragma once

#include <memory>
#include <string>

namespace est {

// An error value: a domain, a code and a description, optionally chained to the
// error that caused it. Libraries return these; they never throw across their boundary.
struct Error {
  std::string domain;
  int code = 0;
  std::string description;
  std::string failureReason;  // empty when there is none
  std::shared_ptr<const Error> underlying;

  Error() = default;
  Error(std::string domain, int code, std::string description,
        std::shared_ptr<const Error> underlying = nullptr)
      : domain(std::move(domain)),
        code(code),
        description(std::move(description)),
        underlying(std::move(underlying)) {}

  // Stores `e` into an optional caller slot; a null slot means the caller does not care.
  static void assign(Error* slot, Error e) {
    if (slot) *slot = std::move(e);
  }
};

}  // namespace est
